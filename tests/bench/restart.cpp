// Restarts at scale: a full card (48 ports on veth pairs, VLANS of them tunnelling: 4094, and
// 16 to see what the size of the configuration costs) with 65536 learned MACs, its pipeline
// pinned in a bpffs of the benchmark's own, and l2ptd running. Each iteration ends the daemon
// (SIGTERM or SIGKILL) and starts it again at once, while customer
// BPDUs enter access port p0/1 at a steady rate and are timed where they leave core port p0/24:
//   stop_s      the signal to the daemon's end;
//   serving_s   the signal to the new daemon answering l2ptctl;
//   granted_s   its start to the task's data path granted again (l2ptd reconnects by itself);
//   ready_s     the signal to l2ptctl status reporting the ready primary again;
//   pdu_gap_ms  the longest silence between two tunnelled BPDUs at the core port (and its
//               worst, pdu_gap_max_ms);
//   pdus_lost   BPDUs sent and never tunnelled; pdus_as_data those switched untrapped;
//   macs_kept   learned MACs the new daemon found.
// Times are the means of the iterations, polled every 10 ms.
//
// Needs root (network and mount namespaces, AF_PACKET, BPF). From the build directory:
//   sudo ./tests/bench_restart
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <vector>

#include "platform/wire/bytes.h"
#include "switch_bed.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kSw = "l2ptrestart-" + std::to_string(::getpid()) + "-sw";
const std::string kGen = "l2ptrestart-" + std::to_string(::getpid()) + "-gen";
constexpr int kPorts = 48;
constexpr int kFirstCore = 24;
// The learned MACs: 8192 on each of 8 core ports (a port's limit is 1/16 of the table).
constexpr uint32_t kMacs = 65536;
constexpr uint32_t kMacsPerPort = 8192;
constexpr const char* kDataPlane = "{fdb_entries: 131072, ageing: 3600}";
constexpr uint16_t kProviderTpid = 0x9100;
constexpr double kPduRate = 1000;  // BPDUs a second into the access port
constexpr size_t kSeqOff = 22;     // in the BPDU's root identifier
constexpr size_t kTagLen = 4;      // the provider tag a tunnelled BPDU carries
constexpr uint8_t kStpMac[] = {0x01, 0x80, 0xc2, 0, 0, 0};
constexpr auto kPoll = std::chrono::milliseconds(10);
constexpr auto kSettle = std::chrono::milliseconds(500);  // PDUs streaming before and after

std::string gBuild;
std::string gDir;
std::string gBpffs;

double since(Clock::time_point t0, Clock::time_point t) {
    return std::chrono::duration<double>(t - t0).count();
}

std::vector<uint8_t> bpdu(uint32_t seq) {
    std::vector<uint8_t> f = {0x01, 0x80, 0xc2, 0,    0,    0,    0x02, 0x00, 0x00,
                              0x00, 0x01, 0x01, 0x00, 0x26, 0x42, 0x42, 0x03};
    f.resize(f.size() + 35, 0);
    wire::putU32(f.data(), kSeqOff, seq);
    return f;
}

// The daemon of the full card in the switch's namespace, pinning in the benchmark's bpffs.
pid_t startDaemon(const std::string& chassis) {
    return spawn(
        {"ip", "netns", "exec", kSw, gBuild + "/app/l2pt-chassisd", "--chassis", chassis,
         "--run-dir", gDir + "/run", "--state", gDir + "/state/state.yaml", "--bpffs", gBpffs},
        gDir + "/chassisd.log");
}

std::string runDir() {
    return gDir + "/run";
}

uint64_t learned() {
    std::string out;
    ctl(gBuild, runDir(), "counters --json", &out);
    uint64_t sum = 0;
    static const std::regex field("\"learned\":\\s*([0-9]+)");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), field);
         it != std::sregex_iterator(); ++it)
        sum += std::stoull((*it)[1]);
    return sum;
}

std::string logFrom(size_t at) {
    std::ifstream in(gDir + "/chassisd.log");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return at < text.size() ? text.substr(at) : "";
}

// S-tagged frames from kMacs sources on the core ports, spread over the VLANs 1-vlans.
void learnMacs(int vlans) {
    for (uint32_t port = 0; port < kMacs / kMacsPerPort; ++port) {
        const int fd = rawSocket(kGen, "g-p" + std::to_string(kFirstCore + port));
        std::vector<uint8_t> f(64, 0);
        const uint8_t dst[] = {0x02, 0xff, 0, 0, 0, 1};
        std::copy(std::begin(dst), std::end(dst), f.begin());
        for (uint32_t i = 0; i < kMacsPerPort; ++i) {
            const uint32_t n = port * kMacsPerPort + i;
            f[6] = 0x02;
            wire::putU32(f.data(), 8, n);
            wire::putU16(f.data(), 12, kProviderTpid);
            wire::putU16(f.data(), 14, static_cast<uint16_t>(1 + n % static_cast<uint32_t>(vlans)));
            wire::putU16(f.data(), 16, 0x88b5);
            while (::send(fd, f.data(), f.size(), 0) < 0 && errno == ENOBUFS)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ::close(fd);
    }
}

struct PduTimes {
    uint64_t sent = 0;
    uint64_t tunnelled = 0;
    uint64_t asData = 0;
    double maxGapMs = 0;
};

// BPDUs at kPduRate into g-p1 until stop, timed at g-p24.
PduTimes streamPdus(const std::atomic<bool>& stop) {
    const int tx = rawSocket(kGen, "g-p1");
    const int rx = rawSocket(kGen, "g-p24");
    PduTimes t;
    std::vector<bool> seen;
    std::atomic<bool> sending{true};
    std::thread receiver([&] {
        std::vector<uint8_t> buf(2048);
        Clock::time_point last{};
        for (;;) {
            // Until a receive times out after the sender stopped.
            const ssize_t n = ::recv(rx, buf.data(), buf.size(), 0);
            if (n < 0 && !sending.load())
                break;
            if (n < static_cast<ssize_t>(kSeqOff + kTagLen + 4) ||
                wire::getU16(buf.data(), 12) != kProviderTpid)
                continue;
            if (std::equal(std::begin(kStpMac), std::end(kStpMac), buf.begin())) {
                ++t.asData;
                continue;
            }
            const uint32_t seq = wire::getU32(buf.data(), kSeqOff + kTagLen);
            if (seq >= seen.size())
                seen.resize(seq + 1);
            if (!seen[seq]) {
                seen[seq] = true;
                ++t.tunnelled;
            }
            const auto now = Clock::now();
            if (last != Clock::time_point{})
                t.maxGapMs = std::max(t.maxGapMs, since(last, now) * 1e3);
            last = now;
        }
    });
    const auto start = Clock::now();
    while (!stop.load()) {
        const auto due =
            start + std::chrono::duration<double>(static_cast<double>(t.sent) / kPduRate);
        std::this_thread::sleep_until(due);
        const auto f = bpdu(static_cast<uint32_t>(t.sent));
        if (::send(tx, f.data(), f.size(), 0) == static_cast<ssize_t>(f.size()))
            ++t.sent;
    }
    std::this_thread::sleep_for(kSettle);  // the last ones in flight
    sending = false;
    receiver.join();
    ::close(tx);
    ::close(rx);
    return t;
}

void BM_Restart(benchmark::State& state) {
    const int sig = static_cast<int>(state.range(0));
    const int vlans = static_cast<int>(state.range(1));
    const std::string chassis = gDir + "/fullcard.yaml";
    std::ofstream(chassis) << fullCardChassis(true, kDataPlane, vlans);
    const size_t logStart = logFrom(0).size();  // the log goes on from the benchmark before
    pid_t daemon = startDaemon(chassis);
    if (!waitFor([&] { return logFrom(logStart).find(" serving in ") != std::string::npos; },
                 120)) {
        state.SkipWithError(("the daemon did not start: " + gDir + "/chassisd.log").c_str());
        return;
    }
    const pid_t task = spawn({gBuild + "/app/l2ptd", "--chassis", runDir()}, gDir + "/l2ptd.log");
    if (!waitFor([&] { return ctl(gBuild, runDir(), "status >/dev/null 2>&1") == 0; }, 120)) {
        state.SkipWithError(("no ready primary task: " + gDir + "/l2ptd.log").c_str());
        stopProcess(task);
        stopProcess(daemon);
        return;
    }
    learnMacs(vlans);
    waitFor([] { return learned() >= kMacs; }, 60);
    std::map<std::string, double> sums;
    double worstGapMs = 0;
    double lost = 0;
    double asData = 0;
    double macsKept = 0;
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        PduTimes pdus;
        std::thread stream([&] { pdus = streamPdus(stop); });
        std::this_thread::sleep_for(kSettle);
        const size_t logAt = logFrom(0).size();
        const auto t0 = Clock::now();
        ::kill(daemon, sig);
        ::waitpid(daemon, nullptr, 0);
        const auto stopped = Clock::now();
        daemon = startDaemon(chassis);
        const auto started = Clock::now();
        Clock::time_point serving{}, granted{}, ready{};
        while (ready == Clock::time_point{} && since(t0, Clock::now()) < 60) {
            const auto now = Clock::now();
            const std::string log = logFrom(logAt);
            if (serving == Clock::time_point{} && log.find(" serving in ") != std::string::npos)
                serving = now;
            if (granted == Clock::time_point{} &&
                log.find("granted the data path") != std::string::npos)
                granted = now;
            if (granted != Clock::time_point{} &&
                ctl(gBuild, runDir(), "status >/dev/null 2>&1") == 0)
                ready = Clock::now();
            std::this_thread::sleep_for(kPoll);
        }
        std::this_thread::sleep_for(kSettle);
        stop = true;
        stream.join();
        state.SetIterationTime(since(t0, ready));
        // Each time the mean of the iterations, the gap also its worst, losses their sum.
        const auto add = [&](const char* name, double v) { sums[name] += v; };
        add("stop_s", since(t0, stopped));
        add("serving_s", since(t0, serving));
        add("granted_s", since(started, granted));
        add("ready_s", since(t0, ready));
        add("pdu_gap_ms", pdus.maxGapMs);
        worstGapMs = std::max(worstGapMs, pdus.maxGapMs);
        lost += static_cast<double>(pdus.sent - pdus.tunnelled);
        asData += static_cast<double>(pdus.asData);
        std::smatch kept;
        const std::string log = logFrom(logAt);
        if (std::regex_search(log, kept, std::regex("([0-9]+) learned MACs kept")))
            macsKept = std::stod(kept[1]);
    }
    for (const auto& [name, sum] : sums)
        state.counters[name] = benchmark::Counter(sum, benchmark::Counter::kAvgIterations);
    state.counters["pdu_gap_max_ms"] = worstGapMs;
    state.counters["pdus_lost"] = lost;
    state.counters["pdus_as_data"] = asData;
    state.counters["macs_kept"] = macsKept;
    stopProcess(task);
    stopProcess(daemon);
    // What the daemon pinned goes with the benchmark's bpffs; its filters with the namespace.
}

}  // namespace

BENCHMARK(BM_Restart)
    ->ArgNames({"signal", "vlans"})
    ->Args({SIGTERM, 4094})
    ->Args({SIGKILL, 4094})
    ->Args({SIGTERM, 16})
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (::geteuid() != 0) {
        std::fprintf(stderr, "bench_restart: needs root (namespaces, AF_PACKET, BPF)\n");
        return 1;
    }
    gBuild = buildDir();
    char tmpl[] = "/tmp/l2ptrestart-XXXXXX";
    gDir = ::mkdtemp(tmpl);
    gBpffs = gDir + "/bpffs";
    // A mount namespace of the benchmark's own: its bpffs, and so its pins, go with it.
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::perror("bench_restart: a mount namespace of its own");
        return 1;
    }
    sh("mkdir -p " + gBpffs + " && mount -t bpf bpf " + gBpffs);
    sh("ip netns add " + kSw + " && ip netns add " + kGen);
    for (int p = 0; p < kPorts; ++p) {
        const std::string port = "p" + std::to_string(p);
        sh("ip link add " + port + " netns " + kSw + " type veth peer name g-" + port + " netns " +
           kGen + " && ip -n " + kSw + " link set " + port + " up && ip -n " + kGen +
           " link set g-" + port + " up");
    }
    for (const auto& ns : {kSw, kGen})
        sh("ip netns exec " + ns + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::system(("ip netns del " + kSw + "; ip netns del " + kGen).c_str());
    std::system(("umount " + gBpffs + "; rm -rf " + gDir).c_str());
    return 0;
}
