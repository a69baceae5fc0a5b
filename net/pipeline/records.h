// What the pipeline's ring records say, read out of the bytes a ring gives (TrapRing): a frame
// trapped to the task, and a per-frame event for the daemon's trace.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "dataplane/abi.h"

namespace netp::pipeline {

struct TrapRecord {
    uint32_t rxIf;    // the chassis ifIndex the task hears it from: the LAG of a member
    uint32_t portIf;  // the chassis ifIndex of the port it entered
    uint16_t socket;  // L2PT_SOCKET_ACCESS or L2PT_SOCKET_TUNNEL
    uint64_t tstampNs;
    std::span<const uint8_t> frame;  // in the ring: valid until the record is released
};

// Empty when the record is shorter than its header or its length runs past it.
std::optional<TrapRecord> parseTrapRecord(std::span<const uint8_t> rec);

class TrapRing;
// Releases the trap records at the head of ring that were trapped before cutoffNs
// (CLOCK_MONOTONIC), and those among them that are no trap record, and publishes the position
// reached: how many it released.
size_t dropTrappedBefore(TrapRing& ring, uint64_t cutoffNs);
std::optional<l2pt_event> parseEvent(std::span<const uint8_t> rec);

}  // namespace netp::pipeline
