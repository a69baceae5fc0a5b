// Registration with the peer RPM and the mirroring of the agent bitmap, seen from the peer.
#include <gtest/gtest.h>

#include "classification/agents.h"
#include "platform/wire/bytes.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"
#include "redundancy/peer_rpm.h"
#include "tests/unit/task/task_test.h"

using testing::ElementsAre;
using ttest::count;
using ttest::Rec;

namespace {

constexpr uint32_t kSlots012 = 0xE0000000;
constexpr std::string_view kRequest =
    "peer rx reg-req status=-1 bitmap=0x0 master=0 len=68 service=225 instance=0";

std::unique_ptr<chassis::SimSwitch> boot(std::string_view role, std::string_view peer) {
    auto sim = tsim::boot(ttest::chassisWithRpm(
        "rpm: {role: " + std::string(role) + ", master_slot: 4, peer: " + std::string(peer) + "}"));
    ozm::sym::set("l2pt_debug_cp", 1);
    return sim;
}

// Length, type, status, source task id, bitmap and master slot of an inter-RPM message.
using PeerMsg = std::tuple<size_t, uint32_t, int32_t, uint32_t, uint32_t, int32_t>;
PeerMsg decode(const std::vector<uint8_t>& m) {
    return {m.size(),
            hdr::msgType(m.data()),
            hdr::msgStatus(m.data()),
            hdr::srcTaskId(m.data()),
            wire::getU32(m.data(), rpmmsg::kAclBitmap),
            wire::getI32(m.data(), rpmmsg::kMasterSlot)};
}

// The debug lines of one registration message, from its handler's first line on.
std::vector<std::string> regReqLines(chassis::SimSwitch& sim) {
    const auto& lines = sim.consoleLines();
    auto it = std::find(lines.begin(), lines.end(), "l2ptProcessPRpmRegReq(): __ENTRY__ ");
    return {it, it + std::min<std::ptrdiff_t>(4, lines.end() - it)};
}

TEST(PeerRpm, SecondaryAsksEveryPassUntilThePrimaryAnswers) {
    auto sim = boot("secondary", "{role: secondary}");  // a peer that does not answer
    sim->advanceMs(100);
    // Two passes at start (the second for the global agent's acknowledgement), then one per 20 ms.
    EXPECT_THAT(ttest::timesOf(*sim, kRequest), ElementsAre(0, 0, .02, .04, .06, .08, .1));
    const auto& sent = sim->peer().received().back();
    EXPECT_EQ(decode(sent), PeerMsg(68, MT_L2PT_REG_REQ, -1, hdr::srcTaskId(sent.data()), 0, 0));
    EXPECT_NE(hdr::srcTaskId(sent.data()), 0u);

    sim->peer().setRole(chassis::PeerRole::Primary);
    sim->peer().setBitmap(0x30000000);
    sim->peer().setMasterSlot(5);
    sim->advanceMs(100);
    EXPECT_EQ(count(*sim, std::string(kRequest)), 8u);
    EXPECT_EQ(l2ptRegisteredWithPRPM, 1u);
    EXPECT_EQ(l2ptAclBitmap, 0x30000000u);
    EXPECT_EQ(l2ptMstrSlotId, 5);
    EXPECT_THAT(regReqLines(*sim),
                ElementsAre("l2ptProcessPRpmRegReq(): __ENTRY__ ",
                            "l2ptProcessPRpmRegReq(): Secondary RPM ",
                            "l2ptProcessPRpmRegReq(): Recvd AclBitmap from PeerRPM ",
                            "l2ptTaskProcMsg(): Received MT_L2PT_REG_REQ "));
}

TEST(PeerRpm, SecondaryWhoseSendsFailSendsThreeTimesAPassSilently) {
    auto sim = boot("secondary", "none");
    auto times = ttest::timesOf(*sim, "peer none: message of service 225 not sent");
    sim->advanceMs(40);
    const auto all = ttest::timesOf(*sim, "peer none: message of service 225 not sent");
    EXPECT_EQ(times.size() % 3, 0u);
    EXPECT_THAT(
        std::vector<double>(all.begin() + static_cast<std::ptrdiff_t>(times.size()), all.end()),
        ElementsAre(.02, .02, .02, .04, .04, .04));
    EXPECT_EQ(count(*sim, "console l2ptRegisterWithPeerRPM(): __ENTRY__ "), 2u);
    EXPECT_EQ(count(*sim, "console l2ptRegisterWithPeerRPM(): __EXIT__ "), 0u);
    EXPECT_TRUE(ttest::records(*sim).empty());
}

TEST(PeerRpm, PrimaryAnswersAndMirrorsAgentChangesOnceRegistered) {
    auto sim = boot("primary", "{role: secondary}");
    const auto& got = sim->peer().received();
    sim->cardDown(1);
    sim->cardUp(1);
    EXPECT_TRUE(got.empty());  // nobody registered yet

    sim->peer().regRequest();
    sim->settle();
    sim->peer().regReply(0x1, 7);  // a reply reaching a primary is answered like a request
    sim->settle();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(decode(got[0]), PeerMsg(68, MT_L2PT_REG_REQ, 0, 0, kSlots012, 4));
    EXPECT_EQ(std::get<4>(decode(got[1])), kSlots012);
    EXPECT_THAT(regReqLines(*sim), ElementsAre("l2ptProcessPRpmRegReq(): __ENTRY__ ",
                                               "l2ptProcessPRpmRegReq(): Primary RPM ",
                                               "l2ptProcessPRpmRegReq(): __EXIT__ ",
                                               "l2ptTaskProcMsg(): Received MT_L2PT_REG_REQ "));
    sim->advanceMs(1000);  // updates carry the tick count (100 per second) as their task id
    sim->cardDown(1);
    sim->cardUp(1);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(decode(got[2]), PeerMsg(68, MT_L2PT_ACL_UPDATE_PRPM, -1, 100, 0xA0000000, 0));
    EXPECT_EQ(std::get<4>(decode(got[3])), kSlots012);

    sim->faults().arm("peer-send", 1);
    sim->cardDown(1);
    EXPECT_EQ(l2ptAclBitmap, 0xA0000000u);
    sim->faults().arm("peer-send", 1);
    sim->peer().regRequest();
    sim->settle();
    EXPECT_EQ(got.size(), 4u);
    EXPECT_TRUE(ttest::hasConsole(*sim, "l2ptProcessPRpmRegReq(): Error while sending IRC reply "));
    EXPECT_THAT(ttest::records(*sim),
                ElementsAre(Rec{0x3a000e, {"Couldn't update RPM about AclUpdate"}},
                            Rec{0x3a000f, {"Couldn't reply to Peer RPM "}}));
    sim->peer().aclUpdate(0x00100000);  // overwrites the whole bitmap, whatever the role
    sim->settle();
    EXPECT_EQ(l2ptAclBitmap, 0x00100000u);
}

}  // namespace
