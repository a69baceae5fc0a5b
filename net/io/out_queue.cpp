#include "net/io/out_queue.h"

#include <algorithm>
#include <cstring>

namespace netp {

OutQueue::OutQueue(size_t capacity, QueueBudget* budget)
    : capacity_(padded(capacity)), budget_(budget) {}

OutQueue::~OutQueue() {
    release();
}

void OutQueue::put(size_t at, std::span<const uint8_t> bytes) {
    if (bytes.empty())
        return;  // an empty part's data() may be null, which memcpy must never see
    const size_t first = std::min(bytes.size(), ring_.size() - at);
    std::memcpy(ring_.data() + at, bytes.data(), first);
    std::memcpy(ring_.data(), bytes.data() + first, bytes.size() - first);
}

bool OutQueue::push(std::span<const std::span<const uint8_t>> parts, bool carriesFd) {
    size_t len = 0;
    for (const auto& p : parts)
        len += p.size();
    const size_t need = kHeader + padded(len);
    if (len >= kFdBit || need > capacity_ - used_ || (need > ring_.size() - used_ && !grow(need)))
        return false;
    const size_t size = ring_.size();
    size_t at = (head_ + used_) % size;
    const uint32_t header = static_cast<uint32_t>(len) | (carriesFd ? kFdBit : 0);
    std::memcpy(ring_.data() + at, &header, kHeader);  // headers are aligned: never split
    at = (at + kHeader) % size;
    for (const auto& p : parts) {
        put(at, p);
        at = (at + p.size()) % size;
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
    const size_t at = (head_ + kHeader) % ring_.size();
    const size_t first = std::min(f.len, ring_.size() - at);
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
    head_ = (head_ + need) % ring_.size();
    used_ -= need;
    --count_;
    if (count_ == 0)
        release();
}

// A ring that holds what waits and needs more bytes: double the size as often as it takes, at
// most the capacity, its contents moved to its start. Sizes stay multiples of kHeader.
bool OutQueue::grow(size_t need) {
    size_t size = std::max(ring_.size(), std::min(kFirstRing, capacity_));
    while (size - used_ < need)
        size = std::min(size * 2, capacity_);
    if (budget_ != nullptr &&
        !budget_->take(budget_->beyondFloor(size) - budget_->beyondFloor(ring_.size())))
        return false;
    std::vector<uint8_t> bigger(size);
    if (used_ > 0) {
        const size_t first = std::min(used_, ring_.size() - head_);
        std::memcpy(bigger.data(), ring_.data() + head_, first);
        std::memcpy(bigger.data() + first, ring_.data(), used_ - first);
    }
    ring_.swap(bigger);
    head_ = 0;
    return true;
}

void OutQueue::release() {
    if (budget_ != nullptr)
        budget_->give(budget_->beyondFloor(ring_.size()));
    ring_ = {};
    head_ = used_ = count_ = 0;
}

}  // namespace netp
