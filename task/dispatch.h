// Dispatch of received control messages.
#pragma once

#include <cstdint>

// Handles one received control message of rxLen bytes in place. msg is the loop's receive
// buffer (L2PT_IPC_BUF_SIZE bytes, zero past what arrived).
void l2ptTaskProcMsg(uint8_t* msg, uint32_t rxLen);
void l2ptSetVmanPt(const uint8_t* msg, uint32_t len);
