#include "net/daemon/render.h"

#include <algorithm>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "chassis/trace.h"
#include "net/daemon/daemon.h"
#include "net/daemon/kernel_dataplane.h"
#include "net/daemon/sessions.h"
#include "platform/shell.h"

namespace netp::render {

namespace {

constexpr uint32_t kShowNoVlan = 4;
constexpr uint32_t kShowNoProtocols = 6;
constexpr std::string_view kNoRate = "-";

std::string reasonName(size_t r) {
    return std::string(chassis::dropReasonName(static_cast<chassis::DropReason>(r)));
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
    for (const auto& port : d.ports())
        j["ports"].push_back(
            {{"port", d.chassis().ifdb().name(port.ifIndex)}, {"netdev", port.netdev}});
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

std::string className(size_t c) {
    return std::string(chassis::stormClassName(static_cast<chassis::StormClass>(c)));
}

Json frameCounts(const l2pt_port_stats& s) {
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
            {"dropped", std::move(drops)},
            {"storm_dropped", std::move(storm)}};
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
        for (size_t i = 0; i < d.ports().size(); ++i) {
            const Port& port = d.ports()[i];
            // By dense port index, the interfaces of no port last.
            const int dense = d.chassis().ifdb().portIndex(port.ifIndex);
            Json row = frameCounts(stats.at(static_cast<size_t>(dense)).stats);
            Json events = Json::object();
            for (size_t e = 0; e < port::kPortEvents; ++e) {
                const auto kind = static_cast<port::PortEvent>(e);
                events[std::string(port::portEventName(kind))] = links.count(i, kind);
            }
            row.update({{"port", d.chassis().ifdb().name(port.ifIndex)},
                        {"netdev", port.netdev},
                        {"policing", policing(d.chassis().cards(), port.ifIndex)},
                        {"link", linkText(links.state(i))},
                        {"mtu", links.state(i).mtu},
                        {"link_events", std::move(events)}});
            j["ports"].push_back(std::move(row));
        }
        for (const auto& c : stats) {
            for (size_t r = 0; r < chassis::kDropReasons; ++r)
                totals[r] += c.stats.drops[r];
            if (c.ifIndex == 0)
                j["no_port"] = frameCounts(c.stats);
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
        o << " pdu-rate " << p["policing"]["pdu_rate"] << "/s\n";
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
            o << " hits " << e["hits"] << " policed " << e["policed"] << "\n";
        }
    }
    return o.str();
}

Json macs(Daemon& d) {
    Json j{{"macs", Json::array()}};
    if (KernelDataPlane* dp = d.dataPlane()) {
        auto learned = readout(dp->lineCards().learnedMacs());
        std::sort(learned.begin(), learned.end(), [](const auto& a, const auto& b) {
            return std::tie(a.vid, a.mac) < std::tie(b.vid, b.mac);
        });
        for (const auto& m : learned)
            j["macs"].push_back({{"vlan", m.vid},
                                 {"mac", chassis::macText(m.mac)},
                                 {"port", d.chassis().ifdb().name(m.ifIndex)},
                                 {"age_ms", m.ageMs}});
    }
    return j;
}

std::string macsText(const Json& j) {
    constexpr uint64_t kMsPerSecond = 1000;
    constexpr int kVlanWidth = 6, kMacWidth = 19, kPortWidth = 10;
    std::ostringstream o;
    o << std::left << std::setw(kVlanWidth) << "VLAN" << std::setw(kMacWidth) << "MAC"
      << std::setw(kPortWidth) << "PORT"
      << "AGE\n";
    for (const auto& m : j["macs"]) {
        o << std::setw(kVlanWidth) << m["vlan"].get<uint32_t>() << std::setw(kMacWidth)
          << m["mac"].get<std::string>() << std::setw(kPortWidth) << m["port"].get<std::string>()
          << m["age_ms"].get<uint64_t>() / kMsPerSecond << "s\n";
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
            lines.push_back(std::move(line));
        line.clear();
    }
    if (!line.empty())
        lines.push_back(std::move(line));
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

std::string dump(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace netp::render
