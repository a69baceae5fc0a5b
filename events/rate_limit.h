// IFM's rate-limit message: a VLAN's limit for the control PDUs its access ports trap.
#pragma once

#include <cstdint>

void l2ptProcessRate(const uint8_t* msg, uint32_t len);
// Debug-shell dump: the rate limit of every VLAN that has a record.
void l2ptShowRate();
