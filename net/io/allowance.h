// So many at once, then one more each period: how often a peer may make the daemon do
// something it can ask for as often as it likes (write a log line, rebuild a task link).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>

namespace netp {

class Allowance {
  public:
    using Clock = std::chrono::steady_clock;

    Allowance(size_t burst, Clock::duration every) : burst_(burst), every_(every), left_(burst) {}

    // Takes one, when one is left at now.
    bool take(Clock::time_point now) {
        const auto earned = static_cast<size_t>((now - earnedAt_) / every_);
        if (earned > 0) {
            left_ = std::min(burst_, left_ + earned);
            earnedAt_ = now;
        }
        if (left_ == 0)
            return false;
        --left_;
        return true;
    }
    // One taken for what did not happen after all: it is left again (up to the burst).
    void giveBack() { left_ = std::min(burst_, left_ + 1); }
    // When the next one is earned, while none is left.
    Clock::time_point nextAt() const { return earnedAt_ + every_; }

  private:
    size_t burst_;
    Clock::duration every_;
    size_t left_;
    Clock::time_point earnedAt_{};
};

}  // namespace netp
