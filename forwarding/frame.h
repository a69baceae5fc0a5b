// Layout of the PDUs the forwarding paths read and write, and their common sending steps.
#pragma once

#include <cstdint>

#include "base/drop.h"
#include "platform/kernel.h"

inline constexpr int32_t L2PT_FRAME_DST_MAC = 0;
inline constexpr int32_t L2PT_FRAME_SRC_MAC = 6;
inline constexpr int32_t L2PT_FRAME_TAG_TPID = 12;  // outer tag: protocol identifier
inline constexpr int32_t L2PT_FRAME_TAG_TCI = 14;   // outer tag: priority and VLAN id
inline constexpr int32_t L2PT_FRAME_TAG_LEN = 4;
inline constexpr int32_t L2PT_FRAME_MIN_LEN = 16;  // MACs and the outer tag
inline constexpr uint16_t L2PT_VLAN_ID_MASK = 0x0FFF;

// The address both paths send to: its length, the family, zeros.
inline constexpr uint8_t L2PT_SEND_ADDR[OZM_SOCKADDR_LEN] = {OZM_SOCKADDR_LEN, AF_OZML2};

// Sends a frame out of one port and does the bookkeeping of a send: a failed send is reported
// with failText ("... %s" with the egress name), the frame is traced, and the debug line of
// the caller names the egress port. portKind: the isCore value of the egress ports.
void l2ptSendPdu(int32_t sock, uint32_t rxIfIndex, uint32_t egressIfIndex, uint32_t vlanId,
                 const uint8_t* frame, int32_t len, uint8_t portKind, const char* failText,
                 const char* sentText, const char* caller);

// Whether a received frame was cut by the receive buffer (its length is then above the buffer's
// size); such a frame is dropped and counted, with a debug line of the caller naming the port.
bool l2ptFrameCut(uint32_t rxIfIndex, int32_t len, const char* caller);

// Why a frame shorter than L2PT_FRAME_MIN_LEN is dropped: a negative length is a failed receive.
L2ptDropReason l2ptShortFrameReason(int32_t len);
