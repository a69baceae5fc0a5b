#include "net/daemon/render.h"

#include <algorithm>
#include <sstream>

#include "chassis/trace.h"
#include "net/daemon/daemon.h"
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

Json counters(Daemon& d) {
    const auto& dp = d.chassis().cards();
    Json j{{"ports", Json::array()}, {"dropped", Json::object()}};
    for (const auto& port : d.ports()) {
        const auto& k = dp.counters(port.ifIndex);
        Json drops = Json::object();
        for (size_t r = 0; r < chassis::kDropReasons; ++r)
            drops[reasonName(r)] = k.drops[r];
        j["ports"].push_back({{"port", d.chassis().ifdb().name(port.ifIndex)},
                              {"netdev", port.netdev},
                              {"rx", k.rxFrames},
                              {"trapped", k.trapped},
                              {"tx", k.txFrames},
                              {"tx_errors", port.counters.txErrors},
                              {"tags_removed", port.counters.tagsRemoved},
                              {"dropped", std::move(drops)}});
    }
    for (size_t r = 0; r < chassis::kDropReasons; ++r)
        j["dropped"][reasonName(r)] = dp.dropTotals()[r];
    return j;
}

std::string countersText(const Json& j) {
    std::ostringstream o;
    for (const auto& p : j["ports"]) {
        o << p["port"].get<std::string>() << " (" << p["netdev"].get<std::string>() << "): rx "
          << p["rx"] << " trapped " << p["trapped"] << " tx " << p["tx"] << " tx-errors "
          << p["tx_errors"] << " tags-removed " << p["tags_removed"];
        for (const auto& [reason, n] : p["dropped"].items()) {
            if (n.get<uint64_t>() != 0)
                o << " " << reason << " " << n;
        }
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
    for (uint32_t slot = 0; slot < d.chassis().config().slots; ++slot) {
        const chassis::AclAgent* a = d.chassis().cards().agent(slot);
        if (a == nullptr)
            continue;
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
                               {"max_burst", st.maxBurst}});
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
