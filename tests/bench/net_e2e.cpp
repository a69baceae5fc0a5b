// End to end over veth: PDUs offered to an access port and timed at a core port, first through
// a bare AF_PACKET forwarder (receive, rewrite, send to the three other ports) as the baseline,
// then through the switch: the pipeline traps it to l2ptd's ring, l2ptd sends the tunnelled
// copies on its packet socket, the pipeline's egress counts them; the daemon only granted the
// path. Each process's CPU per PDU is reported. Also the download of a full card's entries
// (4094 VLANs x 48 ports) over the daemon's sockets.
//
// Needs root (network namespaces, AF_PACKET). Run from the build directory:
//   sudo ./tests/bench_net_e2e [--pin]
// --pin gives the forwarder and l2ptd CPU 1 to themselves, the benchmark's own threads CPU 0.
#include <benchmark/benchmark.h>
#include <bpf/bpf.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/wire/bytes.h"
#include "switch_bed.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kNs = "l2ptbench-" + std::to_string(::getpid());
const std::string kSw = kNs + "-sw";
const std::string kGen = kNs + "-gen";
constexpr const char* kPorts[] = {"acc1", "acc2", "core0", "core1"};
constexpr size_t kSeqOff = 22;         // in the BPDU's root identifier
constexpr size_t kTimeOff = 34;        // its bridge identifier: the send time (ns)
constexpr size_t kTunnelledShift = 4;  // the provider tag on the core port
constexpr double kRunSeconds = 2.0;
constexpr size_t kSrcOff = 6;        // the customer's source MAC, tunnelled or not
constexpr uint8_t kFloodSrc = 0x66;  // the last byte of the flooding customer's source MAC
// BPDUs a second the second customer floods into acc2: 25 times its port's default rate.
constexpr double kFloodPps = 100000;
constexpr auto kFloodLead = std::chrono::seconds(1);

std::string gBuild;  // the build directory
std::string gDir;    // scratch directory
// With --pin: the CPU the process under test (the forwarder, or l2ptd) has to itself; the
// benchmark's sender and receiver and the chassis daemon keep to kBenchCpu. -1: unpinned.
int gPinCpu = -1;
constexpr int kBenchCpu = 0;
constexpr int kTestedCpu = 1;

uint64_t nowNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count());
}

std::vector<uint8_t> stpFrame() {
    std::vector<uint8_t> f = {0x01, 0x80, 0xc2, 0,    0,    0,    0x00, 0x11, 0x22,
                              0x33, 0x44, 0x55, 0x00, 0x26, 0x42, 0x42, 0x03};
    f.resize(f.size() + 35, 0);
    return f;
}

struct Result {
    uint64_t sent = 0;
    uint64_t received = 0;
    uint64_t others = 0;  // frames from another source (the flooding customer's)
    double p50Us = 0;
    double p99Us = 0;
    uint64_t rxDrops = 0;  // frames the receiving socket had no room for
};

// Offers PDUs at pps (0: as fast as the socket takes them) for kRunSeconds into the generator's
// end of acc1 and times them at its end of core0 (offset: where the stamps sit there).
Result offer(int tx, int rx, double pps, size_t offset) {
    // What rx holds from before (a flood's PDUs that crossed meanwhile) would be read first,
    // and time the offer's first PDUs as waiting behind it.
    for (std::array<uint8_t, 2048> stale{};
         ::recv(rx, stale.data(), stale.size(), MSG_DONTWAIT) >= 0;) {
    }
    tpacket_stats stats{};
    socklen_t statsLen = sizeof stats;
    ::getsockopt(rx, SOL_PACKET, PACKET_STATISTICS, &stats, &statsLen);  // reads and resets
    std::atomic<bool> done{false};
    std::vector<uint64_t> latencies;
    latencies.reserve(4'000'000);
    uint64_t received = 0;
    uint64_t others = 0;
    std::thread receiver([&] {
        std::vector<uint8_t> buf(2048);
        while (!done.load()) {
            // Blocking, with a time-out to see done: a spinning receiver would take the CPU
            // the switch needs.
            const ssize_t n = ::recv(rx, buf.data(), buf.size(), 0);
            if (n < 0)
                continue;
            if (static_cast<size_t>(n) < offset + kTimeOff + 8)
                continue;
            if (buf[kSrcOff + 5] == kFloodSrc) {
                ++others;
                continue;
            }
            ++received;
            const uint64_t stamp =
                static_cast<uint64_t>(wire::getU32(buf.data(), offset + kTimeOff)) << 32 |
                wire::getU32(buf.data(), offset + kTimeOff + 4);
            latencies.push_back(nowNs() - stamp);
        }
    });
    auto frame = stpFrame();
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(kRunSeconds);
    uint64_t sent = 0;
    for (auto t = start; t < end; t = Clock::now()) {
        if (pps > 0) {
            // Sends what is due, then sleeps: the offered rate holds on average, in bursts
            // of a few frames, without a spinning sender.
            const auto due = start + std::chrono::duration<double>(static_cast<double>(sent) / pps);
            if (t < due) {
                std::this_thread::sleep_until(due);
                continue;
            }
        }
        wire::putU32(frame.data(), kSeqOff, static_cast<uint32_t>(sent));
        const uint64_t ns = nowNs();
        wire::putU32(frame.data(), kTimeOff, static_cast<uint32_t>(ns >> 32));
        wire::putU32(frame.data(), kTimeOff + 4, static_cast<uint32_t>(ns));
        if (::send(tx, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size()))
            ++sent;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last ones in flight
    done = true;
    receiver.join();
    Result r{sent, received, others, 0, 0, 0};
    if (::getsockopt(rx, SOL_PACKET, PACKET_STATISTICS, &stats, &statsLen) == 0)
        r.rxDrops = stats.tp_drops;
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        r.p50Us = static_cast<double>(latencies[latencies.size() / 2]) / 1000.0;
        r.p99Us = static_cast<double>(latencies[latencies.size() * 99 / 100]) / 1000.0;
    }
    return r;
}

// Another customer's BPDUs into tx at kFloodPps until stop, paced as offer() paces; how many
// were sent.
uint64_t flood(int tx, const std::atomic<bool>& stop) {
    auto frame = stpFrame();
    frame[kSrcOff + 5] = kFloodSrc;
    const auto start = Clock::now();
    uint64_t sent = 0;
    while (!stop.load(std::memory_order_relaxed)) {
        const auto due =
            start + std::chrono::duration<double>(static_cast<double>(sent) / kFloodPps);
        if (Clock::now() < due) {
            std::this_thread::sleep_until(due);
            continue;
        }
        if (::send(tx, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size()))
            ++sent;
    }
    return sent;
}

// CPU time a process has used so far (user and system), in microseconds.
double cpuUs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The fields after the command name, which may hold spaces, end with ')'.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long utime = 0;
    unsigned long stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoul(field);
        if (i == 15)
            stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void report(benchmark::State& state, const Result& r, double pps) {
    state.SetIterationTime(kRunSeconds);
    state.counters["offered_pps"] = pps;
    state.counters["sent"] = static_cast<double>(r.sent);
    state.counters["received"] = static_cast<double>(r.received);
    state.counters["lost"] = static_cast<double>(r.sent - std::min(r.sent, r.received));
    state.counters["rx_pps"] = static_cast<double>(r.received) / kRunSeconds;
    state.counters["p50_us"] = r.p50Us;
    state.counters["p99_us"] = r.p99Us;
    state.counters["rx_socket_drops"] = static_cast<double>(r.rxDrops);
}

// The baseline: receive on acc1, send the frame as it came to the other access port and, with
// the provider tag and the tunnel MAC, to the two core ports (the frames the switch sends), batched
// as the switch batches: up to kRxBatch frames per receive, and the copies leave in one
// sendmmsg per kTxBatch (the sizes of l2ptd's PDU queue and send batch).
struct Forwarder {
    static constexpr size_t kRxBatch = 32;
    static constexpr size_t kTxBatch = 128;
    static constexpr size_t kSlotBytes = 2048;
    // Shared with the forwarder's process: when to stop, and the CPU it used by then.
    struct Shared {
        std::atomic<bool> stop{false};
        double cpuUs = 0;
    };
    Shared* shared = nullptr;
    pid_t pid = -1;
    double cpuUs = 0;  // the process's, once stopped
    // A process of its own, as l2ptd is, so that both pay the same for being scheduled.
    void start() {
        std::vector<int> fds;
        for (const char* p : kPorts)
            fds.push_back(rawSocket(kSw, p));
        void* mem = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                           MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (mem == MAP_FAILED) {
            std::perror("bench_net_e2e: the forwarder's shared page");
            std::exit(1);
        }
        shared = new (mem) Shared;
        pid = ::fork();
        if (pid < 0) {
            std::perror("bench_net_e2e: the forwarder's process");
            std::exit(1);
        }
        if (pid == 0) {
            if (gPinCpu >= 0)
                pinTo(gPinCpu);
            run(fds);
            ::_exit(0);
        }
        for (int fd : fds)
            ::close(fd);
    }
    void run(const std::vector<int>& fds) {
        std::vector<sockaddr_ll> to(fds.size());
        for (size_t i = 0; i < fds.size(); ++i) {
            socklen_t len = sizeof to[i];
            ::getsockname(fds[i], reinterpret_cast<sockaddr*>(&to[i]), &len);
        }
        std::vector<uint8_t> rxBuf(kRxBatch * kSlotBytes);
        std::vector<iovec> rxIov(kRxBatch);
        std::vector<mmsghdr> rx(kRxBatch);
        for (size_t i = 0; i < kRxBatch; ++i) {
            rxIov[i] = {rxBuf.data() + i * kSlotBytes + 4, kSlotBytes - 4};
            rx[i].msg_hdr.msg_iov = &rxIov[i];
            rx[i].msg_hdr.msg_iovlen = 1;
        }
        std::vector<uint8_t> txBuf(kTxBatch * kSlotBytes);
        std::vector<iovec> txIov(kTxBatch);
        std::vector<mmsghdr> tx(kTxBatch);
        size_t queued = 0;
        const auto flush = [&] {
            for (size_t at = 0; at < queued;) {
                const int n =
                    ::sendmmsg(fds[1], tx.data() + at, static_cast<unsigned>(queued - at), 0);
                at += n > 0 ? static_cast<size_t>(n) : 1;
            }
            queued = 0;
        };
        const auto send = [&](size_t port, const uint8_t* frame, size_t len) {
            if (queued == kTxBatch)
                flush();
            uint8_t* out = txBuf.data() + queued * kSlotBytes;
            std::memcpy(out, frame, len);
            txIov[queued] = {out, len};
            tx[queued].msg_hdr = {};
            tx[queued].msg_hdr.msg_name = &to[port];
            tx[queued].msg_hdr.msg_namelen = sizeof to[port];
            tx[queued].msg_hdr.msg_iov = &txIov[queued];
            tx[queued].msg_hdr.msg_iovlen = 1;
            ++queued;
        };
        while (!shared->stop.load()) {
            // Blocks for the first frame (with the socket's time-out), takes what else is queued.
            const int got = ::recvmmsg(fds[0], rx.data(), kRxBatch, MSG_WAITFORONE, nullptr);
            for (int i = 0; i < got; ++i) {
                uint8_t* buf = rxBuf.data() + static_cast<size_t>(i) * kSlotBytes;
                const size_t n = rx[static_cast<size_t>(i)].msg_len + 4;
                send(1, buf + 4, n - 4);  // the other access port: the customer's frame as it came
                std::memmove(buf, buf + 4, 12);
                wire::putU32(buf, 12, 0x91000064);
                const uint8_t tunnel[] = {0x03, 0xa7, 0x31, 0, 0, 0};
                std::memcpy(buf, tunnel, sizeof tunnel);
                send(2, buf, n);
                send(3, buf, n);
            }
            flush();
        }
        timespec cpu{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
        shared->cpuUs =
            static_cast<double>(cpu.tv_sec) * 1e6 + static_cast<double>(cpu.tv_nsec) / 1e3;
    }
    void join() {
        if (pid <= 0)
            return;
        shared->stop = true;
        ::waitpid(pid, nullptr, 0);
        pid = -1;
        cpuUs = shared->cpuUs;
    }
    ~Forwarder() {
        join();
        if (shared != nullptr)
            ::munmap(shared, sizeof(Shared));
    }
};

// One switch: the daemon in the switch's namespace and l2ptd; killed when it goes.
struct Switch {
    pid_t daemon = -1;
    pid_t task = -1;
    std::string runDir;
    Switch(const std::string& chassis, const std::string& name) {
        runDir = gDir + "/run-" + name;
        daemon =
            spawn({"ip", "netns", "exec", kSw, gBuild + "/app/l2pt-chassisd", "--chassis", chassis,
                   "--run-dir", runDir, "--state", gDir + "/state-" + name + "/state.yaml"},
                  gDir + "/" + name + "-chassisd.log");
        waitFor([&] { return ::access((runDir + "/ctl.sock").c_str(), F_OK) == 0; }, 10);
    }
    void startTask() {
        task = spawn({gBuild + "/app/l2ptd", "--chassis", runDir}, gDir + "/l2ptd.log", false,
                     gPinCpu);
    }
    ~Switch() {
        stopProcess(task);
        stopProcess(daemon);
    }
};

int gTx = -1;
int gRx = -1;
int gFlood = -1;  // the generator's end of acc2

void BM_BareForwarder(benchmark::State& state) {
    const double pps = static_cast<double>(state.range(0));
    for (auto _ : state) {
        Forwarder f;
        f.start();
        const Result r = offer(gTx, gRx, pps, kTunnelledShift);
        f.join();
        report(state, r, pps);
        // Beside l2ptd's: what the same work costs a process that only forwards.
        state.counters["cpu_us_per_pdu"] =
            f.cpuUs / static_cast<double>(std::max<uint64_t>(r.received, 1));
    }
}

// A switch on yaml with its task, serving with its entries installed; nullptr (the benchmark
// skipped) when it did not come up.
std::unique_ptr<Switch> servingSwitch(benchmark::State& state, const std::string& yaml,
                                      const std::string& name) {
    const std::string chassis = gDir + "/" + name + ".yaml";
    std::ofstream(chassis) << yaml;
    auto sw = std::make_unique<Switch>(chassis, name);
    sw->startTask();
    if (!waitFor([&] { return ctl(gBuild, sw->runDir, "status >/dev/null") == 0; }, 20)) {
        state.SkipWithError("the switch did not come up");
        return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // entries installed
    return sw;
}

// Where the kernel's time per PDU goes, by the pipeline's programs' run-time statistics. They
// cost every run two clock reads more while enabled, so only at kProgStatsRate, where nothing
// is lost and the rate is the offered one.
constexpr int kProgStatsRate = 50000;

// Time (ns) and runs of each of the pipeline's programs, by name, so far.
std::map<std::string, std::pair<uint64_t, uint64_t>> progStats() {
    std::map<std::string, std::pair<uint64_t, uint64_t>> byName;
    for (uint32_t id = 0; ::bpf_prog_get_next_id(id, &id) == 0;) {
        const int fd = ::bpf_prog_get_fd_by_id(id);
        if (fd < 0)
            continue;
        bpf_prog_info info{};
        uint32_t len = sizeof info;
        if (::bpf_obj_get_info_by_fd(fd, &info, &len) == 0 &&
            std::string_view(info.name).starts_with("l2pt_")) {
            auto& [ns, runs] = byName[info.name];
            ns += info.run_time_ns;
            runs += info.run_cnt;
        }
        ::close(fd);
    }
    return byName;
}

// Each program's time per run (ns) and runs per PDU between two progStats().
void reportProgStats(benchmark::State& state,
                     const std::map<std::string, std::pair<uint64_t, uint64_t>>& before,
                     double pdus) {
    for (const auto& [name, after] : progStats()) {
        const auto it = before.find(name);
        const auto [ns0, runs0] = it == before.end() ? std::pair<uint64_t, uint64_t>{} : it->second;
        const double runs = static_cast<double>(after.second - runs0);
        if (runs == 0)
            continue;
        const std::string prog = name.substr(std::string_view("l2pt_").size());
        state.counters[prog + "_ns"] = static_cast<double>(after.first - ns0) / runs;
        state.counters[prog + "_runs_per_pdu"] = runs / pdus;
    }
}

void BM_Switch(benchmark::State& state) {
    const auto served = servingSwitch(state, portsChassis(), "ports");
    if (!served)
        return;
    const Switch& sw = *served;
    const double pps = static_cast<double>(state.range(0));
    for (auto _ : state) {
        const int statsFd =
            state.range(0) == kProgStatsRate ? ::bpf_enable_stats(BPF_STATS_RUN_TIME) : -1;
        const auto progsBefore = progStats();
        const double daemonCpu = cpuUs(sw.daemon);
        const double taskCpu = cpuUs(sw.task);
        const Result r = offer(gTx, gRx, pps, kTunnelledShift);
        report(state, r, pps);
        // CPU per PDU the switch forwarded: a figure that holds on a busy machine too. The
        // daemon's share is what it spends beside the path (its loop, timers, heartbeat).
        const double forwarded = static_cast<double>(std::max<uint64_t>(r.received, 1));
        if (statsFd >= 0) {
            reportProgStats(state, progsBefore, forwarded);
            ::close(statsFd);
        }
        state.counters["daemon_cpu_us_per_pdu"] = (cpuUs(sw.daemon) - daemonCpu) / forwarded;
        state.counters["task_cpu_us_per_pdu"] = (cpuUs(sw.task) - taskCpu) / forwarded;
    }
}

// The same, while a second customer floods BPDUs into acc2, whose port has the default PDU
// rate: what crosses of the first customer's, how late, and how much of the flood crossed. The
// flood starts a second before the offer: its onset, the burst its port's bucket lets through
// (a second of the rate), is behind it by then.
void BM_SwitchBesideFlood(benchmark::State& state) {
    const auto served = servingSwitch(state, portsChassis(true), "flooded");
    if (!served)
        return;
    const double pps = static_cast<double>(state.range(0));
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        uint64_t flooded = 0;
        std::thread flooder([&] { flooded = flood(gFlood, stop); });
        std::this_thread::sleep_for(kFloodLead);
        const Result r = offer(gTx, gRx, pps, kTunnelledShift);
        stop = true;
        flooder.join();
        report(state, r, pps);
        state.counters["flood_sent"] = static_cast<double>(flooded);
        state.counters["flood_crossed"] = static_cast<double>(r.others);
    }
}

// 4094 VLANs on one 48-port card, 24 access and 24 core ports each: from l2ptd's start to the
// agent's last applied download message, through the daemon's sockets.
void BM_FullCardDownload(benchmark::State& state) {
    const std::string chassis = gDir + "/fullcard.yaml";
    std::ofstream(chassis) << fullCardChassis(false);
    for (auto _ : state) {
        Switch sw(chassis, "fullcard");
        const auto start = Clock::now();
        sw.startTask();
        std::string out;
        // The agent stamps its first and latest applied download message with the daemon's
        // clock; the download is done when the applied count has not moved for a second.
        auto field = [&](const char* key) -> uint64_t {
            const std::string k = std::string("\"") + key + "\":";
            const auto at = out.find(k);
            return at == std::string::npos ? 0 : std::stoull(out.substr(at + k.size()));
        };
        uint64_t applied = 0;
        auto lastChange = Clock::now();
        waitFor(
            [&] {
                ctl(gBuild, sw.runDir, "agents --json", &out);
                const uint64_t now = field("applied");
                if (now != applied) {
                    applied = now;
                    lastChange = Clock::now();
                }
                return applied > 0 && Clock::now() - lastChange > std::chrono::seconds(1);
            },
            600);
        ctl(gBuild, sw.runDir, "agents --json", &out);
        const double download =
            static_cast<double>(field("last_applied_us") - field("first_applied_us")) / 1e6;
        // Intervals between the first and the last message: one fewer than the messages.
        const double intervals = static_cast<double>(std::max<uint64_t>(applied, 2) - 1);
        state.SetIterationTime(std::max(download, 1e-6));
        state.counters["start_to_done_s"] =
            std::chrono::duration<double>(lastChange - start).count();
        state.counters["messages"] = static_cast<double>(applied);
        state.counters["msgs_per_s"] = download > 0 ? intervals / download : 0;
        state.counters["max_burst"] = static_cast<double>(field("max_burst"));
        state.counters["entries"] = static_cast<double>(field("entries"));
    }
}

}  // namespace

// The same offered rates for the baseline and the switch (0: as fast as the sender can).
void offeredRates(benchmark::internal::Benchmark* b) {
    for (int pps : {1000, 10000, 20000, 30000, 40000, 50000, 0})
        b->Arg(pps);
    b->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
}

BENCHMARK(BM_BareForwarder)->Apply(offeredRates);
BENCHMARK(BM_Switch)->Apply(offeredRates);
BENCHMARK(BM_SwitchBesideFlood)
    ->Arg(20000)
    ->Arg(50000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_FullCardDownload)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

int main(int argc, char** argv) {
    if (::geteuid() != 0) {
        std::fprintf(stderr, "bench_net_e2e: needs root (network namespaces, AF_PACKET)\n");
        return 1;
    }
    gBuild = buildDir();
    // --pin (ours, taken out before the library's flags are read): the same two CPUs for both
    // paths, so that where the scheduler happens to put the process under test does not decide
    // the comparison.
    const auto pin = std::find(argv + 1, argv + argc, std::string_view("--pin"));
    if (pin != argv + argc) {
        std::rotate(pin, pin + 1, argv + argc);
        --argc;
        if (std::thread::hardware_concurrency() > kTestedCpu) {
            pinTo(kBenchCpu);
            gPinCpu = kTestedCpu;
        }
    }
    char tmpl[] = "/tmp/l2ptbench-XXXXXX";
    gDir = ::mkdtemp(tmpl);
    sh("ip netns add " + kSw + " && ip netns add " + kGen);
    for (const char* p : kPorts) {
        sh(std::string("ip link add ") + p + " netns " + kSw + " type veth peer name g-" + p +
           " netns " + kGen);
        sh(std::string("ip -n ") + kSw + " link set " + p + " up && ip -n " + kGen +
           " link set g-" + p + " up");
    }
    for (const auto& ns : {kSw, kGen})
        sh("ip netns exec " + ns + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1");
    gTx = rawSocket(kGen, "g-acc1");
    gRx = rawSocket(kGen, "g-core0");
    gFlood = rawSocket(kGen, "g-acc2");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ::close(gTx);
    ::close(gRx);
    ::close(gFlood);
    std::system(("ip netns del " + kSw + "; ip netns del " + kGen).c_str());
    std::system(("rm -rf " + gDir).c_str());
    return 0;
}
