// Cost of one PDU through the task's two forwarding paths on a running task, for VLANs of a
// few to many ports. Frames sent are discarded by the data plane and the trace keeps nothing,
// so the figures are the task's own work plus the platform's send call; BM_SendOnly gives the
// cost of that call alone. The allocs_per_pdu counter counts operator new calls in the loop.
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "forwarding/detunnel.h"
#include "forwarding/tunnel.h"
#include "platform/kernel.h"
#include "state/protocol.h"
#include "task/task_main.h"
#include "tests/support/frames.h"
#include "tests/support/task_sim.h"

// The replaced operators below pair malloc with free; g++ sees only the standard pairing.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

std::atomic<uint64_t> gAllocations{0};

}  // namespace

void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

constexpr uint16_t kVmanTpid = 0x9100;

// Two 48-port cards with per-port agents, and one VLAN per size measured: VLAN n has n ports,
// half of them access ports on card 0 and half core ports on card 1, none shared.
constexpr const char* kChassis = R"(
card_types: [{id: 1}]
line_cards:
  - {slot: 0, type: 1, ports: [{range: 0-47, name: "a{n}"}]}
  - {slot: 1, type: 1, ports: [{range: 0-47, name: "c{n}"}]}
vlans: [{id: 2, name: v2}, {id: 4, name: v4}, {id: 8, name: v8}, {id: 48, name: v48}]
)";
constexpr int kVlanSizes[] = {2, 4, 8, 48};

struct Vlan {
    uint32_t firstAccess = 0;
    uint32_t firstCore = 0;
};

// The task runs once per process: every benchmark shares this switch.
chassis::SimSwitch& sim() {
    static const std::unique_ptr<chassis::SimSwitch> s = [] {
        auto sim = tsim::boot(kChassis);
        int next = 0;
        for (const int size : kVlanSizes) {
            std::vector<tsim::PortSpec> specs;
            for (int i = next; i < next + size / 2; ++i) {
                specs.push_back(tsim::access("a" + std::to_string(i)));
                specs.push_back(tsim::core("c" + std::to_string(i)));
            }
            tsim::vlanAdd(*sim, "v" + std::to_string(size), L2PT_FLAG_ALL, specs);
            next += size / 2;
        }
        sim->trace().setKeep(false);
        sim->chassis().cards().setRecordFrames(false);
        return sim;
    }();
    return *s;
}

// First access and core port of the VLAN of `size` ports.
Vlan vlanOfSize(int64_t size) {
    int next = 0;
    for (const int s : kVlanSizes) {
        if (s == size) {
            break;
        }
        next += s / 2;
    }
    return {sim().ifIndex("a" + std::to_string(next)), sim().ifIndex("c" + std::to_string(next))};
}

// Runs one path over a fresh copy of `frame` per iteration.
template <class Path>
void runPath(benchmark::State& state, const frames::Bytes& frame, Path path) {
    std::array<uint8_t, L2PT_PKT_BUF_SIZE> buf{};
    const auto len = static_cast<int32_t>(frame.size());
    const uint64_t allocsBefore = gAllocations.load();
    for (auto _ : state) {
        std::memcpy(buf.data(), frame.data(), frame.size());
        path(buf.data(), len);
        benchmark::ClobberMemory();
    }
    const uint64_t allocs = gAllocations.load() - allocsBefore;
    state.SetItemsProcessed(state.iterations());
    state.counters["sends_per_pdu"] = static_cast<double>(state.range(0) - 1);
    state.counters["allocs_per_pdu"] =
        static_cast<double>(allocs) / static_cast<double>(state.iterations());
}

void BM_Tunnel(benchmark::State& state, frames::Bytes (*customer)(uint16_t, const frames::Mac&)) {
    const uint32_t rx = vlanOfSize(state.range(0)).firstAccess;
    runPath(state, customer(10, frames::kCustomerSrc),
            [rx](uint8_t* buf, int32_t len) { l2ptProcessPacket(rx, buf, len); });
}
BENCHMARK_CAPTURE(BM_Tunnel, stp, frames::stp)->Arg(2)->Arg(4)->Arg(8)->Arg(48);
BENCHMARK_CAPTURE(BM_Tunnel, pvst, frames::pvst)->Arg(4);

void BM_Detunnel(benchmark::State& state, frames::Bytes (*customer)(uint16_t, const frames::Mac&)) {
    const uint32_t rx = vlanOfSize(state.range(0)).firstCore;
    const bool pvst = customer == frames::pvst;
    const auto vlan = static_cast<uint16_t>(state.range(0));
    runPath(state,
            frames::tunnelled(customer(10, frames::kCustomerSrc), kVmanTpid, vlan,
                              frames::kTunnelMac, pvst),
            [rx](uint8_t* buf, int32_t len) { l2ptProcessTunneledPacket(rx, buf, len); });
}
BENCHMARK_CAPTURE(BM_Detunnel, stp, frames::stp)->Arg(2)->Arg(4)->Arg(8)->Arg(48);
BENCHMARK_CAPTURE(BM_Detunnel, pvst, frames::pvst)->Arg(4);

// The platform's send call into the discarding data plane, per send.
void BM_SendOnly(benchmark::State& state) {
    const uint32_t egress = vlanOfSize(4).firstCore;
    const frames::Bytes frame = frames::stp(10);
    const uint8_t addr[OZM_SOCKADDR_LEN] = {OZM_SOCKADDR_LEN, AF_OZML2};
    for (auto _ : state) {
        benchmark::DoNotOptimize(ozmSendto(ozmL2ptTcbNode.l2ptSock, frame.data(),
                                           static_cast<int>(frame.size()), 0, addr,
                                           OZM_SOCKADDR_LEN, egress));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendOnly);

}  // namespace

BENCHMARK_MAIN();
