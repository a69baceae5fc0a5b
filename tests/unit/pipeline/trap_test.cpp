// Trapping to the task's ring, policing, and the egress fence of a task that lost its role.
#include <bpf/bpf.h>
#include <linux/pkt_cls.h>

#include "net/pipeline/records.h"
#include "switch.h"

namespace l2pt_test {
namespace {

using netp::pipeline::TrapKey;
using netp::pipeline::TrapRing;

constexpr uint16_t kLlcLength = 0x0026;  // an 802.3 length: STP's LLC frame

TEST_F(Switch, PolicesCountsAndDropsWhatItCannotHandOver) {
    const TrapKey stp = TrapKey::port(chassisIf(0), kStp);
    const Bytes pdu = frame(kStp, host(1), {}, kLlcLength, 986);  // 1000 bytes
    auto why = [&](const Bytes& f) {
        const Outcome r = run(0, f);
        return r.ev.verdict == L2PT_VERDICT_DROPPED ? r.ev.reason : 0xFFFF;
    };
    ASSERT_TRUE(tables->installTrap(stp, 0));
    EXPECT_EQ(why(pdu), L2PT_DP_DROP_NO_SOCKET);

    auto ring = tables->newTaskRing();
    ASSERT_TRUE(ring);

    // 1 Kbps: the bucket holds one full-size frame and refills 125 bytes a second.
    ASSERT_TRUE(tables->setTrapRate(stp, 1));
    EXPECT_EQ(why(pdu), 0xFFFF);
    EXPECT_EQ(why(pdu), L2PT_DP_DROP_POLICED);
    auto counted = tables->trapCounters(stp);
    ASSERT_TRUE(counted);
    EXPECT_EQ(counted->hits, 3u);  // no socket, passed, policed
    EXPECT_EQ(counted->policed, 1u);
    EXPECT_EQ(drops(0, L2PT_DP_DROP_POLICED), 1u);

    ASSERT_TRUE(tables->setTrapRate(stp, 0));  // only the rate changes
    EXPECT_EQ(tables->trapCounters(stp)->hits, 3u);
    ASSERT_TRUE(tables->installTrap(stp, 0));  // a new entry starts again
    EXPECT_EQ(tables->trapCounters(stp)->hits, 0u);

    // Nobody reads the ring: it fills, then the task is behind.
    LIBBPF_OPTS(bpf_test_run_opts, opts, .data_in = pdu.data(),
                .data_size_in = static_cast<uint32_t>(pdu.size()), .repeat = 3000);
    __sk_buff ctx{};
    ctx.ifindex = ifindex[0];
    opts.ctx_in = &ctx;
    opts.ctx_size_in = sizeof ctx;
    ASSERT_TRUE(tables->setGlobals(netp::pipeline::defaultGlobals()));  // no events for these
    const uint64_t trapped = stats(0).trapped;
    ASSERT_EQ(bpf_prog_test_run_opts(tables->ingressFd(), &opts), 0);
    const uint64_t behind = drops(0, L2PT_DP_DROP_TASK_BEHIND);
    EXPECT_GT(behind, 0u);
    EXPECT_EQ(stats(0).trapped - trapped + behind, 3000u);

    // A new task's ring: the old one hears nothing more.
    auto reader = TrapRing::map(std::move(*ring), L2PT_RING_BYTES);
    ASSERT_TRUE(reader);
    auto fresh = tables->newTaskRing();
    ASSERT_TRUE(fresh);
    uint64_t records = 0;
    for (; !reader->peek().empty(); reader->release())
        records++;
    EXPECT_EQ(records, stats(0).trapped);
    configure();
    run(0, pdu);
    EXPECT_TRUE(reader->peek().empty());
    auto now = TrapRing::map(std::move(*fresh), L2PT_RING_BYTES);
    ASSERT_TRUE(now);
    EXPECT_FALSE(now->peek().empty());
}

TEST_F(Switch, EgressPassesOnlyTheTaskInItsRole) {
    constexpr uint32_t kNow = L2PT_TASK_MARK_BASE | 2, kOld = L2PT_TASK_MARK_BASE | 1;
    const Bytes pdu = frame(kStp, host(1), {}, kLlcLength, 38);
    struct Case {
        uint32_t inForce, mark;
        int retval;
        uint64_t tx, fenced;
    } cases[] = {
        {kNow, kNow, TC_ACT_OK, 1, 0},       {kNow, kOld, TC_ACT_SHOT, 0, 1},
        {0, kNow, TC_ACT_SHOT, 0, 1},        {kNow, 0, TC_ACT_OK, 0, 0},
        {kNow, 0x12345678, TC_ACT_OK, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mark);
        editGlobals([&](l2pt_globals& g) { g.task_mark = c.inForce; });
        const l2pt_port_stats before = stats(3);
        EXPECT_EQ(runEgress(3, pdu, c.mark), c.retval);
        const l2pt_port_stats after = stats(3);
        EXPECT_EQ(after.tx - before.tx, c.tx);
        EXPECT_EQ(after.pdu_tx - before.pdu_tx, c.tx);
        EXPECT_EQ(after.drops[L2PT_DP_DROP_FENCED] - before.drops[L2PT_DP_DROP_FENCED], c.fenced);
        if (c.tx || c.fenced) {
            const l2pt_event ev = nextEvent();
            EXPECT_EQ(ev.outbound, 1u);
            EXPECT_EQ(ev.port_if, chassisIf(3));
        }
    }
}

}  // namespace
}  // namespace l2pt_test
