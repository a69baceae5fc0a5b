// An operator's change of the tunnelling configuration, a line card or a debug filter, as
// l2ptctl asks for it (vlan, lag, rate, tunnel-mac, vman-tpid, card, debug, undebug): its
// parsed words and options checked once here, under the chassis' rules, into the typed change
// the chassis takes as it is. Nothing of a refused change runs.
#pragma once

#include "chassis/change.h"
#include "chassis/ifdb.h"
#include "net/proto/ctl.h"

namespace netp {

// std::invalid_argument "COMMAND: what is wrong".
chassis::Change operatorChange(const ctl::Request& r, const chassis::IfDb& db);

}  // namespace netp
