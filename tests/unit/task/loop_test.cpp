// The agents' queues in the main loop (failed waits, IFM's sequence: the tool golden trace).
#include "base/debug.h"
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

// An acked message's buffer comes back; an absent agent's is held and sent again after the
// time-out; an ack matching nothing frees nothing; the agent's tear-down releases the rest.
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

}  // namespace
