// The walk over the VLAN blocks of a VLAN port message, bounded by the message view.
#pragma once

#include <cstdint>

#include "platform/wire/msg.h"

struct L2ptVlanBlock {
    wire::Msg bytes;  // the whole block, port entries included
    uint32_t vlanIfIndex;
    uint32_t vlanId;  // from IFM; above 4095 for an invalid VLAN
    uint16_t portCount;
    uint16_t rate;
    uint8_t protoFlags;
    wire::Msg portEntry(uint32_t i) const;
};

// Calls fn(block) for each VLAN block of the message, in order. A block that runs past the end
// of the message ends the walk, logged with the handler's name; the blocks before it are handled.
template <class Fn>
void l2ptForEachVlanBlock(wire::Msg msg, const char* caller, Fn&& fn);

#include "events/vlan_blocks_impl.h"
