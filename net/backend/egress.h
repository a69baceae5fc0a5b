// Where a PDU the task sends leaves and in what form, as the tables l2ptd maps read-only say
// (net/pipeline/table_view.h): a port by its Linux interface, a LAG by its first live member.
// A frame whose outer TPID is the provider TPID in force leaves an access port of its VLAN
// without that tag, so that the customer sees its own frame; a core port keeps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "chassis/ifdb.h"
#include "net/pipeline/table_view.h"

namespace netp {

enum class EgressFault : uint8_t {
    None,
    NoSuchPort,    // the ifIndex is no port or LAG of the chassis
    CardAbsent,    // the port's line card is not there
    NoLiveMember,  // a LAG none of whose members carries traffic
    NoInterface,   // the port has no interface that is up
    TooLong,       // longer than any PDU the task is given to send
};
std::string_view egressFaultText(EgressFault fault);

struct Egress {
    EgressFault fault = EgressFault::None;
    uint32_t ifindex = 0;  // the Linux interface it leaves by
    bool untag = false;    // the provider tag comes off on the way out
};

// egressIf: the chassis ifIndex the task names (a port or a LAG). O(1): a few records read.
Egress resolveEgress(const pipeline::TableView& view, const chassis::IfDb& db, uint32_t egressIf,
                     std::span<const uint8_t> frame);
// The frame as it leaves, written into out (room for frame.size() bytes): its length.
size_t egressFrame(const Egress& egress, std::span<const uint8_t> frame, std::span<uint8_t> out);

}  // namespace netp
