// The pipeline's per-frame events in the words of the simulated data plane's trace
// (docs/trace.md), so that the daemon's trace reads the same on both backends:
//   port ge0/1  in len=60 vlan=100 flooded to ge0/2,te1/0,lag1(te1/2)
//   port te1/1  in len=64 trapped=tunnel rx=lag1
//   port te1/0  out len=64
#pragma once

#include <string>

#include "chassis/ifdb.h"
#include "dataplane/abi.h"

namespace netp::linecard {

struct TraceLine {
    std::string actor;  // "port ge0/1"
    std::string text;   // "in len=60 vlan=100 forwarded to te1/0"
};

TraceLine traceLine(const chassis::IfDb& db, const l2pt_event& ev);

}  // namespace netp::linecard
