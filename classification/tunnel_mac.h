// Change of the tunnel MAC: the kernel, then every entry that carries it, old removed first.
#pragma once

#include <cstdint>

#include "platform/wire/msg.h"

void l2ptProcessMac(wire::Msg msg);
// Hands the MAC to the kernel: 0 when it took it, -1 otherwise.
int32_t l2ptProcessNewL2PTMac(const uint8_t* mac);
// Re-installs the core-port entries of per-port agents with the new MAC / the default MAC.
void l2ptInstallFpEntry(const uint8_t* newMac);
void l2ptRemoveFpEntry();
