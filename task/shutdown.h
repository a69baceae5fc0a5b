// Task disable and the teardown of everything the task holds.
#pragma once

#include <cstdint>

inline constexpr int L2PT_EXIT_DISABLE = 0;
inline constexpr int L2PT_EXIT_STARTUP_FAILURE = 142;

void l2ptProcessTaskDisable(uint8_t* msg, uint32_t len);
// Tells the agents, frees every record, closes every descriptor and ends the process.
int l2ptTaskExit(int reason);
