// The ACL agents' lifecycle as start-up and line-card events drive it.
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

class SilentAgent : public testing::TestWithParam<bool> {};

// At start-up an agent that never answers is tried once per pass, 20 passes, each after the
// previous request timed out, while the others register once; on a card-up a refusing agent is
// tried back to back as often as gL2PTMaxAclTry says and its configuration is not downloaded.
// Only a primary logs.
TEST_P(SilentAgent, IsTriedTwentyTimes) {
    auto& s = tsim::boot(edited(edited(tsim::kChassis, "agent: global", "agent: silent"),
                                "role: primary", GetParam() ? "role: primary" : "role: secondary"));
    s.advanceMs(20 * 30000);
    const auto times = timesOf(s, "acl[2] rx register slot=2 master=0 (silent)");
    ASSERT_EQ(times.size(), 20u);
    EXPECT_EQ(times.back() - times.front(), 19 * 30.0);
    EXPECT_EQ(count(s, "acl[0] rx register") + count(s, "acl[1] rx register"), 2u);
    EXPECT_TRUE(s.taskReady());

    ASSERT_TRUE(ozm::sym::set("gL2PTMaxAclTry", 50));
    s.faults().arm("acl-status:3");
    s.cardUp(3);
    EXPECT_EQ(timesOf(s, "acl[3] rx register"), std::vector<double>(50, 600));
    EXPECT_EQ(count(s, "acl[3] rx download"), 0u);
    EXPECT_EQ(l2ptAclBitmap, 0xC0000000u);
    const std::vector<Rec> logged = {{kNotRegistered, {"2"}}, {kNotRegistered, {"3"}}};
    EXPECT_EQ(records(s), GetParam() ? logged : std::vector<Rec>{});
}

INSTANTIATE_TEST_SUITE_P(Task, SilentAgent, testing::Bool(),
                         [](const auto& info) { return info.param ? "Primary" : "Secondary"; });

// Slot 13 lies beyond the agent table: IFM's card there is never registered, its events ignored.
TEST(Agents, CardEventsRegisterDownloadAndTearDown) {
    auto& s =
        tsim::boot(edited(edited(tsim::kChassis, "slots: 12", "slots: 16"), "lags:",
                          "  - {slot: 13, type: 1, ports: [{range: 0-1, name: \"ge13/{n}\"}]}\n"
                          "lags:"));
    EXPECT_EQ(count(s, "ifm tx reply type=24410 status=0 slots=16 cards=0x2007"), 1u);
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP, {access("ge0/1"), core("ge3/1")});
    s.cardUp(3);                         // registration, then the card's configuration
    s.events().raw(EVT_LINECARD_UP, 3);  // already alive: nothing
    s.settle();
    EXPECT_EQ(s.entries(3).size(), 1u);
    EXPECT_EQ(count(s, "acl[3] rx register") + count(s, "acl[3] rx download"), 2u);
    EXPECT_EQ(l2ptAclBitmap, 0xF0000000u);

    s.cardDown(3);
    s.events().raw(EVT_LINECARD_REMOVED, 3);      // a second down finds no agent
    s.events().raw(EVT_LINECARD_REMOVED + 1, 0);  // an unknown event: nothing
    s.events().raw(EVT_LINECARD_UP, 13);
    s.settle();
    EXPECT_EQ(count(s, "acl[13]"), 0u);
    EXPECT_EQ(l2ptAclBitmap, 0xE0000000u);
    EXPECT_TRUE(records(s).empty());
}

}  // namespace
