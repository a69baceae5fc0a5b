// The control-message header shared by every message of the switch's services.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wire/bytes.h"

namespace hdr {

inline constexpr size_t kMsgLen = 8;       // u32 total length, header included
inline constexpr size_t kMsgType = 12;     // u32 message type
inline constexpr size_t kMsgStatus = 20;   // i32 status of a reply, 0 = OK
inline constexpr size_t kHaEvent = 24;     // u32 HA event code of HA_CONTROL
inline constexpr size_t kSrcTaskId = 32;   // u32 sending task
inline constexpr size_t kReserved36 = 36;  // u32 zero
inline constexpr size_t kSrcNodeAddr = 40;
inline constexpr size_t kSrcQueueId = 44;
inline constexpr size_t kDstSlot = 48;
inline constexpr size_t kDstNodeAddr = 52;
inline constexpr size_t kDstQueueId = 56;

inline constexpr size_t kPlainHeaderLen = 60;  // plain bodies start here
inline constexpr size_t kSwpAreaOff = 60;      // bytes 60-123 belong to the sequenced-queue service
inline constexpr size_t kSwpAreaLen = 64;
inline constexpr size_t kSeqHeaderLen = 124;  // sequenced bodies start here
inline constexpr size_t kMaxMsgLen = 8192;    // the largest control message

inline uint32_t msgLen(const uint8_t* m) {
    return wire::getU32(m, kMsgLen);
}
inline uint32_t msgType(const uint8_t* m) {
    return wire::getU32(m, kMsgType);
}
inline int32_t msgStatus(const uint8_t* m) {
    return wire::getI32(m, kMsgStatus);
}
inline uint32_t srcTaskId(const uint8_t* m) {
    return wire::getU32(m, kSrcTaskId);
}
inline uint32_t srcNodeAddr(const uint8_t* m) {
    return wire::getU32(m, kSrcNodeAddr);
}
inline uint32_t srcQueueId(const uint8_t* m) {
    return wire::getU32(m, kSrcQueueId);
}
inline uint32_t dstSlot(const uint8_t* m) {
    return wire::getU32(m, kDstSlot);
}
inline uint32_t dstNodeAddr(const uint8_t* m) {
    return wire::getU32(m, kDstNodeAddr);
}
inline uint32_t dstQueueId(const uint8_t* m) {
    return wire::getU32(m, kDstQueueId);
}

inline void setMsgLen(uint8_t* m, uint32_t v) {
    wire::putU32(m, kMsgLen, v);
}
inline void setMsgType(uint8_t* m, uint32_t v) {
    wire::putU32(m, kMsgType, v);
}
inline void setMsgStatus(uint8_t* m, int32_t v) {
    wire::putI32(m, kMsgStatus, v);
}
inline void setSrcTaskId(uint8_t* m, uint32_t v) {
    wire::putU32(m, kSrcTaskId, v);
}
inline void setReserved36(uint8_t* m, uint32_t v) {
    wire::putU32(m, kReserved36, v);
}
inline void setSrcNodeAddr(uint8_t* m, uint32_t v) {
    wire::putU32(m, kSrcNodeAddr, v);
}
inline void setSrcQueueId(uint8_t* m, uint32_t v) {
    wire::putU32(m, kSrcQueueId, v);
}
inline void setDstSlot(uint8_t* m, uint32_t v) {
    wire::putU32(m, kDstSlot, v);
}
inline void setDstNodeAddr(uint8_t* m, uint32_t v) {
    wire::putU32(m, kDstNodeAddr, v);
}
inline void setDstQueueId(uint8_t* m, uint32_t v) {
    wire::putU32(m, kDstQueueId, v);
}

}  // namespace hdr
