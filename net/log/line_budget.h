// Log lines a peer can make the daemon write as often as it likes (its faults, its reports):
// after a burst, one per period; the next line written says how many were left out. A peer
// that repeats itself fills no disk and crowds out no other line.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace netp {

class LineBudget {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kBurst = 100;
    static constexpr std::chrono::milliseconds kEvery{100};

    // The line to write now (with how many were left out before it), or none.
    std::optional<std::string> take(const std::string& line, Clock::time_point now) {
        const auto earned = static_cast<size_t>((now - earnedAt_) / kEvery);
        if (earned > 0) {
            left_ = std::min(kBurst, left_ + earned);
            earnedAt_ = now;
        }
        if (left_ == 0) {
            ++leftOut_;
            return std::nullopt;
        }
        --left_;
        if (leftOut_ == 0)
            return line;
        std::string out = line + " (" + std::to_string(leftOut_) + " lines like it left out)";
        leftOut_ = 0;
        return out;
    }

  private:
    size_t left_ = kBurst;  // lines that may be written now
    Clock::time_point earnedAt_{};
    uint64_t leftOut_ = 0;
};

}  // namespace netp
