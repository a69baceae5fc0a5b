#include "net/daemon/capabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <stdexcept>

namespace netp {

namespace {

struct CapabilityRow {
    Capability capability;
    unsigned number;
    std::string_view name;
};
constexpr std::array<CapabilityRow, 3> kCapabilities{{
    {Capability::NetRaw, CAP_NET_RAW, "CAP_NET_RAW"},
    {Capability::NetAdmin, CAP_NET_ADMIN, "CAP_NET_ADMIN"},
    {Capability::Bpf, CAP_BPF, "CAP_BPF"},
}};
constexpr unsigned kBitsPerWord = 32;

const CapabilityRow& row(Capability c) {
    return kCapabilities[static_cast<size_t>(c)];
}

// The ports that stand for interfaces, by their netdevs.
std::string portInterfaces(const chassis::ChassisConfig& cfg) {
    std::string netdevs;
    for (const auto& card : cfg.lineCards) {
        for (const auto& p : card.ports) {
            if (!p.netdev.empty())
                netdevs += (netdevs.empty() ? "" : ", ") + p.netdev;
        }
    }
    return netdevs;
}

// What a configuration may need a capability for: the finder names what of it does (empty:
// nothing). A new user of a capability, such as the kernel pipeline, is one more row.
struct NeedRule {
    Capability capability;
    std::string_view what;
    std::string (*users)(const chassis::ChassisConfig&);
};
constexpr std::array kNeedRules{
    NeedRule{Capability::NetRaw, "packet sockets on the ports' interfaces", portInterfaces},
    NeedRule{Capability::NetAdmin,
             "the kernel pipeline at the ports' interfaces (tc, rtnetlink, the task's link)",
             portInterfaces},
    NeedRule{Capability::Bpf, "the kernel pipeline's programs and maps", portInterfaces},
};

}  // namespace

std::string_view capabilityName(Capability c) {
    return row(c).name;
}

bool holdsCapability(Capability c) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};
    if (::syscall(SYS_capget, &header, data.data()) != 0)
        return false;
    const unsigned n = row(c).number;
    return (data[n / kBitsPerWord].effective >> (n % kBitsPerWord) & 1u) != 0;
}

std::vector<CapabilityNeed> capabilityNeeds(const chassis::ChassisConfig& cfg) {
    std::vector<CapabilityNeed> needs;
    for (const auto& rule : kNeedRules) {
        if (const std::string users = rule.users(cfg); !users.empty())
            needs.push_back({rule.capability, std::string(rule.what) + " (" + users + ")"});
    }
    return needs;
}

void requireCapabilities(const std::vector<CapabilityNeed>& needs, Logger& log) {
    std::string lacking;
    for (const auto& r : kCapabilities) {
        if (!holdsCapability(r.capability))
            lacking += (lacking.empty() ? "" : ", ") + std::string(r.name);
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
