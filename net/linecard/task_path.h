// The data path of the task in the primary role: the ring its trapped PDUs arrive on, the
// packet socket its PDUs leave by and read-only views of the tables it tags them by. Each
// grant is a new generation with a link of its own (port::TaskLink): the pipeline hears only
// the link the globals name, marks what it takes from there with the generation, and the
// egress program drops frames of any other generation (fenced). The link of the generation
// before is deleted.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "net/io/fd.h"
#include "net/pipeline/tables.h"
#include "net/port/port_ops.h"
#include "net/port/task_link.h"

namespace netp::linecard {

// What the daemon hands the task (SCM_RIGHTS).
struct TaskGrant {
    uint16_t generation = 0;
    Fd ring;                  // TrapRing::map(ring, L2PT_RING_BYTES)
    Fd tx;                    // AF_PACKET, SOCK_RAW, bound: sends, receives nothing
    pipeline::ViewFds views;  // TableView::map(views)
};

// The way one generation's PDUs leave.
struct TaskTx {
    Fd socket;                             // the task's
    uint32_t ifindex = 0;                  // where its frames come in to the pipeline
    std::unique_ptr<port::TaskLink> link;  // deleted with this; none in memory
};
using TaskTxFn = std::function<pipeline::Result<TaskTx>(uint16_t generation)>;
// In the kernel: a TaskLink named after this process and the generation, with the pipeline's
// task program (taskProgram) attached at both hooks of our end by ops.
pipeline::Result<TaskTx> openTaskLink(uint16_t generation, port::PortOps& ops, int taskProgram);

class TaskPath {
  public:
    static constexpr uint32_t kNoTask = 0;  // the globals' task mark before the first grant

    TaskPath(pipeline::Tables& tables, TaskTxFn openTx)
        : tables_(tables), openTx_(std::move(openTx)) {}
    // The link of the generation in the role stays when the daemon stops (TaskLink::keep).
    ~TaskPath();
    TaskPath(const TaskPath&) = delete;
    TaskPath& operator=(const TaskPath&) = delete;

    // Adopted tables: goes on from the generation their globals name (mark, ifindex), whose
    // link, a daemon's before, is deleted with the next grant or revoke.
    void adopt(uint32_t mark, uint32_t ifindex);

    // A link and views for the next generation, then a new ring in the trap slot: from here
    // the task that held the ring before receives nothing. The caller writes mark() and
    // ifindex() into the globals, which fences the sockets of earlier generations.
    pipeline::Result<TaskGrant> grant();
    // Parks a new ring in the trap slot (the task that held the one before receives nothing;
    // the next grant hands the new one over with what queued in it), deletes the link and
    // moves the generation on, to one no link has.
    pipeline::Status revoke();

    uint16_t generation() const { return generation_; }
    // The mark the globals name now.
    uint32_t mark() const { return mark_; }
    // Our end of the link the globals name now; 0: none.
    uint32_t ifindex() const { return tx_.ifindex; }
    // Whether that link is a daemon's before, with the task program of that daemon's build.
    bool adoptedLink() const { return adoptedIf_ != 0; }
    // Whether that link is still there, held by the task of the daemon before: a task that
    // lost its daemon relays PDUs on the data path it was granted until a daemon serves, and
    // reads the adopted ring meanwhile.
    bool adoptedLinkHeld() const;
    // Deletes the links of earlier generations. They outlive the grant or revoke that ended
    // them until this is called (the pipeline no longer hears them), so that the kernel's wait
    // in deleting one (20-30 ms) does not hold up the grant to the new primary.
    void deleteRetired() { retired_.clear(); }

  private:
    // The generation's link joins the retired ones.
    void retire();

    pipeline::Tables& tables_;
    TaskTxFn openTx_;
    TaskTx tx_;  // the generation's, its socket handed over
    std::vector<std::unique_ptr<port::TaskLink>> retired_;
    uint16_t generation_ = 0;
    uint32_t mark_ = kNoTask;
    uint32_t adoptedIf_ = 0;  // the link of the daemon before, while it is the one in force
};

}  // namespace netp::linecard
