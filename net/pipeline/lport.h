// The pipeline's logical ports: a chassis port is the lport of its dense index in the interface
// database, a LAG L2PT_LAG_BASE + its dense index. The daemon numbers its records so and l2ptd
// finds a port's record in its view by it.
#pragma once

#include <cstdint>

#include "chassis/ifdb.h"

namespace netp::pipeline {

// The lport a port or LAG is, by its chassis ifIndex; L2PT_LPORT_NONE for anything else.
uint32_t lportOf(const chassis::IfDb& db, uint32_t ifIndex);
// The chassis ifIndex of an lport; 0 for none.
uint32_t chassisIfOf(const chassis::IfDb& db, uint32_t lport);

}  // namespace netp::pipeline
