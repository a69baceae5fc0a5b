#include "net/pipeline/lport.h"

#include "net/pipeline/abi.h"

namespace netp::pipeline {

uint32_t lportOf(const chassis::IfDb& db, uint32_t ifIndex) {
    if (const int p = db.portIndex(ifIndex); p >= 0)
        return static_cast<uint32_t>(p);
    if (const int l = db.lagIndex(ifIndex); l >= 0)
        return L2PT_LAG_BASE + static_cast<uint32_t>(l);
    return L2PT_LPORT_NONE;
}

uint32_t chassisIfOf(const chassis::IfDb& db, uint32_t lport) {
    if (lport < db.portCount())
        return db.portAt(lport);
    if (lport >= L2PT_LAG_BASE && lport - L2PT_LAG_BASE < db.lagCount())
        return db.lagAt(lport - L2PT_LAG_BASE);
    return 0;
}

}  // namespace netp::pipeline
