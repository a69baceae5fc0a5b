// A simulated switch running the tunnelling task, for the task's tests and benchmarks.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "chassis/sim_switch.h"
#include "platform/symbols.h"
#include "platform/wire/l2pt.h"
#include "task/task_main.h"

namespace tsim {

// The chassis most task tests run on: per-port agents in slot 0 (ge0/0-7, 1G, type 1) and
// slot 1 (te1/0-3, 10G, type 2), a global agent in slot 2 (ge2/0-3), slot 3 absent (ge3/0-1);
// lag1, lag2 without members; VLANs vl10-vl200 and vl4000 (ids as named); a lone primary RPM.
inline constexpr const char* kChassis = R"(
chassis: {name: test, slots: 12}
rpm: {role: primary, master_slot: 0, peer: none}
card_types:
  - {id: 1, name: 8x1G, ten_gig: false}
  - {id: 2, name: 4x10G, ten_gig: true}
line_cards:
  - slot: 0
    type: 1
    agent: per-port
    ports: [{range: 0-7, name: "ge0/{n}", long_name: "GigEthernet 0/{n}", unit: 0, pipe: 0}]
  - slot: 1
    type: 2
    agent: per-port
    ports: [{range: 0-3, name: "te1/{n}", long_name: "TenGigEthernet 1/{n}", unit: 1, pipe: 0}]
  - slot: 2
    type: 1
    agent: global
    ports: [{range: 0-3, name: "ge2/{n}", long_name: "GigEthernet 2/{n}", unit: 2, pipe: 0}]
  - slot: 3
    type: 1
    present: false
    ports: [{range: 0-1, name: "ge3/{n}", long_name: "GigEthernet 3/{n}", unit: 3, pipe: 0}]
lags:
  - {number: 1, name: lag1, long_name: "Port-channel 1"}
  - {number: 2, name: lag2, long_name: "Port-channel 2"}
vlans:
  - {id: 10, name: vl10, long_name: "Vlan 10"}
  - {id: 20, name: vl20, long_name: "Vlan 20"}
  - {id: 30, name: vl30, long_name: "Vlan 30"}
  - {id: 100, name: vl100, long_name: "Vlan 100"}
  - {id: 200, name: vl200, long_name: "Vlan 200"}
  - {id: 4000, name: vl4000, long_name: "Vlan 4000"}
)";

// Builds the chassis, starts the task (debug: its debug lines on) and runs it until it waits; the
// switch lasts as long as the process, its agents keeping the ACL downloads they apply.
inline chassis::SimSwitch& boot(std::string_view yaml = kChassis, bool debug = false) {
    // The task keeps its configuration in process-wide tables, as a process of its own would:
    // one switch per process, kept until the process ends.
    static std::unique_ptr<chassis::SimSwitch> sim;
    if (sim) {
        throw std::logic_error(
            "the task runs once per process: run each test in its own process, as ctest does");
    }
    sim = std::make_unique<chassis::SimSwitch>(chassis::loadChassisText(yaml));
    for (const auto& card : sim->chassis().config().lineCards)
        sim->agent(card.slot).setRecordDownloads(true);
    if (debug)
        ozm::sym::set("l2pt_debug_cp", 1);
    sim->start(l2ptTaskMain);
    sim->settle();
    return *sim;
}

struct PortSpec {
    std::string name;
    bool core = false;
};
inline PortSpec access(std::string name) {
    return {std::move(name), false};
}
inline PortSpec core(std::string name) {
    return {std::move(name), true};
}

// One VLAN block of a VLAN port message, by names.
inline chassis::Ifm::VlanBlock block(chassis::SimSwitch& sim, std::string_view vlan,
                                     uint8_t protocols, const std::vector<PortSpec>& ports,
                                     uint16_t rate = 0) {
    chassis::Ifm::VlanBlock b;
    b.vlanIf = sim.ifIndex(vlan);
    b.protocols = protocols;
    b.rate = rate;
    for (const PortSpec& port : ports)
        b.ports.push_back({sim.ifIndex(port.name), port.core ? vlanmsg::kModeCorePort : 0});
    return b;
}

// IFM adds, deletes or disables ports of one VLAN; the task handles it before this returns.
inline void vlanAdd(chassis::SimSwitch& sim, std::string_view vlan, uint8_t protocols,
                    const std::vector<PortSpec>& ports, uint16_t rate = 0) {
    sim.ifm().vlanAdd({block(sim, vlan, protocols, ports, rate)});
    sim.settle();
}

inline void vlanDel(chassis::SimSwitch& sim, std::string_view vlan, uint8_t protocols,
                    const std::vector<PortSpec>& ports) {
    sim.ifm().vlanDel({block(sim, vlan, protocols, ports)});
    sim.settle();
}

inline void vlanDisable(chassis::SimSwitch& sim, std::string_view vlan, uint8_t protocols) {
    sim.ifm().vlanDisable({block(sim, vlan, protocols, {})});
    sim.settle();
}

}  // namespace tsim
