// The policer of a rate-limited trap entry: a token bucket filled at the entry's rate that holds
// one second of it, at least one full-size frame, full at the first frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace chassis {

class TokenBucket {
  public:
    // Tokens per byte: one microsecond at N bytes per second earns N tokens.
    static constexpr uint64_t kTokenScale = 1'000'000;
    static constexpr uint64_t kBytesPerKbit = 125;  // 1000 bits / 8
    static constexpr uint64_t kMinBurstBytes = 1518;

    // Whether a frame of len bytes passes at rateKbps (> 0) at chassis time nowUs; a passing
    // frame takes its tokens.
    bool take(uint32_t rateKbps, size_t len, uint64_t nowUs);

  private:
    uint64_t tokens_ = 0;  // bytes x kTokenScale
    uint64_t lastUs_ = 0;
    bool started_ = false;
};

}  // namespace chassis
