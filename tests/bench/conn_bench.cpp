// A connection's send path: straight to the socket, and through its output queue when the
// socket is full (as IFM's messages to a task during a full card's download). The
// allocs_per_datagram counter counts operator new calls per datagram sent and received.
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <array>
#include <vector>

#include "net/io/conn.h"
#include "tests/bench/alloc_counter.h"

namespace {

constexpr size_t kDatagram = 200;  // an IFM or ACL download message
constexpr size_t kQueueBytes = 4u << 20;
constexpr int kSmallBuffer = 4096;

struct Rig {
    netp::Loop loop;
    netp::RecvBatch rx{16, netp::kMaxDatagram};
    netp::Fd peer;
    std::unique_ptr<netp::Conn> conn;
    std::array<uint8_t, netp::kMaxDatagram> buf{};

    explicit Rig(int sndbuf) {
        int fds[2];
        ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds);
        ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        peer.reset(fds[1]);
        conn = std::make_unique<netp::Conn>(loop, netp::Fd(fds[0]), "bench", kQueueBytes, rx);
        conn->start([](netp::Conn&, netp::Conn::Bytes, std::span<netp::Fd>) {},
                    [](netp::Conn&, const std::string&) {});
    }
    size_t readAll() {
        size_t n = 0;
        while (::recv(peer.get(), buf.data(), buf.size(), MSG_DONTWAIT) > 0)
            ++n;
        return n;
    }
};

void BM_ConnSendToAnEmptySocket(benchmark::State& state) {
    Rig r(1 << 20);
    const std::vector<uint8_t> d(kDatagram, 0x5a);
    const uint64_t before = allocations();
    for (auto _ : state) {
        r.conn->send(d);
        benchmark::DoNotOptimize(r.readAll());
    }
    state.counters["allocs_per_datagram"] =
        static_cast<double>(allocations() - before) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConnSendToAnEmptySocket);

// Bursts larger than the socket holds: most datagrams wait in the queue and leave on EPOLLOUT.
void BM_ConnSendThroughTheQueue(benchmark::State& state) {
    Rig r(kSmallBuffer);
    const auto burst = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> d(kDatagram, 0x5a);
    r.conn->send(d);  // the ring is allocated by the first datagram that waits
    r.readAll();
    const uint64_t before = allocations();
    for (auto _ : state) {
        for (size_t i = 0; i < burst; ++i)
            r.conn->send(d);
        for (size_t got = r.readAll(); got < burst; got += r.readAll())
            r.loop.runOnce(std::chrono::milliseconds(0));
    }
    const auto datagrams = static_cast<double>(state.iterations() * burst);
    state.counters["allocs_per_datagram"] = static_cast<double>(allocations() - before) / datagrams;
    state.SetItemsProcessed(static_cast<int64_t>(datagrams));
}
BENCHMARK(BM_ConnSendThroughTheQueue)->Arg(64)->Arg(1024);

}  // namespace

BENCHMARK_MAIN();
