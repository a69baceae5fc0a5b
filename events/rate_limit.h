// IFM's rate-limit message: a VLAN's limit for the control PDUs its access ports trap.
#pragma once

#include "platform/wire/msg.h"

void l2ptProcessRate(wire::Msg msg);
// Debug-shell dump: the rate limit of every VLAN that has a record.
void l2ptShowRate();
