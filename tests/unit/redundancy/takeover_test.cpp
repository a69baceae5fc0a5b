// HA events: the takeover of the old primary's agents by a secondary that became primary.
#include "classification/agents.h"
#include "redundancy/peer_rpm.h"
#include "tests/unit/classification/acl_wire.h"
#include "tests/unit/task/task_test.h"

namespace {

using namespace aclwire;
using ttest::Rec;

// Every card starts absent, so that the task registers no agent of its own at start.
std::string chassisYaml(std::string_view rpm) {
    return "chassis: {name: ha, slots: 12}\nrpm: " + std::string(rpm) + R"(
card_types: [{id: 1, name: 4x1G, ten_gig: false}]
line_cards:
  - {slot: 0, type: 1, present: false, ports: [{range: 0-3, name: "ge0/{n}"}]}
  - {slot: 1, type: 1, present: false, ports: [{range: 0-3, name: "ge1/{n}"}]}
  - {slot: 2, type: 1, present: false, agent: global, ports: [{range: 0-3, name: "ge2/{n}"}]}
  - {slot: 3, type: 1, present: false, ports: [{range: 0-3, name: "ge3/{n}"}]}
  - {slot: 8, type: 1, present: false, ports: [{range: 0-3, name: "ge8/{n}"}]}
vlans: [{id: 10, name: vl10}]
)";
}

// A secondary registered with its primary, which sent this bitmap and master slot; the cards of
// `present` are up, their agents registered with the old primary only.
std::unique_ptr<chassis::SimSwitch> secondary(uint32_t bitmap, int32_t master,
                                              std::initializer_list<uint32_t> present) {
    auto sim = aclwire::boot(chassisYaml("{role: secondary, peer: {role: primary}}"));
    for (uint32_t slot : present) {
        sim->agent(slot).setPresent(true);
    }
    sim->peer().setBitmap(bitmap);  // what it answers a later request with, too
    sim->peer().setMasterSlot(master);
    sim->peer().regReply(bitmap, master);
    sim->settle();
    EXPECT_EQ(std::tuple(l2ptRegisteredWithPRPM, l2ptAclBitmap, l2ptMstrSlotId),
              std::tuple(1u, bitmap, master));
    return sim;
}
void haEvent(chassis::SimSwitch& s, uint32_t code, bool primary = true) {
    s.ha().setPrimary(primary);
    s.ha().event(code);
    s.settle();
}
size_t lines(chassis::SimSwitch& s, const std::string& text) {
    return s.trace().grep(text).size();
}
// Registration requests each slot's agent received.
Words registrations(chassis::SimSwitch& s, std::initializer_list<uint32_t> slots) {
    Words out;
    for (uint32_t slot : slots) {
        out.push_back(
            static_cast<uint32_t>(lines(s, "acl[" + std::to_string(slot) + "] rx register")));
    }
    return out;
}
constexpr uint32_t kSlot(uint32_t s) {
    return 0x80000000u >> s;
}

TEST(Takeover, RegistersAndConfiguresTheAgentsOfTheBitmap) {
    auto sim = secondary(kSlot(0) | kSlot(1) | kSlot(2) | kSlot(3), 3, {0, 1, 2, 3});
    auto& s = *sim;
    const uint32_t ge01 = s.ifIndex("ge0/1"), ge11 = s.ifIndex("ge1/1");
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP, {access("ge0/1"), access("ge1/1"), core("ge3/0")});

    // Event 3 while still secondary: the peer registration is made again on the next pass.
    const size_t requests = lines(s, "peer rx reg-req status=-1");
    haEvent(s, 3, false);
    EXPECT_EQ(lines(s, "peer rx reg-req status=-1"), requests + 1);
    EXPECT_EQ(l2ptRegisteredWithPRPM, 1u);
    // Other codes change nothing, whatever the role query answers.
    for (uint32_t code : {0u, 1u, 2u, 4u, 1608u}) {
        haEvent(s, code);
    }
    EXPECT_EQ(std::tuple(l2ptIsPrimary, l2ptRegisteredWithPRPM, l2ptMstrSlotId),
              std::tuple(0u, 1u, 3));
    EXPECT_EQ(registrations(s, {0}), Words{0});

    // Takeover: the master slot leaves the bitmap, each other slot is registered and configured
    // in turn, in one attempt.
    const size_t kernel = lines(s, "kernel tunnel-mac");
    haEvent(s, 3);
    EXPECT_EQ(std::tuple(l2ptIsPrimary, l2ptRegisteredWithPRPM, l2ptAclBitmap, l2ptMstrSlotId),
              std::tuple(1u, 0u, kSlot(0) | kSlot(1) | kSlot(2), -1));
    EXPECT_EQ(registrations(s, {0, 1, 2, 3}), (Words{1, 1, 1, 0}));
    EXPECT_LT(lineOf(s, "acl[0] rx download"), lineOf(s, "acl[1] rx register"));
    EXPECT_LT(lineOf(s, "acl[1] rx download"), lineOf(s, "acl[2] rx register"));
    EXPECT_EQ(s.entries(0), Entries{entry(ge01, kStp, 0, 1)});
    EXPECT_EQ(s.entries(1), Entries{entry(ge11, kStp, 0, 1)});
    EXPECT_EQ(s.entries(2), (Entries{entry(0, kPvst, 0, 0, 1), entry(0, kTunnel, 0, 0, 1)}));
    EXPECT_TRUE(s.entries(3).empty());
    EXPECT_EQ(lines(s, "kernel tunnel-mac"), kernel + 3);
    EXPECT_TRUE(ttest::hasConsole(s, "l2ptAclRegisterHA(): __ENTRY__"));
    EXPECT_TRUE(ttest::hasConsole(s, "l2ptAclRegisterHA(): __EXIT__ "));
    EXPECT_TRUE(s.logRecords().empty());
}

TEST(Takeover, SilentAgentsCostTwentyAttemptsAndOneRecordEach) {
    // Slot 2 is absent. Master slot 40 lies beyond the bitmap: it must clear no bit, neither in
    // a word past the bitmap nor slot 8 (40 mod 32).
    const uint32_t bitmap = kSlot(0) | kSlot(1) | kSlot(2) | kSlot(8);
    auto sim = secondary(bitmap, 40, {0, 1, 8});
    auto& s = *sim;
    s.agent(1).setMode(chassis::AgentMode::Silent);
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP, {access("ge0/1")});
    haEvent(s, 3);
    s.advanceMs(2 * 20 * 30'000);  // each attempt waits out the two registration time-outs
    EXPECT_TRUE(ttest::hasConsole(s, "l2ptAclRegisterHA(): __EXIT__ "));
    EXPECT_EQ(l2ptAclBitmap, bitmap);
    EXPECT_EQ(registrations(s, {0, 1, 2, 8}), (Words{1, 20, 20, 1}));
    // The answering agent is configured again in every attempt.
    EXPECT_EQ(received(s, 0), Msgs(20, Msg{kInstall, {entry(s.ifIndex("ge0/1"), kStp, 0, 1)}}));
    EXPECT_EQ(ttest::records(s), (std::vector<Rec>{{L2PT_LOG_AGENT_NOT_REGISTERED, {"1"}},
                                                   {L2PT_LOG_AGENT_NOT_REGISTERED, {"2"}}}));
}

TEST(Takeover, BitmapEmptiedByTheMasterSlotEndsAtOnce) {
    auto sim = secondary(kSlot(3), 3, {3});
    auto& s = *sim;
    haEvent(s, 3);
    EXPECT_EQ(std::tuple(l2ptIsPrimary, l2ptAclBitmap, l2ptMstrSlotId), std::tuple(1u, 0u, -1));
    EXPECT_EQ(registrations(s, {3}), Words{0});
    EXPECT_TRUE(ttest::hasConsole(s, "l2ptAclRegisterHA(): __EXIT__ "));
    EXPECT_TRUE(s.logRecords().empty());
}

TEST(Takeover, EventOnAPrimaryOnlyDropsThePeerRegistration) {
    auto sim = aclwire::boot(chassisYaml("{role: primary, peer: {role: secondary}}"));
    auto& s = *sim;
    s.cardUp(1);
    s.peer().regRequest();
    s.settle();
    EXPECT_EQ(l2ptRegisteredWithPRPM, 1u);
    const auto& got = s.peer().received();
    const size_t replies = got.size();

    const size_t kernel = lines(s, "kernel tunnel-mac");
    haEvent(s, 3);
    EXPECT_EQ(std::pair(l2ptIsPrimary, l2ptRegisteredWithPRPM), std::pair(1u, 0u));
    EXPECT_EQ(registrations(s, {1}), Words{1});  // no takeover: nothing registered or downloaded
    EXPECT_EQ(lines(s, "kernel tunnel-mac"), kernel);
    s.cardDown(1);
    s.cardUp(1);
    EXPECT_EQ(got.size(), replies);  // no updates until the secondary registers again

    s.peer().regRequest();
    s.settle();
    s.cardDown(1);
    ASSERT_EQ(got.size(), replies + 2);
    EXPECT_EQ(hdr::msgType(got.back().data()), MT_L2PT_ACL_UPDATE_PRPM);
    EXPECT_EQ(wire::getU32(got.back().data(), rpmmsg::kAclBitmap), 0u);
}

}  // namespace
