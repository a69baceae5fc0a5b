#include "net/port/port_tracker.h"

#include <net/if.h>

#include <stdexcept>
#include <utility>

namespace netp::port {

namespace {

constexpr std::array<std::string_view, kPortEvents> kEventNames = {
    "appeared", "removed", "renamed_away", "down", "up", "mtu", "attach_failed"};

std::string upText(const PortState& s) {
    if (s.up())
        return "up";
    return s.adminUp ? "down (no carrier)" : "down (admin down)";
}

// "mtu 1500, up"
std::string stateText(const PortState& s) {
    return "mtu " + std::to_string(s.mtu) + ", " + upText(s);
}

}  // namespace

std::string_view portEventName(PortEvent kind) {
    return kEventNames[static_cast<size_t>(kind)];
}

PortTracker::PortTracker(std::vector<PortNetdev> ports, PortOps& ops, TcPrograms programs,
                         Listener listener, Log log)
    : ops_(ops), programs_(programs), listener_(std::move(listener)), log_(std::move(log)) {
    ports_.reserve(ports.size());
    for (PortNetdev& p : ports) {
        if (p.netdev.size() >= IFNAMSIZ)
            throw std::invalid_argument("port " + p.port + ": '" + p.netdev +
                                        "' is no interface name");
        if (p.netdev.empty()) {
            ports_.push_back(Port{.names = std::move(p)});
            continue;
        }
        auto [it, fresh] = byName_.emplace(p.netdev, ports_.size());
        if (!fresh)
            throw std::invalid_argument("ports " + ports_[it->second].names.port + " and " +
                                        p.port + " both stand for " + p.netdev);
        ports_.push_back(Port{.names = std::move(p)});
    }
}

std::optional<size_t> PortTracker::portOf(uint32_t ifindex) const {
    auto it = byIfindex_.find(ifindex);
    return it == byIfindex_.end() ? std::nullopt : std::optional(it->second);
}

std::optional<size_t> PortTracker::portNamed(const std::string& name) const {
    auto it = byName_.find(name);
    return it == byName_.end() ? std::nullopt : std::optional(it->second);
}

void PortTracker::handle(std::span<const LinkEvent> events) {
    for (const LinkEvent& e : events)
        take(e);
    attachGained();
}

void PortTracker::handle(const LinkEvent& e) {
    handle(std::span(&e, 1));
}

void PortTracker::take(const LinkEvent& e) {
    const std::optional<size_t> bound =
        e.change == LinkChange::Synced ? std::nullopt : portOf(e.link.ifindex);
    switch (e.change) {
        case LinkChange::Added:
        case LinkChange::Changed:
            if (bound && e.link.name == ports_[*bound].names.netdev) {
                update(*bound, e.link);
                return;
            }
            if (bound)
                lose(*bound, PortEvent::RenamedAway, "interface renamed " + e.link.name);
            if (auto p = portNamed(e.link.name)) {
                std::string how;
                if (e.change == LinkChange::Changed && e.before.name != e.link.name)
                    how = "interface " + e.before.name + " (ifindex " +
                          std::to_string(e.link.ifindex) + ") renamed " + e.link.name + ", ";
                else if (synced_)
                    how = std::string(ports_[*p].hadInterface ? "interface created again"
                                                              : "interface appeared") +
                          " as ifindex " + std::to_string(e.link.ifindex) + ", ";
                else
                    how = "ifindex " + std::to_string(e.link.ifindex) + ", ";
                gain(*p, e.link, how);
            } else if (!bound) {
                ++ignored_;
            }
            return;
        case LinkChange::Removed:
            if (bound)
                lose(*bound, PortEvent::Removed, "interface removed");
            else
                ++ignored_;
            return;
        case LinkChange::Synced:
            if (synced_)
                return;
            synced_ = true;
            attachGained();
            for (const Port& port : ports_) {
                if (port.state.ifindex == 0 && !port.names.netdev.empty())
                    log_("port " + port.names.port + ": interface " + port.names.netdev +
                         " missing; attached when it appears");
            }
            return;
    }
}

void PortTracker::gain(size_t p, const Link& link, const std::string& how) {
    Port& port = ports_[p];
    const PortState was = port.state;
    if (was.ifindex != 0)
        byIfindex_.erase(was.ifindex);  // gone: its removal is still to be reported
    // A pipeline of ours there already (a previous daemon's) carries its frames until the
    // attach replaces it.
    port.state = {link.ifindex, link.mtu, link.adminUp, link.carrier, ops_.holds(link.ifindex)};
    port.hadInterface = true;
    byIfindex_[link.ifindex] = p;
    bump(p, PortEvent::Appeared);
    // Bound first (the listener writes the tables), attached with the rest of the batch.
    changed(p, was);
    gained_.push_back({p, link.ifindex, prefix(p) + how + stateText(port.state)});
}

// A program attached meets every frame at once: each interface of a batch (the dump at start
// above all) is bound in the tables before any of them gets the pipeline, so that no frame
// finds a port of the tables without its interface.
void PortTracker::attachGained() {
    for (const Gained& g : std::exchange(gained_, {})) {
        const PortState was = ports_[g.port].state;
        if (was.ifindex != g.ifindex)
            continue;  // lost within the batch
        log_(g.line + ", " + attach(g.port));
        if (ports_[g.port].state.attached != was.attached)
            changed(g.port, was);
    }
}

void PortTracker::lose(size_t p, PortEvent kind, const std::string& how) {
    Port& port = ports_[p];
    std::string line = prefix(p) + how;
    if (kind == PortEvent::RenamedAway && port.state.attached) {
        const OpStatus st = ops_.detach(port.state.ifindex);
        line += st.ok() ? ", detached" : "; detach failed: " + st.text();
    }
    byIfindex_.erase(port.state.ifindex);
    const PortState was = std::exchange(port.state, {});
    bump(p, kind);
    log_(line);
    changed(p, was);
}

void PortTracker::update(size_t p, const Link& link) {
    PortState& s = ports_[p].state;
    const PortState before = s;
    if (link.mtu != s.mtu) {
        log_(prefix(p) + "mtu " + std::to_string(s.mtu) + " -> " + std::to_string(link.mtu));
        bump(p, PortEvent::Mtu);
        s.mtu = link.mtu;
    }
    if (link.adminUp != s.adminUp || link.carrier != s.carrier) {
        const bool wasUp = s.up();
        s.adminUp = link.adminUp;
        s.carrier = link.carrier;
        if (s.up() != wasUp)
            bump(p, s.up() ? PortEvent::Up : PortEvent::Down);
        log_(prefix(p) + upText(s));
    }
    if (!s.attached)
        log_(prefix(p) + attach(p));
    if (s != before)
        changed(p, before);
}

std::string PortTracker::attach(size_t p) {
    PortState& s = ports_[p].state;
    const OpStatus st = ops_.attach(s.ifindex, programs_);
    s.attached = st.ok();
    if (st.ok())
        return "attached";
    bump(p, PortEvent::AttachFailed);
    return "attach failed: " + st.text() + "; tried again later and when the interface changes";
}

void PortTracker::retryFailedAttaches() {
    for (size_t p = 0; p < ports_.size(); ++p) {
        const PortState before = ports_[p].state;
        if (before.ifindex == 0 || before.attached)
            continue;
        log_(prefix(p) + attach(p));
        if (ports_[p].state != before)
            changed(p, before);
    }
}

void PortTracker::changed(size_t p, const PortState& was) {
    if (listener_)
        listener_(p, was);
}

std::string PortTracker::prefix(size_t p) const {
    return "port " + ports_[p].names.port + " (" + ports_[p].names.netdev + "): ";
}

}  // namespace netp::port
