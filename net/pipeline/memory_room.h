// What the daemon's memory cgroup still lets it charge. The kernel objects it makes count
// towards its limit as its heap does: a task's ring (4 MiB) is the daemon's until every holder
// lets go, so a task that keeps the rings of grants before would take the daemon to its limit,
// where the kernel kills it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace netp::pipeline {

struct MemoryUse {
    uint64_t current = 0;
    uint64_t max = 0;
};

// The use and limit of the memory cgroup that procCgroup (a /proc/PID/cgroup) names, under
// root: cgroup v1's memory controller (usage_in_bytes, limit_in_bytes) where it is mounted,
// else v2's (memory.current, memory.max). The use leaves out the inactive file cache, which the
// kernel reclaims before it kills (the logs fill the cache of a container). None when no limit
// is set or none can be read.
std::optional<MemoryUse> cgroupMemory(const std::string& procCgroup = "/proc/self/cgroup",
                                      const std::string& root = "/sys/fs/cgroup");

}  // namespace netp::pipeline
