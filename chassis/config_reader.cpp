#include "chassis/config_reader.h"

#include "chassis/rules.h"

#include "platform/shell.h"

namespace chassis {

void ConfigReader::fail(const YamlNode& n, const std::string& what) const {
    throw ConfigError(source_ + ":" + std::to_string(n.line()) + ": " + what);
}

void ConfigReader::failAt(int line, const std::string& what) const {
    throw ConfigError(source_ + ":" + std::to_string(line) + ": " + what);
}

std::string ConfigReader::key(const YamlNode& k) const {
    if (!k.isScalar())
        fail(k, "expected a name as the key, not a list or mapping");
    return k.scalar();
}

void ConfigReader::knownKeys(const YamlNode& n,
                             std::initializer_list<std::string_view> keys) const {
    if (!n.isMap())
        fail(n, "expected a mapping");
    for (const auto& kv : n.entries()) {
        const auto name = key(kv.key);
        bool known = false;
        for (auto k : keys)
            known = known || k == name;
        if (!known)
            fail(kv.key, "unknown key '" + name + "'");
    }
}

std::vector<YamlNode> ConfigReader::seq(const YamlNode& parent, const char* key) const {
    auto n = parent[key];
    if (!n)
        return {};
    if (!n.isSequence())
        fail(n, std::string(key) + ": expected a list");
    return n.items();
}

int64_t ConfigReader::integer(const YamlNode& n, int64_t lo, int64_t hi,
                              const std::string& what) const {
    if (!n.isScalar())
        fail(n, what + ": expected a number, not a list or mapping");
    const auto s = n.scalar();
    const bool negative = !s.empty() && s[0] == '-';
    const auto magnitude =
        ozm::shell::parseNumber(std::string_view(s).substr(negative ? 1 : 0), INT64_MAX);
    if (!magnitude)
        fail(n, what + ": expected a decimal or 0x hex number, not '" + s + "'");
    const int64_t v =
        negative ? -static_cast<int64_t>(*magnitude) : static_cast<int64_t>(*magnitude);
    if (v < lo || v > hi) {
        fail(n,
             what + " " + s + " is out of range " + std::to_string(lo) + ".." + std::to_string(hi));
    }
    return v;
}

int64_t ConfigReader::integer(const YamlNode& parent, const char* key, int64_t lo,
                              int64_t hi) const {
    auto n = parent[key];
    if (!n)
        fail(parent, std::string("missing '") + key + "'");
    return integer(n, lo, hi, key);
}

bool ConfigReader::boolean(const YamlNode& n, const std::string& what) const {
    if (!n.isScalar())
        fail(n, what + ": expected true or false");
    const auto s = n.scalar();
    if (s == "true" || s == "yes" || s == "1")
        return true;
    if (s == "false" || s == "no" || s == "0")
        return false;
    fail(n, what + ": expected true or false, not '" + s + "'");
}

std::string ConfigReader::text(const YamlNode& parent, const char* key) const {
    auto n = parent[key];
    if (!n || !n.isScalar() || n.scalar().empty())
        fail(parent, std::string("missing '") + key + "'");
    return n.scalar();
}

std::string ConfigReader::textOr(const YamlNode& parent, const char* key, std::string def) const {
    auto n = parent[key];
    if (!n)
        return def;
    if (!n.isScalar())
        fail(n, std::string(key) + ": expected text");
    return n.scalar();
}

NameRef ConfigReader::ref(const YamlNode& n, const std::string& what) const {
    if (!n || !n.isScalar())
        fail(n, what + ": expected a name");
    return {n.scalar(), lineOf(n)};
}

uint8_t ConfigReader::protocols(const YamlNode& n) const {
    if (!n.isSequence())
        fail(n, "protocols: expected a list such as [stp, lldp]");
    uint8_t flags = 0;
    for (const auto& p : n.items()) {
        auto f = protocolFlag(p.scalar());
        if (!f)
            fail(p, "unknown protocol '" + p.scalar() + "' (stp, lldp, gvrp, pvst)");
        flags |= *f;
    }
    return flags;
}

Mac ConfigReader::mac(const YamlNode& n, const std::string& what) const {
    const auto m = n.isScalar() ? parseMac(n.scalar()) : std::nullopt;
    if (!m)
        fail(n, what + " must read like 03:a7:31:00:00:01");
    return *m;
}

Mac ConfigReader::tunnelMac(const YamlNode& n) const {
    const Mac m = mac(n, "tunnel_mac");
    if (const Refusal why = tunnelMacRefusal(m))
        fail(n, "tunnel_mac " + n.scalar() + " " + *why);
    return m;
}

uint16_t ConfigReader::tpid(const YamlNode& n) const {
    const auto tpid = static_cast<uint16_t>(integer(n, 0, UINT16_MAX, "vman_tpid"));
    if (const Refusal why = tpidRefusal(tpid))
        fail(n, "vman_tpid " + n.scalar() + " " + *why);
    return tpid;
}

// {port: NAME, limit: N, action: forward|drop} or {vlan: ID, limit: N}.
LearnLimitConfig ConfigReader::learnLimit(const YamlNode& n) const {
    knownKeys(n, {"port", "vlan", "limit", "action"});
    LearnLimitConfig l;
    l.line = lineOf(n);
    if (!n["port"] == !n["vlan"])
        fail(n, "a learning limit names either a 'port' or a 'vlan'");
    if (n["port"])
        l.port = ref(n["port"], "port").name;
    else
        l.vlan = static_cast<uint16_t>(integer(n["vlan"], 0, L2PT_MAX_VID, "vlan"));
    if (n["limit"])
        l.limit = static_cast<uint32_t>(integer(n["limit"], 0, L2PT_FDB_ENTRIES_MAX, "limit"));
    if (auto a = n["action"]) {
        if (l.vlan)
            fail(a, "a VLAN's limit has no action: its ports' actions apply");
        const auto s = a.scalar();
        if (s != "forward" && s != "drop")
            fail(a, "action must be forward or drop, not '" + s + "'");
        l.drop = s == "drop";
    }
    return l;
}

void ConfigReader::storm(const YamlNode& n, PortPolicing& p) const {
    if (!n.isMap())
        fail(n, "storm: expected a mapping such as {broadcast: 100}");
    for (const auto& [k, v] : n.entries()) {
        const std::string name = key(k);
        const auto c = stormClass(name);
        if (!c)
            fail(k,
                 "unknown storm class '" + name + "' (broadcast, multicast, " + "unknown_unicast)");
        StormLimit& limit = p.storm[static_cast<size_t>(*c)];
        if (v.isMap()) {
            knownKeys(v, {"fps", "kbps"});
            if (!v["fps"] && !v["kbps"])
                fail(v, name + ": give fps, kbps or both");
            if (v["fps"])
                limit.fps = static_cast<uint32_t>(integer(v, "fps", 1, UINT32_MAX));
            if (v["kbps"])
                limit.kbps = static_cast<uint32_t>(integer(v, "kbps", 1, UINT32_MAX));
        } else {
            limit.fps = static_cast<uint32_t>(integer(v, 1, UINT32_MAX, name));
        }
    }
}

TunnelVlanConfig ConfigReader::tunnelVlan(const YamlNode& v) const {
    knownKeys(v, {"vlan", "protocols", "rate", "ports"});
    TunnelVlanConfig tv;
    tv.vlan = ref(v["vlan"], "vlan");
    if (!v["protocols"])
        fail(v, "missing 'protocols'");
    tv.protocols = protocols(v["protocols"]);
    if (v["rate"])
        tv.rate = static_cast<uint16_t>(integer(v["rate"], 0, UINT16_MAX, "rate"));
    for (const auto& p : seq(v, "ports")) {
        knownKeys(p, {"port", "mode"});
        TunnelPortConfig tp;
        tp.port = ref(p["port"], "port");
        const auto mode = textOr(p, "mode", "access");
        if (mode != "access" && mode != "core")
            fail(p["mode"], "mode must be access or core");
        tp.core = mode == "core";
        tv.ports.push_back(tp);
    }
    return tv;
}

L2cpConfig ConfigReader::l2cp(const YamlNode& n) const {
    knownKeys(n, {"port", "vlan", "addresses", "action"});
    L2cpConfig c;
    c.line = lineOf(n);
    c.port = ref(n["port"], "port");
    if (n["vlan"])
        c.vlan = ref(n["vlan"], "vlan");
    const YamlNode a = n["addresses"];
    if (!a)
        fail(n, "missing 'addresses'");
    for (const auto& item : a.isSequence() ? a.items() : std::vector{a}) {
        const auto set = item.isScalar() ? parseL2cpAddresses(item.scalar()) : std::nullopt;
        if (!set)
            fail(item,
                 "addresses: reserved addresses such as 01-0a,0e, 20-2f, "
                 "01:80:c2:00:00:0e or all (01:80:c2:00:00:00-0f and -20-2f)");
        c.addresses |= *set;
    }
    const std::string action = text(n, "action");
    const auto act = l2cpActionNamed(action);
    if (!act)
        fail(n["action"],
             "action must be tunnel, discard, forward or default, not '" + action + "'");
    c.action = *act;
    return c;
}

}  // namespace chassis
