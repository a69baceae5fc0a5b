#include "chassis/config.h"

#include "chassis/config_reader.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/shell.h"

namespace chassis {

std::optional<uint8_t> protocolFlag(std::string_view name) {
    if (name == "stp")
        return kProtoStp;
    if (name == "lldp")
        return kProtoLldp;
    if (name == "gvrp")
        return kProtoGvrp;
    if (name == "pvst")
        return kProtoPvst;
    return std::nullopt;
}

namespace {

constexpr std::array<std::string_view, kStormClasses> kStormClassNames = {"broadcast", "multicast",
                                                                          "unknown_unicast"};

constexpr std::pair<L2cpAction, std::string_view> kL2cpActions[] = {
    {L2cpAction::Default, "default"},
    {L2cpAction::Tunnel, "tunnel"},
    {L2cpAction::Discard, "discard"},
    {L2cpAction::Forward, "forward"},
};
constexpr uint32_t kL2cpLowEnd = 0x10;    // -00 to -0f
constexpr uint32_t kL2cpHighBase = 0x20;  // -20 to -2f, indexes 16-31
constexpr uint32_t kL2cpAll = 0xFFFFFFFFu;
constexpr std::string_view kL2cpPrefix = "01:80:c2:00:00:";
constexpr int kHexBase = 16;

// A reserved address as its last byte ("0e") or in full ("01:80:c2:00:00:0e"); -1 otherwise.
int l2cpIndexOfText(std::string_view t) {
    if (t.size() == kL2cpPrefix.size() + 2) {
        std::string lower(t.substr(0, kL2cpPrefix.size()));
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower != kL2cpPrefix)
            return -1;
        t = t.substr(kL2cpPrefix.size());
    }
    if (t.size() != 2 || !std::isxdigit(static_cast<unsigned char>(t[0])) ||
        !std::isxdigit(static_cast<unsigned char>(t[1])))
        return -1;
    return l2cpIndexOfByte(static_cast<uint32_t>(std::stoul(std::string(t), nullptr, kHexBase)));
}

}  // namespace

std::optional<L2cpAction> l2cpActionNamed(std::string_view name) {
    for (const auto& [a, n] : kL2cpActions) {
        if (n == name)
            return a;
    }
    return std::nullopt;
}

std::string_view l2cpActionName(L2cpAction action) {
    for (const auto& [a, n] : kL2cpActions) {
        if (a == action)
            return n;
    }
    return "unknown";
}

uint8_t l2cpAddressByte(size_t index) {
    return static_cast<uint8_t>(index < kL2cpLowEnd ? index : index - kL2cpLowEnd + kL2cpHighBase);
}

int l2cpIndexOfByte(uint32_t b) {
    if (b < kL2cpLowEnd)
        return static_cast<int>(b);
    if (b >= kL2cpHighBase && b < kL2cpHighBase + kL2cpLowEnd)
        return static_cast<int>(b - kL2cpHighBase + kL2cpLowEnd);
    return -1;
}

std::optional<uint32_t> parseL2cpAddresses(std::string_view text) {
    if (text == "all")
        return kL2cpAll;
    uint32_t set = 0;
    while (true) {
        const size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const size_t dash = item.find('-');
        const int first = l2cpIndexOfText(item.substr(0, dash));
        const int last =
            dash == std::string_view::npos ? first : l2cpIndexOfText(item.substr(dash + 1));
        // A range stays within one block: 0e-21 would take in -10 to -1f, which are none.
        if (first < 0 || last < first ||
            (first < static_cast<int>(kL2cpLowEnd)) != (last < static_cast<int>(kL2cpLowEnd)))
            return std::nullopt;
        for (int i = first; i <= last; ++i)
            set |= 1u << i;
        if (comma == std::string_view::npos)
            return set;
        text = text.substr(comma + 1);
    }
}

std::string l2cpAddressesText(uint32_t set) {
    if (set == kL2cpAll)
        return "all";
    std::string out;
    char buf[8];
    for (size_t i = 0; i < kL2cpAddresses;) {
        if (!(set >> i & 1u)) {
            ++i;
            continue;
        }
        size_t j = i;
        // A run stops at the end of its block.
        while (j + 1 < kL2cpAddresses && (set >> (j + 1) & 1u) && j + 1 != kL2cpLowEnd)
            ++j;
        std::snprintf(buf, sizeof buf, "%02x", l2cpAddressByte(i));
        out += (out.empty() ? "" : ",") + std::string(buf);
        if (j != i) {
            std::snprintf(buf, sizeof buf, "%02x", l2cpAddressByte(j));
            out += "-" + std::string(buf);
        }
        i = j + 1;
    }
    return out.empty() ? "none" : out;
}

std::optional<StormClass> stormClass(std::string_view name) {
    for (size_t c = 0; c < kStormClasses; ++c) {
        if (kStormClassNames[c] == name)
            return static_cast<StormClass>(c);
    }
    return std::nullopt;
}

std::string_view stormClassName(StormClass c) {
    return kStormClassNames.at(static_cast<size_t>(c));
}

namespace {

constexpr std::string_view kFaultPoints[] = {
    "ozmTaskStartup",
    "ozmIpcTmrOpen",
    "ozmIpcSend",
    "ozmEvtOpenlog",
    "ozmEvtSetSeverityLevel",
    "ozmEvhSubscribeEvt",
    "ozmEvhUnsubscribeEvt",
    "ozmSwpCreatePipe",
    "ozmSwpQueueCreateQs",
    "ozmSwpQueueRemove",
    "ozmSwpEnqueue",
    "ozm_memPartFixedInit",
    "ozmMC_ozm_memPartVarInit",
    "ozm_memPartVarDelete",
    "var",
    "ioctl",
    "sendto",
    "socket:inet",
    "select",
    "select-eintr",
    "ifm-silent",
    "ifm-status",
    "ifm-type",
    "peer-send",
    "cfg",
};
// Families: the text after the prefix is a number (numeric) or any name.
struct FaultFamily {
    std::string_view prefix;
    bool numeric;
};
constexpr FaultFamily kFaultFamilies[] = {
    {"socket:", true},       {"bind:", true},         {"acl-silent:", true}, {"acl-status:", true},
    {"acl-type:", true},     {"var:", true},          {"sendto:", false},    {"pool:", false},
    {"pool-create:", false}, {"pool-delete:", false},
};
constexpr std::string_view kPoolNames[] = {
    "L2PT_IFNODE_POOL",    "L2PT_VMAN_POOL",        "L2PT_CORE_PORT_POOL",
    "L2PT_DEBUGNODE_POOL", "L2PT_ACCESS_PORT_POOL",
};
constexpr std::string_view kVarPoolPrefix = "var:";

}  // namespace

bool knownPoolName(std::string_view pool) {
    if (pool.starts_with(kVarPoolPrefix))
        return ozm::shell::parseNumber(pool.substr(kVarPoolPrefix.size()), UINT32_MAX).has_value();
    return std::find(std::begin(kPoolNames), std::end(kPoolNames), pool) != std::end(kPoolNames);
}

bool knownFaultPoint(std::string_view point) {
    if (std::find(std::begin(kFaultPoints), std::end(kFaultPoints), point) !=
        std::end(kFaultPoints))
        return true;
    for (const auto& f : kFaultFamilies) {
        if (!point.starts_with(f.prefix) || point.size() == f.prefix.size())
            continue;
        const auto rest = point.substr(f.prefix.size());
        if (f.numeric ? ozm::shell::parseNumber(rest, UINT32_MAX).has_value()
                      : (f.prefix.starts_with("pool") ? knownPoolName(rest) : true))
            return true;
    }
    return false;
}

namespace {

// Reads one chassis document; every error names the file and the line of the offending node.
class Loader : private ConfigReader {
  public:
    using ConfigReader::ConfigReader;

    ChassisConfig load(const YamlNode& root) {
        ChassisConfig cfg;
        cfg.source = source();
        if (!root.isMap())
            fail(root, "the chassis file must be a mapping of sections");
        knownKeys(root, {"chassis", "rpm", "card_types", "line_cards", "lags", "vlans",
                         "tunnelling", "data_plane", "l2cp", "pools", "faults"});
        if (auto n = root["chassis"])
            chassisSection(n, cfg);
        if (auto n = root["rpm"])
            rpmSection(n, cfg.rpm);
        for (const auto& n : seq(root, "card_types"))
            cfg.cardTypes.push_back(cardType(n));
        for (const auto& n : seq(root, "line_cards"))
            cfg.lineCards.push_back(lineCard(n, cfg));
        for (const auto& n : seq(root, "lags"))
            cfg.lags.push_back(lag(n));
        for (const auto& n : seq(root, "vlans"))
            cfg.vlans.push_back(vlan(n));
        if (auto n = root["tunnelling"])
            tunnelling(n, cfg.tunnelling);
        if (auto n = root["data_plane"])
            dataPlane(n, cfg.dataPlane);
        for (const auto& n : seq(root, "l2cp"))
            cfg.l2cp.push_back(l2cp(n));
        if (auto n = root["pools"]) {
            if (!n.isMap())
                fail(n, "pools: expected a mapping of pool name to capacity");
            for (const auto& [k, v] : n.entries()) {
                const std::string pool = key(k);
                if (!knownPoolName(pool))
                    fail(k, "unknown pool '" + pool + "' (L2PT_<name>_POOL or var:<size>)");
                cfg.pools[pool] = static_cast<uint32_t>(integer(v, 0, UINT32_MAX, pool));
            }
        }
        for (const auto& n : seq(root, "faults")) {
            FaultConfig f;
            if (n.isScalar()) {
                f.point = n.scalar();
            } else {
                knownKeys(n, {"point", "uses"});
                f.point = text(n, "point");
                if (n["uses"])
                    f.uses = static_cast<uint32_t>(integer(n["uses"], 1, UINT32_MAX, "uses"));
            }
            if (!knownFaultPoint(f.point))
                fail(n, "unknown fault point '" + f.point + "' (docs/chassis.md lists them)");
            cfg.faults.push_back(std::move(f));
        }
        checkUnique(cfg);
        return cfg;
    }

  private:
    void chassisSection(const YamlNode& n, ChassisConfig& cfg) const {
        knownKeys(n, {"name", "slots"});
        cfg.name = textOr(n, "name", "");
        if (n["slots"])
            cfg.slots = static_cast<uint32_t>(integer(n["slots"], 0, kMaxSlots, "slots"));
    }

    PeerRole peerRole(const YamlNode& n) const {
        const auto s = n.scalar();
        if (s == "none")
            return PeerRole::None;
        if (s == "primary")
            return PeerRole::Primary;
        if (s == "secondary")
            return PeerRole::Secondary;
        fail(n, "peer role must be none, primary or secondary, not '" + s + "'");
    }

    void rpmSection(const YamlNode& n, RpmConfig& rpm) const {
        knownKeys(n, {"role", "master_slot", "peer"});
        if (auto r = n["role"]) {
            const auto s = r.scalar();
            if (s != "primary" && s != "secondary")
                fail(r, "role must be primary or secondary");
            rpm.primary = s == "primary";
        }
        if (n["master_slot"]) {
            rpm.masterSlot =
                static_cast<uint32_t>(integer(n["master_slot"], 0, kMaxSlots - 1, "master_slot"));
        }
        if (auto p = n["peer"]) {
            if (p.isScalar()) {
                rpm.peer.role = peerRole(p);
            } else {
                knownKeys(p, {"role", "bitmap", "master_slot"});
                if (p["role"])
                    rpm.peer.role = peerRole(p["role"]);
                if (p["bitmap"])
                    rpm.peer.bitmap =
                        static_cast<uint32_t>(integer(p["bitmap"], 0, UINT32_MAX, "bitmap"));
                if (p["master_slot"]) {
                    rpm.peer.masterSlot = static_cast<int32_t>(
                        integer(p["master_slot"], -1, kMaxSlots - 1, "master_slot"));
                }
            }
        }
    }

    CardTypeConfig cardType(const YamlNode& n) const {
        knownKeys(n, {"id", "name", "ten_gig"});
        CardTypeConfig t;
        t.line = lineOf(n);
        t.id = static_cast<uint32_t>(integer(n, "id", 0, kMaxCardTypes - 1));
        t.name = textOr(n, "name", "type" + std::to_string(t.id));
        if (n["ten_gig"])
            t.tenGig = boolean(n["ten_gig"], "ten_gig");
        return t;
    }

    static std::string expand(const std::string& pattern, uint32_t slot, uint32_t number) {
        std::string out;
        for (size_t i = 0; i < pattern.size(); ++i) {
            if (pattern.compare(i, 3, "{n}") == 0) {
                out += std::to_string(number);
                i += 2;
            } else if (pattern.compare(i, 3, "{s}") == 0) {
                out += std::to_string(slot);
                i += 2;
            } else {
                out += pattern[i];
            }
        }
        return out;
    }

    // One entry of a card's port list: a single port ("number") or a run of ports ("range").
    void ports(const YamlNode& n, LineCardConfig& card) const {
        knownKeys(n, {"number", "range", "name", "long_name", "unit", "pipe", "vlan", "mtu",
                      "netdev", "storm", "pdu_rate"});
        uint32_t first = 0;
        uint32_t last = 0;
        if (n["number"] && n["range"])
            fail(n, "a port has either 'number' or 'range'");
        if (n["number"]) {
            first = last =
                static_cast<uint32_t>(integer(n["number"], 0, kMaxPortsPerCard - 1, "number"));
        } else if (auto r = n["range"]) {
            const auto s = r.scalar();
            const auto dash = s.find('-');
            const auto low =
                ozm::shell::parseNumber(std::string_view(s).substr(0, dash), UINT32_MAX);
            const auto high =
                dash == std::string::npos
                    ? std::nullopt
                    : ozm::shell::parseNumber(std::string_view(s).substr(dash + 1), UINT32_MAX);
            if (!low || !high)
                fail(r, "range must read FIRST-LAST (two numbers), not '" + s + "'");
            first = static_cast<uint32_t>(*low);
            last = static_cast<uint32_t>(*high);
            if (first > last || last >= kMaxPortsPerCard)
                fail(r, "range " + s + " is out of 0.." + std::to_string(kMaxPortsPerCard - 1));
        } else {
            fail(n, "a port needs 'number' or 'range'");
        }
        const std::string name = textOr(n, "name", "e{s}/{n}");
        const std::string longName = textOr(n, "long_name", "Ethernet {s}/{n}");
        const std::string netdev = textOr(n, "netdev", "");
        if (first != last && name.find("{n}") == std::string::npos) {
            fail(n, "the name of a port range must contain {n}");
        }
        if (first != last && !netdev.empty() && netdev.find("{n}") == std::string::npos) {
            fail(n["netdev"], "the netdev of a port range must contain {n}");
        }
        PortConfig p;
        p.line = lineOf(n);
        p.unit = n["unit"] ? static_cast<uint32_t>(integer(n["unit"], 0, 255, "unit")) : card.slot;
        if (n["pipe"])
            p.pipe = static_cast<uint32_t>(integer(n["pipe"], 0, 255, "pipe"));
        if (n["vlan"])
            p.vlan = static_cast<uint16_t>(integer(n["vlan"], kMinPortVlan, kMaxPortVlan, "vlan"));
        if (n["mtu"])
            p.mtu = static_cast<uint32_t>(integer(n["mtu"], kMinPortMtu, kMaxPortMtu, "mtu"));
        if (n["storm"])
            storm(n["storm"], p.policing);
        if (n["pdu_rate"])
            p.policing.pduRate =
                static_cast<uint32_t>(integer(n["pdu_rate"], 0, UINT32_MAX, "pdu_rate"));
        for (uint32_t num = first; num <= last; ++num) {
            p.number = num;
            p.name = expand(name, card.slot, num);
            p.longName = expand(longName, card.slot, num);
            p.netdev = expand(netdev, card.slot, num);
            for (const auto& q : card.ports) {
                if (q.number == num)
                    failAt(p.line, "port " + std::to_string(num) + " of slot " +
                                       std::to_string(card.slot) + " is listed twice");
            }
            card.ports.push_back(p);
        }
    }

    LineCardConfig lineCard(const YamlNode& n, const ChassisConfig& cfg) const {
        knownKeys(n, {"slot", "type", "present", "agent", "ports"});
        LineCardConfig c;
        c.line = lineOf(n);
        c.slot = static_cast<uint32_t>(integer(n, "slot", 0, kMaxSlots - 1));
        if (c.slot >= cfg.slots)
            fail(n["slot"], "slot " + std::to_string(c.slot) + " is beyond the chassis' " +
                                std::to_string(cfg.slots) + " slots");
        for (const auto& other : cfg.lineCards) {
            if (other.slot == c.slot)
                fail(n["slot"], "slot " + std::to_string(c.slot) + " holds two line cards");
        }
        c.type = static_cast<uint32_t>(integer(n, "type", 0, kMaxCardTypes - 1));
        if (n["present"])
            c.present = boolean(n["present"], "present");
        if (auto a = n["agent"]) {
            const auto s = a.scalar();
            if (s == "per-port")
                c.agent = AgentMode::PerPort;
            else if (s == "global")
                c.agent = AgentMode::Global;
            else if (s == "silent")
                c.agent = AgentMode::Silent;
            else
                fail(a, "agent must be per-port, global or silent, not '" + s + "'");
        }
        for (const auto& p : seq(n, "ports"))
            ports(p, c);
        return c;
    }

    LagConfig lag(const YamlNode& n) const {
        knownKeys(n, {"number", "name", "long_name", "members"});
        LagConfig l;
        l.line = lineOf(n);
        l.number = static_cast<uint32_t>(integer(n, "number", 0, kMaxLags - 1));
        l.name = textOr(n, "name", "lag" + std::to_string(l.number));
        l.longName = textOr(n, "long_name", "Lag " + std::to_string(l.number));
        for (const auto& m : seq(n, "members"))
            l.members.push_back(ref(m, "member"));
        return l;
    }

    VlanConfig vlan(const YamlNode& n) const {
        knownKeys(n, {"id", "name", "long_name"});
        VlanConfig v;
        v.line = lineOf(n);
        v.id = static_cast<uint32_t>(integer(n, "id", 0, kMaxVlanId));
        v.name = textOr(n, "name", "vlan" + std::to_string(v.id));
        v.longName = textOr(n, "long_name", "Vlan " + std::to_string(v.id));
        return v;
    }

    void dataPlane(const YamlNode& n, DataPlaneConfig& d) const {
        knownKeys(n, {"ageing", "pdu_rate", "fdb_entries", "learn_limit", "vlan_learn_limit",
                      "learning"});
        if (n["ageing"])
            d.ageingSeconds =
                static_cast<uint32_t>(integer(n["ageing"], 1, kMaxAgeingSeconds, "ageing"));
        if (n["fdb_entries"])
            d.fdbEntries = static_cast<uint32_t>(integer(n["fdb_entries"], L2PT_FDB_ENTRIES_MIN,
                                                         L2PT_FDB_ENTRIES_MAX, "fdb_entries"));
        if (n["learn_limit"])
            d.portLearnLimit = static_cast<uint32_t>(
                integer(n["learn_limit"], 0, L2PT_FDB_ENTRIES_MAX, "learn_limit"));
        if (n["vlan_learn_limit"])
            d.vlanLearnLimit = static_cast<uint32_t>(
                integer(n["vlan_learn_limit"], 0, L2PT_FDB_ENTRIES_MAX, "vlan_learn_limit"));
        if (n["pdu_rate"])
            d.pduRate = static_cast<uint32_t>(integer(n["pdu_rate"], 0, UINT32_MAX, "pdu_rate"));
        for (const auto& l : seq(n, "learning"))
            d.learning.push_back(learnLimit(l));
    }

    void tunnelling(const YamlNode& n, TunnellingConfig& t) const {
        knownKeys(n, {"vlans", "rates", "tunnel_mac", "replace_global", "vman_tpid"});
        for (const auto& v : seq(n, "vlans"))
            t.vlans.push_back(tunnelVlan(v));
        for (const auto& r : seq(n, "rates")) {
            knownKeys(r, {"vlan", "rate"});
            t.rates.push_back(
                {ref(r["vlan"], "vlan"), static_cast<uint32_t>(integer(r, "rate", 0, UINT32_MAX))});
        }
        if (auto m = n["tunnel_mac"])
            t.tunnelMac = tunnelMac(m);
        if (n["replace_global"])
            t.replaceGlobal = boolean(n["replace_global"], "replace_global");
        if (n["vman_tpid"])
            t.vmanTpid = tpid(n["vman_tpid"]);
    }

    void checkUnique(const ChassisConfig& cfg) const {
        std::set<uint32_t> ids;
        for (const auto& t : cfg.cardTypes) {
            if (!ids.insert(t.id).second)
                failAt(t.line, "card type " + std::to_string(t.id) + " is defined twice");
        }
        for (const auto& c : cfg.lineCards) {
            if (!ids.count(c.type))
                failAt(c.line, "line card in slot " + std::to_string(c.slot) +
                                   " has unknown card type " + std::to_string(c.type));
        }
        std::set<uint32_t> lags;
        for (const auto& l : cfg.lags) {
            if (!lags.insert(l.number).second)
                failAt(l.line, "LAG " + std::to_string(l.number) + " is defined twice");
        }
        std::set<uint32_t> vlans;
        for (const auto& v : cfg.vlans) {
            if (!vlans.insert(v.id).second)
                failAt(v.line, "VLAN " + std::to_string(v.id) + " is defined twice");
        }
        checkLearning(cfg);
    }
};

}  // namespace

void checkLearning(const ChassisConfig& cfg) {
    std::set<std::string, std::less<>> lports;
    for (const auto& c : cfg.lineCards) {
        for (const auto& p : c.ports)
            lports.insert(p.name);
    }
    for (const auto& l : cfg.lags)
        lports.insert(l.name);
    for (const auto& l : cfg.dataPlane.learning) {
        if (!l.port.empty() && !lports.count(l.port))
            throw ConfigError(cfg.source + ":" + std::to_string(l.line) + ": learning: '" + l.port +
                              "' is no port or LAG");
    }
}

ChassisConfig loadChassisText(std::string_view yaml, std::string_view sourceName) {
    const std::string source(sourceName);
    const YamlDoc doc(yaml, source);
    const YamlNode root = doc.root();
    if (!root || root.isNull()) {
        ChassisConfig empty;
        empty.source = source;
        return empty;
    }
    return Loader(source).load(root);
}

ChassisConfig loadChassisFile(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw ConfigError(path + ": is a directory, not a chassis file");
    std::ifstream in(path);
    if (!in)
        throw ConfigError(path + ": cannot open the chassis file");
    std::stringstream text;
    text << in.rdbuf();
    return loadChassisText(text.str(), path);
}

}  // namespace chassis
