// The walk over the VLAN blocks of a VLAN port message, bounded by the message length.
#pragma once

#include <cstdint>

struct L2ptVlanBlock {
    const uint8_t* start;  // the block's first byte
    uint32_t vlanIfIndex;
    uint32_t vlanId;  // from IFM; above 4095 for an invalid VLAN
    uint16_t portCount;
    uint16_t rate;
    uint8_t protoFlags;
    const uint8_t* portEntry(uint32_t i) const;
};

// Calls fn(block) for each VLAN block of the message, in order. A block that runs past len
// ends the walk, logged with the handler's name; the blocks before it are handled.
template <class Fn>
void l2ptForEachVlanBlock(const uint8_t* msg, uint32_t len, const char* caller, Fn&& fn);

#include "events/vlan_blocks_impl.h"
