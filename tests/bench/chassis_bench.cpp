// Costs of the simulated chassis: trapping a frame, applying a full ACL download, IFM's
// download of a large configuration, and one baton round trip with the task.
#include <benchmark/benchmark.h>

#include "chassis/message.h"
#include "chassis/sim_switch.h"
#include "platform/kernel.h"
#include "platform/process.h"

namespace {

using namespace chassis;

constexpr std::string_view kYaml = R"(
card_types: [{id: 1}]
line_cards:
  - {slot: 0, type: 1, ports: [{range: 0-47, name: "p0/{n}"}]}
vlans: [{id: 100, name: v100}]
)";

struct NullTask : TaskLink {
    size_t msgs = 0;
    size_t pdus = 0;
    void toTask(std::vector<uint8_t>) override { ++msgs; }
    bool toPduSocket(int, uint32_t, std::span<const uint8_t>) override {
        ++pdus;
        return true;
    }
};

std::vector<uint8_t> fullDownload(uint32_t seq) {
    auto m = makeMessage(MT_L2PT_ACL_DOWNLOAD, aclmsg::kMsgSize, kTaskParty, {svc::kAcl, 0});
    stampSequenced(m, swpw::Kind::Data, 1, seq, 1, kTaskParty);
    wire::putU32(m.data(), aclmsg::kAclOp, aclmsg::kOpInstall);
    wire::putU32(m.data(), aclmsg::kEntryCount, aclmsg::kMaxEntries);
    for (uint32_t i = 0; i < aclmsg::kMaxEntries; ++i) {
        uint8_t* e = m.data() + aclmsg::kEntries + i * aclmsg::kEntryLen;
        wire::putU32(e, aclmsg::kEntIfIndex, portIfIndex(0, i % 48));
        e[aclmsg::kEntMac] = 0x01;
        e[aclmsg::kEntMac + 5] = static_cast<uint8_t>(i / 48);
    }
    return m;
}

void BM_AclDownloadOf287Entries(benchmark::State& state) {
    NullTask task;
    Chassis c(loadChassisText(kYaml), task);
    c.trace().setKeep(false);
    uint32_t seq = 0;
    auto* agent = c.cards().agent(0);
    for (auto _ : state) {
        auto m = fullDownload(++seq);
        agent->receive(m);
    }
    state.SetItemsProcessed(state.iterations() * aclmsg::kMaxEntries);
}
BENCHMARK(BM_AclDownloadOf287Entries);

void BM_FrameInTrapped(benchmark::State& state) {
    NullTask task;
    Chassis c(loadChassisText(kYaml), task);
    c.trace().setKeep(false);
    c.cards().agent(0)->receive(fullDownload(1));
    std::vector<uint8_t> frame(64, 0);
    frame[0] = 0x01;
    wire::putU16(frame.data(), 12, 0x8100);
    const uint32_t port = portIfIndex(0, 0);
    for (auto _ : state)
        benchmark::DoNotOptimize(c.cards().frameIn(port, frame));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameInTrapped);

void BM_IfmDownloadOfVlans(benchmark::State& state) {
    NullTask task;
    Chassis c(loadChassisText(kYaml), task);
    c.trace().setKeep(false);
    std::vector<Ifm::VlanBlock> blocks;
    for (uint32_t v = 0; v < static_cast<uint32_t>(state.range(0)); ++v) {
        blocks.push_back(
            {vlanIfIndex(v), 1, 0, {{portIfIndex(0, v % 48), 0}, {portIfIndex(0, 47), 0x20}}});
    }
    for (auto _ : state)
        c.ifm().vlanAdd(blocks);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_IfmDownloadOfVlans)->Arg(4096);

int waiter(int, char**) {
    for (;;) {
        OzmFdSet none;
        OZM_FD_ZERO(&none);
        kern::select(0, &none, nullptr, nullptr, nullptr);
    }
}

void BM_BatonRoundTrip(benchmark::State& state) {
    SimSwitch sim(loadChassisText(kYaml));
    sim.trace().setKeep(false);
    sim.start(waiter);
    for (auto _ : state)
        sim.settle();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BatonRoundTrip);

}  // namespace

BENCHMARK_MAIN();
