// The sequenced-queue engine: window, order, acknowledgements, time-outs, removal, and the
// receiving side's check.
#include <dirent.h>
#include <unistd.h>

#include "platform/ipc.h"
#include "platform/kernel.h"
#include "platform/mem.h"
#include "platform/swp.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"
#include "platform/wire/swp.h"
#include "platform_test.h"

namespace {

constexpr uint32_t kPart = 0x520000;
constexpr uint32_t kPeerSlot = 3;
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

using CkSeqTest = test::PlatformTest;

class SwpTest : public test::PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        gErrQueues.clear();
        uint32_t sizes[] = {kMsgSize, 128};
        ASSERT_EQ(ozmMC_ozm_memPartVarInit(kPart, 0, sizes, 2), 0);
        pipe = ozmSwpCreatePipe("/ozm/pipe/test");
        ASSERT_GE(pipe, 0);
        queue = create(pipe);
        fake->sent.clear();
        gFrees = 0;  // the sync's buffer
    }
    uint32_t create(int withPipe) {
        uint32_t q = 0;
        EXPECT_EQ(ozmSwpQueueCreateQs(1, 0, kWindow, kRto, svc::kL2pt, 0, 1, svc::kAcl, kPeerSlot,
                                      ozm_getQueueId(svc::kL2pt, 0, 3), 0, 0, testMalloc, 0,
                                      testFree, testErr, &q, withPipe),
                  0);
        return q;
    }
    // A message as the task builds it: header, zeroed swp area, body marker.
    uint8_t* message(uint8_t marker) {
        auto* m = static_cast<uint8_t*>(testMalloc(kMsgSize));
        std::fill(m, m + kMsgSize, 0);
        hdr::setMsgLen(m, kMsgSize);
        hdr::setMsgType(m, MT_L2PT_ACL_DOWNLOAD);
        hdr::setSrcTaskId(m, 42);
        m[hdr::kSeqHeaderLen] = marker;
        return m;
    }
    static test::Bytes ackOf(const test::Bytes& data) {
        test::Bytes ack(hdr::kSeqHeaderLen, 0);
        hdr::setMsgType(ack.data(), MT_SWP_ACK);
        swpw::setMagic(ack.data());
        swpw::setKind(ack.data(), swpw::Kind::Ack);
        swpw::setSession(ack.data(), swpw::session(data.data()));
        swpw::setSeq(ack.data(), swpw::seq(data.data()));
        swpw::setQueue(ack.data(), swpw::queue(data.data()));
        return ack;
    }
    // Acknowledges sent message i and returns the buffer the engine hands back.
    void* ack(size_t i) {
        void* block = nullptr;
        EXPECT_EQ(ozmSwpDequeue(ackOf(fake->sent.at(i)).data(), &block), OZM_SWP_OK);
        return block;
    }
    std::vector<uint32_t> sentSeqs() const {
        std::vector<uint32_t> seqs;
        for (const auto& m : fake->sent) {
            seqs.push_back(swpw::seq(m.data()));
        }
        return seqs;
    }

    int pipe = -1;
    uint32_t queue = 0;
};

TEST_F(SwpTest, CreateSendsASyncAndReturnsItsBuffer) {
    gFrees = 0;
    uint32_t q = create(pipe);
    ASSERT_EQ(fake->sent.size(), 1u);
    const uint8_t* sync = fake->sent[0].data();
    EXPECT_EQ(hdr::msgType(sync), MT_SWP_SYNC);
    EXPECT_EQ(swpw::kind(sync), swpw::Kind::Sync);
    EXPECT_EQ(swpw::queue(sync), q);
    EXPECT_EQ(hdr::dstQueueId(sync), ozm::queueIdOf(svc::kAcl, kPeerSlot, ozm::kRequestQueueKind));
    EXPECT_EQ(hdr::dstNodeAddr(sync), ozm::nodeAddrOf(svc::kAcl, kPeerSlot));
    EXPECT_EQ(gFrees, 1);
    EXPECT_EQ(ozm::mem::blocksInUse(), 0u);
    EXPECT_NE(swpw::session(sync), 0u);
    EXPECT_NE(swpw::session(sync), ozmSwpGetQueueCtrlBlock(queue)->session);

    fake->faults = {"ozmSwpQueueCreateQs"};
    uint32_t none = 0;
    EXPECT_NE(ozmSwpQueueCreateQs(1, 0, 10, 25, svc::kL2pt, 0, 1, svc::kAcl, 0, 0, 0, 0, testMalloc,
                                  0, testFree, testErr, &none, pipe),
              0);
}

TEST_F(SwpTest, WindowLimitsFlightAndOrderIsKept) {
    std::vector<uint8_t*> bufs;
    for (uint8_t i = 1; i <= 5; ++i) {
        bufs.push_back(message(i));
        ASSERT_EQ(ozmSwpEnqueue(queue, bufs.back(), kMsgSize), OZM_SWP_OK);
    }
    EXPECT_EQ(sentSeqs(), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(ozmSwpGetQueueCtrlBlock(queue)->waiting, 3u);
    // The engine fills bytes 36-123 only.
    const uint8_t* first = fake->sent[0].data();
    EXPECT_EQ(hdr::msgLen(first), kMsgSize);
    EXPECT_EQ(hdr::msgType(first), MT_L2PT_ACL_DOWNLOAD);
    EXPECT_EQ(hdr::srcTaskId(first), 42u);
    EXPECT_EQ(swpw::kind(first), swpw::Kind::Data);
    EXPECT_EQ(hdr::dstSlot(first), kPeerSlot);

    // An ack hands back its own buffer and wakes the task through the pipe; the next message
    // goes out from ozmSwpReadPipe, which drains the pipe.
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
    EXPECT_EQ(fake->sent[4][hdr::kSeqHeaderLen], 5);

    // A queue without a pipe sends as soon as the window opens.
    uint32_t q = create(-1);
    fake->sent.clear();
    for (uint8_t i = 0; i < 3; ++i) {
        ozmSwpEnqueue(q, message(i), kMsgSize);
    }
    ack(0);
    EXPECT_EQ(sentSeqs(), (std::vector<uint32_t>{1, 2, 3}));
}

TEST_F(SwpTest, DuplicateWrongSessionAndLateAcksLeaveTheBlockAlone) {
    uint8_t* a = message(1);
    ozmSwpEnqueue(queue, a, kMsgSize);
    test::Bytes first = ackOf(fake->sent[0]);
    test::Bytes otherSession = first;
    swpw::setSession(otherSession.data(), swpw::session(first.data()) + 1);
    void* block = &first;
    EXPECT_NE(ozmSwpDequeue(otherSession.data(), &block), OZM_SWP_OK);
    EXPECT_EQ(ack(0), a);
    EXPECT_NE(ozmSwpDequeue(first.data(), &block), OZM_SWP_OK);  // duplicate
    ozmSwpEnqueue(queue, message(2), kMsgSize);
    test::Bytes late = ackOf(fake->sent[1]);
    ASSERT_EQ(ozmSwpQueueRemove(queue), OZM_SWP_OK);
    EXPECT_NE(ozmSwpDequeue(late.data(), &block), OZM_SWP_OK);  // queue gone
    EXPECT_EQ(block, &first);
}

TEST_F(SwpTest, RefusedEnqueueReleasesTheBufferOnce) {
    fake->faults = {"ozmSwpEnqueue"};
    EXPECT_EQ(ozmSwpEnqueue(queue, message(1), kMsgSize), OZM_SWP_REFUSED);
    fake->faults.clear();
    EXPECT_EQ(ozmSwpEnqueue(queue, message(2), hdr::kSeqHeaderLen - 1), OZM_SWP_REFUSED);
    EXPECT_EQ(gFrees, 2);
    EXPECT_EQ(ozm::mem::blocksInUse(), 0u);
    EXPECT_TRUE(fake->reports.empty());  // no double free
    EXPECT_TRUE(fake->sent.empty());

    // An unknown queue has no free callback: refused and reported, the buffer stays the caller's.
    uint8_t* c = message(3);
    EXPECT_EQ(ozmSwpEnqueue(queue + 100, c, kMsgSize), OZM_SWP_REFUSED);
    EXPECT_EQ(fake->reports.size(), 1u);
    EXPECT_EQ(testFree(c), 0);
}

TEST_F(SwpTest, TimeoutResendsTheSameSequenceAndReports) {
    ozmSwpEnqueue(queue, message(1), kMsgSize);
    ASSERT_EQ(fake->timers.size(), 1u);
    test::Bytes timer = fake->timers[0].msg;
    EXPECT_EQ(fake->timers[0].at, fake->now + kRto);
    EXPECT_EQ(hdr::msgType(timer.data()), MT_SWP_TIMEOUT);

    fake->now += kRto - 1;  // not yet due
    EXPECT_EQ(ozmSwpTimeout(timer.data()), OZM_SWP_OK);
    EXPECT_EQ(fake->sent.size(), 1u);
    fake->now += 1;
    EXPECT_EQ(ozmSwpTimeout(timer.data()), OZM_SWP_OK);
    EXPECT_EQ(gErrQueues, std::vector<uint32_t>{queue});
    ASSERT_EQ(fake->sent.size(), 2u);
    EXPECT_EQ(fake->sent[1], fake->sent[0]);  // same bytes, same seq
    EXPECT_EQ(fake->timers.size(), 2u);

    // Acknowledged: a later timer does nothing.
    testFree(ack(0));
    fake->now += kRto;
    EXPECT_EQ(ozmSwpTimeout(fake->timers[1].msg.data()), OZM_SWP_OK);
    EXPECT_EQ(fake->sent.size(), 2u);
    EXPECT_EQ(gErrQueues.size(), 1u);
    ozmSwpQueueRemove(queue);
    EXPECT_NE(ozmSwpTimeout(timer.data()), OZM_SWP_OK);
}

TEST_F(SwpTest, RemoveReleasesEveryBuffer) {
    for (uint8_t i = 0; i < 5; ++i) {
        ozmSwpEnqueue(queue, message(i), kMsgSize);  // 2 in flight, 3 waiting
    }
    fake->faults = {"ozmSwpQueueRemove"};
    EXPECT_NE(ozmSwpQueueRemove(queue), OZM_SWP_OK);
    EXPECT_NE(ozmSwpGetQueueCtrlBlock(queue), nullptr);
    fake->faults.clear();
    EXPECT_EQ(ozmSwpQueueRemove(queue), OZM_SWP_OK);
    EXPECT_EQ(gFrees, 5);
    EXPECT_EQ(ozm::mem::blocksInUse(), 0u);
    EXPECT_EQ(ozmSwpGetQueueCtrlBlock(queue), nullptr);
    EXPECT_NE(ozmSwpQueueRemove(queue), OZM_SWP_OK);
}

TEST_F(SwpTest, ClosingThePipeClosesBothEnds) {
    auto openDescriptors = [] {
        int n = 0;
        DIR* d = ::opendir("/proc/self/fd");
        while (::readdir(d) != nullptr) {
            ++n;
        }
        ::closedir(d);
        return n;
    };
    int before = openDescriptors();
    int p = ozmSwpCreatePipe("/ozm/pipe/other");
    EXPECT_EQ(openDescriptors(), before + 2);
    EXPECT_EQ(kern::close(p), 0);
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(ozmSwpReadPipe(p), -1);
}

TEST_F(CkSeqTest, InOrderDuplicateGapAndNewSession) {
    uint32_t state[2] = {0, 0};
    uint32_t own = ozm::queueIdOf(svc::kL2pt, 0, ozm::kRequestQueueKind);
    auto check = [&](uint32_t session, uint32_t seq, swpw::Kind kind = swpw::Kind::Data) {
        test::Bytes m(hdr::kSeqHeaderLen, 0);
        hdr::setSrcNodeAddr(m.data(), ozm::kRpmNodeAddr);
        hdr::setSrcQueueId(m.data(), ozm::queueIdOf(svc::kIfm, 0, ozm::kRequestQueueKind));
        swpw::setMagic(m.data());
        swpw::setKind(m.data(), kind);
        swpw::setSession(m.data(), session);
        swpw::setSeq(m.data(), seq);
        swpw::setQueue(m.data(), 9);
        return ozmSwpCkSeqAndAck(m.data(), state, own);
    };
    EXPECT_EQ(check(50, 1), OZM_SWP_OK);
    ASSERT_EQ(fake->sent.size(), 1u);
    const uint8_t* ack = fake->sent[0].data();
    EXPECT_EQ(hdr::msgType(ack), MT_SWP_ACK);
    EXPECT_EQ(swpw::kind(ack), swpw::Kind::Ack);
    EXPECT_EQ(swpw::session(ack), 50u);
    EXPECT_EQ(swpw::seq(ack), 1u);
    EXPECT_EQ(swpw::queue(ack), 9u);
    EXPECT_EQ(hdr::dstQueueId(ack), ozm::queueIdOf(svc::kIfm, 0, ozm::kRequestQueueKind));
    EXPECT_EQ(hdr::dstNodeAddr(ack), ozm::kRpmNodeAddr);
    EXPECT_EQ(hdr::srcQueueId(ack), own);

    EXPECT_EQ(check(50, 3), OZM_SWP_GAP);
    EXPECT_EQ(fake->sent.size(), 1u);  // no ack for a gap
    EXPECT_EQ(check(50, 2), OZM_SWP_OK);
    EXPECT_EQ(check(50, 1), OZM_SWP_DUPLICATE);
    ASSERT_EQ(fake->sent.size(), 3u);  // a duplicate is acknowledged again
    EXPECT_EQ(swpw::seq(fake->sent[2].data()), 1u);

    EXPECT_EQ(check(51, 2), OZM_SWP_GAP);  // a new session restarts at 1
    EXPECT_EQ(check(51, 1), OZM_SWP_OK);
    EXPECT_EQ(check(51, 2, swpw::Kind::Ack), OZM_SWP_BAD_MSG);
    EXPECT_EQ(check(51, 2), OZM_SWP_OK);
}

}  // namespace
