// The trace: one line per observable effect of the simulated chassis, in order, stamped with
// virtual time. Same chassis and inputs give the same trace byte for byte.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process.h"

namespace chassis {

inline constexpr uint64_t kUsPerSecond = 1'000'000;
inline constexpr uint64_t kUsPerMs = 1'000;
inline constexpr uint64_t kUsPerTick = kUsPerSecond / OZM_TICKS_PER_SECOND;

// Virtual time of the chassis, in microseconds since start.
struct Clock {
    uint64_t nowUs = 0;
    uint64_t ticks() const { return nowUs / kUsPerTick; }
};

using Mac = std::array<uint8_t, 6>;
inline constexpr size_t kMacLen = 6;

std::string macText(std::span<const uint8_t> mac);  // "01:80:c2:00:00:00" (first 6 bytes)
std::optional<Mac> parseMac(std::string_view text);
std::string hexText(std::span<const uint8_t> bytes);  // "0180c2..."
std::string hex32(uint32_t v);                        // "0x3a0004"

class Trace {
  public:
    using Sink = std::function<void(const std::string& line)>;

    explicit Trace(const Clock& clock) : clock_(clock) {}

    // Appends "<time> <actor> <text>" for each line of text, without trailing blanks.
    void add(std::string_view actor, std::string_view text);
    const std::vector<std::string>& lines() const { return lines_; }
    // Every line, each ended by '\n'.
    std::string text() const;
    // Lines whose actor and event start with prefix ("acl[1] rx download"), without the time.
    std::vector<std::string> grep(std::string_view prefix) const;
    // Called with every new line (l2ptd prints the trace as it goes).
    void setSink(Sink sink) { sink_ = std::move(sink); }
    // When false, lines go to the sink only (long daemon runs).
    void setKeep(bool keep) { keep_ = keep; }
    // False when lines go nowhere: callers may skip building them.
    bool on() const { return keep_ || sink_ != nullptr; }

  private:
    void addOne(std::string_view actor, std::string_view text);

    const Clock& clock_;
    std::vector<std::string> lines_;
    Sink sink_;
    bool keep_ = true;
};

}  // namespace chassis
