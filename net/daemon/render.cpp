#include "net/daemon/render.h"

#include <algorithm>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "chassis/config.h"
#include "chassis/l2cp.h"
#include "chassis/trace.h"
#include "net/daemon/daemon.h"
#include "net/daemon/kernel_dataplane.h"
#include "net/daemon/sessions.h"
#include "net/log/escape.h"
#include "platform/shell.h"

namespace netp::render {

namespace {

constexpr uint32_t kShowNoVlan = 4;
constexpr uint32_t kShowNoProtocols = 6;
constexpr std::string_view kNoRate = "-";
constexpr std::string_view kTab = "\t";  // the task's tables may align with tabs

std::string reasonName(size_t r) {
    return std::string(chassis::dropReasonName(static_cast<chassis::DropReason>(r)));
}

// "01:80:c2:00:00:0e" for address index i.
std::string l2cpAddress(size_t i) {
    const uint8_t mac[6] = {0x01, 0x80, 0xc2, 0, 0, chassis::l2cpAddressByte(i)};
    return chassis::macText(mac);
}

std::vector<std::string> wordsOf(std::string_view line) {
    std::istringstream in{std::string(line)};
    std::vector<std::string> w;
    for (std::string s; in >> s;)
        w.push_back(s);
    return w;
}

}  // namespace

Json status(Daemon& d) {
    const Session* p = d.sessions().primary();
    Json j{{"chassis", d.chassis().config().name},
           {"primary_ready", p != nullptr && p->ready},
           {"sessions", Json::array()},
           {"cards", d.chassis().cards().presentBitmap()},
           {"ports", Json::array()}};
    for (const auto& [id, s] : d.sessions().all()) {
        j["sessions"].push_back({{"session", id},
                                 {"pid", s.pid},
                                 {"role", s.primary ? "primary" : "secondary"},
                                 {"ready", s.ready},
                                 {"peer_sent", s.peerSent}});
    }
    if (const KernelDataPlane* dp = d.dataPlane()) {
        const port::PortTracker& ports = dp->ports();
        for (size_t p = 0; p < ports.size(); ++p) {
            const port::PortNetdev& names = ports.names(p);
            if (!names.netdev.empty())
                j["ports"].push_back({{"port", names.port}, {"netdev", names.netdev}});
        }
    }
    return j;
}

std::string statusText(const Json& j) {
    std::ostringstream o;
    o << "chassis " << j["chassis"].get<std::string>() << "\n";
    for (const auto& s : j["sessions"]) {
        o << "task session " << s["session"] << " pid " << s["pid"] << " "
          << s["role"].get<std::string>() << (s["ready"].get<bool>() ? " ready" : " starting")
          << " peer-messages " << s["peer_sent"] << "\n";
    }
    if (j["sessions"].empty())
        o << "no task connected\n";
    o << "line cards " << chassis::hex32(j["cards"].get<uint32_t>()) << "\n";
    for (const auto& p : j["ports"])
        o << "port " << p["port"].get<std::string>() << " on " << p["netdev"].get<std::string>()
          << "\n";
    return o.str();
}

namespace {

// A readout of the pipeline's maps; std::runtime_error with the pipeline's words when it fails.
template <typename T>
T readout(pipeline::Result<T> r) {
    if (!r)
        throw std::runtime_error(r.status().what());
    return std::move(*r);
}

// The frames to each reserved address that any reached, by address: what became of them.
Json l2cpCounts(const l2pt_l2cp_stats& s) {
    Json out = Json::object();
    for (size_t i = 0; i < L2PT_L2CP_ADDRESSES; ++i) {
        const uint64_t t = s.frames[L2PT_L2CP_COUNTED_TUNNELLED][i];
        const uint64_t x = s.frames[L2PT_L2CP_COUNTED_DISCARDED][i];
        const uint64_t f = s.frames[L2PT_L2CP_COUNTED_FORWARDED][i];
        if (t == 0 && x == 0 && f == 0)
            continue;
        out[l2cpAddress(i)] = {{"tunnelled", t}, {"discarded", x}, {"forwarded", f}};
    }
    return out;
}

std::string className(size_t c) {
    return std::string(chassis::stormClassName(static_cast<chassis::StormClass>(c)));
}

Json frameCounts(const l2pt_port_stats& s, const l2pt_l2cp_stats& l2cp) {
    Json drops = Json::object();
    for (size_t r = 0; r < chassis::kDropReasons; ++r)
        drops[reasonName(r)] = s.drops[r];
    Json storm = Json::object();
    for (size_t c = 0; c < chassis::kStormClasses; ++c)
        storm[className(c)] = s.storm[c];
    return {{"rx", s.rx},
            {"trapped", s.trapped},
            {"forwarded", s.forwarded},
            {"tx", s.tx},
            {"pdu_tx", s.pdu_tx},
            {"learn_moves", s.learn_moves},
            {"not_learned", s.not_learned},
            {"dropped", std::move(drops)},
            {"storm_dropped", std::move(storm)},
            {"l2cp", l2cpCounts(l2cp)}};
}

// A port's policers as they are set: each storm class's limit (null: off), the PDU rate.
Json policing(const chassis::DataPlane& cards, uint32_t portIf) {
    const chassis::PortPolicing& p = cards.policing(portIf);
    Json storm = Json::object();
    for (size_t c = 0; c < chassis::kStormClasses; ++c) {
        const chassis::StormLimit& l = p.storm[c];
        storm[className(c)] = l.off() ? Json(nullptr) : Json{{"fps", l.fps}, {"kbps", l.kbps}};
    }
    return {{"storm", std::move(storm)}, {"pdu_rate", cards.pduRate(portIf)}};
}

std::string linkText(const port::PortState& s) {
    return s.ifindex == 0 ? "missing" : s.up() ? "up" : "down";
}

}  // namespace

Json counters(Daemon& d) {
    Json j{{"ports", Json::array()}, {"no_port", nullptr}, {"dropped", Json::object()}};
    std::array<uint64_t, chassis::kDropReasons> totals{};
    if (KernelDataPlane* dp = d.dataPlane()) {
        const auto stats = readout(dp->lineCards().portCounters());
        const port::PortTracker& links = dp->ports();
        for (size_t i = 0; i < links.size(); ++i) {
            const port::PortNetdev& names = links.names(i);
            if (names.netdev.empty())
                continue;
            const uint32_t portIf = d.chassis().ifdb().portAt(i);
            // By dense port index, the interfaces of no port last.
            const auto& c = stats.at(i);
            Json row = frameCounts(c.stats, c.l2cp);
            Json events = Json::object();
            for (size_t e = 0; e < port::kPortEvents; ++e) {
                const auto kind = static_cast<port::PortEvent>(e);
                events[std::string(port::portEventName(kind))] = links.count(i, kind);
            }
            const auto learning = readout(dp->lineCards().learning(portIf));
            row.update({{"learned", learning.count},
                        {"learn_limit", learning.limit},
                        {"past_limit", learning.drop ? "drop" : "forward"}});
            row.update({{"port", names.port},
                        {"netdev", names.netdev},
                        {"policing", policing(d.chassis().cards(), portIf)},
                        {"link", linkText(links.state(i))},
                        {"mtu", links.state(i).mtu},
                        {"link_events", std::move(events)}});
            j["ports"].push_back(std::move(row));
        }
        for (const auto& c : stats) {
            for (size_t r = 0; r < chassis::kDropReasons; ++r)
                totals[r] += c.stats.drops[r];
            if (c.ifIndex == 0)
                j["no_port"] = frameCounts(c.stats, c.l2cp);
        }
    }
    for (size_t r = 0; r < chassis::kDropReasons; ++r)
        j["dropped"][reasonName(r)] = totals[r];
    return j;
}

std::string countersText(const Json& j) {
    const auto drops = [](std::ostringstream& o, const Json& dropped) {
        for (const auto& [reason, n] : dropped.items()) {
            if (n.get<uint64_t>() != 0)
                o << " " << reason << " " << n;
        }
    };
    const auto frames = [&](std::ostringstream& o, const Json& p) {
        o << " rx " << p["rx"] << " trapped " << p["trapped"] << " forwarded " << p["forwarded"]
          << " tx " << p["tx"] << " pdu-tx " << p["pdu_tx"];
        drops(o, p["dropped"]);
    };
    std::ostringstream o;
    for (const auto& p : j["ports"]) {
        o << p["port"].get<std::string>() << " (" << p["netdev"].get<std::string>()
          << "): " << p["link"].get<std::string>();
        frames(o, p);
        o << " learned " << p["learned"] << "/" << p["learn_limit"] << " ("
          << p["past_limit"].get<std::string>() << " past it) moves " << p["learn_moves"]
          << " not-learned " << p["not_learned"];
        for (const auto& [event, n] : p["link_events"].items()) {
            if (n.get<uint64_t>() != 0)
                o << " " << event << " " << n;
        }
        // The storm limits set, and the drops of every class, limited now or not.
        for (const auto& [cls, limit] : p["policing"]["storm"].items()) {
            const uint64_t n = p["storm_dropped"][cls].get<uint64_t>();
            if (limit.is_null() && n == 0)
                continue;
            o << " storm " << cls;
            if (limit.is_null())
                o << " off";
            if (!limit.is_null() && limit["fps"].get<uint32_t>() != 0)
                o << " " << limit["fps"] << "/s";
            if (!limit.is_null() && limit["kbps"].get<uint32_t>() != 0)
                o << " " << limit["kbps"] << " Kbps";
            o << " dropped " << n;
        }
        // 0 is no limit, not none a second.
        if (const uint32_t rate = p["policing"]["pdu_rate"].get<uint32_t>(); rate == 0)
            o << " pdu-rate off\n";
        else
            o << " pdu-rate " << rate << "/s\n";
        for (const auto& [address, n] : p["l2cp"].items())
            o << "  l2cp " << address << ": tunnelled " << n["tunnelled"] << " discarded "
              << n["discarded"] << " forwarded " << n["forwarded"] << "\n";
    }
    if (!j["no_port"].is_null()) {
        o << "interfaces of no port:";
        frames(o, j["no_port"]);
        o << "\n";
    }
    o << "dropped:";
    for (size_t r = 0; r < chassis::kDropReasons; ++r)
        o << " " << reasonName(r) << " " << j["dropped"][reasonName(r)];
    o << "\n";
    return o.str();
}

Json agents(Daemon& d) {
    Json j{{"agents", Json::array()}};
    std::vector<linecard::EntryCounters> hits;
    if (KernelDataPlane* dp = d.dataPlane())
        hits = readout(dp->lineCards().entryCounters());
    const auto& db = d.chassis().ifdb();
    for (uint32_t slot = 0; slot < d.chassis().config().slots; ++slot) {
        const chassis::AclAgent* a = d.chassis().cards().agent(slot);
        if (a == nullptr)
            continue;
        Json entries = Json::array();
        for (const chassis::AclEntry& e : a->entries()) {
            const auto c = std::find_if(hits.begin(), hits.end(), [&](const auto& h) {
                return h.slot == slot && h.entry == e;
            });
            const pipeline::TrapCounters n =
                c == hits.end() ? pipeline::TrapCounters{} : c->counters;
            entries.push_back({{"port", e.ifIndex == 0 ? std::string("*") : db.name(e.ifIndex)},
                               {"mac", chassis::macText(e.mac)},
                               {"rate_kbps", e.rate},
                               {"installed", c == hits.end() || c->installed},
                               {"hits", n.hits},
                               {"policed", n.policed}});
        }
        const auto& st = a->stats();
        j["agents"].push_back({{"slot", slot},
                               {"present", a->present()},
                               {"registered", a->registered()},
                               {"entries", a->entries().size()},
                               {"applied", st.applied},
                               {"duplicates", st.duplicates},
                               {"gaps", st.gaps},
                               {"rejected", st.rejected},
                               {"expected_seq", a->expectedSeq()},
                               {"first_applied_us", st.firstAppliedUs},
                               {"last_applied_us", st.lastAppliedUs},
                               {"max_burst", st.maxBurst},
                               {"table", std::move(entries)}});
    }
    return j;
}

std::string agentsText(const Json& j) {
    std::ostringstream o;
    for (const auto& a : j["agents"]) {
        o << "slot " << a["slot"] << (a["present"].get<bool>() ? " present" : " absent")
          << (a["registered"].get<bool>() ? " registered" : " unregistered") << " entries "
          << a["entries"] << " applied " << a["applied"] << " duplicates " << a["duplicates"]
          << " gaps " << a["gaps"] << " rejected " << a["rejected"] << " next-seq "
          << a["expected_seq"] << "\n";
        for (const auto& e : a["table"]) {
            o << "  " << e["port"].get<std::string>() << " " << e["mac"].get<std::string>();
            if (e["rate_kbps"].get<uint32_t>() != 0)
                o << " rate " << e["rate_kbps"] << " Kbps";
            o << " hits " << e["hits"] << " policed " << e["policed"]
              << (e["installed"].get<bool>() ? "" : " not-installed (refused by the kernel)")
              << "\n";
        }
    }
    return o.str();
}

namespace {
constexpr int kVlanWidth = 6, kMacWidth = 19, kPortWidth = 10, kCountWidth = 9;
constexpr size_t kL2cpNameWidth = 12;

// A name in a column of its width, padded as it is shown (its control bytes escaped); a longer
// one (the chassis file's names have no bound) keeps a blank after it, so that it never runs
// into the next column.
std::string column(const std::string& name, size_t width) {
    const std::string shown = escapeControls(name);
    return shown + std::string(shown.size() < width ? width - shown.size() : 1, ' ');
}
}  // namespace

std::string macsHead(bool json) {
    if (json)
        return "{\"macs\":[";
    std::ostringstream o;
    o << std::left << std::setw(kVlanWidth) << "VLAN" << std::setw(kMacWidth) << "MAC"
      << std::setw(kPortWidth) << "PORT"
      << "AGE\n";
    return o.str();
}

std::string macsLines(Daemon& d, std::span<const linecard::MacEntry> macs, bool json, bool& first) {
    constexpr uint64_t kMsPerSecond = 1000;
    std::ostringstream o;
    for (const auto& m : macs) {
        const std::string port = d.chassis().ifdb().name(m.ifIndex);
        if (json) {
            o << (first ? "" : ",")
              << dump({{"vlan", m.vid},
                       {"mac", chassis::macText(m.mac)},
                       {"port", port},
                       {"age_ms", m.ageMs}});
        } else {
            o << std::left << std::setw(kVlanWidth) << m.vid << std::setw(kMacWidth)
              << chassis::macText(m.mac) << column(port, kPortWidth) << m.ageMs / kMsPerSecond
              << "s\n";
        }
        first = false;
    }
    return o.str();
}

Json learning(Daemon& d) {
    Json j{{"ports", Json::array()}, {"vlans", Json::array()}};
    KernelDataPlane* dp = d.dataPlane();
    if (dp == nullptr)
        return j;
    const chassis::IfDb& db = d.chassis().ifdb();
    auto& cards = dp->lineCards();
    const auto row = [](const linecard::LineCards::Learning& l) {
        return Json{{"learned", l.count}, {"limit", l.limit}};
    };
    for (size_t i = 0; i < db.portCount() + db.lagCount(); ++i) {
        const uint32_t ifIndex = i < db.portCount() ? db.portAt(i) : db.lagAt(i - db.portCount());
        const auto l = readout(cards.learning(ifIndex));
        Json r = row(l);
        r.update({{"port", db.name(ifIndex)}, {"past_limit", l.drop ? "drop" : "forward"}});
        j["ports"].push_back(std::move(r));
    }
    for (uint32_t vid = 0; vid <= L2PT_MAX_VID; ++vid) {
        const auto l = readout(cards.vlanLearning(vid));
        if (l.count == 0)
            continue;
        Json r = row(l);
        r["vlan"] = vid;
        j["vlans"].push_back(std::move(r));
    }
    return j;
}

std::string macsTail(Daemon& d, bool json) {
    const Json j = learning(d);
    if (json)
        return "],\"learning\":" + dump(j) + "}\n";
    std::ostringstream o;
    o << std::left << std::setw(kPortWidth) << "PORT" << std::setw(kCountWidth) << "LEARNED"
      << std::setw(kCountWidth) << "LIMIT"
      << "PAST LIMIT\n";
    for (const auto& p : j["ports"]) {
        o << column(p["port"].get<std::string>(), kPortWidth) << std::setw(kCountWidth)
          << p["learned"].get<uint32_t>() << std::setw(kCountWidth) << p["limit"].get<uint32_t>()
          << p["past_limit"].get<std::string>() << "\n";
    }
    o << std::setw(kVlanWidth) << "VLAN" << std::setw(kCountWidth) << "LEARNED"
      << "LIMIT\n";
    for (const auto& v : j["vlans"]) {
        o << std::setw(kVlanWidth) << v["vlan"].get<uint32_t>() << std::setw(kCountWidth)
          << v["learned"].get<uint32_t>() << v["limit"].get<uint32_t>() << "\n";
    }
    return o.str();
}

std::vector<std::string> showLines(std::span<const uint8_t> text) {
    const auto end = std::find(text.begin(), text.end(), 0);
    std::vector<std::string> lines;
    std::string line;
    for (auto it = text.begin(); it != end; ++it) {
        if (*it == '\r')
            continue;
        if (*it != '\n') {
            line += static_cast<char>(*it);
            continue;
        }
        if (!line.empty())
            lines.push_back(escapeControls(line, kTab));
        line.clear();
    }
    if (!line.empty())
        lines.push_back(escapeControls(line, kTab));
    return lines;
}

Json show(std::span<const std::string> lines, uint32_t result) {
    Json j{{"result", result}, {"vlans", Json::array()}};
    // A row: VLAN, protocols (comma-separated), rate in Kbps or '-', then its interfaces.
    for (const auto& line : lines) {
        auto w = wordsOf(line);
        const auto isRate = [](std::string_view s) {
            return s == kNoRate || ozm::shell::parseNumber(s).has_value();
        };
        if (w.size() >= 2 && (w.size() == 2 || !isRate(w[2]))) {
            // Protocols wider than their column run into the rate: "STP,LLDP,GVRP,PVST-".
            const size_t at = w[1].back() == kNoRate[0] ? w[1].size() - 1
                                                        : w[1].find_last_not_of("0123456789") + 1;
            if (at == 0 || at >= w[1].size())
                continue;
            w.insert(w.begin() + 2, w[1].substr(at));
            w[1].resize(at);
        }
        const auto vlan = w.size() >= 3 ? ozm::shell::parseNumber(w[0]) : std::nullopt;
        const auto rate = w.size() >= 3 ? ozm::shell::parseNumber(w[2]) : std::nullopt;
        if (!vlan || !isRate(w[2]))
            continue;  // the header, or a row the task cut short
        Json protocols = Json::array();
        for (std::string_view p = w[1]; !p.empty();) {
            const size_t comma = std::min(p.find(','), p.size());
            protocols.push_back(p.substr(0, comma));
            p.remove_prefix(std::min(comma + 1, p.size()));
        }
        j["vlans"].push_back({{"vlan", *vlan},
                              {"protocols", std::move(protocols)},
                              {"rate_kbps", rate ? Json(*rate) : Json(nullptr)},
                              {"ports", std::vector<std::string>(w.begin() + 3, w.end())}});
    }
    return j;
}

std::string showText(std::span<const std::string> lines, uint32_t result) {
    std::string out;
    for (const auto& l : lines)
        out += l + "\n";
    if (result != 0)
        out += "result " + std::to_string(result) +
               (result == kShowNoVlan        ? ": no such tunnelling VLAN"
                : result == kShowNoProtocols ? ": no protocols"
                                             : "") +
               "\n";
    return out;
}

Json l2cp(Daemon& d) {
    const auto& db = d.chassis().ifdb();
    Json defaults = Json::object();
    for (size_t i = 0; i < chassis::kL2cpAddresses; ++i)
        defaults[l2cpAddress(i)] =
            l2pt_l2cp_untrapped(L2PT_L2CP_DEFAULT, static_cast<uint32_t>(i)) == L2PT_L2CP_DISCARD
                ? "discard"
                : "forward";
    Json rows = Json::array();
    for (const auto& [key, row] : d.chassis().cards().l2cp().rows()) {
        Json actions = Json::object();
        for (size_t i = 0; i < chassis::kL2cpAddresses; ++i) {
            const auto a = chassis::L2cpTable::actionIn(row, i);
            if (a != chassis::L2cpAction::Default)
                actions[l2cpAddress(i)] = std::string(chassis::l2cpActionName(a));
        }
        rows.push_back({{"port", db.name(key.ifIndex)},
                        {"vlan", key.vid == chassis::kL2cpAnyVlan
                                     ? Json(nullptr)
                                     : Json(db.name(chassis::vlanIfIndex(key.vid)))},
                        {"actions", std::move(actions)}});
    }
    return {{"untrapped_default", std::move(defaults)}, {"rows", std::move(rows)}};
}

std::string l2cpText(const Json& j) {
    // Addresses by their last byte, grouped as the configuration reads them.
    const auto grouped = [](const Json& byAddress, std::string_view action) {
        uint32_t set = 0;
        for (size_t i = 0; i < chassis::kL2cpAddresses; ++i) {
            const auto it = byAddress.find(l2cpAddress(i));
            if (it != byAddress.end() && it->get<std::string>() == action)
                set |= 1u << i;
        }
        return set == 0 ? std::string() : chassis::l2cpAddressesText(set);
    };
    std::ostringstream o;
    o << "reserved addresses 01:80:c2:00:00:00-0f, 20-2f; where nothing is configured an entry "
         "traps, else discard "
      << grouped(j["untrapped_default"], "discard") << ", forward "
      << grouped(j["untrapped_default"], "forward") << "\n";
    if (j["rows"].empty()) {
        o << "nothing configured\n";
        return o.str();
    }
    o << column("PORT", kL2cpNameWidth) << column("VLAN", kL2cpNameWidth) << "ACTIONS\n";
    for (const auto& r : j["rows"]) {
        o << column(r["port"].get<std::string>(), kL2cpNameWidth)
          << column(r["vlan"].is_null() ? std::string("-") : r["vlan"].get<std::string>(),
                    kL2cpNameWidth);
        std::string actions;
        for (const char* a : {"tunnel", "discard", "forward"}) {
            const std::string set = grouped(r["actions"], a);
            if (!set.empty())
                actions += (actions.empty() ? "" : "  ") + std::string(a) + " " + set;
        }
        o << actions << "\n";
    }
    return o.str();
}

std::string dump(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace netp::render
