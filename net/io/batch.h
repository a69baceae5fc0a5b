// Datagrams sent and received several per system call (sendmmsg, recvmmsg). A PDU crosses the
// daemon and the task as a handful of datagrams; batching them keeps the system calls per PDU,
// the dominant cost of the path, low. All storage is allocated once, at construction.
#pragma once

#include <linux/if_packet.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "net/io/closer.h"
#include "net/io/socket.h"

namespace netp {

class SendBatch {
  public:
    SendBatch(size_t slots, size_t slotBytes);

    bool empty() const { return count_ == 0; }
    bool full() const { return count_ == slots_; }
    size_t size() const { return count_; }
    size_t slotBytes() const { return slotBytes_; }

    // Room for one more datagram of len bytes, filled by the caller; to, when given, is where an
    // AF_PACKET datagram goes. Empty when the batch is full or len exceeds a slot.
    std::span<uint8_t> append(size_t len, const sockaddr_ll* to = nullptr);
    // The last datagram appended (empty when none is).
    std::span<uint8_t> last() { return resizeLast(empty() ? 0 : iov_[count_ - 1].iov_len); }
    // The last datagram appended, made len bytes long (empty when a slot holds less).
    std::span<uint8_t> resizeLast(size_t len);

    // Sends every datagram on fd, in order, and empties the batch. A datagram the socket
    // refuses is skipped and reported to failed(slot) with errno set; the rest still go.
    template <typename Failed>
    void flush(int fd, int flags, Failed&& failed) {
        for (size_t at = 0; at < count_;) {
            const int n = sendBatch(fd, at, flags);
            if (n > 0) {
                at += static_cast<size_t>(n);
            } else if (n == 0) {
                failed(at++);
            }
        }
        count_ = 0;
    }
    void flush(int fd, int flags) {
        flush(fd, flags, [](size_t) {});
    }

  private:
    // One sendmmsg from slot at: the number sent, 0 for a refusal of the first (errno set),
    // -1 when interrupted before sending anything.
    int sendBatch(int fd, size_t at, int flags);

    size_t slots_;
    size_t slotBytes_;
    size_t count_ = 0;
    std::vector<uint8_t> data_;
    std::vector<iovec> iov_;
    std::vector<sockaddr_ll> to_;
    std::vector<mmsghdr> msgs_;
};

class RecvBatch {
  public:
    enum class Status { Ok, Truncated };
    // Descriptors a datagram may bring (SCM_RIGHTS); more are closed.
    static constexpr size_t kMaxFds = kMaxPassedFds;
    struct Datagram {
        std::span<uint8_t> bytes;  // empty: the peer's end of a connection
        Status status;
        std::span<Fd> fds;  // taken by whoever wants them; the rest close at the next receive
    };

    RecvBatch(size_t slots, size_t slotBytes);

    // Receives what is queued on fd without blocking, up to the batch's slots; none when
    // nothing is queued. A connection's end, or a receive error, is one last empty datagram.
    // The datagrams stay valid until the next receive.
    std::span<const Datagram> receive(int fd);
    // Descriptors from peers that are not to be trusted: those nobody took go to closer, and
    // while it has more than it may hold waiting, none is taken (the kernel drops them).
    void closeWith(Closer* closer) { closer_ = closer; }

  private:
    using Control = std::array<uint8_t, CMSG_SPACE(sizeof(int) * kMaxFds)>;
    struct alignas(cmsghdr) AlignedControl {
        Control bytes;
    };
    size_t slotBytes_;
    std::vector<uint8_t> data_;
    std::vector<iovec> iov_;
    std::vector<mmsghdr> msgs_;
    std::vector<AlignedControl> control_;
    std::vector<std::array<Fd, kMaxFds>> fds_;
    std::vector<Datagram> out_;
    Closer* closer_ = nullptr;
};

}  // namespace netp
