// The kernel pipeline (run as root): a full card's tables written through BpfTables and what
// every map holds in kernel memory; the ingress program's cost per frame for a known unicast,
// a flooded and a trapped frame (BPF_PROG_TEST_RUN, repeated in the kernel), and what the port
// policers add; and the ways to
// take a provider tag off a frame. Everything runs in a private network namespace whose 48
// veth pairs are the card's ports.
#include <benchmark/benchmark.h>
#include <bpf/bpf.h>
#include <linux/pkt_cls.h>
#include <net/if.h>
#include <unistd.h>

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/pipeline/bpf_object.h"
#include "net/pipeline/bpf_tables.h"
#include "net/pipeline/trap_ring.h"
#include "tests/bench/map_memory.h"
#include "tests/support/veth.h"

// tag_ops.bpf.c's skeleton, generated at build time (tests/CMakeLists.txt).
#include "tag_ops.skel.h"

namespace {

using namespace netp::pipeline;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kPorts = 48;
constexpr uint32_t kAccessPorts = 24;  // ports 0-23 access, 24-47 core, in every VLAN
constexpr uint32_t kVlans = 4094;
constexpr uint16_t kVlan = 100;
constexpr std::array<Mac, 5> kTrapMacs = {{
    {0x01, 0x80, 0xc2, 0x00, 0x00, 0x00},  // STP
    {0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e},  // LLDP
    {0x01, 0x80, 0xc2, 0x00, 0x00, 0x20},  // GVRP
    {0x01, 0x00, 0x0c, 0xcc, 0xcc, 0xcd},  // PVST
    {0x03, 0xa7, 0x31, 0x00, 0x00, 0x00},  // the tunnel MAC
}};
const Mac kHost = {0x02, 0, 0, 0, 0, 0x30};

void check(const Status& s) {
    if (!s)
        throw std::runtime_error(s.what());
}

// The card, once per process: a network namespace of its own, its ports, the pipeline.
struct Card {
    std::unique_ptr<BpfTables> tables;
    uint32_t ifindex[kPorts] = {};

    Card() {
        if (::geteuid() != 0)
            throw std::runtime_error("pipeline_bench needs root (a network namespace, BPF)");
        if (const std::string failed = privateVethPairs(kPorts); !failed.empty())
            throw std::runtime_error(failed);
        for (uint32_t p = 0; p < kPorts; p++)
            ifindex[p] = ::if_nametoindex(("sw" + std::to_string(p)).c_str());
        auto loaded = BpfTables::load([](std::string_view) {});
        check(loaded.status());
        tables = std::move(*loaded);
    }

    // Everything a full card's configuration writes: the globals, every port and its
    // interface, every VLAN, the four protocols' entries and the tunnel MAC's on every port.
    size_t download() {
        size_t writes = 0;
        check(tables->setGlobals(defaultGlobals()));
        for (uint32_t p = 0; p < kPorts; p++, writes += 2) {
            l2pt_lport r{};
            r.ifindex = ifindex[p];
            r.chassis_if = 1000 + p;
            r.pvid = kVlan;
            r.mtu = 1500;
            r.lag = L2PT_LPORT_NONE;
            r.slot = 0;
            r.flags = L2PT_P_PRESENT | L2PT_P_UP;
            check(tables->setLport(p, r));
            check(tables->bindIfindex(ifindex[p], p));
        }
        l2pt_vlan v{};
        v.members[0] = 0xFFFFFFFF;
        v.members[1] = 0x0000FFFF;
        v.core[0] = 0xFF000000;
        v.core[1] = 0x0000FFFF;
        for (uint32_t vid = 1; vid <= kVlans; vid++, writes++)
            check(tables->setVlan(vid, v));
        for (uint32_t p = 0; p < kPorts; p++) {
            for (const Mac& mac : kTrapMacs) {
                check(tables->installTrap(TrapKey::port(1000 + p, mac), 0));
                writes++;
            }
        }
        return writes;
    }
};

Card& card() {
    static Card c;
    return c;
}

Bytes frame(const Mac& dst, const Mac& src, size_t payload) {
    Bytes b(dst.begin(), dst.end());
    b.insert(b.end(), src.begin(), src.end());
    b.push_back(0x08);
    b.push_back(0x00);
    b.resize(b.size() + payload, 0x45);
    return b;
}

// Runs prog once on f entering the port of ifindex: the kernel's time of the run alone, in ns.
// (The kernel's own repeat would run it again on the frame it changed.)
uint32_t runOnce(int prog, const Bytes& f, uint32_t ifindex, uint32_t& retval) {
    __sk_buff ctx{};
    ctx.ifindex = ifindex;
    LIBBPF_OPTS(bpf_test_run_opts, opts, .data_in = f.data(),
                .data_size_in = static_cast<uint32_t>(f.size()), .ctx_in = &ctx,
                .ctx_size_in = sizeof ctx);
    if (bpf_prog_test_run_opts(prog, &opts) != 0)
        throw std::runtime_error("BPF_PROG_TEST_RUN failed");
    retval = opts.retval;
    return opts.duration;
}

void FullCardDownload(benchmark::State& state) {
    Card& c = card();
    size_t writes = 0;
    for (auto _ : state)
        writes = c.download();
    state.counters["writes"] = static_cast<double>(writes);
    auto ring = c.tables->newTaskRing();  // a card in service has its task's ring
    check(ring.status());
    reportMapMemory(state, *c.tables);
}
BENCHMARK(FullCardDownload)->Unit(benchmark::kMillisecond)->Iterations(5);

// A trapped frame costs most when it must wake a task that waits for it; a task still busy
// with earlier ones (its ring drained every kBusyDrain frames here) is not woken.
enum Kind { kUnicast, kFlooded, kTrappedWaking, kTrappedBusy };
constexpr int64_t kBusyDrain = 256;
const Mac kBroadcast = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
const Mac kFrom = {0x02, 0, 0, 0, 0, 0x01};

// A task's ring in the trap slot, mapped as the task maps it.
TrapRing taskRing(Card& c) {
    auto ringFd = c.tables->newTaskRing();
    check(ringFd.status());
    auto ring = TrapRing::map(std::move(*ringFd), L2PT_RING_BYTES);
    check(ring.status());
    return std::move(*ring);
}

// f entering port 0, timed per frame; the ring drained every drainEvery frames. The program's
// last verdict.
uint32_t timeIngress(benchmark::State& state, Card& c, TrapRing& ring, const Bytes& f,
                     int64_t drainEvery) {
    uint32_t retval = 0;
    int64_t n = 0;
    for (auto _ : state) {
        state.SetIterationTime(runOnce(c.tables->ingressFd(), f, c.ifindex[0], retval) * 1e-9);
        if (++n % drainEvery == 0) {
            for (; !ring.peek().empty(); ring.release()) {
            }
        }
    }
    return retval;
}

void IngressPerFrame(benchmark::State& state) {
    Card& c = card();
    c.download();
    TrapRing ring = taskRing(c);
    uint32_t retval = 0;
    // The host is learned on a core port.
    Bytes learnIt = frame(kBroadcast, kHost, 100);
    learnIt.insert(learnIt.begin() + 12, {0x91, 0x00, 0x00, kVlan});
    runOnce(c.tables->ingressFd(), learnIt, c.ifindex[kPorts - 1], retval);

    const Bytes f = state.range(0) == kUnicast   ? frame(kHost, kFrom, 100)
                    : state.range(0) == kFlooded ? frame(kBroadcast, kFrom, 100)
                                                 : frame(kTrapMacs[0], kFrom, 100);
    const int64_t drainEvery = state.range(0) == kTrappedBusy ? kBusyDrain : 1;
    // 7 redirected (the last copy), 2 trapped
    state.counters["verdict"] = timeIngress(state, c, ring, f, drainEvery);
    check(c.tables->parkTaskRing());
}
BENCHMARK(IngressPerFrame)
    ->ArgName("unicast0_flooded1_trapped2_trappedbusy3")
    ->Unit(benchmark::kNanosecond)
    ->DenseRange(kUnicast, kTrappedBusy)
    ->UseManualTime();

// What the port policers add to a frame: a trapped one (the task busy) without them and with
// the PDU rate and the ring's share (two ports trapping: the ring's positions read, the port's
// share charged), both under their limits; and a broadcast storm control refuses (a flood's
// whole cost when it is too much).
enum Policed { kTrapUnpoliced, kTrapPoliced, kStormRefused };

void PolicersPerFrame(benchmark::State& state) {
    Card& c = card();
    c.download();
    TrapRing ring = taskRing(c);
    PoliceRates rates;
    l2pt_globals g = defaultGlobals();
    if (state.range(0) == kTrapPoliced) {
        rates.pduFps = UINT32_MAX;
        g.pdu_ports = 2;
    }
    if (state.range(0) == kStormRefused)
        rates.stormFps[L2PT_STORM_BROADCAST] = 1;
    check(c.tables->setPolice(0, rates));
    check(c.tables->setGlobals(g));
    const Bytes f = frame(state.range(0) == kStormRefused ? kBroadcast : kTrapMacs[0], kFrom, 100);
    uint32_t retval = 0;
    runOnce(c.tables->ingressFd(), f, c.ifindex[0], retval);  // a storm bucket's one frame
    // 2 dropped or trapped (TC_ACT_SHOT)
    state.counters["verdict"] = timeIngress(state, c, ring, f, kBusyDrain);
    check(c.tables->setPolice(0, PoliceRates{}));
    check(c.tables->parkTaskRing());
}
BENCHMARK(PolicersPerFrame)
    ->ArgName("trap0_trappoliced1_stormrefused2")
    ->Unit(benchmark::kNanosecond)
    ->DenseRange(kTrapUnpoliced, kStormRefused)
    ->UseManualTime();

// The tag pushed and taken off again, on an IPv4 frame: 0 push only, 1 by the VLAN helpers (any
// frame), 2 by adjust_room (IP frames with one tag). Each way must give the frame back.
void TagOff(benchmark::State& state) {
    Card& c = card();
    static auto skel = BpfObject::load<tag_ops>("tag_ops", [](std::string_view) {});
    check(skel.status());
    const bpf_program* progs[] = {(*skel)->progs.push_only, (*skel)->progs.pop_by_vlan_helpers,
                                  (*skel)->progs.pop_by_adjust_room};
    const bpf_program* way = progs[state.range(0)];
    const int prog = bpf_program__fd(way);
    const Bytes f = frame(kHost, {0x02, 0, 0, 0, 0, 1}, 100);
    Bytes out(f.size() + 8);
    __sk_buff ctx{};
    ctx.ifindex = c.ifindex[0];
    LIBBPF_OPTS(bpf_test_run_opts, once, .data_in = f.data(), .data_out = out.data(),
                .data_size_in = static_cast<uint32_t>(f.size()),
                .data_size_out = static_cast<uint32_t>(out.size()), .ctx_in = &ctx,
                .ctx_size_in = sizeof ctx);
    if (bpf_prog_test_run_opts(prog, &once) != 0 || once.retval != TC_ACT_SHOT ||
        (state.range(0) > 0 && Bytes(out.begin(), out.begin() + once.data_size_out) != f))
        throw std::runtime_error(std::string(bpf_program__name(way)) + " did not do its work");
    uint32_t retval = 0;
    for (auto _ : state)
        state.SetIterationTime(runOnce(prog, f, c.ifindex[0], retval) * 1e-9);
}
BENCHMARK(TagOff)
    ->ArgName("push0_helpers1_adjust2")
    ->DenseRange(0, 2)
    ->Unit(benchmark::kNanosecond)
    ->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
