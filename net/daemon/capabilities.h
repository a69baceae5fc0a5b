// The capabilities the chassis daemon works with. It runs as root, or as a user of its own
// holding only these (AmbientCapabilities= in its unit); at start it says which it lacks and
// refuses to run without one its configuration needs.
//
//   CAP_NET_RAW    packet sockets: each port's interface, captures
//   CAP_NET_ADMIN  tc attachment of the kernel pipeline, rtnetlink, the task's link
//   CAP_BPF        loading the kernel pipeline's programs and maps
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "chassis/config.h"
#include "net/log/logger.h"

namespace netp {

enum class Capability { NetRaw, NetAdmin, Bpf };  // in this order

struct CapabilityNeed {
    Capability capability;
    std::string purpose;  // what needs it here, for the message that it is missing
};

std::string_view capabilityName(Capability c);  // "CAP_NET_RAW"
bool holdsCapability(Capability c);             // in this thread's effective set

// What cfg needs, each capability with what of cfg needs it (packet sockets for the ports that
// stand for interfaces).
std::vector<CapabilityNeed> capabilityNeeds(const chassis::ChassisConfig& cfg);
// Logs the daemon's capabilities this process lacks; std::runtime_error naming the first of
// needs it lacks and what that serves.
void requireCapabilities(const std::vector<CapabilityNeed>& needs, Logger& log);

}  // namespace netp
