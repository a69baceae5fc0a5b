// What every chassis model shares: time, trace, faults, the interface database and the way
// to the task. The transport (sim backend today, net backend later) implements TaskLink.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "chassis/faults.h"
#include "chassis/ifdb.h"
#include "chassis/trace.h"

namespace chassis {

class TaskLink {
  public:
    virtual ~TaskLink() = default;
    // Queues msg for the task's request queue.
    virtual void toTask(std::vector<uint8_t> msg) = 0;
    // Queues a trapped frame for the task's PDU socket of that protocol (OZML2STP, OZML2L2PT);
    // false when the task has no such socket open.
    virtual bool toPduSocket(int protocol, uint32_t rxIfIndex, std::span<const uint8_t> frame) = 0;
};

struct Context {
    Clock& clock;
    Trace& trace;
    FaultSet& faults;
    IfDb& ifdb;
    TaskLink& task;
};

}  // namespace chassis
