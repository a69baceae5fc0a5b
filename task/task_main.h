// Process skeleton: start-up and the main loop.
#pragma once

#include "base/tcb.h"

// The task body: -1 when start-up fails before the loop, 0 after a start-up failure handled
// through l2ptTaskExit; once in the loop it does not return.
int l2ptTaskMain(int argc, char** argv);
