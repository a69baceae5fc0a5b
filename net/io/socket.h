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

// Connects to path; an invalid Fd (errno set) when nobody listens there, or EAGAIN when a
// non-blocking connect finds the listener's backlog full.
Fd connectSeqpacket(const std::string& path, bool nonBlocking = false);
Fd acceptSeqpacket(int listenFd);

// Sends one datagram gathered from iov, with passFd (SCM_RIGHTS) when >= 0: its length, or -1
// with errno set.
ssize_t sendParts(int fd, std::span<const iovec> iov, int passFd, int flags);
// Sends one datagram; false when the peer is gone or the send failed.
bool sendDatagram(int fd, std::span<const uint8_t> data, int passFd = -1);
// Sends one PDU datagram, [ifIndex u32][frame], gathered so the frame is not copied; false when
// it did not go whole.
bool sendPduDatagram(int fd, uint32_t ifIndex, std::span<const uint8_t> frame, int flags);
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
