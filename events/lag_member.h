// IFM's LAG member messages: member ports join or leave their LAGs.
#pragma once

#include <cstdint>

// add: 1 members join, 0 members leave.
void l2ptProcessLagMemberEvent(const uint8_t* msg, uint32_t len, int32_t add);
