// The operations on one interface that the chassis daemon's ports need: the pipeline's
// programs attached at its tc ingress and egress hooks, and taken off again.
// LinuxPortOps does them in the kernel, MemPortOps in memory for tests.
#pragma once

#include <cstdint>

#include "net/port/op_status.h"

namespace netp::port {

// The pipeline's programs, by descriptor (owned by whoever loaded them); egress -1: none there.
struct TcPrograms {
    int ingress = -1;
    int egress = -1;
    bool operator==(const TcPrograms&) const = default;
};

class PortOps {
  public:
    virtual ~PortOps() = default;
    // Attaches both programs at ifindex (what was attached there by us before is replaced);
    // on a failure nothing of this call stays attached.
    virtual OpStatus attach(uint32_t ifindex, const TcPrograms& programs) = 0;
    // Takes our programs off ifindex; done when none were there.
    virtual OpStatus detach(uint32_t ifindex) = 0;
    // Whether programs of ours are at ifindex already (a previous daemon's, say).
    virtual bool holds(uint32_t ifindex) = 0;
};

}  // namespace netp::port
