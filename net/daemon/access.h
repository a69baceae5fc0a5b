// Who may do what on the daemon's sockets, from the peer's credentials (SO_PEERCRED and its
// supplementary groups): root and the daemon's own user administer, the operators' group
// reads, anyone else is refused. The task's group reaches task.sock and reads on ctl.sock,
// nothing more, whatever its uid, and no port's frames: the task parses what customers send.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "net/proto/ctl.h"

namespace netp {

enum class Role { None, Operator, Task, Admin };

// The groups the daemon serves beside root and its own user.
struct Groups {
    std::optional<gid_t> operators;  // read-only commands on ctl.sock
    std::optional<gid_t> task;       // task.sock, and read-only commands on ctl.sock
};

struct Peer {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    Role role = Role::None;    // on ctl.sock
    bool mayTask = false;      // may use task.sock
    std::string name() const;  // "pid P uid U", for the log
};

// The peer of a connected socket and its role; empty when the kernel tells nothing.
std::optional<Peer> identify(int fd, const Groups& groups);

// Whether role may run a command of access on this daemon: empty, or why not.
std::string refusal(Role role, ctl::Access access, bool lab);

}  // namespace netp
