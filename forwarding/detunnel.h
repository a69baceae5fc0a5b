// Tunnelled PDUs from core ports: passed to the VLAN's other core ports, and delivered to its
// access ports with the protocol's MAC restored.
#pragma once

#include <cstdint>

void l2ptProcessTunneledPacket(uint32_t rxIfIndex, uint8_t* frame, int32_t len);
void l2ptHalProcessTunneledPacket(uint32_t rxIfIndex, uint32_t vlanId, uint8_t* frame, int32_t len);
