// The names an operator's command or a scenario's input gives (ports, LAGs, VLANs, protocols,
// slots, numbers), resolved against the chassis' interfaces. An operator is held to the
// chassis' rules (chassis/rules.h); the simulation may name what the chassis lacks, to see the
// task refuse it. Each refusal is a std::invalid_argument naming what is wrong.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "chassis/ifdb.h"
#include "chassis/ifm.h"
#include "chassis/rules.h"

namespace chassis {

// Whose names: the simulation's inputs, or an operator's change to a running switch.
enum class Inputs { Simulation, Operator };

class Names {
  public:
    Names(const IfDb& db, Inputs inputs) : db_(db), inputs_(inputs) {}

    bool operatorInput() const { return inputs_ == Inputs::Operator; }
    const IfDb& db() const { return db_; }
    // std::invalid_argument with why, when there is a why.
    void check(const Refusal& why) const;

    // Decimal or 0x hex, never octal: "010" is ten.
    uint64_t number(std::string_view text, uint64_t max, std::string_view what) const;
    // A port or LAG by name, or (the simulation's) any interface index as "if:<number>".
    uint32_t interface(std::string_view text) const;
    uint32_t port(std::string_view text) const;
    uint32_t lag(std::string_view text) const;
    // A VLAN interface by name, by VLAN id (a number), or "if:<number>".
    uint32_t vlan(std::string_view text) const;
    // A VLAN id, given as a number or by the VLAN interface's name ("vl100").
    uint32_t vlanId(std::string_view text) const;
    // "stp,lldp,gvrp,pvst" as protocol flags (the simulation's numbers too).
    uint8_t protocols(std::string_view text) const;
    // PORT:access or PORT:core (the simulation's PORT:<mode number> too), as a VLAN's port.
    Ifm::PortMode vlanPort(std::string_view entry) const;
    uint32_t slot(std::string_view text) const;

  private:
    const IfDb& db_;
    Inputs inputs_;
};

}  // namespace chassis
