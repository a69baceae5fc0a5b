// Requests to other services (IFM, ACL agents).
#pragma once

#include <cstdint>

// Fills the header and sends without waiting: 0 when the platform took the message.
int l2ptIpcSend(uint32_t msgType, uint32_t service, uint32_t slot, uint8_t* msg, uint32_t len);
// Fills the header, sends and waits for the reply, which overwrites msg: 0 when a reply of the
// same type with status OK came back, -1 otherwise.
int l2ptIpcSendAndWait(uint32_t msgType, uint32_t service, uint32_t slot, uint8_t* msg,
                       uint32_t len);
