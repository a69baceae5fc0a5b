// What the benchmarks that run a switch share: the daemons and tools they start, each in a
// process of its own with its output in a log, and the chassis of their one switch.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// The build directory the running benchmark (BUILD/tests/bench_NAME) belongs to.
inline std::string buildDir() {
    char exe[4096] = {};
    if (::readlink("/proc/self/exe", exe, sizeof exe - 1) < 0)
        return ".";
    const std::string path(exe);
    return path.substr(0, path.rfind("/tests/"));
}

// Runs cmd with the shell; the benchmark ends when it fails.
inline void sh(const std::string& cmd) {
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "%s: failed: %s\n", program_invocation_short_name, cmd.c_str());
        std::exit(1);
    }
}

// An AF_PACKET socket on iface of namespace ns, opened from a thread that entered ns, with a
// large receive buffer and a receive time-out of 50 ms; the benchmark ends when it cannot.
inline int rawSocket(const std::string& ns, const std::string& iface) {
    int result = -1;
    std::thread([&] {
        const int nsFd = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (nsFd < 0 || ::setns(nsFd, CLONE_NEWNET) != 0)
            return;
        ::close(nsFd);
        const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
        sockaddr_ll a{};
        a.sll_family = AF_PACKET;
        a.sll_protocol = htons(ETH_P_ALL);
        a.sll_ifindex = static_cast<int>(::if_nametoindex(iface.c_str()));
        const int on = 1;
        ::setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on);
        const int buf = 8 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
        const timeval wake{0, 50'000};  // blocking receives still see the end of a run
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            result = fd;
    }).join();
    if (result < 0) {
        std::fprintf(stderr, "%s: no socket on %s/%s (root needed)\n",
                     program_invocation_short_name, ns.c_str(), iface.c_str());
        std::exit(1);
    }
    return result;
}

// l2ptctl of build against runDir with args (shell words); its exit status, its output in out.
inline int ctl(const std::string& build, const std::string& runDir, const std::string& args,
               std::string* out = nullptr) {
    const std::string cmd = build + "/app/l2ptctl --run-dir " + runDir + " " + args;
    FILE* p = ::popen(cmd.c_str(), "r");
    std::string text;
    char buf[4096];
    while (size_t n = std::fread(buf, 1, sizeof buf, p))
        text.append(buf, n);
    const int rc = ::pclose(p);
    if (out != nullptr)
        *out = text;
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Keeps the calling thread, and the threads and processes it starts from now on, on CPU cpu.
inline void pinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    ::sched_setaffinity(0, sizeof set, &set);
}

// Starts argv with its output in log; with ownGroup in a process group of its own, so that a
// ^C at the terminal reaches the benchmark alone, which then ends it; on CPU cpu alone when
// cpu is not negative.
inline pid_t spawn(const std::vector<std::string>& argv, const std::string& log,
                   bool ownGroup = false, int cpu = -1) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (ownGroup)
            ::setpgid(0, 0);
        if (cpu >= 0)
            pinTo(cpu);
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

// SIGTERM, then waits for its end; nothing for a pid that never started.
inline void stopProcess(pid_t pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

// Polls cond until it holds (true), seconds pass or stop is set (false).
inline bool waitFor(const std::function<bool()>& cond, double seconds,
                    const std::atomic<bool>* stop = nullptr) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end && !(stop != nullptr && *stop)) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// One switch: two access ports of customer VLAN 100 (acc1, acc2) and two core ports (core0,
// core1), each on the interface of that name in the switch's namespace. Every rule of the edge
// is on: the reserved addresses (the defaults, and rows of the access ports), the learning
// limits (the defaults) and storm control on the access ports, set above what a run sends of
// each class (known unicast and trapped PDUs are never its to police). No port's PDU rate holds
// PDUs back; with acc2Policed, acc2 has the default rate, as any customer's port has.
inline std::string portsChassis(bool acc2Policed = false) {
    const std::string storm =
        "storm: {broadcast: 1000, multicast: 1000, unknown_unicast: {fps: 1000, kbps: 10000}}";
    return R"(chassis: {name: bench, slots: 12}
rpm: {role: primary, master_slot: 11, peer: none}
card_types: [{id: 1}]
line_cards:
  - slot: 0
    type: 1
    ports:
      - {number: 1, name: ge0/1, vlan: 100, netdev: acc1, pdu_rate: 0, )" +
           storm + R"(}
      - {number: 2, name: ge0/2, vlan: 100, netdev: acc2, )" +
           storm + (acc2Policed ? "" : ", pdu_rate: 0") + R"(}
  - {slot: 1, type: 1, ports: [{range: 0-1, name: "te1/{n}", netdev: "core{n}"}]}
vlans: [{id: 100, name: vl100}]
tunnelling:
  vlans:
    - vlan: vl100
      protocols: [stp, lldp, gvrp, pvst]
      ports: [{port: ge0/1, mode: access}, {port: ge0/2, mode: access},
              {port: te1/0, mode: core}, {port: te1/1, mode: core}]
l2cp:
  - {port: ge0/1, addresses: [01-0a, 0e], action: discard}
  - {port: ge0/2, addresses: [01-0a, 0e], action: discard}
)";
}

// A full card: VLANs 1-vlans on one 48-port card p0/0-47, ports 0-23 access and 24-47 core;
// VLAN v has access port v mod 24 and the 24 core ports, four protocols. With netdevs, port
// p0/N stands for interface pN, and each access port carries the first of its VLANs (if any).
inline std::string fullCardChassis(bool netdevs, const std::string& dataPlane = "",
                                   int vlans = 4094) {
    constexpr int kAccess = 24;
    constexpr int kPorts = 48;
    std::string yaml = R"(chassis: {name: fullcard, slots: 12}
rpm: {role: primary, master_slot: 11, peer: none}
card_types: [{id: 1}]
line_cards:
)";
    if (!netdevs) {
        yaml += "  - {slot: 0, type: 1, ports: [{range: 0-47, name: \"p0/{n}\"}]}\n";
    } else {
        yaml += "  - slot: 0\n    type: 1\n    ports:\n";
        for (int p = 0; p < kPorts; ++p) {
            yaml += "      - {number: " + std::to_string(p) + ", name: p0/" + std::to_string(p) +
                    ", netdev: p" + std::to_string(p);
            if (const int first = p == 0 ? kAccess : p; p < kAccess && first <= vlans)
                yaml += ", vlan: " + std::to_string(first);
            yaml += "}\n";
        }
    }
    yaml += "vlans:\n";
    for (int v = 1; v <= vlans; ++v)
        yaml += "  - {id: " + std::to_string(v) + ", name: v" + std::to_string(v) + "}\n";
    yaml += "tunnelling:\n  vlans:\n";
    for (int v = 1; v <= vlans; ++v) {
        yaml +=
            "    - {vlan: v" + std::to_string(v) + ", protocols: [stp, lldp, gvrp, pvst], ports: [";
        yaml += "{port: p0/" + std::to_string(v % kAccess) + ", mode: access}";
        for (int p = kAccess; p < kPorts; ++p)
            yaml += ", {port: p0/" + std::to_string(p) + ", mode: core}";
        yaml += "]}\n";
    }
    if (!dataPlane.empty())
        yaml += "data_plane: " + dataPlane + "\n";
    return yaml;
}
