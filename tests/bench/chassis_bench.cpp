// Costs of the simulated chassis on the PDU path and at scale: trapping a frame, bridging one
// (allocs_per_frame counts operator new calls in the loop), and applying a full ACL download.
#include <benchmark/benchmark.h>

#include "chassis/message.h"
#include "chassis/sim_switch.h"
#include "tests/bench/alloc_counter.h"

namespace {

using namespace chassis;

constexpr std::string_view kYaml = R"(
card_types: [{id: 1}]
line_cards:
  - {slot: 0, type: 1, ports: [{range: 0-47, name: "p0/{n}", vlan: 100}]}
vlans: [{id: 100, name: v100}]
tunnelling:
  vlans:
    - vlan: v100
      protocols: [stp]
      ports: [{port: p0/0}, {port: p0/1}, {port: p0/2}, {port: p0/3}, {port: p0/47, mode: core}]
)";

// The chassis alone: what would go to the task is dropped; the trace keeps nothing.
struct Rig : TaskLink {
    Rig() { c.trace().setKeep(false); }
    void toTask(std::vector<uint8_t>) override {}
    bool toPduSocket(int, uint32_t, std::span<const uint8_t>) override { return true; }
    Chassis c{loadChassisText(kYaml), *this};
};

std::vector<uint8_t> fullDownload(uint32_t seq, uint32_t rateKbps = 0) {
    auto m = makeMessage(MT_L2PT_ACL_DOWNLOAD, aclmsg::kMsgSize, kTaskParty, {svc::kAcl, 0});
    stampSequenced(m, swpw::Kind::Data, 1, seq, 1, kTaskParty);
    wire::putU32(m.data(), aclmsg::kAclOp, aclmsg::kOpInstall);
    wire::putU32(m.data(), aclmsg::kEntryCount, aclmsg::kMaxEntries);
    for (uint32_t i = 0; i < aclmsg::kMaxEntries; ++i) {
        uint8_t* e = m.data() + aclmsg::kEntries + i * aclmsg::kEntryLen;
        wire::putU32(e, aclmsg::kEntIfIndex, portIfIndex(0, i % 48));
        e[aclmsg::kEntMac] = 0x01;
        e[aclmsg::kEntMac + 5] = static_cast<uint8_t>(i / 48);
        wire::putU32(e, aclmsg::kEntRateLimit, rateKbps);
    }
    return m;
}

void BM_AclDownloadOf287Entries(benchmark::State& state) {
    Rig rig;
    uint32_t seq = 0;
    for (auto _ : state) {
        rig.c.cards().agent(0)->receive(fullDownload(++seq));
    }
    state.SetItemsProcessed(state.iterations() * aclmsg::kMaxEntries);
}
BENCHMARK(BM_AclDownloadOf287Entries);

// state.range(0): the entries' rate in Kbps, 0 for none; a rate high enough that the policer
// passes every frame, so the cost of its bucket shows.
void BM_FrameInTrapped(benchmark::State& state) {
    Rig rig;
    rig.c.cards().agent(0)->receive(fullDownload(1, static_cast<uint32_t>(state.range(0))));
    // A million PDUs a second of chassis time: no port PDU rate, or it would drop them.
    rig.c.cards().setPduDefault(0);
    std::vector<uint8_t> frame(64, 0);
    frame[0] = 0x01;  // the first entry's MAC, on port 0
    wire::putU16(frame.data(), 12, 0x8100);
    for (auto _ : state) {
        benchmark::DoNotOptimize(rig.c.cards().frameIn(portIfIndex(0, 0), frame));
        ++rig.c.clock().nowUs;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameInTrapped)->Arg(0)->Arg(4'000'000);

// A customer frame bridged in VLAN 100 (four access ports and a core port), copies discarded
// once counted. state.range(0): 1 for known unicast to the core port (the provider tag pushed),
// 0 for a broadcast flooded to the four others.
void BM_FrameInBridged(benchmark::State& state) {
    Rig rig;
    auto& dp = rig.c.cards();
    dp.setRecordFrames(false);
    std::vector<uint8_t> frame(64, 0);
    const uint8_t host[] = {0x02, 0, 0, 0, 0, 0x47};
    std::copy(std::begin(host), std::end(host), frame.begin() + 6);  // learned on p0/47
    wire::putU16(frame.data(), 12, 0x9100);
    wire::putU16(frame.data(), 14, 100);
    dp.frameIn(portIfIndex(0, 47), frame);
    std::copy(std::begin(host), std::end(host), frame.begin());  // ... the customers' frames to it
    frame[11] = 0x01;
    wire::putU16(frame.data(), 12, 0x0800);
    if (state.range(0) == 0)
        std::fill_n(frame.begin(), 6, 0xff);
    dp.frameIn(portIfIndex(0, 0), frame);  // warm: the buffers have their size
    const uint64_t before = allocations();
    for (auto _ : state)
        benchmark::DoNotOptimize(dp.frameIn(portIfIndex(0, 0), frame));
    const auto n = static_cast<double>(state.iterations());
    state.counters["allocs_per_frame"] = static_cast<double>(allocations() - before) / n;
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameInBridged)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
