// The pipeline's records as the chassis models make them: a port's and a LAG's lport record,
// the VLANs' member bitmaps. Ports are lports by their dense index in the interface database,
// LAGs come after them (L2PT_LAG_BASE + the LAG's dense index); a port in a LAG speaks as its
// LAG in VLANs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "chassis/config.h"
#include "chassis/ifdb.h"
#include "chassis/membership.h"
#include "dataplane/abi.h"
#include "net/pipeline/lport.h"
#include "net/pipeline/tables.h"
#include "net/port/port_tracker.h"

namespace netp::linecard {

using pipeline::chassisIfOf;
using pipeline::lportOf;
// The lport a port speaks as in VLANs: its LAG's, or its own.
uint32_t speaksAs(const chassis::IfDb& db, size_t port);

// Port `port` (dense index): its card present or not, its interface as the port layer saw it.
l2pt_lport portRecord(const chassis::IfDb& db, size_t port, bool present,
                      const port::PortState& link);
// LAG `lag` (dense index); live(portIf) tells whether a member carries traffic. Members past
// L2PT_LAG_MAX_LIVE live ones carry none; `dropped` (when given) counts them.
l2pt_lport lagRecord(const chassis::IfDb& db, size_t lag,
                     const std::function<bool(uint32_t portIf)>& live, size_t* dropped = nullptr);

// Every tunnelling VLAN's record, into records (L2PT_VLANS of them, those of used zeroed
// first); used becomes the VLANs that have members. The first listing of a member decides its
// role; VLANs past L2PT_MAX_VID and members that are no port or LAG are left out.
void vlanRecords(const chassis::IfDb& db, const chassis::Membership& membership,
                 std::vector<l2pt_vlan>& records, std::vector<uint16_t>& used);

bool hasBit(const uint32_t* words, uint32_t lport);

// A port's policers' rates: its policing, and the PDU rate in force for it.
pipeline::PoliceRates policeRates(const chassis::PortPolicing& p, uint32_t pduRate);

}  // namespace netp::linecard
