// The takeover of the old primary's agents by a secondary that became primary.
#include "redundancy/peer_rpm.h"
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

// What the peer golden trace cannot show: an update carries the tick count (100 per second) as
// its task id, a reply none, and a reply as long as the receive buffer is zeros past its fields.
TEST(PeerRpm, UpdatesCarryTheTickCountAndALongReplyIsZerosPastItsFields) {
    auto& s = tsim::boot(edited(tsim::kChassis, "master_slot: 0, peer: none",
                                "master_slot: 4, peer: {role: secondary}"));
    const auto& got = s.peer().received();
    s.peer().regRequest();
    s.advanceMs(1000);
    s.cardDown(1);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(hdr::srcTaskId(got[0].data()), 0u);  // the reply to the peer's request
    EXPECT_EQ(hdr::srcTaskId(got[1].data()), 100u);
    std::vector<uint8_t> request(rpmmsg::kLen);  // msgLen past the buffer
    wire::putU32(request.data(), hdr::kMsgLen, 0x00100000);
    wire::putU32(request.data(), hdr::kMsgType, MT_L2PT_REG_REQ);
    wire::putI32(request.data(), hdr::kMsgStatus, rpmmsg::kStatusRequest);
    s.ifm().rawBytes(request);
    s.settle();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].size(), hdr::kMaxMsgLen);
    EXPECT_TRUE(zero(got[2], rpmmsg::kLen, got[2].size()));
}

constexpr uint32_t kSlot(uint32_t s) {
    return 0x80000000u >> s;
}

// A secondary registered with its primary, which sent this bitmap and master slot; every card
// starts absent (no agent of its own), those of `present` then up, registered with the old one.
chassis::SimSwitch& secondary(uint32_t bitmap, int32_t master,
                              std::initializer_list<uint32_t> present) {
    auto& s = tsim::boot(R"(
rpm: {role: secondary, peer: {role: primary}}
card_types: [{id: 1, name: 4x1G, ten_gig: false}]
line_cards:
  - {slot: 0, type: 1, present: false, ports: [{range: 0-3, name: "ge0/{n}"}]}
  - {slot: 1, type: 1, present: false, ports: [{range: 0-3, name: "ge1/{n}"}]}
  - {slot: 2, type: 1, present: false, agent: global, ports: [{range: 0-3, name: "ge2/{n}"}]}
  - {slot: 3, type: 1, present: false, ports: [{range: 0-3, name: "ge3/{n}"}]}
  - {slot: 8, type: 1, present: false, ports: [{range: 0-3, name: "ge8/{n}"}]}
vlans: [{id: 10, name: vl10}]
)",
                         true);
    for (uint32_t slot : present)
        s.agent(slot).setPresent(true);
    s.peer().setBitmap(bitmap);  // what it answers a later request with, too
    s.peer().setMasterSlot(master);
    s.peer().regReply(bitmap, master);
    s.settle();
    EXPECT_EQ(std::tuple(l2ptRegisteredWithPRPM, l2ptAclBitmap, l2ptMstrSlotId),
              std::tuple(1u, bitmap, master));
    return s;
}
void haEvent(chassis::SimSwitch& s, uint32_t code, bool primary = true) {
    s.ha().setPrimary(primary);
    s.ha().event(code);
    s.settle();
}
// Registration requests each slot's agent received.
Words registrations(chassis::SimSwitch& s, std::initializer_list<uint32_t> slots) {
    Words out;
    for (uint32_t slot : slots)
        out.push_back(
            static_cast<uint32_t>(count(s, "acl[" + std::to_string(slot) + "] rx register")));
    return out;
}

TEST(Takeover, RegistersAndConfiguresTheAgentsOfTheBitmap) {
    auto& s = secondary(kSlot(0) | kSlot(1) | kSlot(2) | kSlot(3), 3, {0, 1, 2, 3});
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP, {access("ge0/1"), access("ge1/1"), core("ge3/0")});

    // Other codes change nothing, whatever the role query answers.
    for (uint32_t code : {0u, 1u, 2u, 4u, 1608u})
        haEvent(s, code);
    EXPECT_EQ(std::tuple(l2ptIsPrimary, l2ptRegisteredWithPRPM, l2ptMstrSlotId),
              std::tuple(0u, 1u, 3));

    // Takeover: the master slot leaves the bitmap, each other slot is registered and configured.
    haEvent(s, 3);
    EXPECT_EQ(std::tuple(l2ptIsPrimary, l2ptRegisteredWithPRPM, l2ptAclBitmap, l2ptMstrSlotId),
              std::tuple(1u, 0u, kSlot(0) | kSlot(1) | kSlot(2), -1));
    EXPECT_EQ(registrations(s, {0, 1, 2, 3}), (Words{1, 1, 1, 0}));
    EXPECT_LT(lineOf(s, "acl[0] rx download"), lineOf(s, "acl[1] rx register"));
    EXPECT_LT(lineOf(s, "acl[1] rx download"), lineOf(s, "acl[2] rx register"));
    EXPECT_TRUE(s.logRecords().empty());
}

TEST(Takeover, SilentAgentsCostTwentyAttemptsAndOneRecordEach) {
    // Slot 2 is absent. Master slot 40 lies beyond the bitmap: it must clear no bit, neither in
    // a word past the bitmap nor slot 8 (40 mod 32).
    const uint32_t bitmap = kSlot(0) | kSlot(1) | kSlot(2) | kSlot(8);
    auto& s = secondary(bitmap, 40, {0, 1, 8});
    s.agent(1).setMode(chassis::AgentMode::Silent);
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP, {access("ge0/1")});
    haEvent(s, 3);
    s.advanceMs(2 * 20 * 30'000);  // each attempt waits out the two registration time-outs
    EXPECT_EQ(l2ptAclBitmap, bitmap);
    EXPECT_EQ(registrations(s, {0, 1, 2, 8}), (Words{1, 20, 20, 1}));
    // The answering agent is configured again in every attempt.
    EXPECT_EQ(received(s, 0), Msgs(20, Msg{kInstall, {entry(s.ifIndex("ge0/1"), kStpMac, 0, 1)}}));
    EXPECT_EQ(records(s), (std::vector<Rec>{{kNotRegistered, {"1"}}, {kNotRegistered, {"2"}}}));
}

}  // namespace
