// CLI requests: show requests and per-port debug filters; "undebug all".
#pragma once

#include <cstdint>

// Results of a debug-filter request.
inline constexpr uint32_t L2PT_CLI_OK = 0;
inline constexpr uint32_t L2PT_CLI_NO_MEMORY = 1;
inline constexpr uint32_t L2PT_CLI_NO_FILTER = 2;
inline constexpr uint32_t L2PT_CLI_BAD_DIRECTION = 3;

// Answers the request in place; the result of the reply.
int l2ptProcessCli(uint8_t* msg, uint32_t len);
void l2ptResetAllDebug();
