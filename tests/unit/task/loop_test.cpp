// The main loop and the dispatcher: failed waits, the sequence check, the agents' queues
// (acknowledgements, time-outs, tear-down).
#include "base/debug.h"
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

constexpr uint16_t kQinQ = 0x88a8;

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
