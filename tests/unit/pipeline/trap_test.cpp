// The ingress program on literal frames (BPF_PROG_TEST_RUN), for what the frame table leaves
// out: frames of no port, ageing, the task's ring and link, policing, the egress fence.
#include <linux/pkt_cls.h>

#include <net/if.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include "net/pipeline/records.h"
#include "switch.h"
#include "tests/support/veth.h"

namespace l2pt_test {
namespace {

using netp::pipeline::TrapKey;
using netp::pipeline::TrapRing;

constexpr uint16_t kLlcLength = 0x0026;  // an 802.3 length: STP's LLC frame

const Mac kA = host(0xa);  // port 0 (access)
const Mac kB = host(0xb);  // port 1 (access)

// Learning itself the frame table's rows show; here what the daemon does to the learned MACs.
// The frame table's rows all enter ports: here also a frame from an interface of no port.
TEST_F(Switch, LearnsAndForgets) {
    const Bytes toB = frame(kB, kA, {}, kIpv4);
    run(1, frame(kBroadcast, kB, {}, kIpv4));
    run(0, toB);
    ASSERT_EQ(tables->learnedMacs()->size(), 2u);  // A and B in VLAN 100

    editGlobals([](l2pt_globals& g) {
        g.ageing_ns = 1;
    });  // every entry is old now: flooded again, and aged out
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the pipeline's clock ticks
    EXPECT_EQ(run(0, toB).ev.verdict, L2PT_VERDICT_FLOODED);
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    EXPECT_EQ(*tables->expireAged(uint64_t(now.tv_sec) * 1000000000 + now.tv_nsec), 2u);

    configure();  // the default ageing: B known again until its port's MACs go
    run(1, frame(kBroadcast, kB, {}, kIpv4));
    EXPECT_EQ(run(0, toB).ev.verdict, L2PT_VERDICT_FORWARDED);
    ASSERT_EQ(*tables->forgetLport(1), 1u);
    EXPECT_EQ(run(0, toB).ev.verdict, L2PT_VERDICT_FLOODED);

    // B read by a sweep of port 1, back on port 0 before the delete: it stays, port 0's.
    run(1, frame(kBroadcast, kB, {}, kIpv4));
    auto read = tables->learnedMacs();
    ASSERT_TRUE(read);
    std::erase_if(*read, [](const auto& m) { return m.lport != 1; });
    ASSERT_EQ(read->size(), 1u);
    run(0, frame(kBroadcast, kB, {}, kIpv4));
    EXPECT_EQ(*tables->forgetMacs(*read), 0u);
    EXPECT_EQ(tables->learning(0)->count, 2);  // A and B
    EXPECT_EQ(run(1, frame(kB, host(0xc), {}, kIpv4)).ev.verdict, L2PT_VERDICT_FORWARDED);

    const Outcome unbound = run(kUnbound, frame(kB, kA, {}, kIpv4));
    EXPECT_EQ(unbound.retval, TC_ACT_SHOT);
    EXPECT_EQ(unbound.ev.reason, L2PT_DP_DROP_NO_PORT);
    EXPECT_EQ(drops(L2PT_STATS_NO_PORT, L2PT_DP_DROP_NO_PORT), 1u);
}

// A victim's MAC spoofed by two ports (one at its limit), forgotten as they go down while the
// victim takes it back on another CPU: every port's count stays the entries it holds.
TEST_F(Switch, ASpoofedMacTakenAndForgottenOnTwoCpusKeepsTheCountsExact) {
    editGlobals([](l2pt_globals& g) { g.flags = 0; });
    ASSERT_TRUE(tables->setLearning(0, 0, 0));  // port 0 at its limit: learns nothing
    const Mac victim = host(0x77);
    const Bytes fromPort = frame(kBroadcast, victim, {}, kIpv4);
    const Bytes fromCore = frame(kBroadcast, victim, {{L2PT_TPID_VMAN, 100}}, kIpv4);
    std::atomic<bool> stop{false};
    constexpr uint32_t kFramesAForget = 8;
    const auto onCpu = [&](int cpu, auto frames, bool forget) {
        return std::thread([&stop, cpu, frames, forget, this] {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(cpu, &set);
            (void)pthread_setaffinity_np(pthread_self(), sizeof set, &set);
            for (uint32_t n = 1; !stop; ++n) {
                if (forget && n % kFramesAForget == 0) {  // the sweep forgets port 2's MACs
                    auto read = tables->learnedMacs();
                    ASSERT_TRUE(read);
                    std::erase_if(*read, [](const auto& m) { return m.lport != 2; });
                    EXPECT_TRUE(tables->forgetMacs(*read));
                }
                for (const auto& [port, in] : frames)
                    runRepeated(port, *in, 1);
            }
        });
    };
    using Frames = std::vector<std::pair<uint32_t, const Bytes*>>;
    std::thread attacker = onCpu(0, Frames{{2, &fromCore}, {0, &fromPort}, {2, &fromCore}}, true);
    std::thread owner = onCpu(1, Frames{{1, &fromPort}}, false);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stop = true;
    attacker.join();
    owner.join();
    ASSERT_GT(stats(1).learn_moves, 0u) << "the victim's port took its MAC back";
    ASSERT_GT(stats(0).not_learned, 0u) << "the full port made it go";

    const auto macs = tables->learnedMacs();
    ASSERT_TRUE(macs) << macs.status().what();
    for (uint32_t lport : {0u, 1u, 2u}) {
        const auto held = std::count_if(macs->begin(), macs->end(),
                                        [&](const auto& m) { return m.lport == lport; });
        EXPECT_EQ(tables->learning(lport)->count, held) << "port " << lport;
    }
    EXPECT_EQ(tables->learning(L2PT_LEARN_VLAN + 100)->count, static_cast<int32_t>(macs->size()));
}

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
    EXPECT_EQ(tables->trapCounters(stp)->hits, 3u);  // no socket, passed, policed
    EXPECT_EQ(tables->trapCounters(stp)->policed, 1u);
    EXPECT_EQ(drops(0, L2PT_DP_DROP_POLICED), 1u);

    ASSERT_TRUE(tables->setTrapRate(stp, 0));  // only the rate changes
    EXPECT_EQ(tables->trapCounters(stp)->hits, 3u);
    ASSERT_TRUE(tables->installTrap(stp, 0));  // a new entry starts again
    EXPECT_EQ(tables->trapCounters(stp)->hits, 0u);

    // Nobody reads the ring: it fills, then the task is behind.
    ASSERT_TRUE(tables->setGlobals(netp::pipeline::defaultGlobals()));  // no events for these
    const uint64_t trapped = stats(0).trapped;
    runRepeated(0, pdu, 3000);
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

// Rate changes while a port traps flat out on the other CPU lose none of the program's counts.
TEST_F(Switch, RateChangesLoseNothingTheProgramCounts) {
    const TrapKey stp = TrapKey::port(chassisIf(0), kStp);
    const Bytes pdu = frame(kStp, host(1), {}, kLlcLength);
    editGlobals([](l2pt_globals& g) {
        g.flags = 0;
        g.pdu_ports = 2;  // port 0 may hold half the ring
    });
    ASSERT_TRUE(tables->installTrap(stp, 0));
    auto ring = tables->newTaskRing();
    ASSERT_TRUE(ring);
    constexpr int kFramesARun = 64;
    std::atomic<bool> stop{false};
    uint64_t sent = 0;
    std::thread port([&] {
        for (; !stop; sent += kFramesARun)
            runRepeated(0, pdu, kFramesARun);
    });
    netp::pipeline::PoliceRates rates;
    for (uint32_t n = 0; n < 20000; ++n) {  // rates that stop none of these PDUs
        rates.stormFps[0] = 1000 + n % 2;
        EXPECT_TRUE(tables->setTrapRate(stp, 100000 + n % 2)) << n;
        EXPECT_TRUE(tables->setPolice(0, rates)) << n;
    }
    stop = true;
    port.join();
    EXPECT_EQ(tables->trapCounters(stp)->hits, sent);
    EXPECT_FALSE(tables->setTrapRate(TrapKey::port(chassisIf(1), kStp), 1)) << "no such entry";
    auto reader = TrapRing::map(std::move(*ring), L2PT_RING_BYTES);
    ASSERT_TRUE(reader);
    const size_t record = (reader->peek().size() + BPF_RINGBUF_HDR_SZ + 7) & ~size_t{7};
    EXPECT_GT(drops(0, L2PT_DP_DROP_PDU_SHARE), 0u);
    EXPECT_LE(stats(0).trapped * record, L2PT_RING_BYTES / 2 + record);  // the one past half
}

TEST_F(Switch, EgressPassesOnlyTheTaskInItsRoleAndThePipeline) {
    constexpr uint32_t kNow = L2PT_TASK_MARK_BASE | 2, kOld = L2PT_TASK_MARK_BASE | 1;
    const Bytes pdu = frame(kStp, host(1), {}, kLlcLength, 38);
    struct Case {
        uint32_t inForce, mark;
        int retval;
        uint64_t tx, fenced, host;
    } cases[] = {
        {kNow, kNow, TC_ACT_OK, 1, 0, 0},
        {kNow, kOld, TC_ACT_SHOT, 0, 1, 0},
        {0, kNow, TC_ACT_SHOT, 0, 1, 0},
        // What the ingress program forwarded: counted there.
        {kNow, L2PT_PIPELINE_MARK, TC_ACT_OK, 0, 0, 0},
        {0, L2PT_PIPELINE_MARK, TC_ACT_OK, 0, 0, 0},
        // The host's own frames.
        {kNow, 0, TC_ACT_SHOT, 0, 0, 1},
        {kNow, 0x12345678, TC_ACT_SHOT, 0, 0, 1},
        {kNow, L2PT_PIPELINE_MARK + 1, TC_ACT_SHOT, 0, 0, 1},
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
        EXPECT_EQ(after.drops[L2PT_DP_DROP_HOST_TX] - before.drops[L2PT_DP_DROP_HOST_TX], c.host);
        if (c.tx || c.fenced || c.host) {
            const l2pt_event ev = nextEvent();
            EXPECT_EQ(ev.outbound, 1u);
            EXPECT_EQ(ev.port_if, chassisIf(3));
            EXPECT_EQ(ev.reason, c.fenced ? L2PT_DP_DROP_FENCED
                                 : c.host ? L2PT_DP_DROP_HOST_TX
                                          : 0);
        }
    }
}

// The task's frames (pe0 plays its link): only the named link is heard, the trailer comes off,
// each port of ours it names gets the frame; the rest is counted and gets nothing.
TEST_F(Switch, TaskLinkTakesFramesOnlyToTheSwitchsPorts) {
    constexpr uint32_t kNow = L2PT_TASK_MARK_BASE | 2;
    constexpr uint32_t kNoInterface = 0x7fffff;
    const uint32_t link = ifindex[kUnbound];
    editGlobals([&](l2pt_globals& g) {
        g.task_mark = kNow;
        g.task_if = link;
    });
    std::vector<int> wires;
    for (const char* far : {"pe0", "pe3"})
        wires.push_back(wireSocket(::if_nametoindex(far)));
    ASSERT_TRUE(wires[0] >= 0 && wires[1] >= 0) << std::strerror(errno);
    const auto arrived = [&](size_t expected) { return wireFrames(wires, expected, 4096); };

    const Bytes pdu = frame(kStp, host(1), {}, kLlcLength, 38);
    Bytes out;
    const Bytes sent =
        withTaskTrailer(pdu, {ifindex[0], ifindex[3], kNoInterface, link}, L2PT_TX_MAGIC);
    // Port 0 gets a clone, port 3 the frame itself (the redirect is left undone here).
    EXPECT_EQ(runTask(link, sent, &out), TC_ACT_REDIRECT);
    EXPECT_EQ(out, pdu);
    const auto got = arrived(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].first, 0u);
    EXPECT_EQ(got[0].second, pdu);
    EXPECT_EQ(drops(L2PT_STATS_NO_PORT, L2PT_DP_DROP_NO_PORT), 2u)
        << "the interface that is not there and the one of no port";
    for (int i = 0; i < 2; i++) {
        const l2pt_event ev = nextEvent();
        EXPECT_EQ(ev.outbound, 1u);
        EXPECT_EQ(ev.reason, L2PT_DP_DROP_NO_PORT);
    }

    // Only a PDU's forms: to a protocol's address on an access port in its VLAN, to the tunnel
    // MAC under the provider tag of a VLAN a core port is core in. Nothing else reaches a port.
    Mac tunnel;
    std::copy(std::begin(l2pt_default_tunnel_mac), std::end(l2pt_default_tunnel_mac),
              tunnel.begin());
    const auto tunnelled = [&](uint16_t vid) {
        return frame(tunnel, host(1), {{L2PT_TPID_VMAN, vid}}, kLlcLength, 38);
    };
    const std::pair<Bytes, uint32_t> refused[] = {
        {pdu, 2},                                 // a customer's form to a core port
        {frame(host(9), host(1), {}, kIpv4), 0},  // data to a customer's host
        {frame(host(9), host(1), {{L2PT_TPID_VMAN, 200}}, kIpv4), 2},  // ... across the core
        {tunnelled(100), 0},  // the provider's form to an access port
        {tunnelled(300), 2},  // ... to a VLAN the port is not core in
        {frame(tunnel, host(1), {{0x8100, 200}}, kLlcLength, 38), 2},  // under another TPID
    };
    for (const auto& [f, port] : refused) {
        EXPECT_EQ(runTask(link, withTaskTrailer(f, {ifindex[port]}, L2PT_TX_MAGIC)), TC_ACT_STOLEN);
        EXPECT_EQ(nextEvent().reason, L2PT_DP_DROP_TASK_FORM);
    }
    EXPECT_EQ(drops(2, L2PT_DP_DROP_TASK_FORM) + drops(0, L2PT_DP_DROP_TASK_FORM), 6u);
    EXPECT_EQ(runTask(link, withTaskTrailer(tunnelled(200), {ifindex[2]}, L2PT_TX_MAGIC)),
              TC_ACT_REDIRECT);

    // A retagged frame is held to the MTU at its own length: a pushed tag takes it past.
    const Bytes push = {0x01, 0x00, 0x0c, 0xcd, 0xcd, 0xd0, 0x91, 0x00, 0x00, 100};
    l2pt_lport narrow = *tables->lport(3);
    narrow.mtu = static_cast<uint16_t>(pdu.size() - L2PT_ETH_HLEN - L2PT_TAG_LEN);
    ASSERT_TRUE(tables->setLport(3, narrow));
    EXPECT_EQ(runTask(link, withTaskTrailer(pdu, {ifindex[3]}, L2PT_TX_MAGIC)), TC_ACT_REDIRECT);
    EXPECT_EQ(
        runTask(link, withTaskTrailer(pdu, {ifindex[0]}, L2PT_TX_MAGIC_RETAG, {ifindex[3]}, push)),
        TC_ACT_STOLEN);
    EXPECT_EQ(drops(3, L2PT_DP_DROP_OVER_MTU), 1u);
    EXPECT_EQ(arrived(1).size(), 1u);
    EXPECT_EQ(nextEvent().reason, L2PT_DP_DROP_OVER_MTU);

    // A port that is down gets nothing.
    l2pt_lport down = *tables->lport(3);
    down.flags &= ~L2PT_P_UP;
    ASSERT_TRUE(tables->setLport(3, down));
    EXPECT_EQ(runTask(link, withTaskTrailer(pdu, {ifindex[3]}, L2PT_TX_MAGIC)), TC_ACT_STOLEN);
    EXPECT_EQ(drops(3, L2PT_DP_DROP_PORT_DOWN), 1u);
    EXPECT_EQ(nextEvent().port_if, chassisIf(3));

    // No trailer; an interface that is not the link in force; no task in its role.
    EXPECT_EQ(runTask(link, withTaskTrailer(pdu, {ifindex[2]}, L2PT_TX_MAGIC ^ 1)), TC_ACT_STOLEN);
    // A trailer with less than a header before it.
    const uint32_t p2 = ifindex[2];
    EXPECT_EQ(runTask(link, withTaskTrailer(Bytes(L2PT_ETH_HLEN - 1, 0xee), {p2}, L2PT_TX_MAGIC)),
              TC_ACT_STOLEN);
    // Retagging: no port retagged, none as it is, one more in all than a trailer may name.
    static_assert(L2PT_TX_PORTS_MAX == 8);
    for (const auto& [asIs, retagged] :
         {std::pair<std::vector<uint32_t>, std::vector<uint32_t>>{{p2}, {}},
          {{}, {p2}},
          {{p2, p2, p2, p2}, {p2, p2, p2, p2, p2}}})
        EXPECT_EQ(runTask(link, withTaskTrailer(pdu, asIs, L2PT_TX_MAGIC_RETAG, retagged, push)),
                  TC_ACT_STOLEN);
    EXPECT_EQ(drops(L2PT_STATS_NO_PORT, L2PT_DP_DROP_SEND_FAILED), 5u);
    EXPECT_EQ(runTask(ifindex[1], sent), TC_ACT_STOLEN);
    editGlobals([&](l2pt_globals& g) { g.task_mark = 0; });
    EXPECT_EQ(runTask(link, sent), TC_ACT_STOLEN);
    EXPECT_EQ(drops(L2PT_STATS_NO_PORT, L2PT_DP_DROP_FENCED), 2u);
    EXPECT_TRUE(arrived(0).empty());
    for (int fd : wires)
        ::close(fd);
}

}  // namespace
}  // namespace l2pt_test
