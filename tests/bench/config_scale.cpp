// A configuration at scale on a running task: 4094 VLANs of 48 ports each (24 access and 24
// core ports, four protocols) added through IFM, then the download to one line card that comes
// up again, then a tunnel MAC change. One pass per process (the task runs once per process);
// each phase is timed and reported as counters in seconds, with the ACL download messages the
// agents applied, the peak resident memory and the task's pool bytes.
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

// Twelve 48-port cards with per-port agents, VLANs 1-4094.
std::string chassisYaml() {
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
    return yaml;
}

// VLAN v holds every port of card (v - 1) mod 12: the first half access, the rest core ports.
std::vector<chassis::Ifm::VlanBlock> vlanBlocks(chassis::SimSwitch& sim) {
    std::vector<chassis::Ifm::VlanBlock> blocks;
    for (int v = 1; v <= kVlans; ++v) {
        const int slot = (v - 1) % kSlots;
        std::vector<tsim::PortSpec> ports;
        for (int p = 0; p < kPortsPerCard; ++p) {
            const std::string name = "p" + std::to_string(slot) + "/" + std::to_string(p);
            ports.push_back(p < kPortsPerCard / 2 ? tsim::access(name) : tsim::core(name));
        }
        blocks.push_back(tsim::block(sim, "v" + std::to_string(v), L2PT_FLAG_ALL, ports));
    }
    return blocks;
}

double maxRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

uint32_t downloadsApplied(chassis::SimSwitch& sim) {
    uint32_t n = 0;
    for (uint32_t s = 0; s < kSlots; ++s) {
        n += sim.agent(s).stats().applied;
    }
    return n;
}

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Times one phase, the driver's injection and the task's handling of it until it waits, on the
// wall clock and in CPU time of the whole process (both threads; other load does not count).
template <class Phase>
void timePhase(benchmark::State& state, const std::string& name, Phase phase) {
    const double cpu = processCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    phase();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters[name + "_wall_s"] = wall;
    state.counters[name + "_cpu_s"] = processCpuSeconds() - cpu;
    state.counters["total_wall_s"] += wall;
    state.counters["total_cpu_s"] += processCpuSeconds() - cpu;
}

void BM_ConfigurationAtScale(benchmark::State& state) {
    const double rssAtStart = maxRssMiB();
    auto sim = tsim::boot(chassisYaml());
    sim->trace().setKeep(false);
    const auto blocks = vlanBlocks(*sim);
    for (auto _ : state) {
        timePhase(state, "ifm_msgs", [&] { sim->ifm().vlanAdd(blocks); });
        timePhase(state, "vlan_add", [&] { sim->settle(); });
        state.counters["acl_msgs_vlan_add"] = downloadsApplied(*sim);
        sim->cardDown(kCardDownloaded);
        const uint32_t beforeCardUp = downloadsApplied(*sim);
        timePhase(state, "card_up", [&] { sim->cardUp(kCardDownloaded); });
        const uint32_t beforeMac = downloadsApplied(*sim);
        state.counters["acl_msgs_card_up"] = beforeMac - beforeCardUp;
        timePhase(state, "mac_change", [&] {
            sim->ifm().tunnelMac({0x02, 0x00, 0x00, 0x00, 0x00, 0x01}, false);
            sim->settle();
        });
        state.counters["acl_msgs_mac_change"] = downloadsApplied(*sim) - beforeMac;
    }
    constexpr double kMiB = 1024.0 * 1024.0;
    double varPeak = 0, fixedInUse = 0;
    for (const auto& pool : ozm::mem::stats()) {
        const double peak = static_cast<double>(pool.blockSize) * pool.peak;
        if (pool.name.starts_with("var:")) {
            varPeak += peak;
        } else {
            fixedInUse += static_cast<double>(pool.blockSize) * pool.inUse;
        }
    }
    state.counters["task_records_MiB"] = fixedInUse / kMiB;
    state.counters["task_msg_blocks_peak_MiB"] = varPeak / kMiB;
    state.counters["max_rss_at_start_MiB"] = rssAtStart;
    state.counters["max_rss_MiB"] = maxRssMiB();
    state.counters["task_alive"] = sim->taskAlive() ? 1 : 0;
}
BENCHMARK(BM_ConfigurationAtScale)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
