// l2pt-chassisd --remove NAME: takes a switch out of service for good. The pipeline outlives
// its daemon (pipeline/pins.h); this is what ends it: our filters off the interfaces of this
// network namespace that carry them (the chassis file's ports, and any interface whose filter
// runs a program pinned for the switch), the clsact qdisc where nothing else hangs on it any
// more, the task's link the pins name, and the pin directory.
#pragma once

#include <string>

#include "net/log/logger.h"

namespace netp {

struct RemoveOptions {
    std::string name;         // the switch among the pins: its run directory's name
    std::string bpffs;        // where they are
    std::string chassisFile;  // empty: the interfaces found by their filters' programs alone
};

// The exit status: 0 when nothing of the switch is left (or nothing was there), 1 when a daemon
// still serves it or something could not be removed (each logged).
int removeSwitch(const RemoveOptions& options, Logger& log);

}  // namespace netp
