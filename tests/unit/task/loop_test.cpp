// The main loop and the dispatcher: order of service, failed waits, the sequence check, the
// agents' queues (window, acknowledgements, time-outs) and malformed messages.
#include "task/dispatch.h"
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

constexpr uint16_t kQinQ = 0x88a8;

std::vector<uint8_t> rawMessage(uint32_t type, uint32_t msgLen, size_t bytes) {
    std::vector<uint8_t> m(bytes);
    wire::putU32(m.data(), hdr::kMsgLen, msgLen);
    wire::putU32(m.data(), hdr::kMsgType, type);
    return m;
}

// A control message, a timer message and a PDU on each socket wait for one wake-up: they are
// served in that order at the same instant, and the PDU already carries the new provider tag.
TEST(Loop, ServesReadyDescriptorsInFixedOrder) {
    auto& s = tsim::boot(tsim::kChassis, true);
    s.cardUp(3);
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP,
                  {access("ge0/1"), access("ge0/2"), core("te1/0"), core("te1/1")});
    s.advanceMs(100);
    s.agent(3).setPresent(false);  // takes the next message without acknowledging it
    tsim::vlanAdd(s, "vl200", L2PT_FLAG_STP, {access("ge3/0")});  // time-out at 0.35 s
    s.advanceMs(230);
    s.events().raw(0, 0);  // a wake-up, after which the task's wait ends at 0.35 s too
    s.settle();
    s.ifm().vmanTpid(kQinQ);
    s.chassis().cards().frameIn(s.ifIndex("ge0/1"), frames::stp(5));
    s.chassis().cards().frameIn(s.ifIndex("te1/0"), frames::tunnelled(frames::stp(5)));
    s.advanceMs(20);

    const std::vector<size_t> order{
        lineOf(s, "console l2ptSetVmanPt: received vman pt msg: value 88a8"),
        lineOf(s, "console l2ptSwpErrCB: got a swp timeout  for q Hdl"),
        lineOf(s, "port te1/0 out"), lineOf(s, "port ge0/1 out")};
    const auto& lines = s.trace().lines();
    ASSERT_LT(order.back(), lines.size());
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_TRUE(lines[order[1] + 1].ends_with(" console Agent 3"));
    for (size_t i : order) {
        EXPECT_EQ(std::stod(lines[i]), 0.35) << lines[i];
    }
    EXPECT_EQ(wire::getU16(s.framesOut("te1/0").at(0).data(), 12), kQinQ);  // the outer TPID
}

// An acknowledged message's buffer comes back. An agent that stops acknowledging: its message is
// held and sent again after the time-out, which the error callback reports; an acknowledgement
// matching nothing frees nothing; the agent's tear-down releases what its queue still holds.
TEST(Loop, AgentQueuesHoldMessagesUntilAcknowledgedOrTheAgentGoes) {
    auto& s = tsim::boot(tsim::kChassis, true);
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP, {access("ge0/1")});
    EXPECT_EQ(inUse("var:"), 0u);
    s.agent(0).setPresent(false);
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP, {access("ge0/2")});
    s.ifm().rawBytes(rawMessage(MT_SWP_ACK, hdr::kSeqHeaderLen, hdr::kSeqHeaderLen));
    s.advanceMs(300);
    EXPECT_EQ(count(s, "acl[0] rx type=24414 dropped (card absent)"), 2u);
    EXPECT_EQ(count(s, "console l2ptSwpErrCB: got a swp timeout  for q Hdl"), 1u);
    EXPECT_EQ(console(s, "Agent 0 "), 1u);
    EXPECT_EQ(inUse("var:"), 1u);
    s.cardDown(0);
    EXPECT_EQ(inUse("var:"), 0u);
    EXPECT_TRUE(records(s).empty());
}

// A failed wait is logged, an interrupted one is not. Of IFM's sequenced messages a duplicate is
// acknowledged again but not handled, one ahead of its turn is logged and dropped, and a body too
// short for its type costs that message only. Messages shorter than the header or than their
// type needs, or whose msgLen runs past what arrived, are logged and dropped; an unknown type
// gets a debug line. Nothing else happens.
TEST(Loop, FailedWaitsSequenceCheckAndMalformedMessages) {
    auto& s = tsim::boot();
    s.faults().arm("select");
    s.advanceMs(20);
    s.faults().arm("select-eintr");
    s.advanceMs(20);
    EXPECT_EQ(count(s, "fault hit select"), 2u);
    auto vmanPt = [&](uint32_t seq, std::vector<uint8_t> body) {
        s.ifm().rawSequenced(MT_L2PT_VMAN_PT, seq, body);
        s.settle();
    };
    vmanPt(1, {0x88, 0xa8});
    vmanPt(1, {0x12, 0x34});
    vmanPt(7, {0x43, 0x21});
    EXPECT_EQ(sym("l2ptVmanPt"), kQinQ);
    vmanPt(2, {0x81});
    vmanPt(3, {0x91, 0x00});
    EXPECT_EQ(sym("l2ptVmanPt"), L2PT_DEFAULT_VMAN_PT);
    EXPECT_THAT(s.ifm().acks(), ElementsAre(1, 1, 2, 3));

    ozm::sym::set("l2pt_debug_cp", 1);
    s.ifm().rawBytes(rawMessage(MT_L2PT_TASK_DISABLE, 20, 20));
    s.ifm().rawBytes(rawMessage(MT_L2PT_TASK_DISABLE, 200, 68));
    auto cardDown = rawMessage(MT_EVT_NOTIFICATION, 68, 68);
    wire::putU32(cardDown.data(), evtmsg::kEventId, EVT_LINECARD_DOWN);
    s.ifm().rawBytes(cardDown);
    s.ifm().rawBytes(rawMessage(MT_SWP_ACK, 100, 100));
    s.ifm().rawBytes(rawMessage(9999, 60, 60));
    s.settle();
    EXPECT_TRUE(s.taskAlive());
    EXPECT_TRUE(s.mgr().replies().empty());
    EXPECT_THAT(
        records(s),
        ElementsAre(Rec{kWaitFailed, {}}, Rec{kSeqCheck, {"5", "Check sequence and Ack failure"}},
                    failure("malformed msg type 24417: msgLen 125, received 125, needs 126"),
                    failure("malformed msg type 24402: msgLen 20, received 20, needs 60"),
                    failure("malformed msg type 24402: msgLen 200, received 68, needs 68"),
                    failure("malformed msg type 2009: msgLen 68, received 68, needs 72"),
                    failure("malformed msg type 402: msgLen 100, received 100, needs 124")));
    EXPECT_THAT(s.consoleLines(), ElementsAre("l2ptTaskProcMsg: Got an unknown notif 9999"));
    EXPECT_EQ(l2ptAclBitmap, 0xE0000000u);
}

}  // namespace

// A trapped frame longer than the receive buffer is dropped whole, with a debug line naming its
// length, and never forwarded cut short; the next frame goes through.
TEST(Loop, OversizedPduIsDroppedNotTruncated) {
    auto& s = tsim::boot(tsim::kChassis, true);
    s.chassis().cards().setRecordFrames(true);
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP, {access("ge0/1"), access("ge0/2")});
    ozm::sym::set("l2pt_debug_cp", 1);
    auto big = frames::stp(5);
    big.resize(L2PT_PKT_BUF_SIZE + 100, 0xEE);
    s.frameIn("ge0/1", big);
    EXPECT_TRUE(s.framesOut("ge0/2").empty());
    EXPECT_LT(lineOf(s, "console receivePdu: PDU of len 1696 from ifIndex"),
              s.trace().lines().size());
    s.frameIn("ge0/1", frames::stp(5));
    EXPECT_EQ(s.framesOut("ge0/2").size(), 1u);
}
