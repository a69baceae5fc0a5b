// A full card from the chassis models into the kernel pipeline's tables through LineCards (run
// as root): 4094 VLANs x 48 ports (24 access and 24 core ports in each), IFM's state written at
// start, then the task's ACL downloads (the four protocols' MACs on every access port, the
// tunnel MAC on every core port) applied by the card's agent and mirrored entry by entry; the
// maps' kernel memory once a task holds its ring. Then what the daemon pays after each event:
// a refresh when nothing moved, and one when IFM changed one VLAN.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <stdexcept>
#include <string>
#include <vector>

#include "chassis/chassis.h"
#include "net/linecard/line_cards.h"
#include "net/pipeline/bpf_tables.h"
#include "net/port/mem_port_ops.h"
#include "tests/bench/map_memory.h"
#include "tests/unit/chassis/test_chassis.h"

namespace {

using namespace netp;

constexpr uint32_t kPorts = 48;
constexpr uint32_t kAccessPorts = 24;
constexpr uint32_t kVlans = 4094;
constexpr uint32_t kSlot = 0;
constexpr uint8_t kModePort = 1;
constexpr uint32_t kEntriesPerMessage = 20;
constexpr std::array<chassis::Mac, 4> kProtocolMacs = {{
    {0x01, 0x80, 0xc2, 0x00, 0x00, 0x00},  // STP
    {0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e},  // LLDP
    {0x01, 0x80, 0xc2, 0x00, 0x00, 0x20},  // GVRP
    {0x01, 0x00, 0x0c, 0xcc, 0xcc, 0xcd},  // PVST
}};

void check(const pipeline::Status& s) {
    if (!s)
        throw std::runtime_error(s.what());
}

std::string portName(uint32_t p) {
    return "p0/" + std::to_string(p);
}

chassis::ChassisConfig fullCard() {
    std::string yaml =
        "card_types: [{id: 1}]\nline_cards:\n  - {slot: 0, type: 1, ports: "
        "[{range: 0-" +
        std::to_string(kPorts - 1) +
        ", name: \"p0/{n}\"}]}\n"
        "vlans:\n";
    for (uint32_t v = 1; v <= kVlans; ++v)
        yaml += "  - {id: " + std::to_string(v) + ", name: v" + std::to_string(v) + "}\n";
    chassis::ChassisConfig cfg = chassis::loadChassisText(yaml, "full-card");
    for (uint32_t v = 1; v <= kVlans; ++v) {
        chassis::TunnelVlanConfig tv;
        tv.vlan.name = "v" + std::to_string(v);
        tv.protocols =
            chassis::kProtoStp | chassis::kProtoLldp | chassis::kProtoGvrp | chassis::kProtoPvst;
        for (uint32_t p = 0; p < kPorts; ++p)
            tv.ports.push_back({{portName(p)}, p >= kAccessPorts});
        cfg.tunnelling.vlans.push_back(std::move(tv));
    }
    return cfg;
}

// The chassis and the loaded pipeline, once per process.
struct Card {
    chassis::test::NoTask task;
    chassis::Chassis chassis{fullCard(), task};
    std::unique_ptr<pipeline::BpfTables> tables;
    port::MemPortOps ops;
    const port::PortTracker ports{
        linecard::LineCards::netdevs(chassis), ops, {}, {}, [](const std::string&) {}};
    std::vector<std::vector<uint8_t>> downloads;  // the task's ACL downloads to the card

    Card() {
        if (::geteuid() != 0)
            throw std::runtime_error("linecard_download needs root (BPF)");
        auto loaded = pipeline::BpfTables::load([](std::string_view) {});
        check(loaded.status());
        tables = std::move(*loaded);
        chassis.trace().setKeep(false);
        std::vector<chassis::test::Entry> entries;
        for (uint32_t p = 0; p < kPorts; ++p) {
            const uint32_t ifIndex = chassis::portIfIndex(kSlot, p);
            if (p < kAccessPorts) {
                for (const chassis::Mac& mac : kProtocolMacs)
                    entries.push_back({ifIndex, mac, 0, 0, kModePort});
            } else {
                entries.push_back({ifIndex, chassis::test::kTunnelMac, 0, 0, kModePort});
            }
        }
        for (size_t i = 0; i < entries.size(); i += kEntriesPerMessage) {
            const auto end = entries.begin() +
                             static_cast<long>(std::min(entries.size(), i + kEntriesPerMessage));
            downloads.push_back(chassis::test::download(
                static_cast<uint32_t>(downloads.size() + 1), aclmsg::kOpInstall,
                {entries.begin() + static_cast<long>(i), end}));
        }
    }

    // Empty tables, as a freshly loaded pipeline has them, and an agent that starts afresh.
    void clear() {
        for (uint32_t vid = 0; vid < L2PT_VLANS; ++vid)
            check(tables->setVlan(vid, {}));
        l2pt_lport none{};
        none.lag = L2PT_LPORT_NONE;
        for (uint32_t lport = 0; lport < kPorts; ++lport)
            check(tables->setLport(lport, none));
        chassis::AclAgent& agent = *chassis.cards().agent(kSlot);
        agent.setPresent(false);
        agent.setPresent(true);
        agent.receive(chassis::test::sync());
    }

    std::unique_ptr<linecard::LineCards> start() {
        auto cards = linecard::LineCards::start(
            chassis, *tables, ports,
            [](std::string_view l) { throw std::runtime_error(std::string(l)); },
            // The task's ring is what is measured; its link is not.
            [](uint16_t) { return pipeline::Result<linecard::TaskTx>(linecard::TaskTx{}); });
        check(cards.status());
        return std::move(*cards);
    }
};

Card& card() {
    static Card c;
    return c;
}

void FullCardFromTheModels(benchmark::State& state) {
    Card& c = card();
    std::unique_ptr<linecard::LineCards> cards;
    for (auto _ : state) {
        state.PauseTiming();
        cards.reset();
        c.clear();
        state.ResumeTiming();
        cards = c.start();
        for (const auto& m : c.downloads)
            c.chassis.cards().agent(kSlot)->receive(m);
    }
    // What was timed wrote what it had to: the last VLAN's members, every entry held.
    auto last = c.tables->vlan(kVlans);
    check(last.status());
    if (std::popcount(last->members[0]) + std::popcount(last->members[1]) != kPorts)
        throw std::runtime_error("VLAN " + std::to_string(kVlans) + " lacks members");
    auto counters = cards->entryCounters();
    check(counters.status());
    for (const auto& e : *counters)
        check(
            c.tables->trapCounters(pipeline::TrapKey::port(e.entry.ifIndex, e.entry.mac)).status());
    state.counters["trap_entries"] = static_cast<double>(counters->size());
    state.counters["download_messages"] = static_cast<double>(c.downloads.size());
    auto grant = cards->grant();  // a card in service has its task's ring
    check(grant.status());
    reportMapMemory(state, *c.tables);
}
BENCHMARK(FullCardFromTheModels)->Unit(benchmark::kMillisecond)->Iterations(5);

// After every event the daemon handles: nothing of IFM or the cards moved.
void RefreshUnchanged(benchmark::State& state) {
    Card& c = card();
    auto cards = c.start();
    for (auto _ : state)
        cards->refresh();
}
BENCHMARK(RefreshUnchanged);

// An operator's command that changes one VLAN (a port's role, back and forth): every VLAN is
// rebuilt from IFM, the one that changed rewritten.
void RefreshOneVlanChanged(benchmark::State& state) {
    Card& c = card();
    auto cards = c.start();
    const uint32_t port = chassis::portIfIndex(kSlot, 0);
    uint32_t mode = 0;
    for (auto _ : state) {
        state.PauseTiming();
        mode ^= vlanmsg::kModeCorePort;
        c.chassis.ifm().vlanAdd({{chassis::vlanIfIndex(1), 0, 0, {{port, mode}}}});
        state.ResumeTiming();
        cards->refresh();
    }
}
BENCHMARK(RefreshOneVlanChanged)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
