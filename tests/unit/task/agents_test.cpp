// The ACL agents' lifecycle as start-up and line-card events drive it.
#include <gtest/gtest.h>

#include "classification/acl_msg.h"
#include "classification/agents.h"
#include "platform/wire/l2pt.h"
#include "state/protocol.h"
#include "tests/support/frames.h"
#include "tests/unit/task/task_test.h"

using ttest::count;
using ttest::Rec;

namespace {

constexpr uint32_t kSlots012 = 0xE0000000;
constexpr uint32_t kSlot3 = 0x10000000;

// IFM may report line cards in slots the agent table does not have: they are never used.
TEST(Agents, LineCardsAboveSlot11AreSkipped) {
    ozm::sym::set("l2pt_debug_cp", 1);
    auto sim = tsim::boot(R"(
chassis: {name: t, slots: 16}
card_types: [{id: 1, name: 2x1G, ten_gig: false}]
line_cards:
  - {slot: 0, type: 1, ports: [{range: 0-1, name: "ge0/{n}"}]}
  - {slot: 13, type: 1, ports: [{range: 0-1, name: "ge13/{n}"}]}
)");
    EXPECT_EQ(count(*sim, "ifm tx reply type=24410 status=0 slots=16 cards=0x2001"), 1u);
    EXPECT_EQ(count(*sim, "console l2ptInitAclAgent: start, agent id 0"), 1u);
    sim->events().raw(EVT_LINECARD_UP, 13);
    sim->settle();
    EXPECT_EQ(count(*sim, "console l2ptInitAclAgent: start, agent id 13"), 0u);
    EXPECT_EQ(count(*sim, "acl[13]"), 0u);
    EXPECT_TRUE(ttest::hasConsole(*sim, "l2ptProcessEvtHdlrNotif: Unknown slot: 13"));
    EXPECT_EQ(l2ptAclBitmap, 0x80000000u);
    EXPECT_TRUE(sim->taskReady());
    EXPECT_TRUE(ttest::records(*sim).empty());
}

class SilentAgent : public testing::TestWithParam<bool> {
  protected:
    std::string yaml() const {
        return ttest::chassisWithRpm(GetParam() ? "rpm: {role: primary}"
                                                : "rpm: {role: secondary}");
    }
    std::vector<Rec> logged(const char* slot) const {
        return GetParam() ? std::vector<Rec>{{0x3a0004, {slot}}} : std::vector<Rec>{};
    }
};

// At start-up an agent that never answers is tried once per pass, 20 passes, each after the
// previous request timed out; the others register once; only a primary logs it.
TEST_P(SilentAgent, IsTriedTwentyTimesAtStartUp) {
    std::string chassis = yaml();
    chassis.replace(chassis.find("agent: global"), 13, "agent: silent");
    auto sim = tsim::boot(chassis);
    sim->advanceMs(20 * 30000);
    const auto times = ttest::timesOf(*sim, "acl[2] rx register slot=2 master=0 (silent)");
    ASSERT_EQ(times.size(), 20u);
    EXPECT_EQ(times.back() - times.front(), 19 * 30.0);
    EXPECT_EQ(count(*sim, "acl[0] rx register"), 1u);
    EXPECT_EQ(count(*sim, "acl[1] rx register"), 1u);
    EXPECT_TRUE(sim->taskReady());
    EXPECT_EQ(ttest::records(*sim), logged("2"));
}

// On a card-up event a refusing agent is tried 20 times back to back and its configuration is
// not downloaded.
TEST_P(SilentAgent, IsTriedTwentyTimesOnCardUp) {
    auto sim = tsim::boot(yaml());
    sim->faults().arm("acl-status:3");
    sim->advanceMs(5);
    sim->cardUp(3);
    EXPECT_EQ(ttest::timesOf(*sim, "acl[3] rx register"), std::vector<double>(20, 0.005));
    EXPECT_EQ(count(*sim, "acl[3] rx download"), 0u);
    EXPECT_EQ(l2ptAclBitmap, kSlots012);
    EXPECT_EQ(ttest::records(*sim), logged("3"));
}

INSTANTIATE_TEST_SUITE_P(Task, SilentAgent, testing::Bool(),
                         [](const auto& info) { return info.param ? "Primary" : "Secondary"; });

TEST(Agents, CardEventsRegisterDownloadAndTearDown) {
    auto sim = tsim::boot();
    ozm::sym::set("l2pt_debug_cp", 1);
    tsim::vlanAdd(*sim, "vl100", L2PT_FLAG_STP, {tsim::access("ge0/1"), tsim::core("ge3/1")});
    sim->cardUp(3);  // registration, then the card's configuration
    ASSERT_EQ(sim->entries(3).size(), 1u);
    EXPECT_EQ(l2ptAclBitmap, kSlots012 | kSlot3);
    sim->events().raw(EVT_LINECARD_UP, 3);  // already alive: nothing
    sim->settle();
    EXPECT_EQ(count(*sim, "acl[3] rx register"), 1u);
    EXPECT_EQ(count(*sim, "acl[3] rx download"), 1u);

    sim->cardDown(3);  // the card's core-port counters restart; a second down finds no agent
    EXPECT_EQ(l2ptAclBitmap, kSlots012);
    EXPECT_TRUE(ttest::hasConsole(*sim, "List of physical & lag member core ports: ge3/1 "));
    EXPECT_TRUE(ttest::hasConsole(*sim, "l2ptExitAclAgent: Agent 3 went down "));
    sim->events().raw(EVT_LINECARD_REMOVED, 3);
    sim->settle();
    EXPECT_TRUE(ttest::hasConsole(*sim, "Agent 3 not alive"));
    // Back up, then the port leaves the VLAN: the removal goes out as the count restarted.
    sim->cardUp(3);
    tsim::vlanDel(*sim, "vl100", L2PT_FLAG_STP, {tsim::core("ge3/1")});
    EXPECT_TRUE(sim->entries(3).empty());

    sim->events().raw(EVT_LINECARD_REMOVED + 1, 0);  // unknown event and slot: nothing
    sim->events().raw(EVT_LINECARD_DOWN, 12);
    sim->settle();
    EXPECT_TRUE(ttest::hasConsole(*sim, "l2ptProcessEvtHdlrNotif: Unknown slot: 12"));
    EXPECT_EQ(l2ptAclBitmap, kSlots012 | kSlot3);
    EXPECT_TRUE(ttest::records(*sim).empty());
}

// Tearing down a per-port agent releases a message still pending for it, unsent. Handlers
// always flush, so the test packs the entry itself while the task is parked.
TEST(Agents, TearDownReleasesThePendingMessage) {
    auto sim = tsim::boot();
    ASSERT_EQ(l2ptAclAppendEntry(0, sim->ifIndex("ge0/1"), frames::kStpMac.data(), 0, 0, 0, 1), 0);
    EXPECT_EQ(ttest::varBlocksInUse(), 1u);
    sim->cardDown(0);
    EXPECT_EQ(ttest::varBlocksInUse(), 0u);
    EXPECT_EQ(count(*sim, "acl[0] rx download"), 0u);
}

}  // namespace
