#include "net/linecard/task_path.h"

#include <sys/socket.h>

#include <cerrno>

namespace netp::linecard {

using pipeline::Result;
using pipeline::Status;

namespace {

// Room for a burst of PDUs to many ports (a flood to every port of a chassis) without the
// task's sends blocking.
constexpr int kTxSendBuffer = 4 << 20;

uint32_t markOf(uint16_t generation) {
    return L2PT_TASK_MARK_BASE | generation;
}

}  // namespace

Result<Fd> openTxSocket(uint32_t mark) {
    // Protocol 0: the socket is bound to no protocol, so nothing is queued on it to read.
    Fd fd(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return Status::sysFailure("the task's packet socket", errno);
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0)
        return Status::sysFailure("the task's packet socket: SO_MARK", errno);
    // Past the system's ceiling when privileged, else up to it.
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUFFORCE, &kTxSendBuffer, sizeof kTxSendBuffer) !=
            0 &&
        ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &kTxSendBuffer, sizeof kTxSendBuffer) != 0)
        return Status::sysFailure("the task's packet socket: SO_SNDBUF", errno);
    return fd;
}

Result<TaskGrant> TaskPath::grant() {
    const auto next = static_cast<uint16_t>(generation_ + 1);
    Result<Fd> tx = openTx_(markOf(next));
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
    return TaskGrant{next, std::move(*ring), std::move(*tx), std::move(*views)};
}

Status TaskPath::revoke() {
    generation_ = static_cast<uint16_t>(generation_ + 1);
    mark_ = markOf(generation_);
    return tables_.removeTaskRing();
}

}  // namespace netp::linecard
