// The chassis daemon's ports on Linux interfaces, and the one place that holds each port's
// interface, ifindex and link state: each port with a netdev follows the interface of that
// name through the link monitor's events. An interface that appears (at start or later,
// created or renamed to the name) gets the pipeline attached; one removed or renamed away
// leaves its port without an interface. Every change is logged in one line, counted per port
// and kind, and told to a listener, which reads the state now through state().
//
//   PortTracker ports({{"ge0/1", "acc1"}, {"ge0/2", ""}, {"te1/0", "core0"}}, ops, programs,
//                     [&](size_t port, const PortState& was) { ... ports.state(port) ... },
//                     [&](const std::string& line) { log(line); });
//   ports.handle(links.read());
//
// A failed attach is logged with the kernel's error and tried again at the next change of the
// interface. No descriptor of an interface is kept: a port holds its ifindex only.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "net/port/link.h"
#include "net/port/port_ops.h"

namespace netp::port {

struct PortNetdev {
    std::string port;    // the chassis port, "ge0/1"
    std::string netdev;  // the Linux interface it stands for; empty: none
};

struct PortState {
    uint32_t ifindex = 0;  // 0: no interface
    uint32_t mtu = 0;
    bool adminUp = false;
    bool carrier = false;
    bool attached = false;  // the pipeline's programs are on it
    // Carries traffic: has an interface, up and with carrier.
    bool up() const { return ifindex != 0 && adminUp && carrier; }
    bool operator==(const PortState&) const = default;
};

// What happened to a port, for its counters.
enum class PortEvent : uint8_t {
    Appeared,  // got an interface: found at start, created, renamed to the port's name
    Removed,
    RenamedAway,
    Down,
    Up,
    Mtu,
    AttachFailed,
};
inline constexpr size_t kPortEvents = static_cast<size_t>(PortEvent::AttachFailed) + 1;
// "appeared", "removed", ... for counters and metrics.
std::string_view portEventName(PortEvent kind);

class PortTracker {
  public:
    // After every change of a port's state, with the state before it.
    using Listener = std::function<void(size_t port, const PortState& was)>;
    using Log = std::function<void(const std::string& line)>;

    // Ports by position in ports (the chassis daemon: dense port index); std::invalid_argument
    // when two name the same interface or a name is no interface name.
    PortTracker(std::vector<PortNetdev> ports, PortOps& ops, TcPrograms programs, Listener listener,
                Log log);

    void handle(const LinkEvent& event);
    void handle(std::span<const LinkEvent> events);
    // Attaches again where an attach failed (a transient refusal of the kernel): the owner
    // calls it now and then, besides the interface's next change.
    void retryFailedAttaches();

    size_t size() const { return ports_.size(); }
    const PortNetdev& names(size_t port) const { return ports_[port].names; }
    const PortState& state(size_t port) const { return ports_[port].state; }
    uint64_t count(size_t port, PortEvent kind) const {
        return ports_[port].counts[static_cast<size_t>(kind)];
    }
    // The port whose interface ifindex is.
    std::optional<size_t> portOf(uint32_t ifindex) const;
    // Events of interfaces that stand for no port.
    uint64_t ignored() const { return ignored_; }

  private:
    struct Port {
        PortNetdev names;
        PortState state{};
        std::array<uint64_t, kPortEvents> counts{};
        bool hadInterface = false;
    };
    struct Gained {
        size_t port;
        uint32_t ifindex;
        std::string line;  // its log line, finished by the attach's outcome
    };
    std::optional<size_t> portNamed(const std::string& name) const;
    void take(const LinkEvent& event);
    void attachGained();
    void gain(size_t p, const Link& link, const std::string& how);
    void lose(size_t p, PortEvent kind, const std::string& how);
    void update(size_t p, const Link& link);
    // Attaches the pipeline at the port's interface; the outcome in words for its log line.
    std::string attach(size_t p);
    void changed(size_t p, const PortState& was);
    std::string prefix(size_t p) const;
    void bump(size_t p, PortEvent kind) { ++ports_[p].counts[static_cast<size_t>(kind)]; }

    std::vector<Port> ports_;
    PortOps& ops_;
    TcPrograms programs_;
    Listener listener_;
    Log log_;
    std::unordered_map<std::string, size_t> byName_;
    std::unordered_map<uint32_t, size_t> byIfindex_;
    std::vector<Gained> gained_;  // interfaces of this batch to attach
    bool synced_ = false;
    uint64_t ignored_ = 0;
};

}  // namespace netp::port
