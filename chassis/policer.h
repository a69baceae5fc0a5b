// The data plane's policers: token buckets full at their first frame. A trap entry's holds one
// second of its rate in bytes, at least one full-size frame; storm control and a port's PDU
// limit count frames (and storm control bytes too, where set).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace chassis {

class TokenBucket {
  public:
    // Tokens per unit (byte or frame): one microsecond at N units a second earns N tokens.
    static constexpr uint64_t kTokenScale = 1'000'000;
    static constexpr uint64_t kBytesPerKbit = 125;  // 1000 bits / 8
    static constexpr uint64_t kMinBurstBytes = 1518;

    // Whether a frame of len bytes passes at rateKbps (> 0) at chassis time nowUs; a passing
    // frame takes its tokens.
    bool take(uint32_t rateKbps, size_t len, uint64_t nowUs);
    // Whether one more frame passes at fps (> 0) frames a second, one second of them the burst.
    bool takeFrame(uint32_t fps, uint64_t nowUs);

    // The parts of take(), for a frame that must pass two buckets: filled at perSecond units
    // (> 0) a second up to burst units by nowUs, then whether cost units may go, then taken.
    // A cost larger than the whole burst goes from a full bucket, which then owes the rest: it
    // earns nothing until that rest would have come in at its rate.
    void refill(uint64_t perSecond, uint64_t burst, uint64_t nowUs);
    bool holds(uint64_t cost) const { return tokens_ >= std::min(cost * kTokenScale, cap_); }
    void charge(uint64_t cost);

    // The burst of a byte bucket at rateKbps: one second of it, at least one full-size frame.
    static uint64_t byteBurst(uint32_t rateKbps);

  private:
    uint64_t tokens_ = 0;  // units x kTokenScale
    uint64_t cap_ = 0;     // the burst's tokens, and the rate, of the last refill
    uint64_t perSecond_ = 0;
    uint64_t lastUs_ = 0;  // past the clock while tokens are owed
    bool started_ = false;
};

}  // namespace chassis
