// What the benchmarks that run a switch share: the daemons and tools they start, each in a
// process of its own with its output in a log, and the chassis of their one switch.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sched.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

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
// core1), each on the interface of that name in the switch's namespace.
inline std::string portsChassis() {
    return R"(chassis: {name: bench, slots: 12}
rpm: {role: primary, master_slot: 11, peer: none}
card_types: [{id: 1}]
line_cards:
  - {slot: 0, type: 1, ports: [{range: 1-2, name: "ge0/{n}", vlan: 100, netdev: "acc{n}"}]}
  - {slot: 1, type: 1, ports: [{range: 0-1, name: "te1/{n}", netdev: "core{n}"}]}
vlans: [{id: 100, name: vl100}]
tunnelling:
  vlans:
    - vlan: vl100
      protocols: [stp, lldp, gvrp, pvst]
      ports: [{port: ge0/1, mode: access}, {port: ge0/2, mode: access},
              {port: te1/0, mode: core}, {port: te1/1, mode: core}]
data_plane: {pdu_rate: 0}   # PDUs flat out: no port's PDU rate holds them back
)";
}
