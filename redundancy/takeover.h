// HA events: a secondary that finds itself primary takes over the line cards' agents.
#pragma once

#include <cstdint>

#include "platform/wire/msg.h"

inline constexpr uint32_t L2PT_HA_EVENT_ROLES_SETTLED = 3;

int l2ptProcessHA(wire::Msg msg);
// Registers with and configures every agent of the ACL bitmap.
int l2ptAclRegisterHA();
// Takes the master line-card slot learned from the primary out of the ACL bitmap.
void l2ptHalHAUpdateAclBitmap();
