#include "net/io/out_queue.h"

#include <algorithm>
#include <cstring>

namespace netp {

OutQueue::OutQueue(size_t capacity) : capacity_(padded(capacity)) {}

void OutQueue::put(size_t at, std::span<const uint8_t> bytes) {
    if (bytes.empty())
        return;  // an empty part's data() may be null, which memcpy must never see
    const size_t first = std::min(bytes.size(), capacity_ - at);
    std::memcpy(ring_.data() + at, bytes.data(), first);
    std::memcpy(ring_.data(), bytes.data() + first, bytes.size() - first);
}

bool OutQueue::push(std::span<const std::span<const uint8_t>> parts, bool carriesFd) {
    size_t len = 0;
    for (const auto& p : parts)
        len += p.size();
    const size_t need = kHeader + padded(len);
    if (len >= kFdBit || need > capacity_ - used_)
        return false;
    if (ring_.empty())
        ring_.resize(capacity_);
    size_t at = (head_ + used_) % capacity_;
    const uint32_t header = static_cast<uint32_t>(len) | (carriesFd ? kFdBit : 0);
    std::memcpy(ring_.data() + at, &header, kHeader);  // headers are aligned: never split
    at = (at + kHeader) % capacity_;
    for (const auto& p : parts) {
        put(at, p);
        at = (at + p.size()) % capacity_;
    }
    used_ += need;
    ++count_;
    return true;
}

OutQueue::Front OutQueue::front() {
    Front f;
    if (empty())
        return f;
    uint32_t header;
    std::memcpy(&header, ring_.data() + head_, kHeader);
    f.len = header & ~kFdBit;
    f.carriesFd = (header & kFdBit) != 0;
    const size_t at = (head_ + kHeader) % capacity_;
    const size_t first = std::min(f.len, capacity_ - at);
    f.iov[0] = {ring_.data() + at, first};
    f.iov[1] = {ring_.data(), f.len - first};
    f.pieces = f.len > first ? 2 : 1;
    return f;
}

void OutQueue::pop() {
    if (empty())
        return;
    uint32_t header;
    std::memcpy(&header, ring_.data() + head_, kHeader);
    const size_t need = kHeader + padded(header & ~kFdBit);
    head_ = (head_ + need) % capacity_;
    used_ -= need;
    --count_;
    if (count_ == 0)
        head_ = 0;
}

}  // namespace netp
