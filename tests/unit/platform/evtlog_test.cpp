// Event log: rendering of every catalogue kind, handles, and event subscription.
#include "platform/evtlog.h"
#include "platform_test.h"

namespace {

using EvtTest = test::PlatformTest;
using Args = std::vector<std::string>;

TEST_F(EvtTest, CodedEventsReadExactlyTheArgumentsTheirEntryNames) {
    uint32_t h = ozmEvtOpenlog("l2ptTaskMain", 0, 225, 0);
    ozmSysErr(h, nullptr, 0x3a0004, 1, 7);                                    // int
    ozmSysErr(h, nullptr, 0x3a0001, 1, "cannot allocate vman entry");         // text
    ozmSysErr(h, nullptr, 0x3a000a, 1, 5, "Check sequence and Ack failure");  // int, text
    ozmSysErr(h, nullptr, 0x3a0006, 0);                                       // none
    ozmSysErr(h, nullptr, 0x3a0010, 1, 99, "extra");                          // extra ignored
    ozmSysErr(h, nullptr, 0x3a000d, 0);                                       // flag 0: none read
    ozmSysErr(h, nullptr, 0x3a000e, 1, static_cast<const char*>(nullptr));
    ozmSysErr(h, nullptr, 0x3a00ff, 1, 1, 2);  // unknown code
    ozmSysErr(h, "free line", 0, 0);

    const auto& logs = fake->logs;
    ASSERT_EQ(logs.size(), 9u);
    EXPECT_EQ(logs[0].text, "ACL agent of slot 7 did not register");
    EXPECT_EQ(logs[0].args, Args{"7"});
    EXPECT_EQ(logs[1].text, "no memory: cannot allocate vman entry");
    EXPECT_EQ(logs[2].text, "sequence check failed with 5: Check sequence and Ack failure");
    EXPECT_EQ(logs[2].args, (Args{"5", "Check sequence and Ack failure"}));
    EXPECT_EQ(logs[3].text, "main loop wait failed");
    EXPECT_TRUE(logs[4].args.empty());
    EXPECT_EQ(logs[5].text, "?");
    EXPECT_TRUE(logs[5].args.empty());
    EXPECT_EQ(logs[6].text, "cannot update the peer RPM: (null)");
    EXPECT_EQ(logs[7].text, "event 0x3a00ff");
    EXPECT_TRUE(logs[7].args.empty());
    EXPECT_EQ(logs[8].code, 0u);
    EXPECT_EQ(logs[8].text, "free line");
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_NE(logs[i].code, 0u);
    }
    EXPECT_STREQ(ozmEvtCatalogueText(0x3a0009),
                 "sequenced-queue service refused an ACL download message (%d)");
    EXPECT_EQ(ozmEvtCatalogueText(0x3a0002), nullptr);
}

TEST_F(EvtTest, HandlesAndTheirFaults) {
    fake->faults = {"ozmEvtOpenlog"};
    EXPECT_EQ(ozmEvtOpenlog("x", 0, 225, 0), OZM_EVT_INVALID_HANDLE);
    fake->faults = {"ozmEvtSetSeverityLevel"};
    uint32_t h = ozmEvtOpenlog("x", 0, 225, 0);
    ASSERT_NE(h, OZM_EVT_INVALID_HANDLE);
    EXPECT_EQ(ozmEvtSetSeverityLevel(h, 0x01FFFFFF), -1);
    fake->faults.clear();
    EXPECT_EQ(ozmEvtSetSeverityLevel(h, 0x01FFFFFF), 0);
    EXPECT_EQ(ozmEvtTurnOnSeverityLevel(h, 3), 0);
    EXPECT_EQ(ozmEvtTurnOnSeverityLevel(h, 32), -1);
    int value = 1;
    EXPECT_EQ(ozmEvtRegisterSvce(h, &value), 0);
    EXPECT_EQ(ozmEvtCloselog(h), 0);
    EXPECT_EQ(ozmEvtCloselog(h), -1);
    EXPECT_EQ(ozmEvtSetSeverityLevel(h, 1), -1);
    // A record on a closed handle is still delivered.
    ozmSysErr(h, nullptr, 0x3a000d, 1, "deletion of mem pools caused error");
    ASSERT_EQ(fake->logs.size(), 1u);
    EXPECT_EQ(fake->logs[0].text, "deletion of mem pools caused error");
}

TEST_F(EvtTest, SubscriptionPassesTheIdsInOrder) {
    uint32_t h = ozmEvtOpenlog("x", 0, 225, 0);
    EXPECT_EQ(ozmEvhSubscribeEvt(h, 3, 0x118013, 0x118011, 0x118012), 0);
    EXPECT_EQ(ozmEvhUnsubscribeEvt(h, 1, 0x118011), 0);
    ASSERT_EQ(fake->subscriptions.size(), 2u);
    EXPECT_EQ(fake->subscriptions[0].first, (std::vector<uint32_t>{0x118013, 0x118011, 0x118012}));
    EXPECT_TRUE(fake->subscriptions[0].second);
    EXPECT_FALSE(fake->subscriptions[1].second);
    fake->faults = {"ozmEvhSubscribeEvt"};
    EXPECT_EQ(ozmEvhSubscribeEvt(h, 1, 0x118011), -1);
    EXPECT_EQ(ozmEvhSubscribeEvt(h, -1), -1);
    EXPECT_EQ(fake->subscriptions.size(), 2u);
}

}  // namespace
