#include "chassis/policer.h"

#include <algorithm>

namespace chassis {

bool TokenBucket::take(uint32_t rateKbps, size_t len, uint64_t nowUs) {
    if (rateKbps == 0)
        return true;
    const uint64_t bytesPerSecond = uint64_t{rateKbps} * kBytesPerKbit;
    const uint64_t cap = std::max(bytesPerSecond, kMinBurstBytes) * kTokenScale;
    if (!started_) {
        tokens_ = cap;
        lastUs_ = nowUs;
        started_ = true;
    } else if (nowUs > lastUs_) {
        // Refilled by elapsed microseconds x bytes per second, without overflowing on a long
        // quiet time. A lowered rate leaves no more than its own cap.
        const uint64_t elapsed = nowUs - lastUs_;
        const uint64_t room = cap - std::min(tokens_, cap);
        tokens_ = elapsed >= room / bytesPerSecond + 1 ? cap : tokens_ + elapsed * bytesPerSecond;
        lastUs_ = nowUs;
    }
    tokens_ = std::min(tokens_, cap);
    const uint64_t cost = uint64_t{len} * kTokenScale;
    if (tokens_ < cost)
        return false;
    tokens_ -= cost;
    return true;
}

}  // namespace chassis
