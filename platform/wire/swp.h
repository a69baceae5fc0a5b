// Bytes 60-123 of a sequenced message: the sequenced-queue service's own area.
// Senders of sequenced messages fill it; the receiving engine checks and acknowledges it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wire/bytes.h"

namespace swpw {

inline constexpr size_t kMagic = 60;    // u32 kSwpMagic
inline constexpr size_t kKind = 64;     // u32 Kind
inline constexpr size_t kSession = 68;  // u32 the sending queue's session, never 0
inline constexpr size_t kSeq = 72;      // u32 sequence number, first message of a session is 1
inline constexpr size_t kQueue = 76;    // u32 queue handle on the side that created the queue pair
inline constexpr size_t kSrcService = 80;
inline constexpr size_t kSrcSlot = 84;

inline constexpr uint32_t kSwpMagic = 0x53575031;  // "SWP1"

enum class Kind : uint32_t {
    Data = 1,     // a sequenced message
    Ack = 2,      // acknowledgement of one data message (message type 402)
    Sync = 3,     // a queue pair was (re)created: the receiver restarts its sequence check
    Timeout = 4,  // the engine's retransmission timer (message type 401)
};

inline uint32_t magic(const uint8_t* m) {
    return wire::getU32(m, kMagic);
}
inline Kind kind(const uint8_t* m) {
    return static_cast<Kind>(wire::getU32(m, kKind));
}
inline uint32_t session(const uint8_t* m) {
    return wire::getU32(m, kSession);
}
inline uint32_t seq(const uint8_t* m) {
    return wire::getU32(m, kSeq);
}
inline uint32_t queue(const uint8_t* m) {
    return wire::getU32(m, kQueue);
}
inline uint32_t srcService(const uint8_t* m) {
    return wire::getU32(m, kSrcService);
}
inline uint32_t srcSlot(const uint8_t* m) {
    return wire::getU32(m, kSrcSlot);
}

inline void setMagic(uint8_t* m) {
    wire::putU32(m, kMagic, kSwpMagic);
}
inline void setKind(uint8_t* m, Kind k) {
    wire::putU32(m, kKind, static_cast<uint32_t>(k));
}
inline void setSession(uint8_t* m, uint32_t v) {
    wire::putU32(m, kSession, v);
}
inline void setSeq(uint8_t* m, uint32_t v) {
    wire::putU32(m, kSeq, v);
}
inline void setQueue(uint8_t* m, uint32_t v) {
    wire::putU32(m, kQueue, v);
}
inline void setSrcService(uint8_t* m, uint32_t v) {
    wire::putU32(m, kSrcService, v);
}
inline void setSrcSlot(uint8_t* m, uint32_t v) {
    wire::putU32(m, kSrcSlot, v);
}

}  // namespace swpw

// Message type of the engine's queue-open message (kind Sync) to the peer of a new queue pair.
inline constexpr uint32_t MT_SWP_SYNC = 400;
