// The CLI's table of tunnelling VLANs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wire/msg.h"

inline constexpr uint32_t L2PT_SHOW_OK = 0;
inline constexpr uint32_t L2PT_SHOW_NO_VLAN = 4;
inline constexpr uint32_t L2PT_SHOW_NO_PROTOCOLS = 6;
inline constexpr size_t L2PT_SHOW_ROW_LEN = 256;

// Answers a show request (sub-code 5 or 6) for VLAN first (6: from first on) into the reply
// built over the request; returns the result.
uint32_t l2ptProcessShow(uint32_t first, uint32_t subCode, wire::ReplyMsg reply);
// One VLAN's row: 0 when built, 4 without a record, 6 without protocol flags.
uint32_t l2ptGetVlanShowInfo(uint32_t vlanId, char* buf, size_t size);

// Console dumps of the task's tables, called by name from the platform's debug shell.
void l2ptShowVman(int32_t vlanId);  // VLAN ID 0-4095
void l2ptShowVmanTable();
void l2ptShowAccessPortList();
void l2ptShowCorePortList();
void l2ptShowLag(int32_t lagNum);  // LAG number 0-128
void l2ptShowLagTable();
void l2ptShowAclAgentTable();
void l2ptShowAclBitmap();
void l2ptShowDebugList();
void l2ptShowMac();
