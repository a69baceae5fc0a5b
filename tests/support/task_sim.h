// A simulated switch running the tunnelling task, for the task's tests and benchmarks.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "chassis/sim_switch.h"

namespace tsim {

// The chassis most task tests run on:
//   slot 0  per-port agent, 8 x 1G (card type 1): ge0/0 .. ge0/7, unit 0
//   slot 1  per-port agent, 4 x 10G (card type 2): te1/0 .. te1/3, unit 1
//   slot 2  global agent,   4 x 1G: ge2/0 .. ge2/3, unit 2
//   slot 3  not present,    2 x 1G: ge3/0, ge3/1, unit 3
//   LAGs lag1 (number 1) and lag2 (number 2), no members at start
//   VLANs vl10, vl20, vl30, vl100, vl200 (ids as named), vl4000
//   this RPM primary, no peer; nothing configured for tunnelling at start.
extern const char* const kChassis;

// Builds the chassis from YAML, starts the task (its debug lines on when debug) and runs it until
// it waits; the switch lasts as long as the process. Every agent keeps the ACL download messages
// it applies.
chassis::SimSwitch& boot(std::string_view yaml = kChassis, bool debug = false);

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
chassis::Ifm::VlanBlock block(chassis::SimSwitch& sim, std::string_view vlan, uint8_t protocols,
                              const std::vector<PortSpec>& ports, uint16_t rate = 0);

// IFM adds, deletes or disables ports of one VLAN; the task handles it before this returns.
void vlanAdd(chassis::SimSwitch& sim, std::string_view vlan, uint8_t protocols,
             const std::vector<PortSpec>& ports, uint16_t rate = 0);
void vlanDel(chassis::SimSwitch& sim, std::string_view vlan, uint8_t protocols,
             const std::vector<PortSpec>& ports);
void vlanDisable(chassis::SimSwitch& sim, std::string_view vlan, uint8_t protocols);

}  // namespace tsim
