// Customer data through one switch against a plain Linux bridge, in the same run: a generator
// namespace and a sink namespace are wired both through a switch (l2pt-chassisd with its line
// cards in the kernel and l2ptd, two access ports of one customer VLAN) and through a Linux
// bridge of two ports (no VLAN filtering, no STP). Each run measures, through each in turn:
//   - TCP: iperf3 from the generator to the sink, Gbit/s received;
//   - small frames: 60-byte frames (64 on a wire, with the FCS) sent as fast as one thread
//     can with sendmmsg on an AF_PACKET socket, counted received at the sink's interface.
// and prints the switch's figure over the bridge's. The machine's load is printed with them.
//
// Needs root (network namespaces, AF_PACKET) and iperf3. Run from anywhere:
//   sudo ./build/tests/bench_data_path [--runs N] [--seconds S]
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "switch_bed.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kPrefix = "l2ptdata-" + std::to_string(::getpid());
const std::string kGen = kPrefix + "-gen";
const std::string kSink = kPrefix + "-sink";
const std::string kSw = kPrefix + "-sw";
const std::string kBr = kPrefix + "-br";
constexpr size_t kFrameLen = 60;  // the shortest Ethernet frame without its FCS
constexpr unsigned kBatch = 64;   // frames per sendmmsg
constexpr uint16_t kExperimentalType = 0x88b5;

std::string gBuild;  // the build directory
std::string gDir;    // scratch directory
std::atomic<bool> gStop{false};

// One way across: the generator's interface, the sink's, the sink's address.
struct Path {
    const char* name;
    const char* genIf;
    const char* sinkIf;
    const char* sinkAddr;
};
constexpr Path kSwitch{"switch", "gsw", "ssw", "10.1.0.2"};
constexpr Path kBridge{"bridge", "gbr", "sbr", "10.2.0.2"};

// What went wrong; main reports it once the test bed is gone.
[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

bool shOk(const std::string& cmd) {
    return std::system(cmd.c_str()) == 0;
}

void sh(const std::string& cmd) {
    if (!shOk(cmd))
        fail("failed: " + cmd);
}

std::string output(const std::string& cmd) {
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr)
        fail("cannot run: " + cmd);
    std::string text;
    char buf[4096];
    while (size_t n = std::fread(buf, 1, sizeof buf, p))
        text.append(buf, n);
    ::pclose(p);
    return text;
}

// Runs fn on a thread that entered namespace ns; what it throws is thrown here.
void inNamespace(const std::string& ns, const std::function<void()>& fn) {
    std::exception_ptr error;
    std::thread([&] {
        try {
            const int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0)
                fail("cannot enter namespace " + ns + ": " + std::strerror(errno));
            ::close(fd);
            fn();
        } catch (...) {
            error = std::current_exception();
        }
    }).join();
    if (error)
        std::rethrow_exception(error);
}

uint64_t rxPackets(const std::string& ns, const std::string& iface) {
    uint64_t packets = 0;
    bool found = false;
    inNamespace(ns, [&] {
        // Per thread: the counters of the namespace this thread is in.
        std::ifstream dev("/proc/thread-self/net/dev");
        std::string line;
        while (std::getline(dev, line)) {
            const auto colon = line.find(':');
            if (colon == std::string::npos)
                continue;
            std::string name = line.substr(0, colon);
            name.erase(0, name.find_first_not_of(' '));
            if (name != iface)
                continue;
            std::istringstream fields(line.substr(colon + 1));
            uint64_t bytes = 0;
            found = static_cast<bool>(fields >> bytes >> packets);
        }
    });
    if (!found)
        fail("no counters of " + ns + "/" + iface);
    return packets;
}

std::array<uint8_t, 6> macOf(const std::string& ns, const std::string& iface) {
    std::array<uint8_t, 6> mac{};
    bool ok = false;
    inNamespace(ns, [&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq req{};
        std::strncpy(req.ifr_name, iface.c_str(), IFNAMSIZ - 1);
        ok = fd >= 0 && ::ioctl(fd, SIOCGIFHWADDR, &req) == 0;
        if (ok)
            std::memcpy(mac.data(), req.ifr_hwaddr.sa_data, mac.size());
        if (fd >= 0)
            ::close(fd);
    });
    if (!ok)
        fail("no address of " + ns + "/" + iface);
    return mac;
}

// The two ways across, and the switch's processes; all of it goes with this object.
struct Bed {
    pid_t daemon = -1;
    pid_t task = -1;
    std::string runDir;

    Bed() {
        try {
            setUp();
        } catch (...) {
            tearDown();  // a constructor that throws has no destructor run
            throw;
        }
    }

    ~Bed() { tearDown(); }

    void setUp() {
        for (const auto& ns : {kGen, kSink, kSw, kBr}) {
            sh("ip netns add " + ns);
            sh("ip netns exec " + ns + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1");
            sh("ip -n " + ns + " link set lo up");
        }
        veth(kGen, "gsw", kSw, "acc1");
        veth(kSw, "acc2", kSink, "ssw");
        veth(kSw, "core0", kSw, "corepeer0");  // the core ports, wired to nothing
        veth(kSw, "core1", kSw, "corepeer1");
        veth(kGen, "gbr", kBr, "p1");
        veth(kBr, "p2", kSink, "sbr");
        sh("ip -n " + kBr + " link add br0 type bridge stp_state 0");
        sh("ip -n " + kBr + " link set p1 master br0 && ip -n " + kBr +
           " link set p2 master br0 && ip -n " + kBr + " link set br0 up");
        sh("ip -n " + kGen + " addr add 10.1.0.1/24 dev gsw && ip -n " + kGen +
           " addr add 10.2.0.1/24 dev gbr");
        sh("ip -n " + kSink + " addr add 10.1.0.2/24 dev ssw && ip -n " + kSink +
           " addr add 10.2.0.2/24 dev sbr");

        const std::string chassis = gDir + "/switch.yaml";
        std::ofstream(chassis) << portsChassis();
        runDir = gDir + "/run";
        daemon = spawn({"ip", "netns", "exec", kSw, gBuild + "/app/l2pt-chassisd", "--chassis",
                        chassis, "--run-dir", runDir, "--state", gDir + "/state/state.yaml"},
                       gDir + "/chassisd.log", true);
        if (!waitFor([&] { return ::access((runDir + "/task.sock").c_str(), F_OK) == 0; }, 20,
                     &gStop))
            fail("the chassis daemon did not come up (" + gDir + "/chassisd.log)");
        task = spawn({gBuild + "/app/l2ptd", "--chassis", runDir}, gDir + "/l2ptd.log", true);
        const std::string status =
            gBuild + "/app/l2ptctl --run-dir " + runDir + " status >/dev/null 2>&1";
        if (!waitFor([&] { return shOk(status); }, 20, &gStop))
            fail("l2ptd did not come up (" + gDir + "/l2ptd.log)");
    }

    void tearDown() {
        stopProcess(task);
        stopProcess(daemon);
        for (const auto& ns : {kGen, kSink, kSw, kBr})
            std::system(("ip netns del " + ns + " 2>/dev/null").c_str());
    }

    static void veth(const std::string& nsA, const std::string& a, const std::string& nsB,
                     const std::string& b) {
        sh("ip link add " + a + " netns " + nsA + " type veth peer name " + b + " netns " + nsB);
        sh("ip -n " + nsA + " link set " + a + " up && ip -n " + nsB + " link set " + b + " up");
    }
};

// Both ends know each other (ARP) and whatever forwards between them has learned them.
void warm(const Path& p) {
    const std::string ping =
        "ip netns exec " + kGen + " ping -q -c1 -W1 " + p.sinkAddr + " >/dev/null 2>&1";
    if (!waitFor([&] { return shOk(ping); }, 20, &gStop))
        fail(std::string("no ping across the ") + p.name + ": customer data does not cross it");
}

// iperf3 TCP from the generator to the sink for seconds; Gbit/s received.
double tcpGbps(const Path& p, int seconds) {
    pid_t server = spawn({"ip", "netns", "exec", kSink, "iperf3", "-s", "-1"},
                         gDir + "/iperf3-server.log", true);
    std::string report;
    const std::string client = "ip netns exec " + kGen + " iperf3 -J -O 1 -t " +
                               std::to_string(seconds) + " -c " + p.sinkAddr + " 2>/dev/null";
    waitFor(
        [&] {
            report = output(client);
            return report.find("\"sum_received\"") != std::string::npos;
        },
        10, &gStop);
    stopProcess(server);
    const auto at = report.find("\"sum_received\"");
    const auto bps = report.find("\"bits_per_second\":", at);
    if (at == std::string::npos || bps == std::string::npos)
        fail(std::string("iperf3 across the ") + p.name + " gave no result");
    return std::stod(report.substr(bps + std::strlen("\"bits_per_second\":"))) / 1e9;
}

// Small frames sent and received at the far end; the time taken and the sender thread's CPU
// time. A frame crosses the veth pairs and whatever forwards it in softirq on the sender's CPU,
// charged to the sender (this kernel has no IRQ time accounting), so frames per CPU-second are
// a cost per frame that holds while other processes take turns on the CPU.
struct FrameCount {
    uint64_t sent = 0;
    uint64_t received = 0;
    double seconds = 0;
    double cpuSeconds = 0;

    FrameCount& operator+=(const FrameCount& o) {
        sent += o.sent;
        received += o.received;
        seconds += o.seconds;
        cpuSeconds += o.cpuSeconds;
        return *this;
    }
    double sentPps() const { return static_cast<double>(sent) / std::max(seconds, 1e-9); }
    double receivedPps() const { return static_cast<double>(received) / std::max(seconds, 1e-9); }
    double perCpuSecond() const {
        return static_cast<double>(received) / std::max(cpuSeconds, 1e-9);
    }
};

double threadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// 60-byte frames to the sink's address, as fast as one sender thread goes, for seconds.
FrameCount smallFrames(const Path& p, double seconds) {
    const auto dst = macOf(kSink, p.sinkIf);
    const auto src = macOf(kGen, p.genIf);
    std::array<uint8_t, kFrameLen> frame{};
    std::copy(dst.begin(), dst.end(), frame.begin());
    std::copy(src.begin(), src.end(), frame.begin() + 6);
    frame[12] = kExperimentalType >> 8;
    frame[13] = kExperimentalType & 0xff;
    const uint64_t before = rxPackets(kSink, p.sinkIf);
    FrameCount count;
    inNamespace(kGen, [&] {
        const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_ifindex = static_cast<int>(::if_nametoindex(p.genIf));
        to.sll_halen = 6;
        std::copy(dst.begin(), dst.end(), to.sll_addr);
        const int on = 1;
        // Straight to the driver: the sender's qdisc is no part of what is measured.
        if (fd < 0 || ::setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &on, sizeof on) != 0 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            fail(std::string("no packet socket on ") + p.genIf + ": " + std::strerror(errno));
        std::array<iovec, kBatch> iov{};
        std::array<mmsghdr, kBatch> msgs{};
        for (unsigned i = 0; i < kBatch; ++i) {
            iov[i] = {frame.data(), frame.size()};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        const auto start = Clock::now();
        const auto end = start + std::chrono::duration<double>(seconds);
        const double cpuStart = threadCpuSeconds();
        while (Clock::now() < end && !gStop) {
            const int n = ::sendmmsg(fd, msgs.data(), kBatch, 0);
            if (n > 0)
                count.sent += static_cast<uint64_t>(n);
            else if (errno != ENOBUFS && errno != EAGAIN)
                fail(std::string("sendmmsg: ") + std::strerror(errno));
        }
        count.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        count.cpuSeconds = threadCpuSeconds() - cpuStart;
        ::close(fd);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the last ones in flight
    count.received = rxPackets(kSink, p.sinkIf) - before;
    return count;
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void onSignal(int) {
    gStop = true;
}

}  // namespace

namespace {

struct Options {
    int runs = 3;
    int seconds = 5;
};

void measure(const Options& o) {
    std::printf(
        "customer data: one switch against a Linux bridge; %d runs of %d s each; "
        "%u CPUs; load average %s\n\n",
        o.runs, o.seconds, std::thread::hardware_concurrency(), loadAverage().c_str());
    std::printf(
        "| run | path   | TCP Gbit/s | 60 B frames sent/s | received/s | per CPU-s |\n"
        "|-----|--------|-----------:|-------------------:|-----------:|----------:|\n");
    constexpr size_t kSwitchAt = 0;
    constexpr size_t kBridgeAt = 1;
    std::vector<double> ratios[3];  // TCP, frames per second, frames per CPU-second
    {
        Bed bed;
        for (const Path* p : {&kSwitch, &kBridge})
            warm(*p);
        for (int run = 1; run <= o.runs && !gStop; ++run) {
            // The order alternates, and both take turns second by second (TCP in one-second
            // iperf3 runs after a second left out), so that a load that comes and goes weighs
            // on both.
            const bool switchFirst = run % 2 == 1;
            const std::array<size_t, 2> order =
                switchFirst ? std::array{kSwitchAt, kBridgeAt} : std::array{kBridgeAt, kSwitchAt};
            const Path* paths[2] = {&kSwitch, &kBridge};
            double tcp[2] = {0, 0};
            FrameCount frames[2];
            for (size_t i : order)
                warm(*paths[i]);
            for (int second = 0; second < o.seconds && !gStop; ++second)
                for (size_t i : order)
                    tcp[i] += tcpGbps(*paths[i], 1) / o.seconds;
            for (int second = 0; second < o.seconds && !gStop; ++second)
                for (size_t i : order)
                    frames[i] += smallFrames(*paths[i], 1.0);
            if (gStop)
                break;
            for (size_t i : order)
                std::printf("| %3d | %-6s | %10.2f | %18.0f | %10.0f | %9.0f |\n", run,
                            paths[i]->name, tcp[i], frames[i].sentPps(), frames[i].receivedPps(),
                            frames[i].perCpuSecond());
            std::fflush(stdout);
            if (tcp[kBridgeAt] > 0 && frames[kBridgeAt].received > 0) {
                ratios[0].push_back(tcp[kSwitchAt] / tcp[kBridgeAt]);
                ratios[1].push_back(frames[kSwitchAt].receivedPps() /
                                    frames[kBridgeAt].receivedPps());
                ratios[2].push_back(frames[kSwitchAt].perCpuSecond() /
                                    frames[kBridgeAt].perCpuSecond());
            }
        }
    }
    if (gStop)
        fail("interrupted");
    std::printf("\nswitch / bridge, per run:\n");
    const char* names[3] = {"TCP Gbit/s", "small frames/s", "small frames per CPU-s"};
    for (size_t k = 0; k < 3; ++k) {
        std::printf("  %-24s", names[k]);
        for (double r : ratios[k])
            std::printf(" %.2f", r);
        std::printf("   median %.2fx\n", median(ratios[k]));
    }
    std::printf("load average after: %s\n", loadAverage().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const int v = i + 1 < argc ? std::atoi(argv[i + 1]) : 0;
        if ((a == "--runs" || a == "--seconds") && v >= 1 && v <= 100) {
            (a == "--runs" ? o.runs : o.seconds) = v;
            ++i;
        } else {
            std::fprintf(stderr, "usage: bench_data_path [--runs 1-100] [--seconds 1-100]\n");
            return 2;
        }
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr,
                     "bench_data_path: needs root (network namespaces, AF_PACKET): "
                     "run it with sudo\n");
        return 1;
    }
    if (!shOk("command -v iperf3 >/dev/null")) {
        std::fprintf(stderr, "bench_data_path: needs iperf3 (scripts/setup lab)\n");
        return 1;
    }
    char exe[4096] = {};
    char tmpl[] = "/tmp/l2ptdata-XXXXXX";
    if (::readlink("/proc/self/exe", exe, sizeof exe - 1) < 0 || ::mkdtemp(tmpl) == nullptr) {
        std::fprintf(stderr, "bench_data_path: %s\n", std::strerror(errno));
        return 1;
    }
    gBuild = std::string(exe).substr(0, std::string(exe).rfind("/tests/"));
    gDir = tmpl;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    int status = 0;
    try {
        measure(o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_data_path: %s (logs in %s)\n", e.what(), gDir.c_str());
        status = 1;
    }
    if (status == 0)
        std::filesystem::remove_all(gDir);
    return status;
}
