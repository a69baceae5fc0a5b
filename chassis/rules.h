// What the tunnelling configuration may name on a chassis: one set of rules for the chassis
// file, the state an operator saved and each change made at run time. Each check gives the
// reason an item is refused, or nothing when the chassis takes it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "chassis/config.h"
#include "chassis/ifdb.h"

namespace chassis {

using Refusal = std::optional<std::string>;

// A VLAN interface of the chassis.
Refusal vlanRefusal(const IfDb& db, uint32_t vlanIf);
// A port or LAG of the chassis, as a tunnelling VLAN's port.
Refusal vlanPortRefusal(const IfDb& db, uint32_t ifIndex);
// portIf may join lagIf: a LAG and a port of the chassis, the port in no LAG yet.
Refusal lagJoinRefusal(const IfDb& db, uint32_t lagIf, uint32_t portIf);
// portIf may leave lagIf: it is a member of it.
Refusal lagLeaveRefusal(const IfDb& db, uint32_t lagIf, uint32_t portIf);

// A tunnel MAC the line cards can carry: they drop a customer's frame to it, so that the
// broadcast address, a reserved or a protocol's address would take every customer's ARP or
// PDUs with it.
Refusal tunnelMacRefusal(const Mac& mac);
// A provider TPID: an EtherType, not an 802.3 length (the pipeline tells tags by it).
Refusal tpidRefusal(uint64_t tpid);

// A tunnelling section with its names resolved against the interfaces, each by its rule.
struct ResolvedVlan {
    uint32_t vlanIf = 0;
    uint8_t protocols = 0;
    uint16_t rate = 0;
    std::vector<std::pair<uint32_t, bool>> ports;  // ifIndex, core
};
struct ResolvedTunnelling {
    std::vector<ResolvedVlan> vlans;
    std::vector<std::pair<uint32_t, uint32_t>> rates;  // VLAN ifIndex, rate
};
// ConfigError naming cfg's file and the line of the first name refused.
ResolvedTunnelling resolveTunnelling(const IfDb& db, const ChassisConfig& cfg);

// Reserved-address actions with their names resolved: a port or LAG, and the VLAN id of the
// VLAN they hold in (kL2cpAnyVlan: the port's own row).
inline constexpr uint16_t kL2cpAnyVlan = 0xFFFF;
inline constexpr uint32_t kL2cpMaxVid = 4095;  // the data plane's VLANs
struct ResolvedL2cp {
    uint32_t ifIndex = 0;
    uint16_t vid = kL2cpAnyVlan;
    uint32_t addresses = 0;
    L2cpAction action = L2cpAction::Default;
};
// A VLAN whose frames the data plane tells apart: of the chassis, with an id up to 4095.
Refusal l2cpVlanRefusal(const IfDb& db, uint32_t vlanIf);
// ConfigError naming cfg's file and the line of the first name refused, or of the first entry
// past the rows the line cards hold.
std::vector<ResolvedL2cp> resolveL2cp(const IfDb& db, const ChassisConfig& cfg);

// Whether cfg's LAG members and tunnelling section fit its interfaces; ConfigError naming the
// file and line of the first that does not.
void checkConfig(const ChassisConfig& cfg);

}  // namespace chassis
