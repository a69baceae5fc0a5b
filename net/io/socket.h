// Unix SOCK_SEQPACKET sockets of the chassis daemon: connecting by path (the daemon listens in
// its run directory: net/daemon/rundir.h), whole-datagram sends and receives, and the peer's
// credentials.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/io/fd.h"

namespace netp {

inline constexpr size_t kMaxDatagram = 16384;  // larger than any control message or frame
// Descriptors one datagram may carry (SCM_RIGHTS); a receiver closes any beyond.
inline constexpr size_t kMaxPassedFds = 8;

// Connects to path; an invalid Fd (errno set) when nobody listens there, or EAGAIN when a
// non-blocking connect finds the listener's backlog full.
Fd connectSeqpacket(const std::string& path, bool nonBlocking = false);
Fd acceptSeqpacket(int listenFd);

// Sends one datagram gathered from iov, with fds (SCM_RIGHTS, at most kMaxPassedFds): its
// length, or -1 with errno set.
ssize_t sendParts(int fd, std::span<const iovec> iov, std::span<const int> fds, int flags);
// Sends one datagram; false when the peer is gone or the send failed.
bool sendDatagram(int fd, std::span<const uint8_t> data, std::span<const int> fds = {});
enum class Recv { Ok, Empty, Closed, Truncated };
// Receives one datagram into buf (resized to it), without blocking unless wait is set.
Recv recvDatagram(int fd, std::vector<uint8_t>& buf, bool wait);
// Waits up to timeoutMs (-1: for ever) for fd to become readable.
bool waitReadable(int fd, int timeoutMs);

struct PeerCred {
    pid_t pid;
    uid_t uid;
    gid_t gid;
};
std::optional<PeerCred> peerCred(int fd);
// The peer's supplementary groups as they were when it connected; empty when unknown.
std::vector<gid_t> peerGroups(int fd);

}  // namespace netp
