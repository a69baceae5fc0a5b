#include "net/io/batch.h"

#include <cerrno>
#include <cstring>

namespace netp {

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

int SendBatch::sendBatch(int fd, size_t at, int flags) {
    const int n =
        ::sendmmsg(fd, msgs_.data() + at, static_cast<unsigned>(count_ - at), MSG_NOSIGNAL | flags);
    if (n < 0)
        return errno == EINTR ? -1 : 0;
    return n;
}

RecvBatch::RecvBatch(size_t slots, size_t slotBytes)
    : slotBytes_(slotBytes), data_(slots * slotBytes), iov_(slots), msgs_(slots) {
    out_.reserve(slots);
    for (size_t i = 0; i < slots; ++i) {
        iov_[i] = {data_.data() + i * slotBytes_, slotBytes_};
        msgs_[i].msg_hdr.msg_iov = &iov_[i];
        msgs_[i].msg_hdr.msg_iovlen = 1;
    }
}

std::span<const RecvBatch::Datagram> RecvBatch::receive(int fd) {
    out_.clear();
    for (auto& m : msgs_)
        m.msg_hdr.msg_flags = 0;
    int n;
    do {
        n = ::recvmmsg(fd, msgs_.data(), static_cast<unsigned>(msgs_.size()), MSG_DONTWAIT,
                       nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        out_.push_back({{}, Status::Ok});  // the connection failed: as good as its end
        return out_;
    }
    for (int i = 0; i < n; ++i) {
        const mmsghdr& m = msgs_[static_cast<size_t>(i)];
        const bool cut = (m.msg_hdr.msg_flags & MSG_TRUNC) != 0;
        const size_t len = cut ? 0 : m.msg_len;
        out_.push_back({{data_.data() + static_cast<size_t>(i) * slotBytes_, len},
                        cut ? Status::Truncated : Status::Ok});
        if (!cut && len == 0)
            break;  // the peer's end: what follows it is the same end again
    }
    return out_;
}

}  // namespace netp
