// The line cards' data plane in the kernel, as the chassis daemon runs it: the pipeline loaded,
// the line cards mirroring the chassis models into its tables, the ports' interfaces followed
// through rtnetlink with the pipeline attached to each, learned MACs aged, the pipeline's
// per-frame events read into the chassis trace. Made when the chassis has ports on Linux
// interfaces.
//
//   KernelDataPlane dp(chassis, loop, {info, warning, debug, onPort});  // std::runtime_error:
//   cannot run
//   ... after every pass of the loop:  dp.refresh();
//   ... a task takes the primary role: dp.lineCards().grant();
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "chassis/chassis.h"
#include "net/io/loop.h"
#include "net/linecard/line_cards.h"
#include "net/port/link_monitor.h"
#include "net/port/linux_port_ops.h"
#include "net/port/port_tracker.h"

namespace netp::pipeline {
class BpfTables;  // its libbpf headers clash with libpcap's
struct PinPlace;
}  // namespace netp::pipeline

namespace netp {

class KernelDataPlane {
  public:
    using Log = std::function<void(const std::string& line)>;
    struct Hooks {
        Log info;     // what is worth the operator's reading
        Log warning;  // what the operator should change (an MTU too small, at start)
        Log debug;    // libbpf's own messages
        // A port's interface changed (port: its dense index; ports() holds it now), after the
        // line cards took it in.
        port::PortTracker::Listener portChanged;
    };

    // Where the pipeline's maps are pinned and which build of it runs.
    struct Pinning {
        std::string bpffs = "/sys/fs/bpf";  // empty: nothing pinned
        std::string name;                   // the switch (pins.h)
        uint32_t variant = 0;               // a test build (abi.h)
    };

    // Loads the pipeline, adopting the maps pinned for the switch when they are of this build's
    // layout (migrating them otherwise), starts the line cards over it and follows the
    // interfaces from the loop. std::runtime_error when the kernel refuses the pipeline (the
    // text names the program and ends with the verifier's words), the chassis does not fit its
    // tables, rtnetlink cannot be opened, or another daemon holds the switch's pins.
    KernelDataPlane(chassis::Chassis& chassis, Loop& loop, Hooks hooks, Pinning pinning);
    // Leaves the pipeline attached and its maps pinned: the switch goes on forwarding by them
    // until a daemon adopts them (or l2pt-chassisd --remove takes them away).
    ~KernelDataPlane();
    KernelDataPlane(const KernelDataPlane&) = delete;
    KernelDataPlane& operator=(const KernelDataPlane&) = delete;
    // Whether cfg has a port on a Linux interface: a chassis with none runs on its models alone.
    static bool wanted(const chassis::ChassisConfig& cfg);

    linecard::LineCards& lineCards() { return *cards_; }
    const linecard::LineCards& lineCards() const { return *cards_; }
    // Every port of the chassis by dense index: its interface, ifindex and link state.
    const port::PortTracker& ports() const { return *tracker_; }

    // Brings the tables in line with the models: after every event they processed. The MACs
    // to forget then are forgotten a slice per loop pass.
    void refresh();
    // The primary task is ready: once it has had the time to install its entries, the trap
    // entries of adopted tables, or kept while it registered again with the agents, that it no
    // longer claims go (LineCards::settleTask).
    void taskReady();

  private:
    void readLinks();
    void sweepSoon();
    void detachFormerPorts();
    void refuseServedPorts(const std::vector<port::PortNetdev>& ports,
                           const pipeline::PinPlace& pins);

    Loop& loop_;
    Hooks hooks_;
    std::unique_ptr<pipeline::BpfTables> tables_;
    port::LinuxPortOps ops_;
    port::LinkMonitor links_;
    std::optional<port::PortTracker> tracker_;
    std::unique_ptr<linecard::LineCards> cards_;  // reads tracker_
    bool mtuChecked_ = false;  // once the interfaces as they are at start were read
    bool synced_ = false;      // the link monitor's first dump is in
    Clock::duration ageingCheck_;
    Loop::Timer ageing_;
    Loop::Timer notLearned_;           // the log of ports whose new sources were not learned
    Loop::Timer sweep_;                // the next slice of the learned MACs' sweep
    Loop::Timer settled_;              // the primary task's entries are in
    std::optional<uint16_t> readyAt_;  // the grant the primary was ready at, while it holds
};

}  // namespace netp
