// The sequenced-queue engine: window, order, acknowledgements, time-outs and removal.
#include <unistd.h>

#include <filesystem>

#include "fake_backend.h"
#include "platform/ipc.h"
#include "platform/kernel.h"
#include "platform/mem.h"
#include "platform/swp.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"
#include "platform/wire/swp.h"

namespace {

constexpr uint32_t kPart = 0x520000;
constexpr uint32_t kPeerSlot = 3;
constexpr uint32_t kPeerQueue = ozm::queueIdOf(svc::kAcl, kPeerSlot, ozm::kRequestQueueKind);
constexpr uint32_t kMsgSize = 256;
constexpr int kWindow = 2;
constexpr int kRto = 25;

int gFrees = 0;
std::vector<uint32_t> gErrQueues;

// The callbacks draw on the platform's own variable partition, as the task's do.
void* testMalloc(uint32_t size) {
    return ozmMC_M_memBlockVarAlloc("swp", 1, 6, size, kPart, 0, 0);
}
int testFree(void* block) {
    ++gFrees;
    return ozmMC_M_memBlockVarFree("swp", 2, block);
}
void testErr(uint32_t queue) {
    gErrQueues.push_back(queue);
}

// A message as the task builds it: header, zeroed swp area, body marker.
uint8_t* message(uint8_t marker) {
    auto* m = static_cast<uint8_t*>(testMalloc(kMsgSize));
    std::fill(m, m + kMsgSize, 0);
    hdr::setMsgLen(m, kMsgSize);
    hdr::setMsgType(m, MT_L2PT_ACL_DOWNLOAD);
    m[hdr::kSeqHeaderLen] = marker;
    return m;
}

class SwpTest : public test::PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        gErrQueues.clear();
        uint32_t sizes[] = {kMsgSize, 128};
        ASSERT_EQ(ozmMC_ozm_memPartVarInit(kPart, 0, sizes, 2), 0);
        pipe = ozmSwpCreatePipe("/ozm/pipe/test");
        ASSERT_EQ(ozmSwpQueueCreateQs(1, 0, kWindow, kRto, svc::kL2pt, 0, 1, svc::kAcl, kPeerSlot,
                                      ozm_getQueueId(svc::kL2pt, 0, 3), 0, 0, testMalloc, 0,
                                      testFree, testErr, &queue, pipe),
                  0);
        fake->sent.clear();
        gFrees = 0;  // the sync's buffer
    }
    // The peer's ack of sent message i: its sequenced area, of kind Ack.
    test::Bytes ackOf(size_t i) const {
        test::Bytes ack = fake->sent.at(i);
        swpw::setKind(ack.data(), swpw::Kind::Ack);
        return ack;
    }
    // Acknowledges sent message i and returns the buffer the engine hands back.
    void* ack(size_t i) {
        void* block = nullptr;
        EXPECT_EQ(ozmSwpDequeue(ackOf(i).data(), &block), OZM_SWP_OK);
        return block;
    }
    std::vector<uint32_t> sentSeqs() const {
        std::vector<uint32_t> seqs;
        for (const auto& m : fake->sent)
            seqs.push_back(swpw::seq(m.data()));
        return seqs;
    }

    int pipe = -1;
    uint32_t queue = 0;
};

TEST_F(SwpTest, WindowLimitsFlightAndOrderIsKept) {
    std::vector<uint8_t*> bufs;
    for (uint8_t i = 1; i <= 5; ++i) {
        bufs.push_back(message(i));
        ASSERT_EQ(ozmSwpEnqueue(queue, bufs.back(), kMsgSize), OZM_SWP_OK);
    }
    EXPECT_EQ(sentSeqs(), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(hdr::dstQueueId(fake->sent[0].data()), kPeerQueue);

    // An ack hands its buffer back and wakes the task by the pipe; ozmSwpReadPipe sends the next.
    EXPECT_EQ(ack(0), bufs[0]);
    EXPECT_EQ(fake->sent.size(), 2u);
    ASSERT_EQ(ozmSwpReadPipe(pipe), 0);
    EXPECT_EQ(sentSeqs(), (std::vector<uint32_t>{1, 2, 3}));
    uint8_t b;
    EXPECT_EQ(::read(pipe, &b, 1), -1);

    EXPECT_EQ(ack(2), bufs[2]);  // out of order
    EXPECT_EQ(ack(1), bufs[1]);
    ozmSwpReadPipe(pipe);
    EXPECT_EQ(sentSeqs(), (std::vector<uint32_t>{1, 2, 3, 4, 5}));

    // An ack is taken once, and only in its queue's session.
    test::Bytes otherSession = ackOf(3);
    swpw::setSession(otherSession.data(), swpw::session(otherSession.data()) + 1);
    void* block = nullptr;
    EXPECT_NE(ozmSwpDequeue(ackOf(0).data(), &block), OZM_SWP_OK);
    EXPECT_NE(ozmSwpDequeue(otherSession.data(), &block), OZM_SWP_OK);
    EXPECT_EQ(ack(3), bufs[3]);
    // Unacknowledged at its time-out, a message is reported and sent again with its number.
    fake->now += kRto;
    EXPECT_EQ(ozmSwpTimeout(fake->timers.back().second.data()), OZM_SWP_OK);
    EXPECT_EQ(sentSeqs(), (std::vector<uint32_t>{1, 2, 3, 4, 5, 5}));
    EXPECT_EQ(gErrQueues, std::vector<uint32_t>{queue});
    // The receiving side refuses a message numbered 0, unacknowledged.
    uint32_t state[2] = {};
    test::Bytes zero = fake->sent[0];
    swpw::setSeq(zero.data(), 0);
    EXPECT_EQ(ozmSwpCkSeqAndAck(zero.data(), state, kPeerQueue), OZM_SWP_BAD_MSG);
}

TEST_F(SwpTest, EveryBufferAndDescriptorGoesBackOnce) {
    fake->faults = {"ozmSwpEnqueue"};
    EXPECT_EQ(ozmSwpEnqueue(queue, message(1), kMsgSize), OZM_SWP_REFUSED);
    fake->faults.clear();
    EXPECT_EQ(ozmSwpEnqueue(queue, message(2), hdr::kSeqHeaderLen - 1), OZM_SWP_REFUSED);
    EXPECT_TRUE(fake->sent.empty());
    for (int i = 0; i < kWindow + 4096; ++i)  // 2 in flight, as many waiting as may
        ozmSwpEnqueue(queue, message(0), kMsgSize);
    EXPECT_EQ(ozmSwpEnqueue(queue, message(0), kMsgSize), OZM_SWP_REFUSED);
    test::Bytes late = ackOf(0);
    ASSERT_EQ(ozmSwpQueueRemove(queue), OZM_SWP_OK);
    EXPECT_EQ(gFrees, 4101);
    EXPECT_EQ(ozm::mem::blocksInUse(), 0u);
    EXPECT_TRUE(fake->reports.empty());  // no double free
    void* block = nullptr;
    EXPECT_NE(ozmSwpDequeue(late.data(), &block), OZM_SWP_OK);  // the queue is gone

    // Closing the pipe closes both its ends.
    namespace fs = std::filesystem;
    auto openFds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    const auto before = openFds();
    EXPECT_EQ(kern::close(pipe), 0);
    EXPECT_EQ(openFds(), before - 2);
    EXPECT_EQ(ozmSwpReadPipe(pipe), -1);
}

// A queue whose removal failed sends and takes nothing more, time-outs included; an ack still
// hands its buffer back, and closing the pipe releases the rest.
TEST_F(SwpTest, FailedRemovalRetiresTheQueue) {
    for (uint8_t i = 0; i < 3; ++i)
        ozmSwpEnqueue(queue, message(i), kMsgSize);  // 2 in flight, 1 waiting
    ASSERT_EQ(fake->sent.size(), 2u);
    fake->faults = {"ozmSwpQueueRemove"};
    EXPECT_EQ(ozmSwpQueueRemove(queue), -1);
    fake->faults.clear();
    EXPECT_EQ(ozmSwpEnqueue(queue, message(3), kMsgSize), OZM_SWP_REFUSED);
    EXPECT_EQ(gFrees, 1);
    fake->now += kRto;
    EXPECT_EQ(ozmSwpTimeout(fake->timers[0].second.data()), OZM_SWP_OK);
    EXPECT_EQ(testFree(ack(0)), 0);
    EXPECT_EQ(ozmSwpReadPipe(pipe), 0);
    EXPECT_EQ(fake->sent.size(), 2u);  // no retransmission, the waiting one never sent
    EXPECT_TRUE(gErrQueues.empty());
    EXPECT_EQ(ozm::mem::blocksInUse(), 2u);
    EXPECT_EQ(kern::close(pipe), 0);
    EXPECT_EQ(ozm::mem::blocksInUse(), 0u);
    EXPECT_EQ(ozmSwpGetQueueCtrlBlock(queue), nullptr);
}

}  // namespace
