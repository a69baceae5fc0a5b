// Registration with the peer RPM and the mirroring of the agent bitmap, seen from the peer.
#include "redundancy/peer_rpm.h"
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

constexpr uint32_t kSlots012 = 0xE0000000;
constexpr std::string_view kRequest =
    "peer rx reg-req status=-1 bitmap=0x0 master=0 len=68 service=225 instance=0";

chassis::SimSwitch& boot(std::string_view role, std::string_view peer) {
    auto& s = tsim::boot(
        edited(tsim::kChassis, "role: primary, master_slot: 0, peer: none",
               "role: " + std::string(role) + ", master_slot: 4, peer: " + std::string(peer)));
    ozm::sym::set("l2pt_debug_cp", 1);
    return s;
}

// Length, type, status, source task id, bitmap and master slot of an inter-RPM message.
using PeerMsg = std::tuple<size_t, uint32_t, int32_t, uint32_t, uint32_t, int32_t>;
PeerMsg decode(const std::vector<uint8_t>& m) {
    const uint8_t* p = m.data();
    return {m.size(),
            hdr::msgType(p),
            hdr::msgStatus(p),
            hdr::srcTaskId(p),
            wire::getU32(p, rpmmsg::kAclBitmap),
            wire::getI32(p, rpmmsg::kMasterSlot)};
}

// A secondary asks its primary on every pass (two at start, the second for the global agent's
// acknowledgement): three times, silently, while no send gets through; once while the peer does
// not answer; until the primary answers.
TEST(PeerRpm, SecondaryAsksEveryPassUntilThePrimaryAnswers) {
    auto& s = boot("secondary", "none");
    constexpr std::string_view kLost = "peer none: message of service 225 not sent";
    s.advanceMs(20);
    EXPECT_THAT(timesOf(s, kLost), ElementsAre(0, 0, 0, 0, 0, 0, .02, .02, .02));
    EXPECT_EQ(count(s, "console l2ptRegisterWithPeerRPM(): __ENTRY__"), 1u);
    EXPECT_EQ(count(s, "console l2ptRegisterWithPeerRPM(): __EXIT__"), 0u);
    s.peer().setRole(chassis::PeerRole::Secondary);
    s.advanceMs(40);
    EXPECT_THAT(timesOf(s, kRequest), ElementsAre(.04, .06));
    const auto& sent = s.peer().received().back();
    EXPECT_EQ(decode(sent), PeerMsg(68, MT_L2PT_REG_REQ, -1, hdr::srcTaskId(sent.data()), 0, 0));
    EXPECT_NE(hdr::srcTaskId(sent.data()), 0u);

    s.peer().setRole(chassis::PeerRole::Primary);
    s.peer().setBitmap(0x30000000);
    s.peer().setMasterSlot(5);
    s.advanceMs(100);
    EXPECT_EQ(count(s, kRequest), 3u);
    EXPECT_EQ(std::tuple(l2ptRegisteredWithPRPM, l2ptAclBitmap, l2ptMstrSlotId),
              std::tuple(1u, 0x30000000u, 5));
    EXPECT_TRUE(records(s).empty());
}

TEST(PeerRpm, PrimaryAnswersAndMirrorsAgentChangesOnceRegistered) {
    auto& s = boot("primary", "{role: secondary}");
    const auto& got = s.peer().received();
    s.peer().regRequest();
    s.settle();
    s.peer().regReply(0x1, 7);  // a reply reaching a primary is answered like a request
    s.settle();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(decode(got[0]), PeerMsg(68, MT_L2PT_REG_REQ, 0, 0, kSlots012, 4));
    EXPECT_EQ(std::get<4>(decode(got[1])), kSlots012);
    s.advanceMs(1000);  // updates carry the tick count (100 per second) as their task id
    s.cardDown(1);
    s.cardUp(1);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(decode(got[2]), PeerMsg(68, MT_L2PT_ACL_UPDATE_PRPM, -1, 100, 0xA0000000, 0));
    EXPECT_EQ(std::get<4>(decode(got[3])), kSlots012);

    // The roles settled again: a primary takes nothing over, it only forgets the peer's
    // registration, and sends no updates until the peer registers again.
    const size_t kernel = count(s, "kernel tunnel-mac");
    s.ha().event(3);
    s.settle();
    EXPECT_EQ(std::tuple(l2ptIsPrimary, l2ptRegisteredWithPRPM), std::tuple(1u, 0u));
    EXPECT_EQ(count(s, "kernel tunnel-mac"), kernel);
    s.cardDown(1);
    EXPECT_EQ(got.size(), 4u);
    s.peer().regRequest();
    s.settle();
    s.cardUp(1);
    EXPECT_EQ(got.size(), 6u);

    s.faults().arm("peer-send", 1);
    s.cardDown(1);
    EXPECT_EQ(l2ptAclBitmap, 0xA0000000u);
    s.faults().arm("peer-send", 1);
    s.peer().regRequest();
    s.settle();
    EXPECT_EQ(got.size(), 6u);
    EXPECT_EQ(console(s, "l2ptProcessPRpmRegReq(): Error while sending IRC reply "), 1u);
    EXPECT_THAT(records(s), ElementsAre(Rec{kPeerUpdate, {"Couldn't update RPM about AclUpdate"}},
                                        Rec{kPeerReply, {"Couldn't reply to Peer RPM "}}));
    s.peer().aclUpdate(0x00100000);  // overwrites the whole bitmap, whatever the role
    s.settle();
    EXPECT_EQ(l2ptAclBitmap, 0x00100000u);
}

// A registration request whose msgLen says more than the receive buffer holds is answered with the
// whole buffer and no more; one whose msgLen stops short of its fields is answered with all of
// them. Each reply's msgLen says how long it is. Requests written out byte by byte.
TEST(PeerRpm, RegistrationRepliesStayInsideTheReceiveBuffer) {
    auto& s = boot("primary", "{role: secondary}");
    const auto& got = s.peer().received();
    auto request = [&](std::vector<uint8_t> msgLen) {
        std::vector<uint8_t> m(68);
        std::copy(msgLen.begin(), msgLen.end(), m.begin() + 8);
        m[14] = 0x5f, m[15] = 0x60;  // 24416
        m[20] = m[21] = m[22] = m[23] = 0xff;
        s.ifm().rawBytes(m);
        s.settle();
    };
    request({0x00, 0x10, 0x00, 0x00});
    request({0x00, 0x00, 0x00, 0x14});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(decode(got[0]), PeerMsg(8192, MT_L2PT_REG_REQ, 0, 0, kSlots012, 4));
    EXPECT_EQ(wire::getU32(got[0].data(), 8), 8192u);
    EXPECT_TRUE(zero(got[0], 68, got[0].size()));
    EXPECT_EQ(decode(got[1]), PeerMsg(68, MT_L2PT_REG_REQ, 0, 0, kSlots012, 4));
    EXPECT_EQ(count(s, "peer rx rejected"), 0u);
}

}  // namespace
