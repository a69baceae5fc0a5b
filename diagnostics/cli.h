// CLI requests: show requests and per-port debug filters; "undebug all".
#pragma once

#include <cstdint>

#include "platform/wire/msg.h"

// Results of a debug-filter request.
inline constexpr uint32_t L2PT_CLI_OK = 0;
inline constexpr uint32_t L2PT_CLI_NO_MEMORY = 1;
inline constexpr uint32_t L2PT_CLI_NO_FILTER = 2;
inline constexpr uint32_t L2PT_CLI_BAD_DIRECTION = 3;

// Answers the request in place over the receive buffer, whatever its length; the result of the
// reply.
int l2ptProcessCli(wire::Msg msg, wire::ReplyMsg reply);
void l2ptResetAllDebug();
