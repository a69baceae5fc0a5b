// The pipeline's logical ports: a chassis port is the lport of its dense index in the interface
// database, a LAG L2PT_LAG_BASE + its dense index. The daemon numbers its records so and l2ptd
// finds a port's record in its view by it.
#pragma once

#include <cstdint>

#include "dataplane/abi.h"

namespace netp::pipeline {

// Both take the chassis' interface database (chassis::IfDb) as a template parameter: its dense
// numbering of ports and LAGs is all they read, and the pipeline does not build on the chassis.

// The lport a port or LAG is, by its chassis ifIndex; L2PT_LPORT_NONE for anything else.
template <class IfDb>
uint32_t lportOf(const IfDb& db, uint32_t ifIndex) {
    if (const int p = db.portIndex(ifIndex); p >= 0)
        return static_cast<uint32_t>(p);
    if (const int l = db.lagIndex(ifIndex); l >= 0)
        return L2PT_LAG_BASE + static_cast<uint32_t>(l);
    return L2PT_LPORT_NONE;
}

// The chassis ifIndex of an lport; 0 for none.
template <class IfDb>
uint32_t chassisIfOf(const IfDb& db, uint32_t lport) {
    if (lport < db.portCount())
        return db.portAt(lport);
    if (lport >= L2PT_LAG_BASE && lport - L2PT_LAG_BASE < db.lagCount())
        return db.lagAt(lport - L2PT_LAG_BASE);
    return 0;
}

}  // namespace netp::pipeline
