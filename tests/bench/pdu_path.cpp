// Cost of one PDU through the task's two forwarding paths on a running task, for VLANs of a
// few to many ports. Frames sent are discarded by the data plane and the trace keeps nothing,
// so the figures are the task's own work plus the platform's send calls (sends_per_pdu of them).
// The allocs_per_pdu counter counts operator new calls in the loop.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <string>

#include "base/tcb.h"
#include "forwarding/detunnel.h"
#include "forwarding/frame.h"
#include "forwarding/tunnel.h"
#include "state/protocol.h"
#include "tests/bench/alloc_counter.h"
#include "tests/support/frames.h"
#include "tests/support/task_sim.h"

namespace {

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

// The task runs once per process: every benchmark shares this switch.
chassis::SimSwitch& sim() {
    static chassis::SimSwitch& s = []() -> chassis::SimSwitch& {
        auto& sim = tsim::boot(kChassis);
        int next = 0;
        for (const int size : kVlanSizes) {
            std::vector<tsim::PortSpec> specs;
            for (int i = next; i < next + size / 2; ++i) {
                specs.push_back(tsim::access("a" + std::to_string(i)));
                specs.push_back(tsim::core("c" + std::to_string(i)));
            }
            tsim::vlanAdd(sim, "v" + std::to_string(size), L2PT_FLAG_ALL, specs);
            next += size / 2;
        }
        sim.trace().setKeep(false);
        sim.chassis().cards().setRecordFrames(false);
        return sim;
    }();
    return s;
}

// The first access port ("a") or core port ("c") of the VLAN of `size` ports.
uint32_t firstPort(const char* kind, int64_t size) {
    int next = 0;
    for (int i = 0; kVlanSizes[i] != size; ++i) {
        next += kVlanSizes[i] / 2;
    }
    return sim().ifIndex(kind + std::to_string(next));
}

// Runs one path over a fresh copy of `frame` per iteration.
void runPath(benchmark::State& state, const frames::Bytes& frame,
             void (*path)(uint32_t, uint8_t*, int32_t), uint32_t rx) {
    std::array<uint8_t, L2PT_PKT_BUF_SIZE> buf{};
    const uint64_t allocsBefore = allocations();
    for (auto _ : state) {
        std::memcpy(buf.data(), frame.data(), frame.size());
        path(rx, buf.data(), static_cast<int32_t>(frame.size()));
        benchmark::ClobberMemory();
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.counters["sends_per_pdu"] = static_cast<double>(state.range(0) - 1);
    state.counters["allocs_per_pdu"] =
        static_cast<double>(allocations() - allocsBefore) / iterations;
}

void BM_Tunnel(benchmark::State& state, frames::Bytes (*customer)(uint16_t)) {
    runPath(state, customer(10), l2ptProcessPacket, firstPort("a", state.range(0)));
}
BENCHMARK_CAPTURE(BM_Tunnel, stp, frames::stp)->Arg(2)->Arg(4)->Arg(8)->Arg(48);
BENCHMARK_CAPTURE(BM_Tunnel, pvst, frames::pvst)->Arg(4);

void BM_Detunnel(benchmark::State& state, frames::Bytes (*customer)(uint16_t)) {
    const auto vlan = static_cast<uint16_t>(state.range(0));
    runPath(state, frames::tunnelled(customer(10), vlan), l2ptProcessTunneledPacket,
            firstPort("c", state.range(0)));
}
BENCHMARK_CAPTURE(BM_Detunnel, stp, frames::stp)->Arg(2)->Arg(4)->Arg(8)->Arg(48);
BENCHMARK_CAPTURE(BM_Detunnel, pvst, frames::pvst)->Arg(4);

// A dropped PDU: counted by reason in the task and, through the platform, per port by the
// chassis (its trace line goes nowhere here). Arg is the size of the core port's VLAN; nothing
// is sent. untagged: a frame cut after the tag protocol identifier, dropped before anything is
// read; no_vman: a tunnelled PDU for a VLAN the switch has no record of, dropped after the
// received-PDU steps.
void BM_Drop(benchmark::State& state, frames::Bytes (*frame)()) {
    runPath(state, frame(), l2ptProcessTunneledPacket, firstPort("c", state.range(0)));
    state.counters["sends_per_pdu"] = 0;
}
frames::Bytes untaggedFrame() {
    frames::Bytes f = frames::tunnelled(frames::stp(10), 2);
    f.resize(L2PT_FRAME_TAG_TCI);
    return f;
}
frames::Bytes noVmanFrame() {
    return frames::tunnelled(frames::stp(10), 300);
}
BENCHMARK_CAPTURE(BM_Drop, untagged, untaggedFrame)->Arg(2);
BENCHMARK_CAPTURE(BM_Drop, no_vman, noVmanFrame)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
