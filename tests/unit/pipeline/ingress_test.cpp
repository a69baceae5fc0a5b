// The ingress program on literal frames: provider bridging, its drops, learning and ageing
// (BPF_PROG_TEST_RUN), and flooding on the wire (the program at tc ingress of veth ports).
#include <linux/pkt_cls.h>

#include <ctime>

#include "switch.h"

namespace l2pt_test {
namespace {

const Mac kA = host(0xa);  // learned on port 0 (access)
const Mac kB = host(0xb);  // port 1 (access)
const Mac kC = host(0xc);  // port 2 (core)
const Mac kL = host(0xd);  // the LAG (core)
constexpr Tag kP100 = {L2PT_TPID_VMAN, 100};

void learnHosts(Switch& s) {
    s.run(0, frame(kBroadcast, kA, {}, kIpv4));
    s.run(1, frame(kBroadcast, kB, {}, kIpv4));
    s.run(2, frame(kBroadcast, kC, {kP100}, kIpv4));
    s.run(4, frame(kBroadcast, kL, {kP100}, kIpv4));
}

// The member of the LAG a frame leaves by: the flow hash both data-plane models share.
uint32_t lagMember(const Bytes& f) {
    return l2pt_flow_hash(f.data()) % 2 == 0 ? 4 : 5;
}

struct Forwarded {
    const char* name;
    uint32_t port;
    Bytes in;
    uint32_t at;  // the port it left by
    Bytes out;    // as it left
    uint32_t tpid = L2PT_TPID_VMAN;
    uint32_t gso = 0;
};

TEST_F(Switch, ForwardsInTheFormItsWayOutTakes) {
    learnHosts(*this);
    const Bytes toL = frame(kL, kA, {}, kIpv4);
    const Forwarded cases[] = {
        {"untagged customer frame to a core port", 0, frame(kC, kA, {}, kIpv4), 2,
         frame(kC, kA, {kP100}, kIpv4)},
        {"C-tagged customer frame keeps its tag inside", 0, frame(kC, kA, {{0x8100, 5}}, kIpv4), 2,
         frame(kC, kA, {kP100, {0x8100, 5}}, kIpv4)},
        {"provider TPID 0x88a8", 0, frame(kC, kA, {{0x8100, 5}}, 0x0806), 2,
         frame(kC, kA, {{0x88a8, 100}, {0x8100, 5}}, 0x0806), 0x88a8},
        {"two customer tags", 0, frame(kC, kA, {{0x88a8, 1}, {0x8100, 2}}, kIpv4), 2,
         frame(kC, kA, {kP100, {0x88a8, 1}, {0x8100, 2}}, kIpv4)},
        {"provider frame to an access port loses its tag", 2, frame(kA, kC, {kP100}, 0x0806), 0,
         frame(kA, kC, {}, 0x0806)},
        {"to the LAG by the flow hash", 0, toL, lagMember(toL), frame(kL, kA, {kP100}, kIpv4)},
        {"at the MTU", 0, frame(kC, kA, {}, kIpv4, 1500), 2, frame(kC, kA, {kP100}, kIpv4, 1500)},
        {"segmentation-offloaded: judged by its segments", 0, frame(kC, kA, {}, kIpv4, 3000), 2,
         frame(kC, kA, {kP100}, kIpv4, 3000), L2PT_TPID_VMAN, 1448},
    };
    for (const Forwarded& c : cases) {
        SCOPED_TRACE(c.name);
        editGlobals([&](l2pt_globals& g) { g.tpid = c.tpid; });
        const uint64_t tx = stats(c.at).tx;
        const Outcome r = run(c.port, c.in, c.gso);
        EXPECT_EQ(r.ev.verdict, L2PT_VERDICT_FORWARDED);
        EXPECT_EQ(r.retval, TC_ACT_REDIRECT);
        EXPECT_EQ(r.ev.ways[0], chassisIf(c.at));
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(stats(c.at).tx, tx + 1);
    }
}

struct Dropped {
    const char* name;
    uint32_t port;
    Bytes in;
    uint16_t why;
    uint32_t at;  // the port that counts it
    uint32_t tpid = L2PT_TPID_VMAN;
    void (*prepare)(Switch&) = nullptr;
};

TEST_F(Switch, DropsWhatItCannotPassOn) {
    learnHosts(*this);
    const Dropped cases[] = {
        {"over the MTU of the way out", 0, frame(kC, kA, {{0x8100, 5}}, kIpv4, 1500),
         L2PT_DP_DROP_OVER_MTU, 2},
        {"provider tag not in force on a core port", 2, frame(kA, kC, {kP100}, kIpv4),
         L2PT_DP_DROP_NO_VLAN, 2, 0x88a8},
        {"three customer tags", 0, frame(kC, kA, {{0x8100, 1}, {0x8100, 2}, {0x88a8, 3}}, kIpv4),
         L2PT_DP_DROP_TAG_STACK, 0},
        {"four tags on a core port", 2,
         frame(kA, kC, {kP100, {0x8100, 1}, {0x8100, 2}, {0x8100, 3}}, kIpv4), L2PT_DP_DROP_TAG_STACK,
         2},
        {"back to the port it came from", 0, frame(kA, host(0x1f), {}, kIpv4), L2PT_DP_DROP_FILTERED,
         0},
        {"its card absent", 0, frame(kC, kA, {}, kIpv4), L2PT_DP_DROP_CARD_ABSENT, 0, L2PT_TPID_VMAN,
         [](Switch& s) { s.editLport(0, [](l2pt_lport& r) { r.flags = 0; }); }},
        {"the way out down", 0, frame(kB, kA, {}, kIpv4), L2PT_DP_DROP_PORT_DOWN, 0, L2PT_TPID_VMAN,
         [](Switch& s) { s.editLport(1, [](l2pt_lport& r) { r.flags = L2PT_P_PRESENT; }); }},
        {"a LAG without live members", 0, frame(kL, kA, {}, kIpv4), L2PT_DP_DROP_NO_LIVE_MEMBER, 0,
         L2PT_TPID_VMAN, [](Switch& s) { s.editLport(kLag, [](l2pt_lport& r) { r.n_live = 0; }); }},
        {"an interface of no port", kUnbound, frame(kC, kA, {}, kIpv4), L2PT_DP_DROP_NO_PORT,
         L2PT_STATS_NO_PORT},
    };
    for (const Dropped& c : cases) {
        SCOPED_TRACE(c.name);
        configure();
        editGlobals([&](l2pt_globals& g) { g.tpid = c.tpid; });
        if (c.prepare)
            c.prepare(*this);
        const uint64_t before = drops(c.at, static_cast<l2pt_drop>(c.why));
        const Outcome r = run(c.port, c.in);
        EXPECT_EQ(r.retval, TC_ACT_SHOT);
        EXPECT_EQ(r.ev.verdict, L2PT_VERDICT_DROPPED);
        EXPECT_EQ(r.ev.reason, c.why);
        EXPECT_EQ(drops(c.at, static_cast<l2pt_drop>(c.why)), before + 1);
    }
}

TEST_F(Switch, LearnsAndForgets) {
    const Bytes toB = frame(kB, kA, {}, kIpv4);
    EXPECT_EQ(run(0, toB).ev.verdict, L2PT_VERDICT_FLOODED);  // unknown yet
    run(1, frame(kBroadcast, kB, {}, kIpv4));
    EXPECT_EQ(run(0, toB).ev.verdict, L2PT_VERDICT_FORWARDED);

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

// Flooded copies leave by every other member in the form each takes; the kernel's taking off
// of 802.1Q/802.1ad tags into the skb before tc (on the wire, not in test runs) changes nothing.
TEST_F(Switch, FloodsEveryOtherMember) {
    attach();
    struct Flood {
        const char* name;
        uint32_t tpid;
        uint32_t port;
        Bytes in;
        std::map<uint32_t, Bytes> out;
    };
    const Bytes cust = frame(kBroadcast, kA, {}, kIpv4, 200);
    const Bytes prov = frame(kBroadcast, kC, {kP100, {0x8100, 5}}, kIpv4, 200);
    const Bytes qinq = frame(kBroadcast, kC, {{0x88a8, 100}, {0x8100, 5}}, kIpv4, 200);
    const Flood floods[] = {
        {"customer frame",
         L2PT_TPID_VMAN,
         0,
         cust,
         {{1, cust},
          {2, frame(kBroadcast, kA, {kP100}, kIpv4, 200)},
          {lagMember(cust), frame(kBroadcast, kA, {kP100}, kIpv4, 200)}}},
        {"provider frame with a customer tag",
         L2PT_TPID_VMAN,
         2,
         prov,
         {{0, frame(kBroadcast, kC, {{0x8100, 5}}, kIpv4, 200)},
          {1, frame(kBroadcast, kC, {{0x8100, 5}}, kIpv4, 200)},
          {lagMember(prov), prov}}},
        {"802.1ad provider tag over 802.1Q",
         0x88a8,
         2,
         qinq,
         {{0, frame(kBroadcast, kC, {{0x8100, 5}}, kIpv4, 200)},
          {1, frame(kBroadcast, kC, {{0x8100, 5}}, kIpv4, 200)},
          {lagMember(qinq), qinq}}},
    };
    for (const Flood& f : floods) {
        SCOPED_TRACE(f.name);
        editGlobals([&](l2pt_globals& g) { g.tpid = f.tpid; });
        send(f.port, f.in);
        const l2pt_event ev = nextEvent();
        EXPECT_EQ(ev.verdict, L2PT_VERDICT_FLOODED);
        EXPECT_EQ(ev.copies, f.out.size());
        EXPECT_EQ(received(f.out.size()), f.out);
    }

    SCOPED_TRACE("a copy over its way out's MTU stays, the others go");
    editGlobals([](l2pt_globals& g) { g.tpid = L2PT_TPID_VMAN; });
    editLport(1, [](l2pt_lport& r) { r.mtu = 1000; });
    const uint64_t over = drops(1, L2PT_DP_DROP_OVER_MTU);
    const Bytes big = frame(kBroadcast, kA, {}, kIpv4, 1100);
    send(0, big);
    EXPECT_EQ(nextEvent().copies, 2u);
    EXPECT_EQ(received(2).count(1), 0u);
    EXPECT_EQ(drops(1, L2PT_DP_DROP_OVER_MTU), over + 1);
}

}  // namespace
}  // namespace l2pt_test
