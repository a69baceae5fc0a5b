// Redundancy: role of this RPM, messages to the peer RPM, tick count.
#pragma once

#include <cstdint>

int ozmHaIsPrimaryRpm();  // 1 when this RPM is the primary one
// Delivers msg to the same service and instance on the peer RPM; -1 on failure.
int ozmIrcPeerRpmSend(uint32_t service, uint32_t instance, uint8_t* msg, uint32_t len, int flags,
                      int32_t* scratch);
uint64_t ozmTickGet();
