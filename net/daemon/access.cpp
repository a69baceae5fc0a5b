#include "net/daemon/access.h"

#include <unistd.h>

#include <algorithm>

#include "net/io/socket.h"

namespace netp {

std::string Peer::name() const {
    return "pid " + std::to_string(pid) + " uid " + std::to_string(uid);
}

std::optional<Peer> identify(int fd, const Groups& groups) {
    const auto cred = peerCred(fd);
    if (!cred)
        return std::nullopt;
    Peer p{cred->pid, cred->uid, cred->gid, Role::None, false};
    const auto supplementary = peerGroups(fd);
    const auto member = [&](std::optional<gid_t> g) {
        return g && (p.gid == *g || std::find(supplementary.begin(), supplementary.end(), *g) !=
                                        supplementary.end());
    };
    const bool administers = p.uid == 0 || p.uid == ::geteuid();
    // A member of the task's group reads and no more, even as root or the daemon's user.
    if (member(groups.task))
        p.role = Role::Task;
    else if (administers)
        p.role = Role::Admin;
    else if (member(groups.operators))
        p.role = Role::Operator;
    p.mayTask = administers || member(groups.task);
    return p;
}

std::string refusal(Role role, ctl::Access access, bool lab) {
    if (role == Role::None)
        return "not root, the daemon's user or in its operators' group";
    if (access == ctl::Access::Lab && !lab)
        return "scenario inputs are for a daemon started with --lab";
    // The task parses what customers send: it reads none of the other customers' frames.
    if (access == ctl::Access::Frames && role == Role::Task)
        return "the task's group may not read the ports' frames";
    if (access != ctl::Access::ReadOnly && access != ctl::Access::Frames && role != Role::Admin)
        return std::string(role == Role::Task ? "the task's group" : "the operators' group") +
               " may only run read-only commands; this one is " +
               std::string(ctl::accessName(access));
    return {};
}

}  // namespace netp
