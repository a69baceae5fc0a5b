#include "net/daemon/metrics.h"

#include <set>
#include <sstream>

#include "net/daemon/daemon.h"
#include "net/daemon/render.h"
#include "net/daemon/sessions.h"
#include "net/log/escape.h"
#include "platform/shell.h"

namespace netp {

namespace {

constexpr std::string_view kReadOnly = "read-only";
constexpr std::string_view kTaskDropPrefix = "l2ptDrop";

// Label values escape the backslash, the quote and the line feed; other control bytes are
// shown as their escape.
std::string escaped(std::string_view v) {
    std::string out;
    for (char c : escapeControls(v, "\n")) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

using Type = PromText::Type;

// A family of one sample per port and item of the port's object `field`, labelled `label`.
void perPortItems(PromText& m, const render::Json& counters, const char* field, const char* label) {
    for (const auto& p : counters["ports"]) {
        for (const auto& [item, n] : p[field].items())
            m.sample({{"port", p["port"].get<std::string>()}, {label, item}}, n.get<uint64_t>());
    }
}

// The pipeline's counters as l2ptctl counters shows them.
void ports(PromText& m, const render::Json& counters) {
    m.family("l2pt_port_frames_total", Type::Counter,
             "Frames per port: received from the wire, trapped to the task, forwarded as data, "
             "sent (the task's PDUs among them)");
    for (const auto& p : counters["ports"]) {
        for (const char* what : {"rx", "trapped", "forwarded", "tx", "pdu_tx"}) {
            m.sample({{"port", p["port"].get<std::string>()},
                      {"netdev", p["netdev"].get<std::string>()},
                      {"counter", what}},
                     p[what].get<uint64_t>());
        }
    }
    m.family("l2pt_port_drops_total", Type::Counter, "Frames the pipeline dropped at a port");
    perPortItems(m, counters, "dropped", "reason");
    m.family("l2pt_port_storm_drops_total", Type::Counter,
             "Flooded frames a port's storm control dropped, by class");
    perPortItems(m, counters, "storm_dropped", "class");
    m.family("l2pt_port_storm_limit", Type::Gauge,
             "A port's storm-control limit by class, in frames a second and Kbps (0: none)");
    for (const auto& p : counters["ports"]) {
        for (const auto& [cls, limit] : p["policing"]["storm"].items()) {
            for (const char* unit : {"fps", "kbps"})
                m.sample({{"port", p["port"].get<std::string>()}, {"class", cls}, {"unit", unit}},
                         limit.is_null() ? 0 : limit[unit].get<uint64_t>());
        }
    }
    m.family("l2pt_port_l2cp_frames_total", Type::Counter,
             "Frames to a reserved address (01:80:c2:00:00:00-0f, -20-2f) per port: trapped by "
             "an entry (tunnelled), discarded, forwarded as data; addresses that saw any");
    for (const auto& p : counters["ports"]) {
        for (const auto& [address, n] : p["l2cp"].items()) {
            for (const char* what : {"tunnelled", "discarded", "forwarded"})
                m.sample({{"port", p["port"].get<std::string>()},
                          {"address", address},
                          {"action", what}},
                         n[what].get<uint64_t>());
        }
    }
    m.family("l2pt_port_pdu_rate", Type::Gauge,
             "The PDUs a second a port may have trapped (0: no limit)");
    for (const auto& p : counters["ports"])
        m.sample({{"port", p["port"].get<std::string>()}},
                 p["policing"]["pdu_rate"].get<uint64_t>());
    m.family("l2pt_port_link_events_total", Type::Counter,
             "Changes of a port's interface: appeared, removed, renamed away, down, up, MTU, "
             "failed attachments of the pipeline");
    perPortItems(m, counters, "link_events", "event");
    m.family("l2pt_dataplane_drops_total", Type::Counter,
             "Frames the pipeline dropped, every port and interfaces of none");
    for (const auto& [reason, n] : counters["dropped"].items())
        m.sample({{"reason", reason}}, n.get<uint64_t>());
}

// Learning: what each port, LAG and VLAN holds against its limit, and each port's moves and new
// sources not learned.
void learning(PromText& m, const render::Json& counters, const render::Json& learning) {
    m.family("l2pt_learned_macs", Type::Gauge, "Learned MACs a port, LAG or VLAN holds");
    for (const auto& p : learning["ports"])
        m.sample({{"port", p["port"].get<std::string>()}}, p["learned"].get<uint64_t>());
    for (const auto& v : learning["vlans"])
        m.sample({{"vlan", std::to_string(v["vlan"].get<uint32_t>())}},
                 v["learned"].get<uint64_t>());
    m.family("l2pt_learn_limit", Type::Gauge, "Learned MACs a port, LAG or VLAN may hold");
    for (const auto& p : learning["ports"])
        m.sample({{"port", p["port"].get<std::string>()}}, p["limit"].get<uint64_t>());
    for (const auto& v : learning["vlans"])
        m.sample({{"vlan", std::to_string(v["vlan"].get<uint32_t>())}}, v["limit"].get<uint64_t>());
    for (const char* what : {"learn_moves", "not_learned"}) {
        m.family(std::string("l2pt_port_") + what + "_total", Type::Counter,
                 std::string(what) == "learn_moves"
                     ? "Sources learned on another port or LAG before, moved to a port's"
                     : "New sources entering a port that were not learned: a limit, a full table");
        for (const auto& p : counters["ports"])
            m.sample({{"port", p["port"].get<std::string>()}}, p[what].get<uint64_t>());
    }
}

void agents(PromText& m, Daemon& d) {
    m.family("l2pt_agent_up", Type::Gauge, "A line card's ACL agent: present and registered");
    for (uint32_t slot = 0; slot < d.chassis().config().slots; ++slot) {
        if (const auto* a = d.chassis().cards().agent(slot)) {
            m.sample({{"slot", std::to_string(slot)}, {"state", "present"}}, a->present());
            m.sample({{"slot", std::to_string(slot)}, {"state", "registered"}}, a->registered());
        }
    }
    m.family("l2pt_agent_entries", Type::Gauge, "ACL entries a line card's agent holds");
    for (uint32_t slot = 0; slot < d.chassis().config().slots; ++slot) {
        if (const auto* a = d.chassis().cards().agent(slot))
            m.sample({{"slot", std::to_string(slot)}}, a->entries().size());
    }
}

// Each installed entry's frames in the pipeline, as l2ptctl agents shows them.
void entries(PromText& m, const render::Json& agents) {
    for (const char* what : {"hits", "policed"}) {
        m.family(std::string("l2pt_entry_") + what + "_total", Type::Counter,
                 std::string(what) == "hits"
                     ? "Frames that matched an installed entry, policed ones included"
                     : "Frames an entry's policer dropped");
        for (const auto& a : agents["agents"]) {
            for (const auto& e : a["table"])
                m.sample({{"slot", std::to_string(a["slot"].get<uint32_t>())},
                          {"port", e["port"].get<std::string>()},
                          {"mac", e["mac"].get<std::string>()}},
                         e[what].get<uint64_t>());
        }
    }
}

// The task's read-only shell variables, "NAME = VALUE read-only" lines: its drop counters by
// reason, and any other counter by name. A name given twice is taken once, as first given: a
// collector refuses a scrape with a series twice in it.
void taskCounters(PromText& m, std::string_view vars) {
    std::istringstream in{std::string(vars)};
    std::vector<std::pair<std::string, uint64_t>> drops;
    std::vector<std::pair<std::string, uint64_t>> others;
    std::set<std::string> seen;
    for (std::string name, eq, value, kind; in >> name >> eq >> value >> kind;) {
        const auto v = ozm::shell::parseNumber(value);
        if (kind == kReadOnly && v && seen.insert(name).second)
            (name.starts_with(kTaskDropPrefix) ? drops : others).emplace_back(name, *v);
        if (kind != kReadOnly)
            in >> value;  // "range LO..HI"
    }
    m.family("l2pt_task_drops_total", Type::Counter, "PDUs the primary task dropped, by reason");
    for (const auto& [name, v] : drops)
        m.sample({{"reason", name.substr(kTaskDropPrefix.size())}}, v);
    m.family("l2pt_task_counter", Type::Counter, "The primary task's other read-only counters");
    for (const auto& [name, v] : others)
        m.sample({{"name", name}}, v);
}

}  // namespace

void PromText::family(std::string_view name, Type type, std::string_view help) {
    name_ = name;
    text_ += "# HELP " + name_ + " " + std::string(help) + "\n# TYPE " + name_ +
             (type == Type::Counter ? " counter\n" : " gauge\n");
}

void PromText::sample(const Labels& labels, uint64_t value) {
    text_ += name_;
    for (size_t i = 0; i < labels.size(); ++i)
        text_ += (i ? "," : "{") + std::string(labels[i].first) + "=\"" +
                 escaped(labels[i].second) + "\"";
    text_ += (labels.empty() ? " " : "} ") + std::to_string(value) + "\n";
}

std::string renderMetrics(Daemon& d, std::optional<std::string_view> taskVars) {
    PromText m;
    const render::Json counters = render::counters(d);
    ports(m, counters);
    learning(m, counters, render::learning(d));
    agents(m, d);
    entries(m, render::agents(d));
    m.family("l2pt_task_sessions", Type::Gauge, "Task sessions by role, ready or starting");
    for (const auto& [id, s] : d.sessions().all())
        m.sample({{"session", std::to_string(id)}, {"role", s.primary ? "primary" : "secondary"}},
                 s.ready);
    m.family("l2pt_task_counters_up", Type::Gauge,
             "Whether the primary task answered for its counters");
    m.sample({}, taskVars.has_value());
    if (taskVars)
        taskCounters(m, *taskVars);
    return m.text();
}

}  // namespace netp
