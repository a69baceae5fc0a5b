// Entries re-installed: on a change of the tunnel MAC, and for a line card coming up.
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

constexpr Mac kMac1 = {0x02, 0, 0, 0, 0, 0x01};
constexpr Mac kMac2 = {0x02, 0, 0, 0, 0, 0x02};
constexpr Mac kMac3 = {0x02, 0, 0, 0, 0, 0x03};

TEST(TunnelMac, CorePortEntriesMoveToTheNewMac) {
    auto& s = tsim::boot(edited(tsim::kChassis, "agent: global", "agent: per-port"), true);
    const uint32_t te10 = s.ifIndex("te1/0"), te13 = s.ifIndex("te1/3"), ge06 = s.ifIndex("ge0/6");
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP, {access("ge0/1"), core("te1/0")});
    tsim::vlanAdd(s, "vl20", L2PT_FLAG_STP, {core("te1/0")});
    tsim::vlanAdd(s, "vl30", L2PT_FLAG_STP | L2PT_FLAG_LLDP, {core("te1/0"), core("lag1")});
    s.ifm().lagAdd({{s.ifIndex("lag1"), {ge06, te13}}});
    s.settle();
    const size_t n0 = applied(s, 0), n1 = applied(s, 1), start = s.trace().lines().size();

    // The kernel first; then physical core ports (one removal at the last of their VLANs, one
    // install per VLAN), then LAG members, each batch flushed.
    s.ifm().tunnelMac(kMac1, false);
    s.settle();
    EXPECT_LT(lineOf(s, "kernel tunnel-mac 02:00:00:00:00:01", start),
              lineOf(s, "rx download", start));
    EXPECT_EQ(received(s, 1, n1), (Msgs{{kRemove, {entry(te10, kTunnelMac, 0, 5)}},
                                        {kInstall, Entries(3, entry(te10, kMac1, 0, 5))},
                                        {kRemove, {entry(te13, kTunnelMac, 0, 5)}},
                                        {kInstall, {entry(te13, kMac1, 0, 5)}}}));
    EXPECT_EQ(received(s, 0, n0), (Msgs{{kRemove, {entry(ge06, kTunnelMac, 0, 5)}},
                                        {kInstall, {entry(ge06, kMac1, 0, 5)}}}));
    EXPECT_EQ(corePort(te10)->vlanCount[0], 3u);
    EXPECT_EQ(l2ptLagTable[1].memberVlanCount[1][0], 1u);

    // Back to the default: the agents first, the kernel last.
    const size_t back = s.trace().lines().size();
    s.ifm().tunnelMacDefault();
    s.settle();
    EXPECT_EQ(received(s, 1, n1 + 4), (Msgs{{kRemove, {entry(te10, kMac1, 0, 5)}},
                                            {kInstall, Entries(3, entry(te10, kTunnelMac, 0, 5))},
                                            {kRemove, {entry(te13, kMac1, 0, 5)}},
                                            {kInstall, {entry(te13, kTunnelMac, 0, 5)}}}));
    const size_t kernel = lineOf(s, "kernel tunnel-mac 03:a7:31:00:00:00", back);
    EXPECT_LT(kernel, s.trace().lines().size());
    EXPECT_EQ(lineOf(s, "rx download", kernel), s.trace().lines().size());
}

TEST(TunnelMac, GlobalAgentsOnlyChangeTheirAgentWideEntry) {
    const std::string oneToGlobal = "slot: 1\n    type: 2\n    agent: ";
    auto& s =
        tsim::boot(edited(tsim::kChassis, oneToGlobal + "per-port", oneToGlobal + "global"), true);
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP, {core("ge0/0")});
    const size_t n0 = applied(s, 0), n1 = applied(s, 1), n2 = applied(s, 2);
    const auto global = [](const Mac& mac) { return entry(0, mac, 0, 0, 1); };

    // Without replace the new entry joins the old ones; per-port agents keep theirs.
    s.ifm().tunnelMac(kMac1, false);
    s.settle();
    s.ifm().tunnelMac(kMac2, false);
    s.settle();
    EXPECT_EQ(received(s, 1, n1), (Msgs{{kInstall, {global(kMac1)}}, {kInstall, {global(kMac2)}}}));
    EXPECT_EQ(applied(s, 0), n0);

    // With replace: both removals (of the current MAC) reach the agents before both installs.
    const size_t start = s.trace().lines().size();
    s.ifm().tunnelMac(kMac3, true);
    s.settle();
    EXPECT_EQ(received(s, 2, n2 + 2),
              (Msgs{{kRemove, {global(kMac2)}}, {kInstall, {global(kMac3)}}}));
    EXPECT_LT(lineOf(s, "acl[2] rx download", start),
              lineOf(s, "acl[1] rx download", lineOf(s, "acl[1] rx download", start) + 1));

    // Back to the default: removal, install of the default, then the kernel.
    const size_t back = s.trace().lines().size();
    s.ifm().tunnelMacDefault();
    s.settle();
    EXPECT_EQ(received(s, 2, n2 + 4),
              (Msgs{{kRemove, {global(kMac3)}}, {kInstall, {global(kTunnelMac)}}}));
    EXPECT_GT(lineOf(s, "kernel tunnel-mac 03:a7:31", back), lineOf(s, "acl[2] rx", back));
    EXPECT_EQ(s.entries(2), (Entries{global(kPvstMac), global(kMac1), global(kTunnelMac)}));
}

TEST(ConfigDownload, CardComingUpGetsItsWholeConfiguration) {
    auto& s = tsim::boot(kBigChassis, true);
    std::vector<tsim::PortSpec> many;
    for (int n = 0; n < 150; ++n) {
        many.push_back(access("ge0/" + std::to_string(n)));
    }
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP | L2PT_FLAG_LLDP, many);  // 300 entries
    tsim::vlanAdd(s, "vl20", L2PT_FLAG_STP, {core("ge0/0"), access("te1/0")});
    tsim::vlanAdd(s, "vl30", L2PT_FLAG_STP, {core("ge0/0")});
    tsim::vlanAdd(s, "vl40", L2PT_FLAG_GVRP, {access("lag1")}, 8);
    s.ifm().lagAdd({{s.ifIndex("lag1"), {s.ifIndex("ge0/1"), s.ifIndex("te1/1")}}});
    s.settle();
    const L2ptCorePort* ge00 = corePort(s.ifIndex("ge0/0"));
    ASSERT_NE(ge00, nullptr);

    // Card down clears the counters; coming up counts them again and sends 303 entries to
    // this card only: physical ports by VLAN, then LAG members.
    s.cardDown(0);
    EXPECT_EQ(ge00->vlanCount[0], 0u);
    const size_t n0 = applied(s, 0), n1 = applied(s, 1), start = s.trace().lines().size();
    s.cardUp(0);
    const auto msgs = received(s, 0, n0);
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0].entries.size(), 287u);
    ASSERT_EQ(msgs[1].entries.size(), 303u - 287u);
    EXPECT_EQ(Entries(msgs[1].entries.end() - 3, msgs[1].entries.end()),
              (Entries{entry(s.ifIndex("ge0/0"), kTunnelMac, 0, 5),
                       entry(s.ifIndex("ge0/0"), kTunnelMac, 0, 5),
                       entry(s.ifIndex("ge0/1"), kGvrpMac, 8, 3)}));
    EXPECT_EQ(applied(s, 1), n1);
    EXPECT_EQ(ge00->vlanCount[0], 2u);
    EXPECT_LT(lineOf(s, "kernel tunnel-mac 03:a7:31:00:00:00", start), s.trace().lines().size());
}

}  // namespace
