// The task's event-log codes and the sizes of the texts it formats for them.
#pragma once

#include <cstddef>
#include <cstdint>

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

inline constexpr size_t L2PT_TEXT_LEN = 100;       // error texts with a port name
inline constexpr size_t L2PT_VLAN_TEXT_LEN = 200;  // "vman %s does not exist"
