#include "chassis/policer.h"

#include <algorithm>

namespace chassis {

uint64_t TokenBucket::byteBurst(uint32_t rateKbps) {
    return std::max(uint64_t{rateKbps} * kBytesPerKbit, kMinBurstBytes);
}

void TokenBucket::refill(uint64_t perSecond, uint64_t burst, uint64_t nowUs) {
    const uint64_t cap = burst * kTokenScale;
    cap_ = cap;
    perSecond_ = perSecond;
    if (!started_) {
        tokens_ = cap;
        lastUs_ = nowUs;
        started_ = true;
    } else if (nowUs > lastUs_) {
        // Refilled by elapsed microseconds x units per second, without overflowing on a long
        // quiet time. A lowered rate leaves no more than its own cap.
        const uint64_t elapsed = nowUs - lastUs_;
        const uint64_t room = cap - std::min(tokens_, cap);
        tokens_ = elapsed >= room / perSecond + 1 ? cap : tokens_ + elapsed * perSecond;
        lastUs_ = nowUs;
    }
    tokens_ = std::min(tokens_, cap);
}

void TokenBucket::charge(uint64_t cost) {
    const uint64_t tokens = cost * kTokenScale;
    if (tokens_ >= tokens) {
        tokens_ -= tokens;
        return;
    }
    lastUs_ += (tokens - tokens_) / perSecond_;
    tokens_ = 0;
}

bool TokenBucket::take(uint32_t rateKbps, size_t len, uint64_t nowUs) {
    if (rateKbps == 0)
        return true;
    refill(uint64_t{rateKbps} * kBytesPerKbit, byteBurst(rateKbps), nowUs);
    if (!holds(len))
        return false;
    charge(len);
    return true;
}

bool TokenBucket::takeFrame(uint32_t fps, uint64_t nowUs) {
    refill(fps, fps, nowUs);
    if (!holds(1))
        return false;
    charge(1);
    return true;
}

}  // namespace chassis
