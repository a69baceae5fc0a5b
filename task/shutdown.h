// Task disable and the teardown of everything the task holds.
#pragma once

#include <cstdint>

#include "platform/wire/msg.h"

inline constexpr int L2PT_EXIT_DISABLE = 0;
inline constexpr int L2PT_EXIT_STARTUP_FAILURE = 142;

// Answers the request in place over the receive buffer at once, then ends the task.
void l2ptProcessTaskDisable(wire::Msg msg, wire::ReplyMsg reply);
// Tells the agents, frees every record, closes every descriptor and ends the process.
int l2ptTaskExit(int reason);
