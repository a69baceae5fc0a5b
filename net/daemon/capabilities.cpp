#include "net/daemon/capabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <stdexcept>

namespace netp {

namespace {

constexpr std::array kAll{Capability::NetRaw, Capability::NetAdmin, Capability::Bpf,
                          Capability::Perfmon};
constexpr unsigned kBitsPerWord = 32;

unsigned number(Capability c) {
    switch (c) {
        case Capability::NetRaw:
            return CAP_NET_RAW;
        case Capability::NetAdmin:
            return CAP_NET_ADMIN;
        case Capability::Bpf:
            return CAP_BPF;
        case Capability::Perfmon:
            return CAP_PERFMON;
    }
    return CAP_NET_RAW;
}

}  // namespace

std::string_view capabilityName(Capability c) {
    switch (c) {
        case Capability::NetRaw:
            return "CAP_NET_RAW";
        case Capability::NetAdmin:
            return "CAP_NET_ADMIN";
        case Capability::Bpf:
            return "CAP_BPF";
        case Capability::Perfmon:
            return "CAP_PERFMON";
    }
    return "?";
}

bool holdsCapability(Capability c) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};
    if (::syscall(SYS_capget, &header, data.data()) != 0)
        return false;
    const unsigned n = number(c);
    return (data[n / kBitsPerWord].effective >> (n % kBitsPerWord) & 1u) != 0;
}

std::vector<CapabilityNeed> capabilityNeeds(const chassis::ChassisConfig& cfg) {
    std::string netdevs;
    for (const auto& card : cfg.lineCards) {
        for (const auto& p : card.ports) {
            if (!p.netdev.empty())
                netdevs += (netdevs.empty() ? "" : ", ") + p.netdev;
        }
    }
    if (netdevs.empty())
        return {};
    return {{Capability::NetRaw, "packet sockets on the ports' interfaces (" + netdevs + ")"}};
}

void requireCapabilities(const std::vector<CapabilityNeed>& needs, Logger& log) {
    std::string lacking;
    for (const Capability c : kAll) {
        if (!holdsCapability(c))
            lacking += (lacking.empty() ? "" : ", ") + std::string(capabilityName(c));
    }
    if (!lacking.empty())
        log.info("capabilities lacking: " + lacking);
    for (const auto& need : needs) {
        if (!holdsCapability(need.capability)) {
            const std::string name(capabilityName(need.capability));
            throw std::runtime_error("needs " + name + " for " + need.purpose +
                                     ": run it as root or give it the capability "
                                     "(AmbientCapabilities=" +
                                     name + ")");
        }
    }
}

}  // namespace netp
