// IFM's rate limits with an agent-wide agent. (VLAN records and their ports through add, delete
// and disable, bad VLAN port blocks, LAG members on their own cards: the vlan_ports golden
// trace; a LAG's slots and bad member blocks: lag_members'; a rate limit set, changed and
// removed, and a core LAG's record: rate_limit's.)
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

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
