#include "dataplane/verdict.h"

#include "dataplane/defs.h"

namespace chassis {

namespace {

constexpr bool same(DropReason r, int c) {
    return static_cast<int>(r) == c;
}
static_assert(same(DropReason::NoPort, L2PT_DP_DROP_NO_PORT) &&
                  same(DropReason::Runt, L2PT_DP_DROP_RUNT) &&
                  same(DropReason::CardAbsent, L2PT_DP_DROP_CARD_ABSENT) &&
                  same(DropReason::NoVlan, L2PT_DP_DROP_NO_VLAN) &&
                  same(DropReason::Policed, L2PT_DP_DROP_POLICED) &&
                  same(DropReason::NoSocket, L2PT_DP_DROP_NO_SOCKET) &&
                  same(DropReason::NoLiveMember, L2PT_DP_DROP_NO_LIVE_MEMBER) &&
                  same(DropReason::SendFailed, L2PT_DP_DROP_SEND_FAILED) &&
                  same(DropReason::TagStack, L2PT_DP_DROP_TAG_STACK) &&
                  same(DropReason::OverMtu, L2PT_DP_DROP_OVER_MTU) &&
                  same(DropReason::TrapTooLong, L2PT_DP_DROP_TRAP_TOO_LONG) &&
                  same(DropReason::PortDown, L2PT_DP_DROP_PORT_DOWN) &&
                  same(DropReason::Filtered, L2PT_DP_DROP_FILTERED) &&
                  same(DropReason::Fenced, L2PT_DP_DROP_FENCED) &&
                  same(DropReason::TaskBehind, L2PT_DP_DROP_TASK_BEHIND) &&
                  same(DropReason::L2cp, L2PT_DP_DROP_L2CP) &&
                  same(DropReason::TunnelMac, L2PT_DP_DROP_TUNNEL_MAC) &&
                  same(DropReason::HostTx, L2PT_DP_DROP_HOST_TX) &&
                  same(DropReason::LearnLimit, L2PT_DP_DROP_LEARN_LIMIT) &&
                  same(DropReason::Storm, L2PT_DP_DROP_STORM) &&
                  same(DropReason::PduShare, L2PT_DP_DROP_PDU_SHARE) &&
                  kDropReasons == L2PT_DP_DROP_REASONS,
              "DropReason follows enum l2pt_drop one for one");
static_assert(static_cast<int>(Verdict::Trapped) == L2PT_VERDICT_TRAPPED &&
                  static_cast<int>(Verdict::Forwarded) == L2PT_VERDICT_FORWARDED &&
                  static_cast<int>(Verdict::Flooded) == L2PT_VERDICT_FLOODED &&
                  static_cast<int>(Verdict::Dropped) == L2PT_VERDICT_DROPPED,
              "Verdict follows enum l2pt_verdict");
static_assert(static_cast<int>(StormClass::Broadcast) == L2PT_STORM_BROADCAST &&
                  static_cast<int>(StormClass::Multicast) == L2PT_STORM_MULTICAST &&
                  static_cast<int>(StormClass::UnknownUnicast) == L2PT_STORM_UNKNOWN &&
                  kStormClasses == L2PT_STORM_CLASSES,
              "StormClass follows enum l2pt_storm_class");
static_assert(kSocketAccess == L2PT_SOCKET_ACCESS && kSocketTunnel == L2PT_SOCKET_TUNNEL);

}  // namespace

std::string_view dropReasonName(DropReason reason) {
    switch (reason) {
        case DropReason::NoPort:
            return "no such port";
        case DropReason::Runt:
            return "runt frame";
        case DropReason::CardAbsent:
            return "card absent";
        case DropReason::NoVlan:
            return "no VLAN";
        case DropReason::Policed:
            return "policed";
        case DropReason::NoSocket:
            return "no socket";
        case DropReason::NoLiveMember:
            return "LAG without live member";
        case DropReason::SendFailed:
            return "send failed";
        case DropReason::TagStack:
            return "tag stack too deep";
        case DropReason::OverMtu:
            return "over the MTU";
        case DropReason::TrapTooLong:
            return "too long to trap";
        case DropReason::PortDown:
            return "port down";
        case DropReason::Filtered:
            return "filtered";
        case DropReason::Fenced:
            return "fenced sender";
        case DropReason::TaskBehind:
            return "task behind";
        case DropReason::LearnLimit:
            return "learning limit";
        case DropReason::L2cp:
            return "L2CP discarded";
        case DropReason::TunnelMac:
            return "tunnel MAC from a customer";
        case DropReason::HostTx:
            return "sent by the host";
        case DropReason::Storm:
            return "storm control";
        case DropReason::PduShare:
            return "over the port's PDU share";
    }
    return "unknown";
}

}  // namespace chassis
