// IFM's VLAN port messages: ports join or leave tunnelling on VLANs, tunnelling switched off.
#pragma once

#include "platform/wire/msg.h"

void l2ptProcessAddVlanPort(wire::Msg msg);
void l2ptProcessDelVlanPort(wire::Msg msg);
void l2ptProcessVlanProtocolDisable(wire::Msg msg);
