// The main loop and the dispatcher: order of service, failed waits, the sequence check, the
// agents' queues (acknowledgements, time-outs, removal).
#include "base/debug.h"
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

constexpr uint16_t kQinQ = 0x88a8;

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
    std::vector<uint8_t> ack(hdr::kSeqHeaderLen);
    hdr::setMsgLen(ack.data(), hdr::kSeqHeaderLen);
    hdr::setMsgType(ack.data(), MT_SWP_ACK);
    s.ifm().rawBytes(ack);
    s.advanceMs(300);
    EXPECT_EQ(count(s, "acl[0] rx type=24414 dropped (card absent)"), 2u);
    EXPECT_EQ(inUse("var:"), 1u);
    s.cardDown(0);
    EXPECT_EQ(inUse("var:"), 0u);
    EXPECT_TRUE(records(s).empty());
}

// A failed wait is logged, an interrupted one is not. Of IFM's sequenced messages a duplicate is
// acknowledged again but not handled, one ahead of its turn is logged and dropped.
TEST(Loop, FailedWaitsAndTheSequenceCheck) {
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
    EXPECT_THAT(s.ifm().acks(), ElementsAre(1, 1));
    EXPECT_THAT(records(s), ElementsAre(Rec{kWaitFailed, {}},
                                        Rec{kSeqCheck, {"5", "Check sequence and Ack failure"}}));
}

}  // namespace
