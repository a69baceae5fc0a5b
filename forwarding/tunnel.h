// PDUs from access ports: stamped with the provider tag, sent to the VLAN's other access ports,
// and to its core ports with the tunnel MAC.
#pragma once

#include <cstdint>

// The frame lies in a buffer of L2PT_PKT_BUF_SIZE bytes and is rewritten in place.
void l2ptProcessPacket(uint32_t rxIfIndex, uint8_t* frame, int32_t len);
void l2ptHalProcessPacket(uint32_t rxIfIndex, uint32_t vlanId, uint8_t* frame, int32_t len,
                          uint8_t flag);
