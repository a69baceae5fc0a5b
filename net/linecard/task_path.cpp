#include "net/linecard/task_path.h"

#include <net/if.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace netp::linecard {

using pipeline::Result;
using pipeline::Status;

namespace {

uint32_t markOf(uint16_t generation) {
    return L2PT_TASK_MARK_BASE | generation;
}

// "l2pt" and this process and the generation in hex: unique among daemons of a namespace, and
// within IFNAMSIZ (a pid has at most 6 hex digits, a generation 4).
std::string linkName(uint16_t generation) {
    char name[IFNAMSIZ];
    std::snprintf(name, sizeof name, "l2pt%xt%x", static_cast<unsigned>(::getpid()),
                  static_cast<unsigned>(generation));
    return name;
}

}  // namespace

Result<TaskTx> openTaskLink(uint16_t generation, port::PortOps& ops, int taskProgram) {
    port::OpStatus st;
    std::unique_ptr<port::TaskLink> link = port::TaskLink::open(linkName(generation), st);
    if (!link)
        return Status::failure(st.text());
    if (st = ops.attach(link->ifindex(), {taskProgram, taskProgram}); !st.ok())
        return Status::failure("the task link: " + st.text());
    const uint32_t ifindex = link->ifindex();
    return TaskTx{link->takeSocket(), ifindex, std::move(link)};
}

Result<TaskGrant> TaskPath::grant() {
    const auto next = static_cast<uint16_t>(generation_ + 1);
    Result<TaskTx> tx = openTx_(next);
    if (!tx)
        return tx.status();
    Result<pipeline::ViewFds> views = tables_.viewFds();
    if (!views)
        return views.status();
    Result<Fd> ring = tables_.newTaskRing();
    if (!ring)
        return ring.status();
    generation_ = next;
    mark_ = markOf(next);
    Fd socket = std::move(tx->socket);
    retire();
    tx_ = std::move(*tx);
    return TaskGrant{next, std::move(*ring), std::move(socket), std::move(*views)};
}

TaskPath::~TaskPath() {
    if (tx_.link)
        tx_.link->keep();
}

void TaskPath::adopt(uint32_t mark, uint32_t ifindex) {
    if ((mark & L2PT_TASK_MARK_MASK) != L2PT_TASK_MARK_BASE)
        return;
    generation_ = static_cast<uint16_t>(mark & ~L2PT_TASK_MARK_MASK);
    mark_ = mark;
    tx_.ifindex = ifindex;
    adoptedIf_ = ifindex;
}

bool TaskPath::adoptedLinkHeld() const {
    return adoptedIf_ != 0 && port::TaskLink::exists(adoptedIf_);
}

void TaskPath::retire() {
    if (tx_.link)
        retired_.push_back(std::move(tx_.link));
    else if (adoptedIf_ != 0) {
        if (auto left = port::TaskLink::leftover(adoptedIf_))
            retired_.push_back(std::move(left));
    }
    adoptedIf_ = 0;
    tx_ = {};
}

Status TaskPath::revoke() {
    generation_ = static_cast<uint16_t>(generation_ + 1);
    mark_ = markOf(generation_);
    retire();
    return tables_.parkTaskRing();
}

}  // namespace netp::linecard
