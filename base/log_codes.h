// The task's event-log codes and the sizes of the texts it formats for them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/evtlog.h"

inline constexpr uint32_t L2PT_LOG_NO_MEMORY = 0x3a0001;             // text
inline constexpr uint32_t L2PT_LOG_AGENT_NOT_REGISTERED = 0x3a0004;  // slot
inline constexpr uint32_t L2PT_LOG_AGENT_QUEUE = 0x3a0005;           // slot
inline constexpr uint32_t L2PT_LOG_SELECT = 0x3a0006;                // none
inline constexpr uint32_t L2PT_LOG_ENQUEUE_REFUSED = 0x3a0009;       // 0
inline constexpr uint32_t L2PT_LOG_SEQ_CHECK = 0x3a000a;             // result, text
inline constexpr uint32_t L2PT_LOG_FAILURE = 0x3a000d;               // text
inline constexpr uint32_t L2PT_LOG_PEER_UPDATE = 0x3a000e;           // text
inline constexpr uint32_t L2PT_LOG_PEER_REPLY = 0x3a000f;            // text
inline constexpr uint32_t L2PT_LOG_RATE_GLOBAL = 0x3a0010;           // none
inline constexpr uint32_t L2PT_LOG_DEBUG_COUNT = 0x3a0011;           // none

// The texts of the codes, registered with the event log at start-up.
inline constexpr OzmEvtCatalogueEntry L2PT_EVT_CATALOGUE[] = {
    {L2PT_LOG_NO_MEMORY, "no memory: %s"},
    {L2PT_LOG_AGENT_NOT_REGISTERED, "ACL agent of slot %d did not register"},
    {L2PT_LOG_AGENT_QUEUE, "cannot create the sequenced queues to the ACL agent of slot %d"},
    {L2PT_LOG_SELECT, "main loop wait failed"},
    {L2PT_LOG_ENQUEUE_REFUSED, "sequenced-queue service refused an ACL download message (%d)"},
    {L2PT_LOG_SEQ_CHECK, "sequence check failed with %d: %s"},
    {L2PT_LOG_FAILURE, "%s"},
    {L2PT_LOG_PEER_UPDATE, "cannot update the peer RPM: %s"},
    {L2PT_LOG_PEER_REPLY, "cannot reply to the peer RPM: %s"},
    {L2PT_LOG_RATE_GLOBAL, "rate limit refused: an ACL agent works with agent-wide entries"},
    {L2PT_LOG_DEBUG_COUNT, "a debug filter's count ran out"},
};

inline constexpr size_t L2PT_TEXT_LEN = 100;       // error texts with a port name
inline constexpr size_t L2PT_VLAN_TEXT_LEN = 200;  // "vman %s does not exist"
