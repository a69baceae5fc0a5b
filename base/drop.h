// Received PDUs the task discards: why, how many, and the one step every drop takes.
#pragma once

#include <cstdint>

#include "base/debug.h"

// Why a received PDU went no further. The values are the codes the platform is told.
enum class L2ptDropReason : uint8_t {
    RxFailed,      // the receive itself failed
    TooLong,       // longer than the receive buffer: cut when read
    Untagged,      // shorter than the headers its path reads (MACs and tag; LLC, SNAP)
    PortRange,     // the port's slot index is outside 0-897
    NoAccessPort,  // an access-port PDU from a port that is no access port
    NoCorePort,    // a tunnelled PDU from a port that is no core port
    UnknownProto,  // no protocol row for the frame
    ProtoOff,      // the protocol is not tunnelled on the port or VLAN
    NoVman,        // the VLAN has no record
    NoTagRoom,     // a PVST PDU too long to take the provider tag in the buffer
};
inline constexpr int L2PT_DROP_REASONS = static_cast<int>(L2ptDropReason::NoTagRoom) + 1;

// Drops seen per reason since the program started, exported read-only to the debug shell as
// l2ptDrop<Reason> (l2ptDropNoVman, ...).
extern uint64_t l2ptDropCount[L2PT_DROP_REASONS];

// Counts one dropped PDU and tells the platform; allocates nothing.
void l2ptCountDrop(L2ptDropReason reason, uint32_t rxIfIndex);

// Every drop of a received PDU: counted whatever the debug switch says, and its debug line
// (the remaining arguments, as for L2PT_DBG) printed while debugging is on.
#define L2PT_DROP(reason, rxIfIndex, ...)       \
    do {                                        \
        L2PT_DBG(__VA_ARGS__);                  \
        ::l2ptCountDrop((reason), (rxIfIndex)); \
    } while (0)
