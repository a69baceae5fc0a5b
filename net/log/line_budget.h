// Log lines a peer can make the daemon write as often as it likes (its faults, its reports):
// after a burst, one per period; the next line written says how many were left out. A peer
// that repeats itself fills no disk and crowds out no other line, nor does one that writes long
// texts: a line is cut at kLineBytes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "net/io/allowance.h"

namespace netp {

class LineBudget {
  public:
    using Clock = Allowance::Clock;
    static constexpr size_t kBurst = 100;
    static constexpr std::chrono::milliseconds kEvery{100};
    static constexpr size_t kLineBytes = 1024;

    // The line to write now (with how many were left out before it), or none.
    std::optional<std::string> take(const std::string& line, Clock::time_point now) {
        if (!lines_.take(now)) {
            ++leftOut_;
            return std::nullopt;
        }
        std::string out = line.size() <= kLineBytes
                              ? line
                              : line.substr(0, kLineBytes) + "... (" +
                                    std::to_string(line.size() - kLineBytes) + " bytes more)";
        if (leftOut_ == 0)
            return out;
        out += " (" + std::to_string(leftOut_) + " lines like it left out)";
        leftOut_ = 0;
        return out;
    }

  private:
    Allowance lines_{kBurst, kEvery};
    uint64_t leftOut_ = 0;
};

}  // namespace netp
