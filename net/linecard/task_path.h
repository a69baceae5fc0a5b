// The data path of the task in the primary role: the ring its trapped PDUs arrive on, the
// packet socket its PDUs leave by and read-only views of the tables it tags them by. Each
// grant is a new generation: the socket's SO_MARK names it, and once the globals' task_mark
// names another, the egress program drops what that socket sends (fenced).
#pragma once

#include <cstdint>
#include <functional>

#include "net/io/fd.h"
#include "net/pipeline/tables.h"

namespace netp::linecard {

// What the daemon hands the task (SCM_RIGHTS).
struct TaskGrant {
    uint16_t generation = 0;
    Fd ring;                  // TrapRing::map(ring, L2PT_RING_BYTES)
    Fd tx;                    // AF_PACKET, SOCK_RAW, protocol 0: sends, receives nothing
    pipeline::ViewFds views;  // TableView::map(views)
};

// Makes the task's packet socket with this SO_MARK.
using TxSocketFn = std::function<pipeline::Result<Fd>(uint32_t mark)>;
// The socket in the kernel (CAP_NET_RAW, and CAP_NET_ADMIN for the mark and the buffer).
pipeline::Result<Fd> openTxSocket(uint32_t mark);

class TaskPath {
  public:
    static constexpr uint32_t kNoTask = 0;  // the globals' task mark before the first grant

    TaskPath(pipeline::Tables& tables, TxSocketFn openTx)
        : tables_(tables), openTx_(std::move(openTx)) {}

    // A socket and views for the next generation, then a new ring in the trap slot: from here
    // the task that held the ring before receives nothing. The caller writes mark() into the
    // globals, which fences the sockets of earlier generations.
    pipeline::Result<TaskGrant> grant();
    // Empties the trap slot and moves the generation on, to one no socket carries.
    pipeline::Status revoke();

    uint16_t generation() const { return generation_; }
    // The mark the globals name now.
    uint32_t mark() const { return mark_; }

  private:
    pipeline::Tables& tables_;
    TxSocketFn openTx_;
    uint16_t generation_ = 0;
    uint32_t mark_ = kNoTask;
};

}  // namespace netp::linecard
