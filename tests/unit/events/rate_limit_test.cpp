// Rate limits: the VLAN record keeps the limit; access ports' entries are re-sent as rate changes.
#include <numeric>

#include "tests/support/task_test.h"

namespace {

using namespace ttest;

void rate(chassis::SimSwitch& s, std::string_view vlan, uint32_t value, bool set = true) {
    if (set) {
        s.ifm().rateSet(s.ifIndex(vlan), value);
    } else {
        s.ifm().rateRemove(s.ifIndex(vlan));
    }
    s.settle();
}
// A VLAN record's rate limit and mode.
std::pair<uint32_t, int> limit(uint32_t vlanId) {
    return {pL2ptVlanTable[vlanId]->rateLimit, pL2ptVlanTable[vlanId]->aclMode};
}

TEST(RateLimit, SetWaitsForPortsThenResendsAccessEntries) {
    auto& s = tsim::boot(kBigChassis, true);  // per-port agents only
    const uint32_t ge01 = s.ifIndex("ge0/1"), ge05 = s.ifIndex("ge0/5");
    const uint32_t te10 = s.ifIndex("te1/0"), te11 = s.ifIndex("te1/1");
    s.ifm().lagAdd({{s.ifIndex("lag1"), {ge05, te11}}});
    s.settle();

    // No record yet: one is made to hold the limit, and nothing is sent.
    rate(s, "vl10", 64);
    EXPECT_EQ(limit(10), std::pair(64u, 2));
    EXPECT_EQ(applied(s, 0) + applied(s, 1), 0u);

    // Ports added later are installed with the stored limit and mode 3.
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP | L2PT_FLAG_GVRP,
                  {access("ge0/1"), core("te1/0"), access("lag1")});
    EXPECT_EQ(limit(10), std::pair(64u, 3));
    EXPECT_EQ(s.entries(0), (Entries{entry(ge01, kStpMac, 64, 3), entry(ge01, kGvrpMac, 64, 3),
                                     entry(ge05, kStpMac, 64, 3), entry(ge05, kGvrpMac, 64, 3)}));
    EXPECT_EQ(s.entries(1), (Entries{entry(te10, kTunnelMac, 0, 5), entry(te11, kStpMac, 64, 3),
                                     entry(te11, kGvrpMac, 64, 3)}));

    // A new limit: the access ports' entries again, as rate changes (mode 2); the physical ports
    // are flushed before the LAG members; the core port is left alone.
    rate(s, "vl10", 128);
    EXPECT_EQ(limit(10), std::pair(128u, 3));
    EXPECT_EQ(received(s, 0, 1),
              (Msgs{{kInstall, {entry(ge01, kStpMac, 128, 2), entry(ge01, kGvrpMac, 128, 2)}},
                    {kInstall, {entry(ge05, kStpMac, 128, 2), entry(ge05, kGvrpMac, 128, 2)}}}));
    EXPECT_EQ(received(s, 1, 1),
              (Msgs{{kInstall, {entry(te11, kStpMac, 128, 2), entry(te11, kGvrpMac, 128, 2)}}}));

    // A VLAN with core ports only: the record changes, nothing is sent. VLAN ids beyond 4095 are
    // ignored.
    tsim::vlanAdd(s, "vl20", L2PT_FLAG_STP, {core("te1/2"), core("lag1")});
    const size_t sent = applied(s, 0) + applied(s, 1);
    rate(s, "vl20", 32);
    rate(s, "vl5000", 8);
    EXPECT_EQ(limit(20), std::pair(32u, 3));
    EXPECT_EQ(applied(s, 0) + applied(s, 1), sent);
    EXPECT_EQ(inUse("VMAN"), 2u);

    // lag1, not in vl30, is passed over.
    tsim::vlanAdd(s, "vl30", L2PT_FLAG_LLDP, {access("ge0/2")});
    const size_t j0 = applied(s, 0);
    rate(s, "vl30", 8);
    EXPECT_EQ(received(s, 0, j0), (Msgs{{kInstall, {entry(s.ifIndex("ge0/2"), kLldpMac, 8, 2)}}}));
    // Every rate message was acknowledged.
    std::vector<uint32_t> all(s.ifm().lastSeq());
    std::iota(all.begin(), all.end(), 1u);
    EXPECT_EQ(s.ifm().acks(), all);
    EXPECT_TRUE(s.logRecords().empty());
    EXPECT_EQ(inUse("var:"), 0u);
}

TEST(RateLimit, RemoveAndTheGlobalAgentRefusal) {
    auto& s = tsim::boot(kBigChassis, true);
    const uint32_t ge01 = s.ifIndex("ge0/1"), ge05 = s.ifIndex("ge0/5");
    s.ifm().lagAdd({{s.ifIndex("lag1"), {ge05, s.ifIndex("te1/2")}}});
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP, {access("ge0/1"), access("te1/1"), access("lag1")}, 64);

    // Remove without a record is logged; on a record with only a limit it changes nothing.
    rate(s, "vl30", 0, false);
    rate(s, "vl20", 16);
    rate(s, "vl20", 0, false);
    EXPECT_EQ(limit(20), std::pair(16u, 2));

    // Slot 1's agent comes back with agent-wide entries: every set is refused from now on.
    s.cardDown(1);
    s.agent(1).setMode(chassis::AgentMode::Global);
    s.cardUp(1);
    const size_t n0 = applied(s, 0), n1 = applied(s, 1);
    rate(s, "vl10", 500);
    rate(s, "vl30", 500);
    EXPECT_EQ(limit(10), std::pair(64u, 3));
    EXPECT_EQ(pL2ptVlanTable[30], nullptr);
    EXPECT_EQ(std::pair(applied(s, 0), applied(s, 1)), std::pair(n0, n1));

    // Remove: the limit goes first, then rate changes to 0 for the access ports of per-port
    // agents, physical ports and LAG members in two batches; the global agent gets nothing.
    rate(s, "vl10", 0, false);
    EXPECT_EQ(limit(10), std::pair(0u, 1));
    EXPECT_EQ(received(s, 0, n0), (Msgs{{kRemove, {entry(ge01, kStpMac, 0, 2)}},
                                        {kRemove, {entry(ge05, kStpMac, 0, 2)}}}));
    EXPECT_EQ(applied(s, 1), n1);
    EXPECT_EQ(records(s),
              (std::vector<Rec>{
                  failure("vman vl30 does not exist"), {kRateGlobal, {}}, {kRateGlobal, {}}}));
}

}  // namespace
