#include "net/daemon/metrics.h"

#include <sstream>

#include "net/daemon/daemon.h"
#include "net/daemon/sessions.h"
#include "platform/shell.h"

namespace netp {

namespace {

constexpr std::string_view kReadOnly = "read-only";
constexpr std::string_view kTaskDropPrefix = "l2ptDrop";

// Label values escape the backslash, the quote and the line feed.
std::string escaped(std::string_view v) {
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

using Type = PromText::Type;

void ports(PromText& m, Daemon& d) {
    const auto& dp = d.chassis().cards();
    m.family("l2pt_port_frames_total", Type::Counter,
             "Frames per port: received and trapped by the data plane, sent, refused by the "
             "interface, provider tags removed on the way out");
    for (const auto& p : d.ports()) {
        const auto& k = dp.counters(p.ifIndex);
        const std::string name = d.chassis().ifdb().name(p.ifIndex);
        for (const auto& [what, n] : {std::pair{"rx", k.rxFrames},
                                      {"trapped", k.trapped},
                                      {"tx", k.txFrames},
                                      {"tx_errors", p.counters.txErrors},
                                      {"tags_removed", p.counters.tagsRemoved}}) {
            m.sample({{"port", name}, {"netdev", p.netdev}, {"counter", what}}, n);
        }
    }
    m.family("l2pt_port_drops_total", Type::Counter, "Frames a port's data plane dropped");
    for (const auto& p : d.ports()) {
        const auto& k = dp.counters(p.ifIndex);
        for (size_t r = 0; r < chassis::kDropReasons; ++r)
            m.sample({{"port", d.chassis().ifdb().name(p.ifIndex)},
                      {"reason",
                       std::string(chassis::dropReasonName(static_cast<chassis::DropReason>(r)))}},
                     k.drops[r]);
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

// The task's read-only shell variables, "NAME = VALUE read-only" lines: its drop counters by
// reason, and any other counter by name.
void taskCounters(PromText& m, std::string_view vars) {
    std::istringstream in{std::string(vars)};
    std::vector<std::pair<std::string, uint64_t>> drops;
    std::vector<std::pair<std::string, uint64_t>> others;
    for (std::string name, eq, value, kind; in >> name >> eq >> value >> kind;) {
        const auto v = ozm::shell::parseNumber(value);
        if (kind == kReadOnly && v)
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
    ports(m, d);
    m.family("l2pt_dataplane_drops_total", Type::Counter, "Frames the data plane dropped");
    for (size_t r = 0; r < chassis::kDropReasons; ++r)
        m.sample(
            {{"reason", std::string(chassis::dropReasonName(static_cast<chassis::DropReason>(r)))}},
            d.chassis().cards().dropTotals()[r]);
    agents(m, d);
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
