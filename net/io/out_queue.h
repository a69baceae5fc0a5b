// The datagrams a connection could not send yet, in order, in one ring of bytes allocated the
// first time it is needed: queueing under load allocates nothing per datagram.
#pragma once

#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace netp {

class OutQueue {
  public:
    explicit OutQueue(size_t capacity);

    // Appends one datagram gathered from parts; false when it does not fit.
    bool push(std::span<const std::span<const uint8_t>> parts, bool carriesFd);
    bool empty() const { return count_ == 0; }
    size_t bytes() const { return used_; }
    size_t capacity() const { return capacity_; }

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
    static size_t padded(size_t len) { return (len + kHeader - 1) / kHeader * kHeader; }
    void put(size_t at, std::span<const uint8_t> bytes);

    size_t capacity_;
    std::vector<uint8_t> ring_;
    size_t head_ = 0;  // the front record's header
    size_t used_ = 0;
    size_t count_ = 0;
};

}  // namespace netp
