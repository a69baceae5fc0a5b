// IFM's LAG member messages: member ports join or leave their LAGs.
#pragma once

#include <cstdint>

#include "platform/wire/msg.h"

// add: 1 members join, 0 members leave.
void l2ptProcessLagMemberEvent(wire::Msg msg, int32_t add);
