#include "chassis/ifdb.h"

#include <algorithm>

#include "chassis/rules.h"
#include "platform/ifm.h"

namespace chassis {

namespace {
const std::vector<uint32_t> kNoMembers;
}

IfDb::IfDb(const ChassisConfig& cfg) : pipes_(kMaxCardTypes) {
    for (auto& row : pipes_)
        row.fill(-1);
    for (const auto& t : cfg.cardTypes)
        tenGig_[t.id] = t.tenGig ? 1 : 0;
    addPorts(cfg);
    for (const auto& l : cfg.lags) {
        const uint32_t ifIndex = lagIfIndex(l.number);
        addName(l.name, ifIndex, cfg.source, l.line);
        ozm::IfInfo info;
        info.type = OZM_IFTYPE_LAG;
        info.ifNum = static_cast<int>(l.number);
        info.name = l.name;
        info.longName = l.longName;
        lagPos_[l.number] = static_cast<int16_t>(lags_.size());
        lags_.push_back({ifIndex, std::move(info), {}});
    }
    for (const auto& v : cfg.vlans) {
        const uint32_t ifIndex = vlanIfIndex(v.id);
        addName(v.name, ifIndex, cfg.source, v.line);
        ozm::IfInfo info;
        info.type = OZM_IFTYPE_VLAN;
        info.vlanId = static_cast<int>(v.id);
        info.name = v.name;
        info.longName = v.longName;
        vlanPos_[v.id] = static_cast<int16_t>(vlans_.size());
        vlans_.push_back({std::move(info)});
    }
    for (const auto& l : cfg.lags) {
        for (const auto& m : l.members) {
            const auto port = find(m.name);
            const Refusal why = port ? lagJoinRefusal(*this, lagIfIndex(l.number), *port)
                                     : "LAG member '" + m.name + "' is not a port";
            if (why)
                throw ConfigError(cfg.source + ":" + std::to_string(m.line) + ": " + *why);
            addLagMember(lagIfIndex(l.number), *port);
        }
    }
}

void IfDb::addPorts(const ChassisConfig& cfg) {
    for (const auto& card : cfg.lineCards) {
        for (const auto& p : card.ports) {
            const uint32_t ifIndex = portIfIndex(card.slot, p.number);
            auto& pipe = pipes_[card.type][p.number];
            if (pipe >= 0 && static_cast<uint32_t>(pipe) != p.pipe) {
                throw ConfigError(cfg.source + ":" + std::to_string(p.line) + ": card type " +
                                  std::to_string(card.type) + " maps port " +
                                  std::to_string(p.number) + " to pipe " + std::to_string(p.pipe) +
                                  " here and to pipe " + std::to_string(pipe) + " elsewhere");
            }
            pipe = static_cast<int16_t>(p.pipe);
            addName(p.name, ifIndex, cfg.source, p.line);
            ozm::IfInfo info;
            info.type = OZM_IFTYPE_ETHERNET;
            info.slot = static_cast<int>(card.slot);
            info.cardType = static_cast<int>(card.type);
            info.portId = static_cast<int>(p.number);
            info.sfUnit = static_cast<int>(p.unit);
            info.name = p.name;
            info.longName = p.longName;
            portPos_[ifIndex & kIfPosMask] = static_cast<int16_t>(ports_.size());
            ports_.push_back({ifIndex, std::move(info), p.vlan, p.mtu});
        }
    }
}

void IfDb::addName(const std::string& name, uint32_t ifIndex, const std::string& source, int line) {
    if (!byName_.emplace(name, ifIndex).second) {
        throw ConfigError(source + ":" + std::to_string(line) + ": interface name '" + name +
                          "' is used twice");
    }
}

int IfDb::portIndex(uint32_t ifIndex) const {
    const uint32_t pos = ifIndex & kIfPosMask;
    if (ifIndex >> kIfKindShift != kIfKindPort || pos >= portPos_.size())
        return -1;
    return portPos_[pos];
}
int IfDb::lagIndex(uint32_t ifIndex) const {
    const uint32_t pos = ifIndex & kIfPosMask;
    if (ifIndex >> kIfKindShift != kIfKindLag || pos >= lagPos_.size())
        return -1;
    return lagPos_[pos];
}
int IfDb::vlanIndex(uint32_t ifIndex) const {
    const uint32_t pos = ifIndex & kIfPosMask;
    if (ifIndex >> kIfKindShift != kIfKindVlan || pos >= vlanPos_.size())
        return -1;
    return vlanPos_[pos];
}

const ozm::IfInfo* IfDb::info(uint32_t ifIndex) const {
    switch (ifIndex >> kIfKindShift) {
        case kIfKindPort: {
            const int i = portIndex(ifIndex);
            return i < 0 ? nullptr : &ports_[i].info;
        }
        case kIfKindLag: {
            const int i = lagIndex(ifIndex);
            return i < 0 ? nullptr : &lags_[i].info;
        }
        case kIfKindVlan: {
            const int i = vlanIndex(ifIndex);
            return i < 0 ? nullptr : &vlans_[i].info;
        }
        default:
            return nullptr;
    }
}

std::string IfDb::name(uint32_t ifIndex) const {
    const auto* i = info(ifIndex);
    return i ? i->name : "ifIndex " + std::to_string(ifIndex);
}

std::optional<uint32_t> IfDb::find(std::string_view name) const {
    auto it = byName_.find(name);
    if (it == byName_.end())
        return std::nullopt;
    return it->second;
}

int IfDb::pipeOf(int cardType, int port) const {
    if (cardType < 0 || port < 0 || static_cast<uint32_t>(cardType) >= kMaxCardTypes ||
        static_cast<uint32_t>(port) >= kMaxPortsPerCard) {
        return -1;
    }
    return pipes_[cardType][port];
}

int IfDb::tenGig(int cardType) const {
    if (cardType < 0 || static_cast<uint32_t>(cardType) >= kMaxCardTypes)
        return -1;
    return tenGig_[cardType];
}

uint16_t IfDb::portVlan(uint32_t portIf) const {
    const int i = portIndex(portIf);
    return i < 0 ? kDefaultPortVlan : ports_[i].vlan;
}

uint32_t IfDb::portMtu(uint32_t portIf) const {
    const int i = portIndex(portIf);
    return i < 0 ? kDefaultPortMtu : ports_[i].mtu;
}

const std::vector<uint32_t>& IfDb::lagMembers(uint32_t lagIf) const {
    const int i = lagIndex(lagIf);
    return i < 0 ? kNoMembers : lags_[i].members;
}

std::optional<uint32_t> IfDb::lagOf(uint32_t portIf) const {
    const int i = portIndex(portIf);
    if (i < 0 || ports_[i].lag < 0)
        return std::nullopt;
    return lags_[ports_[i].lag].ifIndex;
}

bool IfDb::addLagMember(uint32_t lagIf, uint32_t portIf) {
    const int l = lagIndex(lagIf);
    const int p = portIndex(portIf);
    if (l < 0 || p < 0 || ports_[p].lag >= 0)
        return false;
    auto& members = lags_[l].members;
    members.insert(std::lower_bound(members.begin(), members.end(), portIf), portIf);
    ports_[p].lag = l;
    return true;
}

bool IfDb::removeLagMember(uint32_t lagIf, uint32_t portIf) {
    const int l = lagIndex(lagIf);
    const int p = portIndex(portIf);
    if (l < 0 || p < 0 || ports_[p].lag != l)
        return false;
    auto& members = lags_[l].members;
    members.erase(std::find(members.begin(), members.end(), portIf));
    ports_[p].lag = -1;
    return true;
}

}  // namespace chassis
