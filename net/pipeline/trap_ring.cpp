#include "net/pipeline/trap_ring.h"

#include <linux/bpf.h>
#include <poll.h>
#include <sys/mman.h>

#include <utility>

namespace netp::pipeline {

namespace {

// The kernel's positions are unsigned longs at the start of the consumer and producer pages.
using Pos = unsigned long;

constexpr uint32_t kHeaderBytes = BPF_RINGBUF_HDR_SZ;
constexpr uint32_t kFlagBits = BPF_RINGBUF_BUSY_BIT | BPF_RINGBUF_DISCARD_BIT;
constexpr uint64_t kRecordAlign = 8;
constexpr size_t kMaxDataBytes = size_t{1} << 30;

Pos loadAcquire(const uint8_t* page) {
    return __atomic_load_n(reinterpret_cast<const Pos*>(page), __ATOMIC_ACQUIRE);
}

}  // namespace

TrapRing::TrapRing(Fd fd, Mapping consumer, Mapping producer, size_t dataBytes)
    : fd_(std::move(fd)),
      consumer_(std::move(consumer)),
      producer_(std::move(producer)),
      mask_(dataBytes - 1),
      cons_(loadAcquire(consumer_.data())),
      prod_(loadAcquire(producer_.data())),
      published_(cons_) {
    // Whoever held the ring before (the task) may have left any position in its consumer page.
    // One that no reader leaves, ahead of the producer's or further behind it than the ring
    // holds, is taken as the producer's: what lies between is no record, and the kernel, which
    // sees the ring full meanwhile, may produce again.
    if (prod_ - cons_ > mask_ + 1) {
        cons_ = prod_;
        publish();
    }
}

Result<TrapRing> TrapRing::map(Fd fd, size_t dataBytes) {
    const size_t page = pageSize();
    if (dataBytes == 0 || (dataBytes & (dataBytes - 1)) || dataBytes % page ||
        dataBytes > kMaxDataBytes)
        return Status::failure("ring buffer of " + std::to_string(dataBytes) +
                               " bytes: not a power of two in whole pages");
    Result<Mapping> consumer =
        Mapping::map(fd.get(), page, 0, PROT_READ | PROT_WRITE, "the ring's consumer page");
    if (!consumer)
        return consumer.status();
    Result<Mapping> producer = Mapping::map(fd.get(), page + 2 * dataBytes,
                                            static_cast<off_t>(page), PROT_READ, "the ring's data");
    if (!producer)
        return producer.status();
    return TrapRing(std::move(fd), std::move(*consumer), std::move(*producer), dataBytes);
}

std::span<const uint8_t> TrapRing::peek() {
    for (;;) {
        if (cons_ >= prod_) {
            prod_ = loadAcquire(producer_.data());
            if (cons_ >= prod_)
                return {};
        }
        const uint8_t* header = data() + (cons_ & mask_);
        const uint32_t word =
            __atomic_load_n(reinterpret_cast<const uint32_t*>(header), __ATOMIC_ACQUIRE);
        if (word & BPF_RINGBUF_BUSY_BIT)
            return {};  // reserved, not yet committed
        const uint64_t len = word & ~kFlagBits;
        if (len > mask_ + 1 - kHeaderBytes)
            return {};  // no producer writes such a record: leave the ring alone
        const Pos next = cons_ + ((len + kHeaderBytes + kRecordAlign - 1) & ~(kRecordAlign - 1));
        if (!(word & BPF_RINGBUF_DISCARD_BIT)) {
            next_ = next;
            return {header + kHeaderBytes, static_cast<size_t>(len)};
        }
        cons_ = next;
    }
}

std::span<const uint8_t> TrapRing::peekWaiting(int timeoutMs) {
    std::span<const uint8_t> rec = peek();
    if (!rec.empty())
        return rec;
    publish();
    pollfd p{fd_.get(), POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1 ? peek() : rec;
}

void TrapRing::release() {
    if (next_ == 0)
        return;
    cons_ = next_;
    next_ = 0;
    if (cons_ - published_ >= kPublishBytes)
        publish();
}

void TrapRing::publish() {
    if (published_ == cons_)
        return;
    __atomic_store_n(reinterpret_cast<Pos*>(consumer_.data()), cons_, __ATOMIC_RELEASE);
    published_ = cons_;
}

}  // namespace netp::pipeline
