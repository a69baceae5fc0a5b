// Datagrams sent and received several per system call, over a SEQPACKET pair.
#include "net/io/batch.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "net/io/socket.h"
#include "tests/support/slow_close.h"

namespace {

struct Pair {
    netp::Fd a;
    netp::Fd b;
    Pair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        a.reset(fds[0]);
        b.reset(fds[1]);
    }
};

void fill(std::span<uint8_t> d, uint8_t first) {
    std::iota(d.begin(), d.end(), first);
}

TEST(Batch, AppendRefusesPastCapacityAndSlotSize) {
    netp::SendBatch out(2, 8);
    EXPECT_TRUE(out.append(9).empty());
    EXPECT_EQ(out.append(8).size(), 8u);
    EXPECT_EQ(out.append(0).size(), 0u);
    // The last datagram grows to its slot's size and no further.
    EXPECT_EQ(out.resizeLast(8).size(), 8u);
    EXPECT_TRUE(out.resizeLast(9).empty());
    EXPECT_TRUE(out.full());
    EXPECT_TRUE(out.append(1).empty());
    EXPECT_EQ(out.size(), 2u);
}

TEST(Batch, RefusedDatagramsAreReportedAndTheBatchEmpties) {
    Pair p;
    p.b.reset();  // nobody reads: every send fails
    netp::SendBatch out(4, 16);
    for (int i = 0; i < 3; ++i)
        fill(out.append(4), 0);
    std::vector<size_t> refused;
    out.flush(p.a.get(), MSG_DONTWAIT, [&](size_t slot) {
        EXPECT_EQ(errno, EPIPE);
        refused.push_back(slot);
    });
    EXPECT_EQ(refused, (std::vector<size_t>{0, 1, 2}));
    EXPECT_TRUE(out.empty());
}

TEST(Batch, OversizedDatagramIsMarkedAndTheEndIsOneEmptyDatagram) {
    Pair p;
    // One of the largest size read alone arrives whole.
    ASSERT_TRUE(netp::sendDatagram(p.a.get(), std::vector<uint8_t>(netp::kMaxDatagram, 1)));
    std::vector<uint8_t> largest;
    EXPECT_EQ(netp::recvDatagram(p.b.get(), largest, false), netp::Recv::Ok);
    EXPECT_EQ(largest.size(), netp::kMaxDatagram);
    std::vector<uint8_t> big(100, 0xab);
    ASSERT_TRUE(netp::sendDatagram(p.a.get(), big));
    ASSERT_TRUE(netp::sendDatagram(p.a.get(), std::vector<uint8_t>{7}));
    p.a.reset();

    netp::RecvBatch in(8, 32);
    const auto got = in.receive(p.b.get());
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].status, netp::RecvBatch::Status::Truncated);
    EXPECT_TRUE(got[0].bytes.empty());
    ASSERT_EQ(got[1].bytes.size(), 1u);
    EXPECT_EQ(got[1].bytes[0], 7);
    EXPECT_EQ(got[2].status, netp::RecvBatch::Status::Ok);
    EXPECT_TRUE(got[2].bytes.empty());
}

// A check past its limit leaves the caller at the limit, and the descriptor to the closer's
// thread, which closes it holding no lock; while that thread is busy, no check is waited for.
TEST(Closer, WaitsForAFilesystemNoLongerThanItsLimit) {
    using namespace std::chrono_literals;
    using Clock = std::chrono::steady_clock;
    netp::Closer closer;
    const auto devNull = [] { return netp::Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); };
    const auto fine = [](int) { return std::string(); };
    netp::test::SlowClose lingering = netp::test::slowClose(2);
    const auto slow = [](int) {
        std::this_thread::sleep_for(300ms);
        return std::string();
    };
    auto at = Clock::now();
    EXPECT_FALSE(closer.check(std::move(lingering.slow), slow, 100ms).answered);
    EXPECT_LT(Clock::now() - at, 250ms);
    std::this_thread::sleep_for(400ms);  // the check over, the close under way
    at = Clock::now();
    EXPECT_GT(closer.closing(), 50ms);
    EXPECT_FALSE(closer.check(devNull(), fine, 100ms).answered);
    EXPECT_LT(Clock::now() - at, 50ms);
}

}  // namespace
