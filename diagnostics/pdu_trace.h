// Trace of PDUs on ports that carry a debug filter: a line naming the ports, then a hex dump,
// written to the task's event log.
#pragma once

#include <cstdint>

// sending: 0 received, 1 sent. portKind: the isCore value of the ports a sent PDU goes out on.
void l2ptDebugPdu(uint32_t ifIndex, uint32_t vlanId, const uint8_t* frame, int32_t len,
                  int32_t sending, uint8_t portKind);
void l2ptDebugXPdu(uint32_t ifIndex, const uint8_t* frame, int32_t len, int32_t sending);
