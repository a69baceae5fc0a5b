// An operator's change to the line cards' policers, as l2ptctl storm and pdu-rate ask for it:
// checked once here into a typed change, which the line cards' model takes as it is.
#pragma once

#include <cstdint>
#include <optional>

#include "chassis/config.h"
#include "chassis/data_plane.h"
#include "chassis/ifdb.h"
#include "net/proto/ctl.h"

namespace netp {

struct PoliceChange {
    std::optional<uint32_t> portIf;            // none: the default PDU rate of every port
    std::optional<chassis::StormClass> storm;  // a storm limit; none: the PDU rate
    chassis::StormLimit limit;                 // storm: the class's new limit (off: both 0)
    std::optional<uint32_t> pduRate;           // none: back to the default (for every port:
                                               // the chassis file's)
};

// "storm PORT CLASS FPS|off [--kbps K]" or "pdu-rate PORT|all RATE|default";
// std::invalid_argument saying what is wrong.
PoliceChange policeChange(const ctl::Request& r, const chassis::IfDb& db);

// Puts it in force on the line cards; base: the chassis file, for the default PDU rate.
void apply(const PoliceChange& change, chassis::DataPlane& cards,
           const chassis::ChassisConfig& base);

}  // namespace netp
