// The interface database: ports, LAGs and VLAN interfaces of the chassis. The ifIndex encodes
// kind and position, so every query by ifIndex is an array index.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chassis/config.h"
#include "platform/backend.h"

namespace chassis {

// ifIndex layout: kind in the top byte, position below it.
//   port: 0x01000000 | slot << 8 | port number
//   LAG:  0x02000000 | LAG number
//   VLAN: 0x03000000 | VLAN id
inline constexpr uint32_t kIfKindShift = 24;
inline constexpr uint32_t kIfPosMask = 0x00FFFFFFu;
inline constexpr uint32_t kIfKindPort = 1;
inline constexpr uint32_t kIfKindLag = 2;
inline constexpr uint32_t kIfKindVlan = 3;
inline constexpr uint32_t kPortSlotShift = 8;

constexpr uint32_t portIfIndex(uint32_t slot, uint32_t port) {
    return kIfKindPort << kIfKindShift | slot << kPortSlotShift | port;
}
constexpr uint32_t lagIfIndex(uint32_t number) {
    return kIfKindLag << kIfKindShift | number;
}
constexpr uint32_t vlanIfIndex(uint32_t id) {
    return kIfKindVlan << kIfKindShift | id;
}

class IfDb {
  public:
    // Builds the database; ConfigError for duplicate names, unknown members, a card type that
    // maps one port to two pipes.
    explicit IfDb(const ChassisConfig& cfg);

    const ozm::IfInfo* info(uint32_t ifIndex) const;
    // Short name, or "ifIndex <n>" for an interface the database does not hold.
    std::string name(uint32_t ifIndex) const;
    std::optional<uint32_t> find(std::string_view name) const;

    int pipeOf(int cardType, int port) const;
    int tenGig(int cardType) const;

    bool isPort(uint32_t ifIndex) const { return portIndex(ifIndex) >= 0; }
    bool isLag(uint32_t ifIndex) const { return lagIndex(ifIndex) >= 0; }
    uint16_t portVlan(uint32_t portIfIndex) const;
    // The largest payload a port sends (its Ethernet MTU); the default for anything else.
    uint32_t portMtu(uint32_t portIfIndex) const;
    // Dense number of a port (0..portCount-1), of a LAG (0..lagCount-1); -1 for anything else.
    int portIndex(uint32_t ifIndex) const;
    int lagIndex(uint32_t ifIndex) const;
    size_t portCount() const { return ports_.size(); }
    uint32_t portAt(size_t index) const { return ports_[index].ifIndex; }

    size_t lagCount() const { return lags_.size(); }
    uint32_t lagAt(size_t index) const { return lags_[index].ifIndex; }
    bool isVlan(uint32_t ifIndex) const { return vlanIndex(ifIndex) >= 0; }

    // LAG membership, as IFM knows it now. Members are kept in ascending ifIndex order.
    const std::vector<uint32_t>& lagMembers(uint32_t lagIf) const;
    std::optional<uint32_t> lagOf(uint32_t portIf) const;
    bool addLagMember(uint32_t lagIf, uint32_t portIf);  // false: not a LAG/port, or in a LAG
    bool removeLagMember(uint32_t lagIf, uint32_t portIf);

  private:
    struct Port {
        uint32_t ifIndex;
        ozm::IfInfo info;
        uint16_t vlan;
        uint32_t mtu;
        int lag = -1;  // index into lags_
    };
    struct Lag {
        uint32_t ifIndex;
        ozm::IfInfo info;
        std::vector<uint32_t> members;
    };
    struct Vlan {
        ozm::IfInfo info;
    };

    int vlanIndex(uint32_t ifIndex) const;
    // The line cards' ports, with their pipes, names and interface records.
    void addPorts(const ChassisConfig& cfg);
    void addName(const std::string& name, uint32_t ifIndex, const std::string& source, int line);

    std::vector<Port> ports_;
    std::vector<Lag> lags_;
    std::vector<Vlan> vlans_;
    // Position of an ifIndex (its low bits) to its entry; -1 when absent.
    std::vector<int16_t> portPos_ = std::vector<int16_t>(kMaxSlots << kPortSlotShift, -1);
    std::vector<int16_t> lagPos_ = std::vector<int16_t>(kMaxLags, -1);
    std::vector<int16_t> vlanPos_ = std::vector<int16_t>(kMaxVlanId + 1, -1);
    std::vector<std::array<int16_t, kMaxPortsPerCard>> pipes_;  // [card type][port], -1 unknown
    std::vector<int8_t> tenGig_ = std::vector<int8_t>(kMaxCardTypes, -1);
    std::map<std::string, uint32_t, std::less<>> byName_;
};

}  // namespace chassis
