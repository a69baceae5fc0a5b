// Who may do what on the daemon's sockets, from the peer's credentials (SO_PEERCRED and its
// supplementary groups): root and the daemon's own user administer, the operators' group
// reads, anyone else is refused.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "net/proto/ctl.h"

namespace netp {

enum class Role { None, Operator, Admin };

struct Peer {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    Role role = Role::None;
    std::string name() const;  // "pid P uid U", for the log
};

// The peer of a connected socket and its role; empty when the kernel tells nothing.
std::optional<Peer> identify(int fd, std::optional<gid_t> operators);

// Whether role may run a command of access on this daemon: empty, or why not.
std::string refusal(Role role, ctl::Access access, bool lab);

}  // namespace netp
