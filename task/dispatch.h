// Dispatch of received control messages, and the sequenced-queue service's callbacks.
#pragma once

#include <cstdint>

extern uint16_t l2ptVmanPt;     // provider tag protocol identifier of tunnelled PDUs
extern int32_t gL2PTMaxAclTry;  // attempts to bring up an ACL agent

inline constexpr uint16_t L2PT_DEFAULT_VMAN_PT = 0x9100;

// Handles one received control message of rxLen bytes in place. msg is the loop's receive
// buffer (L2PT_IPC_BUF_SIZE bytes, zero past what arrived).
void l2ptTaskProcMsg(uint8_t* msg, uint32_t rxLen);
void l2ptSetVmanPt(const uint8_t* msg, uint32_t len);

void* l2ptSwpMalloc(uint32_t size);
int l2ptSwpMfree(void* block);
void l2ptSwpErrCB(uint32_t queue);
