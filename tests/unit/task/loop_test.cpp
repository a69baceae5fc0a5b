// The main loop and the dispatcher: order of service, failed waits, the sequence check, the
// agents' queues (acknowledgements, window, time-outs) and malformed messages.
#include <gtest/gtest.h>

#include "classification/agents.h"
#include "platform/wire/bytes.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"
#include "state/protocol.h"
#include "task/dispatch.h"
#include "tests/support/frames.h"
#include "tests/unit/task/task_test.h"

using testing::ElementsAre;
using ttest::count;
using ttest::Rec;

namespace {

constexpr uint32_t kFailure = 0x3a000d;
constexpr uint16_t kQinQ = 0x88a8;
constexpr size_t kTpidOffset = 12;  // the provider tag's protocol identifier in a frame

std::vector<uint8_t> rawMessage(uint32_t type, uint32_t msgLen, size_t bytes) {
    std::vector<uint8_t> m(bytes);
    wire::putU32(m.data(), hdr::kMsgLen, msgLen);
    wire::putU32(m.data(), hdr::kMsgType, type);
    return m;
}

// A control message, a timer message and a PDU on each socket wait for one wake-up: they are
// served in that order at the same instant, and the PDU already carries the new provider tag.
TEST(Loop, ServesReadyDescriptorsInFixedOrder) {
    auto sim = tsim::boot();
    ozm::sym::set("l2pt_debug_cp", 1);
    sim->cardUp(3);
    tsim::vlanAdd(
        *sim, "vl100", L2PT_FLAG_STP,
        {tsim::access("ge0/1"), tsim::access("ge0/2"), tsim::core("te1/0"), tsim::core("te1/1")});
    sim->advanceMs(100);
    sim->agent(3).setPresent(false);  // takes the next message without acknowledging it
    tsim::vlanAdd(*sim, "vl200", L2PT_FLAG_STP, {tsim::access("ge3/0")});  // time-out at 0.35 s
    sim->advanceMs(230);
    sim->events().raw(0, 0);  // a wake-up, after which the task's wait ends at 0.35 s too
    sim->settle();
    sim->ifm().vmanTpid(kQinQ);
    sim->chassis().cards().frameIn(sim->ifIndex("ge0/1"), frames::stp(5));
    sim->chassis().cards().frameIn(
        sim->ifIndex("te1/0"),
        frames::tunnelled(frames::stp(5), L2PT_DEFAULT_VMAN_PT, 100, frames::kTunnelMac, false));
    sim->advanceMs(20);

    const std::vector<size_t> order{
        ttest::lineOf(*sim, "console l2ptSetVmanPt: received vman pt msg: value 88a8"),
        ttest::lineOf(*sim, "console l2ptSwpErrCB: got a swp timeout  for q Hdl"),
        ttest::lineOf(*sim, "port te1/0 out"), ttest::lineOf(*sim, "port ge0/1 out")};
    const auto& lines = sim->trace().lines();
    ASSERT_LT(order.back(), lines.size());
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(ttest::textOf(lines[order[1] + 1]), "console Agent 3 ");
    for (size_t i : order) {
        EXPECT_EQ(std::stod(lines[i]), 0.35) << lines[i];
    }
    EXPECT_EQ(wire::getU16(sim->framesOut("te1/0").at(0).data(), kTpidOffset), kQinQ);
}

// Eleven messages for one agent in one burst: the window holds ten, the eleventh goes out once
// acknowledgements make room, and every buffer comes back.
TEST(Loop, MessagesBeyondTheWindowGoOutAsAcknowledgementsReturn) {
    auto sim = tsim::boot();
    for (const char* vlan : {"vl10", "vl20", "vl30", "vl100", "vl200", "vl4000"}) {
        for (const char* port : {"ge0/0", "ge0/1"}) {
            if (std::string_view(vlan) != "vl4000" || std::string_view(port) != "ge0/1") {
                sim->ifm().vlanAdd({tsim::block(*sim, vlan, L2PT_FLAG_STP, {tsim::access(port)})});
            }
        }
    }
    sim->settle();
    EXPECT_EQ(sim->agent(0).stats().applied, 11u);
    EXPECT_EQ(ttest::varBlocksInUse(), 0u);
}

TEST(Loop, FailedWaitIsLoggedAnInterruptedOneIsNot) {
    auto sim = tsim::boot();
    sim->faults().arm("select");
    sim->advanceMs(20);
    sim->faults().arm("select-eintr");
    sim->advanceMs(20);
    EXPECT_EQ(count(*sim, "fault hit select"), 2u);
    EXPECT_THAT(ttest::records(*sim), ElementsAre(Rec{0x3a0006, {}}));
    sim->ifm().vmanTpid(kQinQ);
    sim->settle();
    EXPECT_EQ(ttest::sym("l2ptVmanPt"), kQinQ);
}

TEST(Loop, SequenceCheckPassesDropsDuplicatesAndLogsGaps) {
    auto sim = tsim::boot();
    auto vmanPt = [&](uint32_t seq, std::vector<uint8_t> body) {
        sim->ifm().rawSequenced(MT_L2PT_VMAN_PT, seq, body);
        sim->settle();
    };
    vmanPt(1, {0x88, 0xa8});
    vmanPt(1, {0x12, 0x34});  // again: acknowledged again, not handled, not logged
    vmanPt(7, {0x43, 0x21});  // ahead of its turn
    EXPECT_EQ(ttest::sym("l2ptVmanPt"), kQinQ);
    // A body too short for its type costs that message only: acknowledged, logged, dropped.
    vmanPt(2, {0x81});
    vmanPt(3, {0x91, 0x00});
    EXPECT_EQ(ttest::sym("l2ptVmanPt"), L2PT_DEFAULT_VMAN_PT);
    EXPECT_THAT(sim->ifm().acks(), ElementsAre(1, 1, 2, 3));
    EXPECT_THAT(
        ttest::records(*sim),
        ElementsAre(
            Rec{0x3a000a, {"5", "Check sequence and Ack failure"}},
            Rec{kFailure, {"malformed msg type 24417: msgLen 125, received 125, needs 126"}}));
}

// An agent that stops acknowledging: its message is held and sent again after the time-out,
// which the error callback reports; an acknowledgement matching nothing frees nothing; the
// agent's tear-down releases what its queue still holds.
TEST(Loop, UnacknowledgedMessagesAreHeldUntilTheAgentGoes) {
    auto sim = tsim::boot();
    ozm::sym::set("l2pt_debug_cp", 1);
    tsim::vlanAdd(*sim, "vl100", L2PT_FLAG_STP, {tsim::access("ge0/1")});
    EXPECT_EQ(ttest::varBlocksInUse(), 0u);
    sim->agent(0).setPresent(false);
    tsim::vlanAdd(*sim, "vl100", L2PT_FLAG_STP, {tsim::access("ge0/2")});
    sim->ifm().rawBytes(rawMessage(MT_SWP_ACK, hdr::kSeqHeaderLen, hdr::kSeqHeaderLen));
    sim->advanceMs(300);
    EXPECT_EQ(count(*sim, "acl[0] rx type=24414 dropped (card absent)"), 2u);
    EXPECT_EQ(count(*sim, "console l2ptSwpErrCB: got a swp timeout  for q Hdl"), 1u);
    EXPECT_TRUE(ttest::hasConsole(*sim, "Agent 0 "));
    EXPECT_EQ(ttest::varBlocksInUse(), 1u);
    sim->cardDown(0);
    EXPECT_EQ(ttest::varBlocksInUse(), 0u);
    EXPECT_TRUE(ttest::records(*sim).empty());
}

// Messages shorter than the header or than their type needs, or whose msgLen runs past what
// arrived, are logged and dropped; an unknown type gets a debug line. Nothing else happens.
TEST(Loop, MalformedAndUnknownMessagesChangeNothing) {
    auto sim = tsim::boot();
    ozm::sym::set("l2pt_debug_cp", 1);
    sim->ifm().rawBytes(rawMessage(MT_L2PT_TASK_DISABLE, 20, 20));
    sim->ifm().rawBytes(rawMessage(MT_L2PT_TASK_DISABLE, 200, 68));
    auto cardDown = rawMessage(MT_EVT_NOTIFICATION, 68, 68);
    wire::putU32(cardDown.data(), evtmsg::kEventId, EVT_LINECARD_DOWN);
    sim->ifm().rawBytes(cardDown);
    sim->ifm().rawBytes(rawMessage(MT_SWP_ACK, 100, 100));
    sim->ifm().rawBytes(rawMessage(9999, 60, 60));
    sim->settle();
    EXPECT_TRUE(sim->taskAlive());
    EXPECT_TRUE(sim->mgr().replies().empty());
    EXPECT_THAT(
        ttest::records(*sim),
        ElementsAre(
            Rec{kFailure, {"malformed msg type 24402: msgLen 20, received 20, needs 60"}},
            Rec{kFailure, {"malformed msg type 24402: msgLen 200, received 68, needs 68"}},
            Rec{kFailure, {"malformed msg type 2009: msgLen 68, received 68, needs 72"}},
            Rec{kFailure, {"malformed msg type 402: msgLen 100, received 100, needs 124"}}));
    EXPECT_THAT(sim->consoleLines(), ElementsAre("l2ptTaskProcMsg: Got an unknown notif 9999"));
    EXPECT_EQ(l2ptAclBitmap, 0xE0000000u);
}

}  // namespace
