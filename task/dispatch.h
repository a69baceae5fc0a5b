// Dispatch of received control messages.
#pragma once

#include <cstdint>
#include <span>

#include "platform/wire/msg.h"

// Handles one received control message of rxLen bytes in place. buf is the loop's whole receive
// buffer (zero past what arrived), into which replies are built.
void l2ptTaskProcMsg(std::span<uint8_t> buf, uint32_t rxLen);
void l2ptSetVmanPt(wire::Msg msg);
