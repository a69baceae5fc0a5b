// The datagrams a connection could not send yet, in order, in one ring of bytes that grows, by
// doubling, as far as what waits needs (up to the queue's capacity) and is let go when nothing
// waits: queueing under load allocates nothing per datagram, and a queue holds memory only for
// what waits in it.
#pragma once

#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "net/io/queue_budget.h"

namespace netp {

class OutQueue {
  public:
    // budget, when given, pays for the ring beyond its floor; it outlives the queue.
    explicit OutQueue(size_t capacity, QueueBudget* budget = nullptr);
    ~OutQueue();
    OutQueue(const OutQueue&) = delete;
    OutQueue& operator=(const OutQueue&) = delete;

    // Appends one datagram gathered from parts; false when it does not fit the capacity, or the
    // ring cannot grow for it within the budget.
    bool push(std::span<const std::span<const uint8_t>> parts, bool carriesFd);
    bool empty() const { return count_ == 0; }
    size_t bytes() const { return used_; }
    size_t capacity() const { return capacity_; }
    size_t allocated() const { return ring_.size(); }
    const QueueBudget* budget() const { return budget_; }

    struct Front {
        std::array<iovec, 2> iov{};  // the datagram, in two pieces where the ring wraps
        size_t pieces = 0;
        size_t len = 0;
        bool carriesFd = false;
    };
    Front front();
    void pop();

  private:
    static constexpr size_t kHeader = sizeof(uint32_t);  // length, and the descriptor bit
    static constexpr uint32_t kFdBit = 0x80000000u;
    static constexpr size_t kFirstRing = 4096;  // the ring's size when it is first needed
    static size_t padded(size_t len) { return (len + kHeader - 1) / kHeader * kHeader; }
    void put(size_t at, std::span<const uint8_t> bytes);
    bool grow(size_t need);
    void release();

    size_t capacity_;
    QueueBudget* budget_;
    std::vector<uint8_t> ring_;
    size_t head_ = 0;  // the front record's header
    size_t used_ = 0;
    size_t count_ = 0;
};

}  // namespace netp
