// Rate limits: the VLAN record keeps the limit; access ports' entries are re-sent as rate changes.
#include <numeric>

#include "events/rate_limit.h"
#include "tests/unit/classification/acl_wire.h"
#include "tests/unit/task/task_test.h"

namespace {

using namespace aclwire;
using ttest::Rec;

void rateSet(chassis::SimSwitch& s, std::string_view vlan, uint32_t rate) {
    s.ifm().rateSet(s.ifIndex(vlan), rate);
    s.settle();
}
void rateRemove(chassis::SimSwitch& s, std::string_view vlan) {
    s.ifm().rateRemove(s.ifIndex(vlan));
    s.settle();
}
// A VLAN record's rate limit and mode.
std::pair<uint32_t, int> limit(uint32_t vlanId) {
    return {pL2ptVlanTable[vlanId]->rateLimit, pL2ptVlanTable[vlanId]->aclMode};
}
// How many messages the agents of slots 0 and 1 have applied.
std::pair<size_t, size_t> applied(chassis::SimSwitch& s) {
    return {count(s, 0), count(s, 1)};
}
size_t consoleCount(chassis::SimSwitch& s, std::string_view line) {
    const auto& l = s.consoleLines();
    return static_cast<size_t>(std::count(l.begin(), l.end(), line));
}

TEST(RateLimit, SetWaitsForPortsThenResendsAccessEntries) {
    auto sim = aclwire::boot(kBigChassis);  // per-port agents only
    auto& s = *sim;
    const uint32_t ge01 = s.ifIndex("ge0/1"), ge05 = s.ifIndex("ge0/5");
    const uint32_t te10 = s.ifIndex("te1/0"), te11 = s.ifIndex("te1/1");
    s.ifm().lagAdd({{s.ifIndex("lag1"), {ge05, te11}}});
    s.settle();
    const auto n = applied(s);

    // No record yet: one is made to hold the limit, and nothing is sent.
    rateSet(s, "vl10", 64);
    ASSERT_NE(pL2ptVlanTable[10], nullptr);
    EXPECT_EQ(limit(10), std::pair(64u, 2));
    EXPECT_EQ(applied(s), n);

    // Ports added later are installed with the stored limit and mode 3.
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP | L2PT_FLAG_GVRP,
                  {access("ge0/1"), core("te1/0"), access("lag1")});
    EXPECT_EQ(limit(10), std::pair(64u, 3));
    EXPECT_EQ(s.entries(0), (Entries{entry(ge01, kStp, 64, 3), entry(ge01, kGvrp, 64, 3),
                                     entry(ge05, kStp, 64, 3), entry(ge05, kGvrp, 64, 3)}));
    EXPECT_EQ(s.entries(1), (Entries{entry(te10, kTunnel, 0, 5), entry(te11, kStp, 64, 3),
                                     entry(te11, kGvrp, 64, 3)}));

    // A new limit: the access ports' entries again, as rate changes (mode 2); the physical ports
    // are flushed before the LAG members; the core port is left alone.
    const size_t m0 = count(s, 0), m1 = count(s, 1);
    rateSet(s, "vl10", 128);
    EXPECT_EQ(limit(10), std::pair(128u, 3));
    EXPECT_EQ(received(s, 0, m0),
              (Msgs{{kInstall, {entry(ge01, kStp, 128, 2), entry(ge01, kGvrp, 128, 2)}},
                    {kInstall, {entry(ge05, kStp, 128, 2), entry(ge05, kGvrp, 128, 2)}}}));
    EXPECT_EQ(received(s, 1, m1),
              (Msgs{{kInstall, {entry(te11, kStp, 128, 2), entry(te11, kGvrp, 128, 2)}}}));
    EXPECT_TRUE(consoleHas(s, "l2ptProcessRate: rate value 128 sent for access ports in vl10"));

    // A VLAN with core ports only: the record changes, nothing is sent.
    tsim::vlanAdd(s, "vl20", L2PT_FLAG_STP, {core("te1/2"), core("lag1")});
    const auto k = applied(s);
    rateSet(s, "vl20", 32);
    EXPECT_EQ(limit(20), std::pair(32u, 3));
    EXPECT_EQ(applied(s), k);

    // VLAN ids beyond 4095 are ignored.
    rateSet(s, "vl5000", 8);
    EXPECT_TRUE(consoleHas(s, "l2ptProcessRate: invalid vlan vl5000 "));
    EXPECT_EQ(inUse("VMAN"), 2u);

    // Configuration after a rate message is applied; lag1, not in vl30, is passed over.
    const uint32_t ge02 = s.ifIndex("ge0/2");
    tsim::vlanAdd(s, "vl30", L2PT_FLAG_LLDP, {access("ge0/2")});
    const size_t j0 = count(s, 0);
    rateSet(s, "vl30", 8);
    EXPECT_EQ(received(s, 0, j0), (Msgs{{kInstall, {entry(ge02, kLldp, 8, 2)}}}));
    EXPECT_EQ(consoleCount(s, "l2ptProcessRate: could not get lag lag1 ifnode"), 2u);
    // Every rate message was acknowledged.
    std::vector<uint32_t> all(s.ifm().lastSeq());
    std::iota(all.begin(), all.end(), 1u);
    EXPECT_EQ(s.ifm().acks(), all);
    EXPECT_TRUE(s.logRecords().empty());
    EXPECT_EQ(inUse("var:8192"), 0u);

    l2ptShowRate();
    s.chassis().console().flush();
    const auto& lines = s.consoleLines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(
        std::vector<std::string>(lines.end() - 4, lines.end()),
        (std::vector<std::string>{"L2PT rate limit value is 128", "L2PT rate limit value is 32",
                                  "L2PT rate limit value is 8", ""}));
}

TEST(RateLimit, RemoveAndTheGlobalAgentRefusal) {
    auto sim = aclwire::boot(kBigChassis);
    auto& s = *sim;
    const uint32_t ge01 = s.ifIndex("ge0/1"), ge05 = s.ifIndex("ge0/5");
    s.ifm().lagAdd({{s.ifIndex("lag1"), {ge05, s.ifIndex("te1/2")}}});
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP, {access("ge0/1"), access("te1/1"), access("lag1")}, 64);

    // Remove without a record is logged; on a record with only a limit it changes nothing.
    rateRemove(s, "vl30");
    rateSet(s, "vl20", 16);
    rateRemove(s, "vl20");
    EXPECT_EQ(limit(20), std::pair(16u, 2));

    // Slot 1's agent comes back with agent-wide entries: every set is refused from now on.
    s.cardDown(1);
    s.agent(1).setMode(chassis::AgentMode::Global);
    s.cardUp(1);
    const size_t n0 = count(s, 0), n1 = count(s, 1);
    rateSet(s, "vl10", 500);
    rateSet(s, "vl30", 500);
    EXPECT_EQ(limit(10), std::pair(64u, 3));
    EXPECT_EQ(pL2ptVlanTable[30], nullptr);
    EXPECT_EQ(applied(s), std::pair(n0, n1));
    EXPECT_TRUE(consoleHas(s,
                           "l2ptProcessRate: can't add rate value for vl10, since ACL entry "
                           "is Global"));

    // Remove: the limit goes first, then rate changes to 0 for the access ports of per-port
    // agents, physical ports and LAG members in two batches; the global agent gets nothing.
    rateRemove(s, "vl10");
    EXPECT_EQ(limit(10), std::pair(0u, 1));
    EXPECT_EQ(received(s, 0, n0),
              (Msgs{{kRemove, {entry(ge01, kStp, 0, 2)}}, {kRemove, {entry(ge05, kStp, 0, 2)}}}));
    EXPECT_EQ(count(s, 1), n1);
    EXPECT_EQ(consoleCount(s, "l2ptProcessRate: rate value removed for access ports in vl10" +
                                  std::string(26, ' ')),
              1u);
    EXPECT_EQ(consoleCount(s, "l2ptProcessRate: rate value 0 removed for access ports in vl10" +
                                  std::string(35, ' ')),
              1u);
    EXPECT_EQ(ttest::records(s), (std::vector<Rec>{{L2PT_LOG_FAILURE, {"vman vl30 does not exist"}},
                                                   {L2PT_LOG_RATE_GLOBAL, {}},
                                                   {L2PT_LOG_RATE_GLOBAL, {}}}));
}

}  // namespace
