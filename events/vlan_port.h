// IFM's VLAN port messages: ports join or leave tunnelling on VLANs, tunnelling switched off.
#pragma once

#include <cstdint>

void l2ptProcessAddVlanPort(const uint8_t* msg, uint32_t len);
void l2ptProcessDelVlanPort(const uint8_t* msg, uint32_t len);
void l2ptProcessVlanProtocolDisable(const uint8_t* msg, uint32_t len);
