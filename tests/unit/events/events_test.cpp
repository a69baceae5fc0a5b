// IFM's configuration events: a core LAG's record, the agent-wide agent and rate limits. (VLAN
// records and their ports through add, delete and disable, bad VLAN port blocks, LAG members on
// their own cards: the vlan_ports golden trace; a LAG's slots and bad member blocks:
// lag_members'; a rate limit set, changed and removed: rate_limit's.)
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

// A core LAG beyond the LAG table, in two VLANs: leaving one keeps the other's record. (VLAN
// port messages cut short of their blocks: the vlan_ports golden trace.)
TEST(VlanPort, ACoreLagBeyondTheLagTableKeepsItsRecordWhileInAVlan) {
    auto& s = tsim::boot(kBigChassis, true);
    const uint32_t lag = s.ifIndex("lag200");
    tsim::vlanAdd(s, "vl30", L2PT_FLAG_STP, {core("lag200")});
    tsim::vlanAdd(s, "vl40", L2PT_FLAG_STP, {core("lag200")});
    tsim::vlanDel(s, "vl30", L2PT_FLAG_STP, {core("lag200")});
    EXPECT_NE(corePort(lag), nullptr);
    EXPECT_EQ(l2ptFirstIfNode(pL2ptVlanTable[40])->corePort, corePort(lag));
    tsim::vlanDel(s, "vl40", L2PT_FLAG_STP, {core("lag200")});
    EXPECT_TRUE(s.backend().reports().empty());
    EXPECT_EQ(Words({inUse("VMAN"), inUse("IFNODE"), inUse("ACCESS_PORT")}), (Words{2, 0, 0}));
}

void rate(chassis::SimSwitch& s, std::string_view vlan, uint32_t value, bool set = true) {
    if (set)
        s.ifm().rateSet(s.ifIndex(vlan), value);
    else
        s.ifm().rateRemove(s.ifIndex(vlan));
    s.settle();
}
// A VLAN record's rate limit and mode.
std::pair<uint32_t, int> limit(uint32_t vlanId) {
    return {pL2ptVlanTable[vlanId]->rateLimit, pL2ptVlanTable[vlanId]->aclMode};
}

// Slot 1's agent comes back with agent-wide entries: every set is refused from then on, and a
// removal reaches the per-port agents alone. (A removal's messages, and one for a VLAN without
// a record or of a limit alone: the rate_limit golden trace.)
TEST(RateLimit, TheGlobalAgentRefusesSetsAndIsSentNoRemoval) {
    auto& s = tsim::boot(kBigChassis, true);
    const uint32_t ge01 = s.ifIndex("ge0/1"), ge05 = s.ifIndex("ge0/5");
    s.ifm().lagAdd({{s.ifIndex("lag1"), {ge05, s.ifIndex("te1/2")}}});
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP, {access("ge0/1"), access("te1/1"), access("lag1")}, 64);
    s.cardDown(1);
    s.agent(1).setMode(chassis::AgentMode::Global);
    s.cardUp(1);
    const size_t n0 = applied(s, 0), n1 = applied(s, 1);
    rate(s, "vl10", 500);
    rate(s, "vl30", 500);
    EXPECT_EQ(limit(10), std::pair(64u, 3));
    EXPECT_EQ(pL2ptVlanTable[30], nullptr);
    EXPECT_EQ(std::pair(applied(s, 0), applied(s, 1)), std::pair(n0, n1));

    rate(s, "vl10", 0, false);
    EXPECT_EQ(limit(10), std::pair(0u, 1));
    EXPECT_EQ(received(s, 0, n0), (Msgs{{kRemove, {entry(ge01, kStpMac, 0, 2)}},
                                        {kRemove, {entry(ge05, kStpMac, 0, 2)}}}));
    EXPECT_EQ(applied(s, 1), n1);
    EXPECT_EQ(records(s), (std::vector<Rec>{{kRateGlobal, {}}, {kRateGlobal, {}}}));
}

}  // namespace
