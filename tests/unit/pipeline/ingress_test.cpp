// The ingress program on literal frames (BPF_PROG_TEST_RUN): what the frame table leaves out of
// provider bridging, and learning and ageing through the tables' interface.
#include <linux/pkt_cls.h>

#include <ctime>

#include "switch.h"

namespace l2pt_test {
namespace {

const Mac kA = host(0xa);  // learned on port 0 (access)
const Mac kB = host(0xb);  // port 1 (access)
const Mac kC = host(0xc);  // port 2 (core)
constexpr Tag kP100 = {L2PT_TPID_VMAN, 100};

void learnHosts(Switch& s) {
    s.run(0, frame(kBroadcast, kA, {}, kIpv4));
    s.run(1, frame(kBroadcast, kB, {}, kIpv4));
    s.run(2, frame(kBroadcast, kC, {kP100}, kIpv4));
}

// What the frame table (tests/dataplane/frames.table, run through this pipeline on veth pairs)
// cannot give: a segmentation-offloaded frame, judged by its segments against the MTU, and a
// frame from an interface that is no port.
TEST_F(Switch, JudgesOffloadedFramesBySegmentAndDropsWhatNoPortSent) {
    learnHosts(*this);
    const uint64_t tx = stats(2).tx;
    const Outcome r = run(0, frame(kC, kA, {}, kIpv4, 3000), 1448);
    EXPECT_EQ(r.retval, TC_ACT_REDIRECT);
    EXPECT_EQ(r.ev.ways[0], chassisIf(2));
    EXPECT_EQ(r.out, frame(kC, kA, {kP100}, kIpv4, 3000));
    EXPECT_EQ(stats(2).tx, tx + 1);

    const Outcome unbound = run(kUnbound, frame(kC, kA, {}, kIpv4));
    EXPECT_EQ(unbound.retval, TC_ACT_SHOT);
    EXPECT_EQ(unbound.ev.reason, L2PT_DP_DROP_NO_PORT);
    EXPECT_EQ(drops(L2PT_STATS_NO_PORT, L2PT_DP_DROP_NO_PORT), 1u);
}

// Learning itself the frame table's rows show; here what the daemon does to the learned MACs.
TEST_F(Switch, LearnsAndForgets) {
    const Bytes toB = frame(kB, kA, {}, kIpv4);
    run(1, frame(kBroadcast, kB, {}, kIpv4));
    run(0, toB);
    auto learned = tables->learnedMacs();
    ASSERT_TRUE(learned);
    ASSERT_EQ(learned->size(), 2u);  // A and B in VLAN 100

    editGlobals([](l2pt_globals& g) {
        g.ageing_ns = 1;
    });  // every entry is old now: flooded again, and aged out
    EXPECT_EQ(run(0, toB).ev.verdict, L2PT_VERDICT_FLOODED);
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    auto expired = tables->expireAged(uint64_t(now.tv_sec) * 1000000000 + now.tv_nsec);
    ASSERT_TRUE(expired);
    EXPECT_EQ(*expired, 2u);

    configure();  // the default ageing: B known again until its port's MACs go
    run(1, frame(kBroadcast, kB, {}, kIpv4));
    EXPECT_EQ(run(0, toB).ev.verdict, L2PT_VERDICT_FORWARDED);
    ASSERT_EQ(*tables->forgetLport(1), 1u);
    EXPECT_EQ(run(0, toB).ev.verdict, L2PT_VERDICT_FLOODED);
}

}  // namespace
}  // namespace l2pt_test
