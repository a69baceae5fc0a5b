#include "net/daemon/access.h"

#include <unistd.h>

#include <algorithm>

#include "net/io/socket.h"

namespace netp {

std::string Peer::name() const {
    return "pid " + std::to_string(pid) + " uid " + std::to_string(uid);
}

std::optional<Peer> identify(int fd, std::optional<gid_t> operators) {
    const auto cred = peerCred(fd);
    if (!cred)
        return std::nullopt;
    Peer p{cred->pid, cred->uid, cred->gid, Role::None};
    if (p.uid == 0 || p.uid == ::geteuid()) {
        p.role = Role::Admin;
    } else if (operators) {
        const auto groups = peerGroups(fd);
        if (p.gid == *operators ||
            std::find(groups.begin(), groups.end(), *operators) != groups.end())
            p.role = Role::Operator;
    }
    return p;
}

std::string refusal(Role role, ctl::Access access, bool lab) {
    if (role == Role::None)
        return "not root, the daemon's user or in its operators' group";
    if (access == ctl::Access::Lab && !lab)
        return "scenario inputs are for a daemon started with --lab";
    if (access != ctl::Access::ReadOnly && role != Role::Admin)
        return "the operators' group may only run read-only commands; this one is " +
               std::string(ctl::accessName(access));
    return {};
}

}  // namespace netp
