// CLOCK_MONOTONIC in nanoseconds: the clock of the pipeline's timestamps (bpf_ktime_get_coarse_ns,
// at most a tick behind it).
#pragma once

#include <cstdint>
#include <ctime>

namespace netp::pipeline {

inline constexpr uint64_t kNsPerSecond = 1'000'000'000;

inline uint64_t monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * kNsPerSecond + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace netp::pipeline
