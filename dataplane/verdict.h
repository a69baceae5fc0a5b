// What the data plane decided about a frame, in C++: enum l2pt_drop, enum l2pt_verdict and enum
// l2pt_storm_class of defs.h (which the kernel pipeline uses too), one for one, so that both
// models count the same reasons. verdict.cpp checks the values against the C ones; this header
// leaves the C names out of the task's translation units, whose own names would clash with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace chassis {

// Why the data plane did not pass a frame on.
enum class DropReason : uint8_t {
    NoPort,
    Runt,
    CardAbsent,
    NoVlan,
    Policed,
    NoSocket,
    NoLiveMember,
    SendFailed,
    TagStack,
    OverMtu,
    TrapTooLong,
    PortDown,
    Filtered,
    Fenced,
    TaskBehind,
    L2cp,
    TunnelMac,
    HostTx,
    LearnLimit,
    Storm,
    PduShare,
};
inline constexpr size_t kDropReasons = static_cast<size_t>(DropReason::PduShare) + 1;
// "no such port", "runt frame", ...: the texts the trace, the summary and the counters show.
std::string_view dropReasonName(DropReason reason);

enum class Verdict : uint8_t { Trapped = 1, Forwarded, Flooded, Dropped };

// Storm control's classes of flooded data (known unicast is never policed).
enum class StormClass : uint8_t { Broadcast, Multicast, UnknownUnicast };
inline constexpr size_t kStormClasses = 3;

// The task's socket a trapped frame goes to (L2PT_SOCKET_*).
inline constexpr uint8_t kSocketAccess = 1;
inline constexpr uint8_t kSocketTunnel = 9;

// What became of one frame that entered a port.
struct Outcome {
    Verdict verdict = Verdict::Dropped;
    DropReason reason = DropReason::NoPort;  // Dropped only
    uint8_t socket = 0;                      // Trapped: kSocketAccess or kSocketTunnel; 0 otherwise
    uint16_t vid = 0;                        // the VLAN it was taken into, 0 before classification
    uint32_t copies = 0;                     // ways out it left by
    bool operator==(const Outcome&) const = default;
};

}  // namespace chassis
