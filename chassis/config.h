// The chassis file: what the simulated switch is made of and what IFM holds at start.
// Format in docs/chassis.md.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "chassis/trace.h"
#include "dataplane/defs.h"
#include "dataplane/verdict.h"

namespace chassis {

// A chassis file that cannot be used; the message names the file and line.
struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Protocol flags of the tunnelling configuration and of the messages that carry it.
inline constexpr uint8_t kProtoStp = 0x01;
inline constexpr uint8_t kProtoLldp = 0x02;
inline constexpr uint8_t kProtoGvrp = 0x04;
inline constexpr uint8_t kProtoPvst = 0x08;
std::optional<uint8_t> protocolFlag(std::string_view name);  // "stp", "lldp", "gvrp", "pvst"

// Layer-2 control protocols: the action of a reserved address 01:80:c2:00:00:00-0f, -20-2f
// (enum l2pt_l2cp_action of dataplane/defs.h, one for one). Default: none configured.
enum class L2cpAction : uint8_t { Default, Tunnel, Discard, Forward };
inline constexpr size_t kL2cpAddresses = 32;
std::optional<L2cpAction> l2cpActionNamed(std::string_view name);  // tunnel, discard, ...
std::string_view l2cpActionName(L2cpAction action);
// The last byte of the address of index i (0-31), and the index of a last byte (-1: none).
uint8_t l2cpAddressByte(size_t index);
int l2cpIndexOfByte(uint32_t lastByte);
// "01-0a,0e", "all", "01:80:c2:00:00:0e": a set of reserved addresses as a bit per index;
// empty when the text names anything else.
std::optional<uint32_t> parseL2cpAddresses(std::string_view text);
// The shortest such text of a set: "01-0a,0e"; "all"; "none".
std::string l2cpAddressesText(uint32_t addresses);

// Limits of what a chassis file may hold. They reach past the task's own ranges on purpose,
// so that tests can feed it slots, LAG numbers and VLAN ids it has to refuse.
inline constexpr uint32_t kMaxSlots = 32;  // the line-card bitmap has 32 bits
inline constexpr uint32_t kMaxPortsPerCard = 256;
inline constexpr uint32_t kMaxCardTypes = 256;
inline constexpr uint32_t kMaxLags = 256;
inline constexpr uint32_t kMaxVlanId = 8191;
inline constexpr uint32_t kDefaultSlots = 12;
inline constexpr uint16_t kDefaultPortVlan = 1;
// A port's own VLAN: 0 tags a frame's priority alone and 4095 is reserved, neither a VLAN.
inline constexpr uint16_t kMinPortVlan = 1;
inline constexpr uint16_t kMaxPortVlan = 4094;
inline constexpr uint32_t kDefaultPortMtu = 1500;
inline constexpr uint32_t kMinPortMtu = 68;
inline constexpr uint32_t kMaxPortMtu = 65535;
inline constexpr uint32_t kDefaultAgeingSeconds = 300;
inline constexpr uint32_t kMaxAgeingSeconds = 1'000'000;

// A port's PDUs trapped per second while no setting says otherwise: far above what the
// protocols send (a PVST trunk of 4094 VLANs sends about 2000 a second), so that only a flood
// is held back.
inline constexpr uint32_t kDefaultPduRate = 4000;

enum class AgentMode { PerPort, Global, Silent };

std::optional<StormClass> stormClass(std::string_view name);  // "broadcast", "multicast",
                                                              // "unknown_unicast"
std::string_view stormClassName(StormClass c);

// One class's limit: frames a second and, where not 0, Kbps too. Both 0: off.
struct StormLimit {
    uint32_t fps = 0;
    uint32_t kbps = 0;
    bool off() const { return fps == 0 && kbps == 0; }
    bool operator==(const StormLimit&) const = default;
};

// What a port may send into the switch: storm control by class, and the PDUs it may have
// trapped a second (nothing: the data plane's default; 0: no limit).
struct PortPolicing {
    std::array<StormLimit, kStormClasses> storm{};
    std::optional<uint32_t> pduRate;
    bool operator==(const PortPolicing&) const = default;
};
enum class PeerRole { None, Primary, Secondary };

struct PortConfig {
    uint32_t number = 0;
    std::string name;
    std::string longName;
    uint32_t unit = 0;
    uint32_t pipe = 0;
    uint16_t vlan = kDefaultPortVlan;
    uint32_t mtu = kDefaultPortMtu;  // the largest payload it sends, tags not counted
    std::string netdev;  // the Linux interface the port stands for (chassis daemon only)
    PortPolicing policing;
    int line = 0;
};

struct CardTypeConfig {
    uint32_t id = 0;
    std::string name;
    bool tenGig = false;
    int line = 0;
};

struct LineCardConfig {
    uint32_t slot = 0;
    uint32_t type = 0;
    bool present = true;
    AgentMode agent = AgentMode::PerPort;
    std::vector<PortConfig> ports;
    int line = 0;
};

struct NameRef {
    std::string name;
    int line = 0;
};

struct LagConfig {
    uint32_t number = 0;
    std::string name;
    std::string longName;
    std::vector<NameRef> members;
    int line = 0;
};

struct VlanConfig {
    uint32_t id = 0;
    std::string name;
    std::string longName;
    int line = 0;
};

struct PeerConfig {
    PeerRole role = PeerRole::None;
    uint32_t bitmap = 0;
    int32_t masterSlot = -1;
};

struct RpmConfig {
    bool primary = true;
    uint32_t masterSlot = 0;
    PeerConfig peer;
};

struct TunnelPortConfig {
    NameRef port;
    bool core = false;
};

struct TunnelVlanConfig {
    NameRef vlan;
    uint8_t protocols = 0;
    uint16_t rate = 0;
    std::vector<TunnelPortConfig> ports;
};

struct TunnelRateConfig {
    NameRef vlan;
    uint32_t rate = 0;
};

struct TunnellingConfig {
    std::vector<TunnelVlanConfig> vlans;
    std::vector<TunnelRateConfig> rates;
    std::optional<Mac> tunnelMac;
    bool replaceGlobal = false;
    std::optional<uint16_t> vmanTpid;
};

// A learning limit of one port or LAG (by name) or one VLAN (by id): what it may hold of the
// learned MACs, and whether a frame from a new source past it is dropped (else forwarded
// unlearned). Unset fields keep the defaults.
struct LearnLimitConfig {
    std::string port;              // a port or LAG; empty for a VLAN's
    std::optional<uint16_t> vlan;  // a VLAN's limit
    std::optional<uint32_t> limit;
    std::optional<bool> drop;  // ports and LAGs only
    int line = 0;
};

// Actions of reserved addresses for a port or LAG, or for it in one VLAN (which overrides it).
struct L2cpConfig {
    NameRef port;
    std::optional<NameRef> vlan;
    uint32_t addresses = 0;  // a bit per address index
    L2cpAction action = L2cpAction::Default;
    int line = 0;
};

// The line cards' bridging.
struct DataPlaneConfig {
    uint32_t ageingSeconds = kDefaultAgeingSeconds;  // a learned MAC not seen for this long is
                                                     // unknown again
    uint32_t fdbEntries = L2PT_FDB_ENTRIES_DEFAULT;  // learned MACs the table holds
    std::optional<uint32_t> portLearnLimit;          // default: fdbEntries / 16
    std::optional<uint32_t> vlanLearnLimit;          // default: fdbEntries / 4
    std::vector<LearnLimitConfig> learning;          // in order: a later one overrides
    uint32_t pduRate = kDefaultPduRate;  // a port's trapped PDUs a second (0: no limit), unless
                                         // the port says otherwise

    uint32_t defaultPortLimit() const {
        return portLearnLimit.value_or(fdbEntries / L2PT_LEARN_PORT_SHARE);
    }
    uint32_t defaultVlanLimit() const {
        return vlanLearnLimit.value_or(fdbEntries / L2PT_LEARN_VLAN_SHARE);
    }
};

struct FaultConfig {
    std::string point;
    std::optional<uint32_t> uses;  // empty: for ever
};

struct ChassisConfig {
    std::string source = "<chassis>";  // file name, for error messages
    std::string name;
    uint32_t slots = kDefaultSlots;
    RpmConfig rpm;
    std::vector<CardTypeConfig> cardTypes;
    std::vector<LineCardConfig> lineCards;
    std::vector<LagConfig> lags;
    std::vector<VlanConfig> vlans;
    TunnellingConfig tunnelling;
    DataPlaneConfig dataPlane;
    std::vector<L2cpConfig> l2cp;  // in order: a later one overrides an earlier one
    std::map<std::string, uint32_t, std::less<>> pools;
    std::vector<FaultConfig> faults;
};

// Fault points the models and the platform consult: exact names, and families whose suffix
// names a protocol, slot, pool, size or interface ("acl-silent:1", "pool-create:L2PT_VMAN_POOL").
bool knownFaultPoint(std::string_view point);
// Pools whose capacity a chassis file may set: the task's record pools and "var:<size>".
bool knownPoolName(std::string_view pool);

// ConfigError naming the line of a learning limit for a port or LAG cfg does not have.
void checkLearning(const ChassisConfig& cfg);

// Both throw ConfigError naming the file (or sourceName) and the line.
ChassisConfig loadChassisFile(const std::string& path);
ChassisConfig loadChassisText(std::string_view yaml, std::string_view sourceName = "<chassis>");

}  // namespace chassis
