#include "chassis/rules.h"

#include "chassis/l2cp.h"
#include "dataplane/defs.h"

namespace chassis {

namespace {

// An interface as a refusal names it: by its name, or by what its index says it would be.
std::string named(const IfDb& db, uint32_t ifIndex) {
    if (db.info(ifIndex) != nullptr)
        return "'" + db.name(ifIndex) + "'";
    if (ifIndex >> kIfKindShift == kIfKindVlan)
        return "VLAN " + std::to_string(ifIndex & kIfPosMask);
    return "interface " + std::to_string(ifIndex);
}

enum class Role { Vlan, VlanPort, L2cpVlan };

uint32_t resolve(const IfDb& db, const ChassisConfig& cfg, const NameRef& ref, Role role) {
    const auto ifIndex = db.find(ref.name);
    const Refusal why = !ifIndex                 ? "no interface named '" + ref.name + "'"
                        : role == Role::Vlan     ? vlanRefusal(db, *ifIndex)
                        : role == Role::L2cpVlan ? l2cpVlanRefusal(db, *ifIndex)
                                                 : vlanPortRefusal(db, *ifIndex);
    if (why)
        throw ConfigError(cfg.source + ":" + std::to_string(ref.line) + ": " + *why);
    return *ifIndex;
}

}  // namespace

Refusal vlanRefusal(const IfDb& db, uint32_t vlanIf) {
    if (db.isVlan(vlanIf))
        return std::nullopt;
    return named(db, vlanIf) + " is not a VLAN of the chassis";
}

Refusal vlanPortRefusal(const IfDb& db, uint32_t ifIndex) {
    if (db.isPort(ifIndex) || db.isLag(ifIndex))
        return std::nullopt;
    return named(db, ifIndex) + " is not a port or LAG of the chassis";
}

Refusal lagJoinRefusal(const IfDb& db, uint32_t lagIf, uint32_t portIf) {
    if (!db.isLag(lagIf))
        return named(db, lagIf) + " is not a LAG of the chassis";
    if (!db.isPort(portIf))
        return named(db, portIf) + " is not a port of the chassis";
    if (const auto lag = db.lagOf(portIf))
        return "port " + named(db, portIf) + " is a member of " + named(db, *lag) + " already";
    return std::nullopt;
}

Refusal lagLeaveRefusal(const IfDb& db, uint32_t lagIf, uint32_t portIf) {
    if (!db.isLag(lagIf))
        return named(db, lagIf) + " is not a LAG of the chassis";
    if (db.lagOf(portIf) != lagIf)
        return named(db, portIf) + " is not a member of " + named(db, lagIf);
    return std::nullopt;
}

Refusal tunnelMacRefusal(const Mac& mac) {
    constexpr Mac kBroadcast{0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    if (mac == kBroadcast || l2pt_l2cp_index(mac.data()) >= 0 || l2pt_is_protocol_mac(mac.data()))
        return "cannot be the tunnel MAC: the line cards would drop the customers' frames to it "
               "(the broadcast address, a reserved or a protocol's address)";
    return std::nullopt;
}

Refusal tpidRefusal(uint64_t tpid) {
    constexpr uint64_t kMinEtherType = 0x0600;
    if (tpid < kMinEtherType)
        return "is no EtherType (0x0600 and above; below is a length)";
    return std::nullopt;
}

ResolvedTunnelling resolveTunnelling(const IfDb& db, const ChassisConfig& cfg) {
    ResolvedTunnelling out;
    for (const auto& v : cfg.tunnelling.vlans) {
        ResolvedVlan r{resolve(db, cfg, v.vlan, Role::Vlan), v.protocols, v.rate, {}};
        for (const auto& p : v.ports)
            r.ports.emplace_back(resolve(db, cfg, p.port, Role::VlanPort), p.core);
        out.vlans.push_back(std::move(r));
    }
    for (const auto& r : cfg.tunnelling.rates)
        out.rates.emplace_back(resolve(db, cfg, r.vlan, Role::Vlan), r.rate);
    return out;
}

Refusal l2cpVlanRefusal(const IfDb& db, uint32_t vlanIf) {
    if (Refusal why = vlanRefusal(db, vlanIf))
        return why;
    if (static_cast<uint32_t>(db.info(vlanIf)->vlanId) > kL2cpMaxVid)
        return named(db, vlanIf) + " has VLAN id " + std::to_string(db.info(vlanIf)->vlanId) +
               ": the data plane holds VLANs 0-" + std::to_string(kL2cpMaxVid);
    return std::nullopt;
}

std::vector<ResolvedL2cp> resolveL2cp(const IfDb& db, const ChassisConfig& cfg) {
    std::vector<ResolvedL2cp> out;
    L2cpTable rows;  // that they fit the line cards
    for (const auto& c : cfg.l2cp) {
        ResolvedL2cp r;
        r.ifIndex = resolve(db, cfg, c.port, Role::VlanPort);
        if (c.vlan)
            r.vid =
                static_cast<uint16_t>(db.info(resolve(db, cfg, *c.vlan, Role::L2cpVlan))->vlanId);
        r.addresses = c.addresses;
        r.action = c.action;
        if (!rows.set(r.ifIndex, r.vid, r.addresses, r.action))
            throw ConfigError(cfg.source + ":" + std::to_string(c.port.line) + ": " +
                              L2cpTable::fullText() + ": this entry is one more");
        out.push_back(r);
    }
    return out;
}

void checkConfig(const ChassisConfig& cfg) {
    const IfDb db(cfg);  // LAG members
    resolveTunnelling(db, cfg);
    resolveL2cp(db, cfg);
}

}  // namespace chassis
