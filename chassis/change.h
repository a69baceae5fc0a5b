// A change an operator makes to a running switch, typed: the tunnelling configuration IFM
// holds, a line card coming or going, a debug filter of the CLI front end. An operator's
// command is built into one of these from its parsed words (names resolved by chassis::Names);
// a scenario's input of the same kind parses into the same record; applyChange() puts either
// to the chassis as one input.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "chassis/config.h"
#include "chassis/ifm.h"
#include "chassis/services.h"

namespace chassis {

class Chassis;

struct VlanChange {
    enum class Op : uint8_t { Add, Del, Disable };
    Op op = Op::Add;
    std::vector<Ifm::VlanBlock> blocks;
};
struct LagChange {
    bool join = true;  // members join the LAG, or leave it
    std::vector<Ifm::LagBlock> blocks;
};
struct RateChange {
    uint32_t vlanIf = 0;
    std::optional<uint32_t> kbps;  // none: the VLAN's rate limit is removed
};
struct TunnelMacChange {
    std::optional<Mac> mac;  // none: back to the default
    bool replaceGlobal = false;
};
struct TpidChange {
    uint16_t tpid = 0;
};
struct CardChange {
    enum class Event : uint8_t { Up, Down, Removed };
    Event event = Event::Up;
    uint32_t slot = 0;
};
struct CliChange {
    std::optional<Cli::Request> request;  // none: every debug filter removed
};

using Change = std::variant<VlanChange, LagChange, RateChange, TunnelMacChange, TpidChange,
                            CardChange, CliChange>;

void applyChange(Chassis& chassis, const Change& change);

}  // namespace chassis
