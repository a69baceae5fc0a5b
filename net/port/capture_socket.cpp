#include "net/port/capture_socket.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace netp::port {

namespace {

constexpr int kReceiveBuffer = 4 << 20;

std::chrono::system_clock::time_point stamp(msghdr& m) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
            c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec ts;
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            return std::chrono::system_clock::time_point(
                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)));
        }
    }
    return std::chrono::system_clock::now();  // the kernel stamps every frame; never seen
}

}  // namespace

CaptureSocket::CaptureSocket(uint32_t ifindex, std::string name, Sink sink)
    : ifindex_(ifindex), name_(std::move(name)), sink_(std::move(sink)) {
    // Protocol 0 until bound: no frame of another interface is queued before the bind.
    fd_.reset(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd_.valid())
        throw std::system_error(errno, std::generic_category(), "capture socket for " + name_);
    const int on = 1;
    ::setsockopt(fd_.get(), SOL_PACKET, PACKET_AUXDATA, &on, sizeof on);
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer,
                     sizeof kReceiveBuffer) != 0) {
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    }
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(ETH_P_ALL);
    addr.sll_ifindex = static_cast<int>(ifindex);
    if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        throw std::system_error(errno, std::generic_category(), "capture bind to " + name_);
    for (size_t i = 0; i < kSlots; ++i) {
        iov_[i] = {buf_.data() + i * kSlotBytes + kTagLen, kSnapLen};
        msgs_[i].msg_hdr.msg_iov = &iov_[i];
        msgs_[i].msg_hdr.msg_iovlen = 1;
    }
}

bool CaptureSocket::read() {
    for (size_t batch = 0; batch < kBatches && !ended(); ++batch) {
        for (size_t i = 0; i < kSlots; ++i) {
            msghdr& m = msgs_[i].msg_hdr;
            m.msg_control = control_[i].bytes.data();
            m.msg_controllen = control_[i].bytes.size();
            m.msg_flags = 0;
        }
        int n;
        do {
            n = ::recvmmsg(fd_.get(), msgs_.data(), kSlots, MSG_DONTWAIT | MSG_TRUNC, nullptr);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            if (errno != ENETDOWN)
                end("capture of " + name_ + " failed: " + std::strerror(errno));
            else if (interfaceGone())
                end("interface " + name_ + " removed");
            continue;  // down: the kernel delivers again once it is up
        }
        for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
            msghdr& m = msgs_[i].msg_hdr;
            const size_t len = msgs_[i].msg_len;  // the whole frame's, with MSG_TRUNC
            const std::span<uint8_t> slot(buf_.data() + i * kSlotBytes, kSlotBytes);
            const auto bytes = restoreTag(m, slot, std::min(len, kSnapLen));
            const size_t restored = bytes.size() - std::min(len, kSnapLen);
            sink_({bytes, len + restored, stamp(m)});
        }
        if (static_cast<size_t>(n) < kSlots)
            break;
    }
    return !ended();
}

void CaptureSocket::end(std::string reason) {
    if (ended())
        return;
    kernelDrops();
    fd_.reset();
    endReason_ = std::move(reason);
}

uint64_t CaptureSocket::kernelDrops() {
    tpacket_stats st{};
    socklen_t len = sizeof st;
    // The kernel's counts start again from zero at every read.
    if (!ended() && ::getsockopt(fd_.get(), SOL_PACKET, PACKET_STATISTICS, &st, &len) == 0)
        drops_ += st.tp_drops;
    return drops_;
}

bool CaptureSocket::interfaceGone() const {
    sockaddr_ll addr{};
    socklen_t len = sizeof addr;
    // A removed interface unbinds its sockets: their index becomes -1.
    return ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
           addr.sll_ifindex != static_cast<int>(ifindex_);
}

}  // namespace netp::port
