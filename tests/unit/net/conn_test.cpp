// Connections in the loop: what a full socket cannot take waits in order, descriptors travel
// with their datagrams, and a peer that reads nothing is let go, saying why.
#include "net/io/conn.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

namespace {

using netp::Conn;
using netp::Fd;

constexpr int kSmallBuffer = 4096;

struct Rig {
    netp::Loop loop;
    netp::RecvBatch rx{8, netp::kMaxDatagram};
    Fd peer;
    std::unique_ptr<Conn> conn;
    std::string closedWhy;

    explicit Rig(size_t queueBytes, netp::QueueBudget* budget = nullptr) {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &kSmallBuffer, sizeof kSmallBuffer);
        peer.reset(fds[1]);
        conn = std::make_unique<Conn>(loop, Fd(fds[0]), "test peer", queueBytes, rx, budget);
        conn->start([](Conn&, Conn::Bytes, std::span<Fd>) {},
                    [this](Conn&, const std::string& why) { closedWhy = why; });
    }
    // The peer's next datagram, with the descriptors it brought.
    std::vector<uint8_t> receive(std::vector<Fd>* fds = nullptr) {
        std::vector<uint8_t> buf(netp::kMaxDatagram);
        iovec iov{buf.data(), buf.size()};
        alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(int) * netp::kMaxPassedFds)];
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(peer.get(), &m, MSG_DONTWAIT);
        buf.resize(n < 0 ? 0 : static_cast<size_t>(n));
        if (cmsghdr* c = n > 0 ? CMSG_FIRSTHDR(&m) : nullptr; c != nullptr && fds != nullptr) {
            for (size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i) {
                int got;
                std::memcpy(&got, CMSG_DATA(c) + i * sizeof got, sizeof got);
                fds->emplace_back(got);
            }
        }
        return buf;
    }
};

std::vector<uint8_t> datagram(size_t i) {
    std::vector<uint8_t> d(100 + (i * 37) % 900);
    std::iota(d.begin(), d.end(), static_cast<uint8_t>(i));
    return d;
}

TEST(Conn, WhatTheSocketCannotTakeWaitsAndArrivesInOrder) {
    Rig r(32 * 1024);
    constexpr size_t kCount = 600;  // sent in bursts the socket cannot hold: the ring wraps
    constexpr size_t kBurst = 10;
    // From here on, the first datagram sent while others wait carries two descriptors and the
    // one after it one: each arrives with its own.
    constexpr size_t kWithFd = 250;
    size_t fdFirst = kCount;
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    Fd readEnd(p[0]);
    Fd writeEnd(p[1]);
    size_t received = 0;
    bool queued = false;
    // Reads while the connection has something to drain into the socket.
    const auto readAll = [&] {
        for (std::vector<Fd> fds;; fds.clear()) {
            r.loop.runOnce(std::chrono::milliseconds(1));
            const auto got = r.receive(&fds);
            if (got.empty())
                return;
            ASSERT_EQ(got, datagram(received)) << "datagram " << received;
            // The descriptors queued with their datagram arrive with it, in order: the pipe's
            // write end, then its read end.
            EXPECT_EQ(fds.size(), received == fdFirst       ? 2u
                                  : received == fdFirst + 1 ? 1u
                                                            : 0u)
                << received;
            if (fds.size() == 2) {
                EXPECT_EQ(::write(fds[0].get(), "x", 1), 1);
                char c;
                EXPECT_EQ(::read(fds[1].get(), &c, 1), 1);
            }
            ++received;
        }
    };
    for (size_t i = 0; i < kCount; ++i) {
        const auto d = datagram(i);
        const int both[] = {writeEnd.get(), readEnd.get()};
        std::span<const int> fds;
        const bool waits = r.conn->queued() > 0 && i % kBurst < kBurst - 1;  // and the next
        if (i >= kWithFd && (fdFirst == kCount ? waits : i == fdFirst + 1)) {
            fdFirst = std::min(fdFirst, i);
            fds = std::span<const int>(both).first(i == fdFirst ? 2 : 1);
        }
        ASSERT_TRUE(r.conn->send({d}, fds)) << i;
        queued = queued || r.conn->queued() > 0;
        if (i % kBurst == kBurst - 1)
            readAll();
    }
    for (int pass = 0; pass < 100 && received < kCount; ++pass)
        readAll();
    EXPECT_TRUE(queued);
    EXPECT_LT(fdFirst, kCount);
    EXPECT_EQ(received, kCount);
    EXPECT_EQ(r.conn->queued(), 0u);
    EXPECT_TRUE(r.conn->open());
}

TEST(Conn, APeerThatReadsNothingOverflowsItsQueueAndIsLetGo) {
    // The queue takes a datagram that fills it to its last byte, then nothing more.
    netp::OutQueue q(64);
    const std::vector<uint8_t> fills(60);  // after its 4-byte header
    const std::vector<uint8_t> one(1);
    const std::span<const uint8_t> parts[] = {fills, one};
    EXPECT_TRUE(q.push(std::span(parts).first(1), false));
    EXPECT_FALSE(q.push(std::span(parts).last(1), false));

    Rig r(16 * 1024);
    size_t sent = 0;
    while (r.conn->send(datagram(sent)))
        ++sent;
    EXPECT_GT(sent, 10u);
    EXPECT_FALSE(r.conn->open());
    EXPECT_NE(r.closedWhy.find("output queue overflowed"), std::string::npos) << r.closedWhy;
    // The peer sees the end after what was sent before the queue filled.
    size_t received = 0;
    while (!r.receive().empty())
        ++received;
    EXPECT_GT(received, 0u);
    EXPECT_LT(received, sent);
}

// Queues of one kind each hold their floor, more only while the shared pool lasts, and give it
// back as they drain; a peer whose queue finds the pool spent is let go, saying so.
TEST(Conn, QueuesHoldTheirFloorAndShareThePoolBeyond) {
    constexpr size_t kFloor = 8192, kPool = 16384;
    netp::QueueBudget budget(kFloor, kPool);
    netp::OutQueue a(1 << 20, &budget), b(1 << 20, &budget), c(1 << 20, &budget);
    const std::vector<uint8_t> kib(1020);  // 1 KiB with its header
    const std::span<const uint8_t> one[] = {kib};
    const auto fill = [&](netp::OutQueue& q) {
        size_t n = 0;
        while (q.push(one, false))
            ++n;
        return n;
    };
    EXPECT_EQ(a.allocated(), 0u);
    ASSERT_TRUE(a.push(one, false));
    EXPECT_EQ(a.allocated(), 4096u);  // what waits, not the capacity
    // Rings double: a takes 8 KiB of the pool for 16 KiB, b the other 8, c its floor alone.
    EXPECT_EQ(1 + fill(a), 16u);
    EXPECT_EQ(fill(b), 16u);
    EXPECT_EQ(budget.taken(), kPool);
    EXPECT_EQ(fill(c), 8u);
    EXPECT_EQ(c.allocated(), kFloor);
    // a drained: its part of the pool is c's to take.
    while (!a.empty())
        a.pop();
    EXPECT_EQ(a.allocated(), 0u);
    EXPECT_EQ(budget.taken(), kPool / 2);
    EXPECT_EQ(fill(c), 8u);
    EXPECT_EQ(budget.taken(), kPool);

    netp::QueueBudget small(4096, 0);
    Rig r(1 << 20, &small);
    size_t sent = 0;
    while (r.conn->send(datagram(sent)))
        ++sent;
    EXPECT_GT(sent, 2u);
    EXPECT_NE(r.closedWhy.find("output queue overflowed"), std::string::npos) << r.closedWhy;
    EXPECT_NE(r.closedWhy.find("the queues of its kind hold 0 bytes more than their floors"),
              std::string::npos)
        << r.closedWhy;
    r.conn.reset();
    EXPECT_EQ(small.taken(), 0u);
}

TEST(Conn, ExpiresWhenNothingHappensInTime) {
    Rig r(4096);
    r.conn->expireIn(std::chrono::milliseconds(20), "no hello in time");
    for (int i = 0; i < 50 && r.conn->open(); ++i)
        r.loop.runOnce(std::chrono::milliseconds(10));
    EXPECT_EQ(r.closedWhy, "no hello in time");
}

// Work done a slice a pass: a timer that arms itself for the next pass runs once in each, and
// the loop does not wait for it. A timer armed again keeps only its new time.
TEST(Loop, ATimerForTheNextPassRunsOncePerPassWithoutWaiting) {
    netp::Loop loop;
    int runs = 0;
    netp::Loop::Timer slice(loop, [&] {
        if (++runs < 3)
            slice.armNextPass();
    });
    slice.armNextPass();
    slice.armIn(std::chrono::hours(1));
    loop.runOnce(std::chrono::milliseconds(0));
    EXPECT_EQ(runs, 0);
    slice.armNextPass();
    const auto start = netp::Clock::now();
    for (int pass = 1; pass <= 3; ++pass) {
        loop.runOnce(std::chrono::milliseconds(1000));
        EXPECT_EQ(runs, pass);
    }
    EXPECT_LT(netp::Clock::now() - start, std::chrono::milliseconds(500)) << "no pass waited";
    EXPECT_FALSE(slice.armed());
}

}  // namespace
