#include "net/daemon/state_store.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>

#include "chassis/config_reader.h"
#include "chassis/ifm.h"
#include "chassis/rules.h"

namespace netp {

namespace {

constexpr mode_t kStateDirMode = 0750;
constexpr mode_t kStateFileMode = 0640;
// What the daemon writes begins with these two lines and ends with kEndLine: a file that begins
// with them and does not end so was cut short. Files by hand, and by builds before the end line
// (the first line alone when nothing changed), have neither and are read as they are.
constexpr std::string_view kHead =
    "# l2pt-chassisd: what operators changed, laid over the chassis file at start\n"
    "# its last line is '# end': without it, it was cut short\n";
constexpr std::string_view kOldHeader = kHead.substr(0, kHead.find('\n') + 1);
constexpr std::string_view kEndLine = "# end";
constexpr const char* kDefaultMac = "default";
constexpr const char* kSetAsideSuffix = ".bad-";
// Changes left out of a state file that are named one a line; the rest are counted.
constexpr size_t kDroppedLines = 20;
// StateDelta::lines: a rate's, a LAG's or a port's line, by its kind and name.
constexpr std::string_view kRateLine = "rate ";
constexpr std::string_view kLagLine = "lag ";
constexpr std::string_view kPortLine = "port ";
std::string lineKey(std::string_view kind, const std::string& name) {
    return std::string(kind) + name;
}
// What runs after a state file was set aside.
constexpr std::string_view kFromChassisFile = "starting from the chassis file";
constexpr std::string_view kWhatFits = "the changes that fit run";

// A VLAN's tunnelling as the configuration means it, whatever the order or repetition of its
// entries and ports (IFM merges them so).
struct VlanView {
    uint8_t protocols = 0;
    uint16_t rate = 0;
    std::vector<std::pair<std::string, bool>> ports;
    bool operator==(const VlanView&) const = default;
};

std::map<std::string, VlanView> vlanViews(const chassis::TunnellingConfig& t) {
    std::map<std::string, VlanView> out;
    for (const auto& v : t.vlans) {
        auto& view = out[v.vlan.name];
        view.protocols |= v.protocols;
        if (view.rate == 0)
            view.rate = v.rate;
        for (const auto& p : v.ports)
            view.ports.emplace_back(p.port.name, p.core);
    }
    for (auto& [name, view] : out) {
        std::sort(view.ports.begin(), view.ports.end());
        view.ports.erase(std::unique(view.ports.begin(), view.ports.end()), view.ports.end());
    }
    return out;
}

std::map<std::string, uint32_t> rateMap(const chassis::TunnellingConfig& t) {
    std::map<std::string, uint32_t> out;
    for (const auto& r : t.rates)
        out[r.vlan.name] = r.rate;
    return out;
}

std::vector<std::string> sortedNames(const std::vector<chassis::NameRef>& refs) {
    std::vector<std::string> out;
    for (const auto& r : refs)
        out.push_back(r.name);
    std::sort(out.begin(), out.end());
    return out;
}

// The reserved addresses' actions as the entries mean them, whatever their order: per (port,
// VLAN name or ""), each address's action.
using L2cpView = std::map<std::pair<std::string, std::string>,
                          std::array<chassis::L2cpAction, chassis::kL2cpAddresses>>;

L2cpView l2cpView(const std::vector<chassis::L2cpConfig>& entries) {
    L2cpView out;
    for (const auto& e : entries) {
        auto& row = out[{e.port.name, e.vlan ? e.vlan->name : std::string()}];
        for (size_t i = 0; i < chassis::kL2cpAddresses; ++i) {
            if (e.addresses >> i & 1u)
                row[i] = e.action;
        }
    }
    return out;
}

// Every key present in either map, once.
template <typename A, typename B>
std::set<std::string> keysOf(const A& a, const B& b) {
    std::set<std::string> out;
    for (const auto& kv : a)
        out.insert(kv.first);
    for (const auto& kv : b)
        out.insert(kv.first);
    return out;
}

// Reads the state file in the chassis file's grammar; every error names the file and line.
class StateReader : private chassis::ConfigReader {
  public:
    using ConfigReader::ConfigReader;

    StateDelta read(const chassis::YamlNode& root) const {
        StateDelta d;
        if (!root || root.isNull())
            return d;
        knownKeys(root, {"vlans", "rates", "lags", "tunnel_mac", "replace_global", "vman_tpid",
                         "l2cp", "learning", "ports", "pdu_rate"});
        for (const auto& v : seq(root, "vlans")) {
            if (removed(v)) {
                d.vlans[ref(v["vlan"], "vlan").name] = std::nullopt;
                continue;
            }
            auto vlan = tunnelVlan(v);
            d.vlans[vlan.vlan.name] = std::move(vlan);
        }
        for (const auto& r : seq(root, "rates")) {
            const bool gone = removed(r);
            if (!gone)
                knownKeys(r, {"vlan", "rate"});
            const chassis::NameRef vlan = ref(r["vlan"], "vlan");
            d.lines[lineKey(kRateLine, vlan.name)] = vlan.line;
            d.rates[vlan.name] =
                gone ? std::nullopt
                     : std::optional(static_cast<uint32_t>(integer(r, "rate", 0, UINT32_MAX)));
        }
        for (const auto& l : seq(root, "lags")) {
            knownKeys(l, {"lag", "members"});
            const chassis::NameRef lag = ref(l["lag"], "lag");
            d.lines[lineKey(kLagLine, lag.name)] = lag.line;
            auto& members = d.lagMembers[lag.name];
            for (const auto& m : seq(l, "members"))
                members.push_back(ref(m, "member"));
        }
        if (const auto m = root["tunnel_mac"]) {
            StateDelta::MacChange change;
            if (!m.isScalar() || m.scalar() != kDefaultMac)
                change.mac = tunnelMac(m);
            if (root["replace_global"])
                change.replaceGlobal = boolean(root["replace_global"], "replace_global");
            d.tunnelMac = change;
        }
        if (root["vman_tpid"])
            d.vmanTpid = tpid(root["vman_tpid"]);
        for (const auto& n : seq(root, "l2cp"))
            d.l2cp.push_back(l2cp(n));
        for (const auto& l : seq(root, "learning"))
            d.learning.push_back(learnLimit(l));
        for (const auto& p : seq(root, "ports")) {
            knownKeys(p, {"port", "storm", "pdu_rate"});
            const chassis::NameRef port = ref(p["port"], "port");
            d.lines[lineKey(kPortLine, port.name)] = port.line;
            chassis::PortPolicing& policing = d.policing[port.name];
            if (p["storm"])
                storm(p["storm"], policing);
            if (p["pdu_rate"])
                policing.pduRate = static_cast<uint32_t>(integer(p, "pdu_rate", 0, UINT32_MAX));
        }
        if (root["pdu_rate"])
            d.pduRate = static_cast<uint32_t>(integer(root, "pdu_rate", 0, UINT32_MAX));
        return d;
    }

  private:
    // {vlan: NAME, removed: true}: what the chassis file has for NAME is gone.
    bool removed(const chassis::YamlNode& n) const {
        if (!n.isMap() || !n["removed"])
            return false;
        knownKeys(n, {"vlan", "removed"});
        return boolean(n["removed"], "removed");
    }
};

using chassis::YamlOut;

YamlOut vlanNode(const chassis::TunnelVlanConfig& v) {
    YamlOut n = YamlOut::map(false);
    n.set("vlan", YamlOut::text(v.vlan.name));
    YamlOut& protos = n.set("protocols", YamlOut::list(true));
    for (const uint8_t flag :
         {chassis::kProtoStp, chassis::kProtoLldp, chassis::kProtoGvrp, chassis::kProtoPvst}) {
        if (v.protocols & flag)
            protos.push(YamlOut::text(chassis::protocolsText(flag)));
    }
    if (v.rate != 0)
        n.set("rate", YamlOut::number(v.rate));
    YamlOut& ports = n.set("ports", YamlOut::list(false));
    for (const auto& p : v.ports) {
        YamlOut& pn = ports.push(YamlOut::map(true));
        pn.set("port", YamlOut::text(p.port.name));
        pn.set("mode", YamlOut::text(p.core ? "core" : "access"));
    }
    return n;
}

YamlOut learnNode(const chassis::LearnLimitConfig& l) {
    YamlOut n = YamlOut::map(true);
    if (l.vlan)
        n.set("vlan", YamlOut::number(*l.vlan));
    else
        n.set("port", YamlOut::text(l.port));
    if (l.limit)
        n.set("limit", YamlOut::number(*l.limit));
    if (l.drop)
        n.set("action", YamlOut::text(*l.drop ? "drop" : "forward"));
    return n;
}

YamlOut policingNode(const std::string& port, const chassis::PortPolicing& p) {
    YamlOut n = YamlOut::map(true);
    n.set("port", YamlOut::text(port));
    for (size_t c = 0; c < chassis::kStormClasses; ++c) {
        const chassis::StormLimit& limit = p.storm[c];
        if (limit.off())
            continue;
        const std::string cls(chassis::stormClassName(static_cast<chassis::StormClass>(c)));
        if (limit.kbps == 0) {
            n["storm"].set(cls, YamlOut::number(limit.fps));
            continue;
        }
        YamlOut& l = n["storm"][cls];
        if (limit.fps != 0)
            l.set("fps", YamlOut::number(limit.fps));
        l.set("kbps", YamlOut::number(limit.kbps));
    }
    if (p.pduRate)
        n.set("pdu_rate", YamlOut::number(*p.pduRate));
    return n;
}

// {vlan: NAME, removed: true}, or {vlan: NAME, rate: N} for a rate.
YamlOut vlanChange(const std::string& name, std::optional<uint32_t> rate) {
    YamlOut n = YamlOut::map(true);
    n.set("vlan", YamlOut::text(name));
    n.set(rate ? "rate" : "removed", rate ? YamlOut::number(*rate) : YamlOut::text("true"));
    return n;
}

}  // namespace

bool StateDelta::empty() const {
    return vlans.empty() && rates.empty() && lagMembers.empty() && !tunnelMac && !vmanTpid &&
           l2cp.empty() && learning.empty() && policing.empty() && !pduRate;
}

StateDelta stateDelta(const chassis::ChassisConfig& base, chassis::Chassis& chassis,
                      std::span<const chassis::LearnLimitConfig> learning) {
    const chassis::TunnellingConfig now = chassis.ifm().snapshot();
    const chassis::IfDb& db = chassis.ifdb();
    const std::vector<chassis::L2cpConfig> l2cpNow = chassis.cards().l2cp().snapshot(db);
    StateDelta d;
    {
        const auto before = l2cpView(base.l2cp);
        const auto after = l2cpView(l2cpNow);
        std::set<std::pair<std::string, std::string>> keys;
        for (const auto& kv : before)
            keys.insert(kv.first);
        for (const auto& kv : after)
            keys.insert(kv.first);
        const std::array<chassis::L2cpAction, chassis::kL2cpAddresses> none{};
        for (const auto& key : keys) {
            const auto b = before.find(key);
            const auto a = after.find(key);
            const auto& was = b == before.end() ? none : b->second;
            const auto& is = a == after.end() ? none : a->second;
            std::map<chassis::L2cpAction, uint32_t> changed;
            for (size_t i = 0; i < chassis::kL2cpAddresses; ++i) {
                if (was[i] != is[i])
                    changed[is[i]] |= 1u << i;
            }
            for (const auto& [action, addresses] : changed) {
                chassis::L2cpConfig e;
                e.port.name = key.first;
                if (!key.second.empty())
                    e.vlan = chassis::NameRef{key.second, 0};
                e.addresses = addresses;
                e.action = action;
                d.l2cp.push_back(std::move(e));
            }
        }
    }
    d.learning.assign(learning.begin(), learning.end());
    const auto before = vlanViews(base.tunnelling);
    const auto after = vlanViews(now);
    for (const auto& name : keysOf(before, after)) {
        const auto b = before.find(name);
        const auto a = after.find(name);
        if (a == after.end()) {
            d.vlans[name] = std::nullopt;
        } else if (b == before.end() || b->second != a->second) {
            d.vlans[name] = *std::find_if(now.vlans.begin(), now.vlans.end(),
                                          [&](const auto& v) { return v.vlan.name == name; });
        }
    }
    const auto ratesBefore = rateMap(base.tunnelling);
    const auto ratesAfter = rateMap(now);
    for (const auto& name : keysOf(ratesBefore, ratesAfter)) {
        const auto b = ratesBefore.find(name);
        const auto a = ratesAfter.find(name);
        if (a == ratesAfter.end())
            d.rates[name] = std::nullopt;
        else if (b == ratesBefore.end() || b->second != a->second)
            d.rates[name] = a->second;
    }
    for (const auto& lag : base.lags) {
        const auto lagIf = db.find(lag.name);
        if (!lagIf)
            continue;
        std::vector<chassis::NameRef> members;
        for (const uint32_t m : db.lagMembers(*lagIf))
            members.push_back({db.name(m), 0});
        if (sortedNames(members) != sortedNames(lag.members))
            d.lagMembers[lag.name] = std::move(members);
    }
    const auto& t = base.tunnelling;
    if (now.tunnelMac != t.tunnelMac || (now.tunnelMac && now.replaceGlobal != t.replaceGlobal))
        d.tunnelMac = StateDelta::MacChange{now.tunnelMac, now.replaceGlobal};
    if (now.vmanTpid && now.vmanTpid != t.vmanTpid)
        d.vmanTpid = now.vmanTpid;
    const chassis::DataPlane& cards = chassis.cards();
    for (const auto& card : base.lineCards) {
        for (const auto& p : card.ports) {
            const chassis::PortPolicing& policing =
                cards.policing(chassis::portIfIndex(card.slot, p.number));
            if (policing != p.policing)
                d.policing[p.name] = policing;
        }
    }
    if (cards.pduDefault() != base.dataPlane.pduRate)
        d.pduRate = cards.pduDefault();
    return d;
}

chassis::ChassisConfig overlay(chassis::ChassisConfig cfg, const StateDelta& delta,
                               const std::string& source) {
    const auto lineOf = [&delta](const std::string& key) {
        const auto it = delta.lines.find(key);
        return it == delta.lines.end() ? 0 : it->second;
    };
    const auto where = [&](const std::string& key) {
        const int line = lineOf(key);
        return source + (line > 0 ? ":" + std::to_string(line) : "");
    };
    auto& t = cfg.tunnelling;
    for (const auto& [name, vlan] : delta.vlans) {
        std::erase_if(t.vlans, [&n = name](const auto& v) { return v.vlan.name == n; });
        if (vlan)
            t.vlans.push_back(*vlan);
    }
    for (const auto& [name, rate] : delta.rates) {
        std::erase_if(t.rates, [&n = name](const auto& r) { return r.vlan.name == n; });
        if (rate)
            t.rates.push_back({{name, lineOf(lineKey(kRateLine, name))}, *rate});
    }
    for (const auto& [name, members] : delta.lagMembers) {
        auto lag = std::find_if(cfg.lags.begin(), cfg.lags.end(),
                                [&n = name](const auto& l) { return l.name == n; });
        if (lag == cfg.lags.end())
            throw chassis::ConfigError(where(lineKey(kLagLine, name)) +
                                       ": the chassis file has no LAG named '" + name + "'");
        lag->members = members;
    }
    if (delta.tunnelMac) {
        t.tunnelMac = delta.tunnelMac->mac;
        t.replaceGlobal = delta.tunnelMac->replaceGlobal;
    }
    if (delta.vmanTpid)
        t.vmanTpid = delta.vmanTpid;
    cfg.l2cp.insert(cfg.l2cp.end(), delta.l2cp.begin(), delta.l2cp.end());
    auto& learning = cfg.dataPlane.learning;
    learning.insert(learning.end(), delta.learning.begin(), delta.learning.end());
    for (const auto& [name, policing] : delta.policing) {
        chassis::PortConfig* port = nullptr;
        for (auto& card : cfg.lineCards) {
            for (auto& p : card.ports)
                port = p.name == name ? &p : port;
        }
        if (port == nullptr)
            throw chassis::ConfigError(where(lineKey(kPortLine, name)) +
                                       ": the chassis file has no port named '" + name + "'");
        port->policing = policing;
    }
    if (delta.pduRate)
        cfg.dataPlane.pduRate = *delta.pduRate;
    // What fails now is the state's: errors name its file.
    cfg.source = source;
    chassis::checkConfig(cfg);
    chassis::checkLearning(cfg);
    return cfg;
}

std::string stateText(const StateDelta& d) {
    const std::string head(kHead);
    const std::string end = std::string(kEndLine) + "\n";
    if (d.empty())
        return head + end;
    YamlOut root = YamlOut::map(false);
    auto list = [&](const char* key) -> YamlOut& {
        YamlOut& l = root[key];
        if (l.empty())
            l = YamlOut::list(false);
        return l;
    };
    for (const auto& [name, vlan] : d.vlans)
        list("vlans").push(vlan ? vlanNode(*vlan) : vlanChange(name, std::nullopt));
    for (const auto& [name, rate] : d.rates)
        list("rates").push(vlanChange(name, rate));
    for (const auto& [name, members] : d.lagMembers) {
        YamlOut& n = list("lags").push(YamlOut::map(true));
        n.set("lag", YamlOut::text(name));
        YamlOut& m = n.set("members", YamlOut::list(true));
        for (const auto& member : members)
            m.push(YamlOut::text(member.name));
    }
    if (d.tunnelMac) {
        root.set("tunnel_mac", YamlOut::text(d.tunnelMac->mac ? chassis::macText(*d.tunnelMac->mac)
                                                              : kDefaultMac));
        if (d.tunnelMac->replaceGlobal)
            root.set("replace_global", YamlOut::text("true"));
    }
    if (d.vmanTpid)
        root.set("vman_tpid", YamlOut::text(chassis::hex32(*d.vmanTpid)));
    for (const auto& e : d.l2cp) {
        YamlOut& n = list("l2cp").push(YamlOut::map(true));
        n.set("port", YamlOut::text(e.port.name));
        if (e.vlan)
            n.set("vlan", YamlOut::text(e.vlan->name));
        n.set("addresses", YamlOut::text(chassis::l2cpAddressesText(e.addresses)));
        n.set("action", YamlOut::text(std::string(chassis::l2cpActionName(e.action))));
    }
    for (const auto& l : d.learning)
        list("learning").push(learnNode(l));
    for (const auto& [name, policing] : d.policing)
        list("ports").push(policingNode(name, policing));
    if (d.pduRate)
        root.set("pdu_rate", YamlOut::number(*d.pduRate));
    return head + root.emit() + end;
}

namespace {

// Whether text, a state file, was cut short: it begins with the header stateText writes and does
// not end with its end line, or it stops inside that header.
bool cutShort(std::string_view text) {
    if (text.size() < kHead.size())
        return text != kOldHeader && kHead.starts_with(text);
    if (!text.starts_with(kHead))
        return false;
    // An editor's trailing blank lines are not a cut.
    return !text.substr(0, text.find_last_not_of(" \t\r\n") + 1).ends_with(kEndLine);
}

}  // namespace

StateDelta parseState(std::string_view text, const std::string& source) {
    const chassis::YamlDoc doc(text, source);
    return StateReader(source).read(doc.root());
}

namespace {

std::pair<std::string, std::string> splitPath(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

}  // namespace

StateStore::StateStore(const std::string& path, Logger& log, size_t maxBytes)
    : path_(path),
      name_(splitPath(path).second),
      dir_(splitPath(path).first, kStateDirMode),
      log_(log),
      maxBytes_(maxBytes) {
    if (name_.empty() || SafeDir::isTemporary(name_))
        throw DirError("state file " + path + ": not a file name the daemon can use");
}

namespace {

// Each change of d alone: the LAGs' members first, which the VLANs' members may need.
std::vector<StateDelta> changesOf(const StateDelta& d) {
    std::vector<StateDelta> out;
    const auto one = [&out](auto fill) { fill(out.emplace_back()); };
    // A change keeps its line.
    const auto line = [&d](StateDelta& c, const std::string& key) {
        if (const auto it = d.lines.find(key); it != d.lines.end())
            c.lines.insert(*it);
    };
    for (const auto& l : d.lagMembers)
        one([&](StateDelta& c) {
            c.lagMembers.insert(l);
            line(c, lineKey(kLagLine, l.first));
        });
    for (const auto& v : d.vlans)
        one([&v](StateDelta& c) { c.vlans.insert(v); });
    for (const auto& r : d.rates)
        one([&](StateDelta& c) {
            c.rates.insert(r);
            line(c, lineKey(kRateLine, r.first));
        });
    if (d.tunnelMac)
        one([&d](StateDelta& c) { c.tunnelMac = d.tunnelMac; });
    if (d.vmanTpid)
        one([&d](StateDelta& c) { c.vmanTpid = d.vmanTpid; });
    for (const auto& e : d.l2cp)
        one([&e](StateDelta& c) { c.l2cp.push_back(e); });
    for (const auto& l : d.learning)
        one([&l](StateDelta& c) { c.learning.push_back(l); });
    for (const auto& p : d.policing)
        one([&](StateDelta& c) {
            c.policing.insert(p);
            line(c, lineKey(kPortLine, p.first));
        });
    if (d.pduRate)
        one([&d](StateDelta& c) { c.pduRate = d.pduRate; });
    return out;
}

// to with change laid over it (later entries after earlier ones, as in the file).
void addTo(StateDelta& to, const StateDelta& change) {
    to.vlans.insert(change.vlans.begin(), change.vlans.end());
    to.rates.insert(change.rates.begin(), change.rates.end());
    to.lagMembers.insert(change.lagMembers.begin(), change.lagMembers.end());
    if (change.tunnelMac)
        to.tunnelMac = change.tunnelMac;
    if (change.vmanTpid)
        to.vmanTpid = change.vmanTpid;
    to.l2cp.insert(to.l2cp.end(), change.l2cp.begin(), change.l2cp.end());
    to.learning.insert(to.learning.end(), change.learning.begin(), change.learning.end());
    to.policing.insert(change.policing.begin(), change.policing.end());
    to.lines.insert(change.lines.begin(), change.lines.end());
    if (change.pduRate)
        to.pduRate = change.pduRate;
}

// Adds to kept the changes that fit base along with it, halving the changes that do not fit
// together, so that a few stale ones among thousands cost a few checks each; why each left out
// did not fit.
void keepFitting(const chassis::ChassisConfig& base, std::span<const StateDelta> changes,
                 const std::string& source, StateDelta& kept, std::vector<std::string>& why) {
    if (changes.empty())
        return;
    StateDelta tried = kept;
    for (const StateDelta& c : changes)
        addTo(tried, c);
    try {
        (void)overlay(base, tried, source);
        kept = std::move(tried);
        return;
    } catch (const chassis::ConfigError& e) {
        if (changes.size() == 1) {
            why.emplace_back(e.what());
            return;
        }
    }
    const size_t half = changes.size() / 2;
    keepFitting(base, changes.first(half), source, kept, why);
    keepFitting(base, changes.subspan(half), source, kept, why);
}

}  // namespace

chassis::ChassisConfig StateStore::load(const chassis::ChassisConfig& base) {
    std::optional<StateDelta> delta;
    try {
        const auto text = dir_.readFile(name_, maxBytes_);
        if (!text)
            return base;
        if (cutShort(*text)) {
            setAside(
                "it does not end with its last line, '" + std::string(kEndLine) + "': cut short",
                kFromChassisFile);
            return base;
        }
        delta = parseState(*text, path_);
        auto cfg = overlay(base, *delta, path_);
        cfg.source = base.source;
        log_.info("state " + path_ + " laid over the chassis file" +
                  (delta->empty() ? " (nothing changed)" : ""));
        return cfg;
    } catch (const chassis::ConfigError& e) {
        if (!delta) {
            setAside(e.what(), kFromChassisFile);
            return base;
        }
    } catch (const std::exception& e) {
        setAside(e.what(), kFromChassisFile);
        return base;
    }
    // Read, but some changes name what the chassis file no longer has (it was edited while the
    // daemon was down): those go, the others run and are saved at once; the file as it was is
    // set aside for the operator.
    const std::vector<StateDelta> changes = changesOf(*delta);
    StateDelta kept;
    std::vector<std::string> why;
    keepFitting(base, changes, path_, kept, why);
    setAside(std::to_string(why.size()) + " of its " + std::to_string(changes.size()) +
                 " changes do not fit the chassis file",
             why.size() < changes.size() ? kWhatFits : kFromChassisFile);
    for (size_t i = 0; i < why.size() && i < kDroppedLines; ++i)
        log_.warning("state change left out: " + why[i]);
    if (why.size() > kDroppedLines)
        log_.warning("state: " + std::to_string(why.size() - kDroppedLines) +
                     " more changes left out");
    auto cfg = overlay(base, kept, path_);
    cfg.source = base.source;
    if (!kept.empty()) {
        try {
            dir_.replaceFile(name_, stateText(kept), kStateFileMode);
            log_.info("state " + path_ + ": the " + std::to_string(changes.size() - why.size()) +
                      " changes that fit laid over the chassis file and saved");
        } catch (const std::exception& e) {
            log_.error(std::string("cannot save the state: ") + e.what());
        }
    }
    return cfg;
}

void StateStore::setAside(const std::string& why, std::string_view then) {
    std::string stamp = isoTimestamp(std::chrono::system_clock::now());
    std::erase_if(stamp, [](char c) { return c == '-' || c == ':'; });
    const std::string aside = name_ + kSetAsideSuffix + stamp;
    try {
        dir_.rename(name_, aside);
        log_.warning("state file set aside as " + dir_.path() + "/" + aside + ": " + why + "; " +
                     std::string(then));
    } catch (const DirError& e) {
        log_.error("state file unusable (" + why + ") and not set aside (" + e.what() + "); " +
                   std::string(then));
    }
}

std::optional<std::string> StateStore::save(const chassis::ChassisConfig& base,
                                            chassis::Chassis& now,
                                            std::span<const chassis::LearnLimitConfig> learning) {
    try {
        const std::string text = stateText(stateDelta(base, now, learning));
        if (text.size() > maxBytes_)
            throw std::runtime_error("the state would be " + std::to_string(text.size()) +
                                     " bytes, more than a start reads (" +
                                     std::to_string(maxBytes_) +
                                     "): the change runs until the daemon stops");
        // What the file holds now, not what this daemon wrote last: a file cut short or
        // edited since is written again.
        std::optional<std::string> held;
        try {
            held = dir_.readFile(name_, maxBytes_);
        } catch (const DirError&) {
        }
        if (held != text)
            dir_.replaceFile(name_, text, kStateFileMode);
        return std::nullopt;
    } catch (const std::exception& e) {
        log_.error(std::string("cannot save the state: ") + e.what());
        return e.what();
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace netp
