// Kernel calls: sockets and descriptors through the backend, and the PDU datagrams.
#include "platform/kernel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <span>

#include "platform/backend.h"
#include "platform/src/state.h"
#include "platform/wire/bytes.h"
#include "platform/wire/l2pt.h"

namespace ozm::detail {

long recvDatagram(int fd, std::span<const std::span<uint8_t>> parts, bool* truncated) {
    constexpr size_t kMaxParts = 4;
    if (truncated != nullptr) {
        *truncated = false;
    }
    if (fd < 0 || parts.size() > kMaxParts) {
        return -1;
    }
    std::array<iovec, kMaxParts> iov{};
    size_t room = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        iov[i] = {parts[i].data(), parts[i].size()};
        room += parts[i].size();
    }
    msghdr hdr{};
    hdr.msg_iov = iov.data();
    hdr.msg_iovlen = parts.size();
    ssize_t n;
    do {
        // MSG_TRUNC: a datagram longer than the parts reports its real length.
        n = ::recvmsg(fd, &hdr, MSG_DONTWAIT | MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == ENOTSOCK) {
        // A pipe: its reads are what one write put in, as long as writes stay small.
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 0) != 1 || (ready.revents & POLLIN) == 0) {
            return -1;
        }
        n = ::readv(fd, iov.data(), static_cast<int>(parts.size()));
    }
    if (n >= 0 && (hdr.msg_flags & MSG_TRUNC) != 0 && static_cast<size_t>(n) <= room) {
        n = static_cast<ssize_t>(room) + 1;  // cut, whole length unknown: one byte more
    }
    if (n > 0 && truncated != nullptr && static_cast<size_t>(n) > room) {
        *truncated = true;
    }
    return n < 0 ? -1 : static_cast<long>(n);
}

}  // namespace ozm::detail

namespace ozm {

long Backend::receive(int fd, std::span<const std::span<uint8_t>> parts, bool* truncated) {
    return detail::recvDatagram(fd, parts, truncated);
}

}  // namespace ozm

namespace kern {

int socket(int family, int type, int protocol) {
    return ozm::backend().openSocket(family, type, protocol);
}

int bind(int fd, const uint8_t* addr, int addrLen) {
    if (addr == nullptr || addrLen < 0) {
        return -1;
    }
    return ozm::backend().bindSocket(fd, std::span<const uint8_t>(addr, addrLen));
}

int close(int fd) {
    if (ozm::detail::swpClosePipe(fd)) {
        return 0;
    }
    return ozm::backend().closeFd(fd);
}

// The one interface request the task makes: hand the tunnel MAC to the kernel.
int ioctl(int fd, unsigned long request, void* arg) {
    if (ozm::fault("ioctl") || request != macreq::kIoctl || arg == nullptr) {
        return -1;
    }
    const auto* r = static_cast<const uint8_t*>(arg);
    if (wire::getU32(r, macreq::kCmd) != macreq::kCmdValue ||
        wire::getU8(r, macreq::kAddrLen) != macreq::kAddrLenValue ||
        wire::getU8(r, macreq::kAddrType) != macreq::kAddrTypeValue) {
        return -1;
    }
    ozm::MacAddress mac;
    std::copy_n(r + macreq::kMac, mac.size(), mac.begin());
    return ozm::backend().setTunnelMac(fd, mac);
}

// Only read readiness is waited for: the other sets come back empty.
int select(int nfds, OzmFdSet* readSet, OzmFdSet* writeSet, OzmFdSet* exceptSet,
           OzmTimeval* timeout) {
    if (writeSet != nullptr) {
        OZM_FD_ZERO(writeSet);
    }
    if (exceptSet != nullptr) {
        OZM_FD_ZERO(exceptSet);
    }
    return ozm::backend().wait(nfds, readSet, timeout);
}

int lastErrno() {
    return ozm::backend().lastWaitErrno();
}

}  // namespace kern

int ozmRecvfrom(int sock, uint8_t* buf, int len, int /*flags*/, void* /*from*/, int* /*fromLen*/,
                uint32_t* rxIfIndex) {
    if (buf == nullptr || len < 0) {
        return -1;
    }
    std::array<uint8_t, pdudgram::kFrame> index;
    std::span<uint8_t> parts[] = {index, {buf, static_cast<size_t>(len)}};
    bool truncated = false;
    long n = ozm::backend().receive(sock, parts, &truncated);
    if (n < static_cast<long>(pdudgram::kFrame)) {
        return -1;
    }
    if (rxIfIndex != nullptr) {
        *rxIfIndex = wire::getU32(index.data(), pdudgram::kIfIndex);
    }
    return static_cast<int>(n - static_cast<long>(pdudgram::kFrame));
}

int ozmSendto(int sock, const uint8_t* buf, int len, int /*flags*/, const uint8_t* /*addr*/,
              int /*addrLen*/, uint32_t egressIfIndex) {
    if (buf == nullptr || len < 0) {
        return -1;
    }
    return ozm::backend().pduSend(sock, egressIfIndex,
                                  std::span<const uint8_t>(buf, static_cast<size_t>(len)));
}

void ozmPduDropped(uint32_t rxIfIndex, uint32_t reason, const char* reasonText) {
    ozm::backend().pduDropped(rxIfIndex, reason, reasonText != nullptr ? reasonText : "");
}
