// The daemon's loop pass with a full table of learned MACs (run as root): 65536 entries in the
// kernel pipeline's l2pt_fdb, half of them aged, while the line cards' sweep forgets the aged
// ones a slice a pass and four `l2ptctl macs` readers each take a slice of the table a pass, as
// the daemon's loop does for them. Between passes the pipeline learns again what was forgotten
// (written through the map: the churn of customers' frames), so the sweep never runs out. The
// pass time is reported as p50, p99 and max over the passes, in wall time and in the CPU time of
// the pass (the difference is the time the machine gave to others meanwhile).
#include <benchmark/benchmark.h>
#include <bpf/bpf.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "chassis/chassis.h"
#include "net/linecard/line_cards.h"
#include "net/pipeline/bpf_tables.h"
#include "net/pipeline/clock.h"
#include "net/port/mem_port_ops.h"
#include "tests/support/pipeline_map.h"
#include "tests/unit/chassis/test_chassis.h"

namespace {

using namespace netp;

constexpr uint32_t kEntries = 65536;
constexpr size_t kReaders = 4;
constexpr size_t kReaderSlice = 256;  // what the daemon pumps to a reader a pass
constexpr uint64_t kAgedNs = 400ull * 1'000'000'000;
constexpr uint16_t kVid = 100;
constexpr uint32_t kLport = 0;
constexpr uint32_t kChurnPerPass = 512;  // aged entries learned again between two passes
constexpr uint64_t kMsPerSecond = 1000;
constexpr double kPercentP50 = 0.50, kPercentP99 = 0.99;

void check(const pipeline::Status& s) {
    if (!s)
        throw std::runtime_error(s.what());
}

const char* const kChassis =
    "card_types: [{id: 1}]\n"
    "line_cards: [{slot: 0, type: 1, ports: [{range: 0-1, name: \"p0/{n}\", vlan: 100}]}]\n"
    "vlans: [{id: 100, name: v100}]\n"
    "data_plane: {fdb_entries: 65536, vlan_learn_limit: 65536, learning: "
    "[{port: p0/0, limit: 65536}]}\n";

double threadCpuUs() {
    constexpr double kUsPerSecond = 1e6, kUsPerNs = 1e-3;
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * kUsPerSecond + static_cast<double>(t.tv_nsec) * kUsPerNs;
}

l2pt_fdb_key keyOf(uint32_t i) {
    l2pt_fdb_key k{};
    k.vid = kVid;
    const uint8_t mac[L2PT_ETH_ALEN] = {0x02,
                                        0x01,
                                        0x00,
                                        static_cast<uint8_t>(i >> 16),
                                        static_cast<uint8_t>(i >> 8),
                                        static_cast<uint8_t>(i)};
    std::copy(std::begin(mac), std::end(mac), k.mac);
    return k;
}

// Entry i, seen now or (odd i) long enough ago to be aged; false when the table holds it.
bool learn(int fdb, uint32_t i, uint64_t now) {
    const l2pt_fdb_key k = keyOf(i);
    l2pt_fdb_entry e{};
    e.lport = kLport;
    e.seen_ns = i % 2 ? now - kAgedNs : now;
    return bpf_map_update_elem(fdb, &k, &e, BPF_NOEXIST) == 0;
}

void LoopPassWith64kLearnedUnderChurn(benchmark::State& state) {
    if (::geteuid() != 0) {
        state.SkipWithError("needs root (BPF)");
        return;
    }
    chassis::test::NoTask task;
    chassis::Chassis chassis(chassis::loadChassisText(kChassis, "fdb-walk"), task);
    auto tables = pipeline::BpfTables::load([](std::string_view) {}, kEntries);
    check(tables.status());
    port::MemPortOps ops;
    const port::PortTracker ports(linecard::LineCards::netdevs(chassis), ops, {}, {},
                                  [](const std::string&) {});
    auto cards = linecard::LineCards::start(
        chassis, **tables, ports,
        [](std::string_view l) { throw std::runtime_error(std::string(l)); },
        [](uint16_t) { return pipeline::Result<linecard::TaskTx>(linecard::TaskTx{}); });
    check(cards.status());
    linecard::LineCards& lc = **cards;
    Fd fdb = test::pipelineMap((*tables)->ingressFd(), "l2pt_fdb");
    if (!fdb.valid())
        throw std::runtime_error("the pipeline has no l2pt_fdb");
    for (uint32_t i = 0; i < kEntries; ++i)
        learn(fdb.get(), i, pipeline::monotonicNs());

    std::vector<pipeline::Tables::Walk> walks(kReaders);
    std::vector<linecard::MacEntry> slice;
    std::string text;
    std::vector<double> passUs, cpuUs;  // wall time, and this thread's CPU time
    size_t read = 0, relearned = 0;
    uint32_t churn = 1;
    for (auto _ : state) {
        state.PauseTiming();
        for (uint32_t n = 0; n < kChurnPerPass; ++n, churn = (churn + 2) % kEntries)
            relearned += learn(fdb.get(), churn, pipeline::monotonicNs());
        if (!lc.sweeping())
            lc.expireAged();
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = threadCpuUs();
        lc.sweep();
        for (auto& walk : walks) {
            slice.clear();
            auto done = lc.readMacs(walk, kReaderSlice, slice);
            check(done.status());
            text.clear();
            for (const auto& m : slice) {
                char line[64];
                std::snprintf(line, sizeof line, "%-6u%02x:%02x:%02x:%02x:%02x:%02x %u %llus\n",
                              m.vid, m.mac[0], m.mac[1], m.mac[2], m.mac[3], m.mac[4], m.mac[5],
                              m.ifIndex, static_cast<unsigned long long>(m.ageMs / kMsPerSecond));
                text += line;
            }
            benchmark::DoNotOptimize(text.data());
            read += slice.size();
            if (*done)
                walk = {};
        }
        cpuUs.push_back(threadCpuUs() - cpuStart);
        passUs.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    const auto report = [&](std::vector<double>& us, const std::string& name) {
        std::sort(us.begin(), us.end());
        const auto at = [&](double p) {
            return us[std::min(us.size() - 1, static_cast<size_t>(p * us.size()))];
        };
        state.counters[name + "p50_us"] = at(kPercentP50);
        state.counters[name + "p99_us"] = at(kPercentP99);
        state.counters[name + "max_us"] = us.back();
    };
    report(passUs, "");
    report(cpuUs, "cpu_");
    state.counters["read_per_pass"] = static_cast<double>(read) / passUs.size();
    state.counters["relearned_per_pass"] = static_cast<double>(relearned) / passUs.size();
}
BENCHMARK(LoopPassWith64kLearnedUnderChurn)->Unit(benchmark::kMicrosecond)->Iterations(2000);

}  // namespace

BENCHMARK_MAIN();
