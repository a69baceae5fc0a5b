#include "net/io/batch.h"

#include <cerrno>
#include <cstring>

namespace netp {

namespace {

// The descriptors a received message carries, owned from here on.
size_t takeFds(msghdr& m, std::span<Fd> into, Closer* closer) {
    size_t taken = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t k = 0; k < count; ++k) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + k * sizeof(int), sizeof fd);
            if (taken < into.size())
                into[taken++].reset(fd);
            else if (closer != nullptr)
                closer->close(Fd(fd));
            else
                Fd extra(fd);  // closed at once
        }
    }
    return taken;
}

}  // namespace

SendBatch::SendBatch(size_t slots, size_t slotBytes)
    : slots_(slots),
      slotBytes_(slotBytes),
      data_(slots * slotBytes),
      iov_(slots),
      to_(slots),
      msgs_(slots) {}

std::span<uint8_t> SendBatch::append(size_t len, const sockaddr_ll* to) {
    if (full() || len > slotBytes_)
        return {};
    const size_t i = count_++;
    uint8_t* slot = data_.data() + i * slotBytes_;
    iov_[i] = {slot, len};
    mmsghdr& m = msgs_[i];
    m = {};
    m.msg_hdr.msg_iov = &iov_[i];
    m.msg_hdr.msg_iovlen = 1;
    if (to != nullptr) {
        to_[i] = *to;
        m.msg_hdr.msg_name = &to_[i];
        m.msg_hdr.msg_namelen = sizeof to_[i];
    }
    return {slot, len};
}

std::span<uint8_t> SendBatch::resizeLast(size_t len) {
    if (empty() || len > slotBytes_)
        return {};
    iovec& v = iov_[count_ - 1];
    v.iov_len = len;
    return {static_cast<uint8_t*>(v.iov_base), v.iov_len};
}

int SendBatch::sendBatch(int fd, size_t at, int flags) {
    const int n =
        ::sendmmsg(fd, msgs_.data() + at, static_cast<unsigned>(count_ - at), MSG_NOSIGNAL | flags);
    if (n < 0)
        return errno == EINTR ? -1 : 0;
    return n;
}

RecvBatch::RecvBatch(size_t slots, size_t slotBytes)
    : slotBytes_(slotBytes),
      data_(slots * slotBytes),
      iov_(slots),
      msgs_(slots),
      control_(slots),
      fds_(slots) {
    out_.reserve(slots);
    for (size_t i = 0; i < slots; ++i) {
        iov_[i] = {data_.data() + i * slotBytes_, slotBytes_};
        msgs_[i].msg_hdr.msg_iov = &iov_[i];
        msgs_[i].msg_hdr.msg_iovlen = 1;
    }
}

std::span<const RecvBatch::Datagram> RecvBatch::receive(int fd) {
    out_.clear();
    const bool roomForFds = closer_ == nullptr || closer_->waiting() < Closer::kMaxWaiting;
    for (size_t i = 0; i < msgs_.size(); ++i) {
        msghdr& m = msgs_[i].msg_hdr;
        m.msg_flags = 0;
        m.msg_control = roomForFds ? control_[i].bytes.data() : nullptr;
        m.msg_controllen = roomForFds ? control_[i].bytes.size() : 0;
        for (Fd& f : fds_[i]) {
            if (closer_ != nullptr)
                closer_->close(std::move(f));
            else
                f.reset();
        }
    }
    int n;
    do {
        n = ::recvmmsg(fd, msgs_.data(), static_cast<unsigned>(msgs_.size()),
                       MSG_DONTWAIT | MSG_CMSG_CLOEXEC, nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        out_.push_back({{}, Status::Ok, {}});  // the connection failed: as good as its end
        return out_;
    }
    for (int i = 0; i < n; ++i) {
        const auto at = static_cast<size_t>(i);
        mmsghdr& m = msgs_[at];
        const size_t taken = takeFds(m.msg_hdr, fds_[at], closer_);
        const bool cut = (m.msg_hdr.msg_flags & MSG_TRUNC) != 0;
        const size_t len = cut ? 0 : m.msg_len;
        out_.push_back({{data_.data() + at * slotBytes_, len},
                        cut ? Status::Truncated : Status::Ok,
                        std::span(fds_[at]).first(taken)});
        if (!cut && len == 0)
            break;  // the peer's end: what follows it is the same end again
    }
    return out_;
}

}  // namespace netp
