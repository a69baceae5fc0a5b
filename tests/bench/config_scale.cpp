// A configuration at scale on a running task: 4094 VLANs of 48 ports each (24 access and 24
// core ports, four protocols) added through IFM, then the download to one line card that comes
// up again, then a tunnel MAC change. One pass per process (the task runs once per process);
// each phase is timed (wall clock, and CPU time of both threads) and reported as counters in
// seconds, with the ACL download messages the agents applied, the peak resident memory and the
// task's pool bytes.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <ctime>
#include <string>

#include "platform/mem.h"
#include "state/protocol.h"
#include "tests/support/task_sim.h"

namespace {

constexpr int kSlots = 12;
constexpr int kPortsPerCard = 48;
constexpr int kVlans = 4094;
constexpr uint32_t kCardDownloaded = 0;
constexpr double kMiB = 1024.0 * 1024.0;

double maxRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}
double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void BM_ConfigurationAtScale(benchmark::State& state) {
    const double rssAtStart = maxRssMiB();
    // Twelve 48-port cards with per-port agents; VLAN v holds every port of card (v - 1) mod 12,
    // the first half access, the rest core ports.
    std::string yaml = "card_types: [{id: 1}]\nline_cards:\n";
    for (int s = 0; s < kSlots; ++s) {
        yaml += "  - {slot: " + std::to_string(s) + ", type: 1, ports: [{range: 0-" +
                std::to_string(kPortsPerCard - 1) +
                ", name: \"p{s}/{n}\", unit: " + std::to_string(s) + "}]}\n";
    }
    yaml += "vlans:\n";
    for (int v = 1; v <= kVlans; ++v) {
        yaml += "  - {id: " + std::to_string(v) + ", name: v" + std::to_string(v) + "}\n";
    }
    auto& sim = tsim::boot(yaml);
    sim.trace().setKeep(false);
    for (uint32_t s = 0; s < kSlots; ++s) {
        sim.agent(s).setRecordDownloads(false);  // counted below, not kept
    }
    std::vector<chassis::Ifm::VlanBlock> blocks;
    for (int v = 1; v <= kVlans; ++v) {
        std::vector<tsim::PortSpec> ports;
        for (int p = 0; p < kPortsPerCard; ++p) {
            ports.push_back({"p" + std::to_string((v - 1) % kSlots) + "/" + std::to_string(p),
                             p >= kPortsPerCard / 2});
        }
        blocks.push_back(tsim::block(sim, "v" + std::to_string(v), L2PT_FLAG_ALL, ports));
    }
    const auto applied = [&] {
        uint32_t n = 0;
        for (uint32_t s = 0; s < kSlots; ++s) {
            n += sim.agent(s).stats().applied;
        }
        return n;
    };
    // One phase: the driver's injection and the task's handling of it until it waits.
    const auto phase = [&](const std::string& name, auto run) {
        const uint32_t before = applied();
        const double wall = wallSeconds(), cpu = cpuSeconds();
        run();
        const double wallUsed = wallSeconds() - wall, cpuUsed = cpuSeconds() - cpu;
        state.counters[name + "_wall_s"] = wallUsed;
        state.counters[name + "_cpu_s"] = cpuUsed;
        state.counters["total_wall_s"] += wallUsed;
        state.counters["total_cpu_s"] += cpuUsed;
        state.counters["acl_msgs_" + name] = applied() - before;
    };
    for (auto _ : state) {
        phase("ifm_msgs", [&] { sim.ifm().vlanAdd(blocks); });
        phase("vlan_add", [&] { sim.settle(); });
        sim.cardDown(kCardDownloaded);
        phase("card_up", [&] { sim.cardUp(kCardDownloaded); });
        phase("mac_change", [&] {
            sim.ifm().tunnelMac({0x02, 0x00, 0x00, 0x00, 0x00, 0x01}, false);
            sim.settle();
        });
    }
    double varPeak = 0, fixedInUse = 0;
    for (const auto& pool : ozm::mem::stats()) {
        const bool var = pool.name.starts_with("var:");  // message blocks: their peak counts
        (var ? varPeak : fixedInUse) +=
            static_cast<double>(pool.blockSize) * (var ? pool.peak : pool.inUse);
    }
    state.counters["task_records_MiB"] = fixedInUse / kMiB;
    state.counters["task_msg_blocks_peak_MiB"] = varPeak / kMiB;
    state.counters["max_rss_at_start_MiB"] = rssAtStart;
    state.counters["max_rss_MiB"] = maxRssMiB();
    state.counters["task_alive"] = sim.taskAlive() ? 1 : 0;
}
BENCHMARK(BM_ConfigurationAtScale)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
