#include "net/io/socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace netp {

namespace {

std::optional<sockaddr_un> unixAddress(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path)
        return std::nullopt;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

}  // namespace

Fd connectSeqpacket(const std::string& path, bool nonBlocking) {
    auto addr = unixAddress(path);
    if (!addr) {
        errno = ENAMETOOLONG;
        return Fd();
    }
    Fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0));
    if (fd.valid() &&
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0) {
        fd.reset();
    }
    return fd;
}

Fd acceptSeqpacket(int listenFd) {
    return Fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
}

ssize_t sendParts(int fd, std::span<const iovec> iov, std::span<const int> fds, int flags) {
    if (fds.size() > kMaxPassedFds) {
        errno = EINVAL;
        return -1;
    }
    msghdr m{};
    m.msg_iov = const_cast<iovec*>(iov.data());
    m.msg_iovlen = iov.size();
    struct alignas(cmsghdr) {
        std::array<uint8_t, CMSG_SPACE(sizeof(int) * kMaxPassedFds)> bytes;
    } control{};
    if (!fds.empty()) {
        m.msg_control = control.bytes.data();
        m.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    ssize_t n;
    do {
        n = ::sendmsg(fd, &m, MSG_NOSIGNAL | flags);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool sendDatagram(int fd, std::span<const uint8_t> data, std::span<const int> fds) {
    const iovec iov{const_cast<uint8_t*>(data.data()), data.size()};
    return sendParts(fd, std::span(&iov, 1), fds, 0) == static_cast<ssize_t>(data.size());
}

Recv recvDatagram(int fd, std::vector<uint8_t>& buf, bool wait) {
    // Read into a fixed area and copy what came: growing buf to the largest datagram for every
    // read would clear kilobytes per small message.
    thread_local std::array<uint8_t, kMaxDatagram> area;
    ssize_t n;
    do {
        n = ::recv(fd, area.data(), area.size(), MSG_TRUNC | (wait ? 0 : MSG_DONTWAIT));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        buf.clear();
        return errno == EAGAIN || errno == EWOULDBLOCK ? Recv::Empty : Recv::Closed;
    }
    if (n == 0) {
        // A zero-length datagram and the peer's end look alike on a SEQPACKET socket; the
        // protocol never sends empty datagrams, so this is the end.
        buf.clear();
        return Recv::Closed;
    }
    if (static_cast<size_t>(n) > area.size()) {
        buf.clear();
        return Recv::Truncated;
    }
    buf.assign(area.begin(), area.begin() + n);
    return Recv::Ok;
}

bool waitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    int n;
    do {
        n = ::poll(&p, 1, timeoutMs);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}

std::optional<PeerCred> peerCred(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return std::nullopt;
    return PeerCred{cred.pid, cred.uid, cred.gid};
}

std::vector<gid_t> peerGroups(int fd) {
    constexpr size_t kFirstGuess = 32;
    std::vector<gid_t> groups(kFirstGuess);
    for (;;) {
        auto len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
            groups.resize(len / sizeof(gid_t));
            return groups;
        }
        if (errno != ERANGE)
            return {};
        groups.resize(len / sizeof(gid_t) + 1);  // len is what the kernel needs
    }
}

}  // namespace netp
