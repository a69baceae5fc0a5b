// Scenarios: scripts of inputs to a simulated switch, one per line (docs/scenario.md).
// A scenario is parsed whole before it runs, so every error is found up front and names
// its line.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "chassis/ifdb.h"

namespace chassis {

class SimSwitch;

struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Scenario {
  public:
    // Interface names resolve against db. ScenarioError "<source>:<line>: <what>".
    static Scenario parse(std::string_view text, const IfDb& db,
                          std::string_view source = "<scenario>");
    static Scenario load(const std::string& path, const IfDb& db);

    // Runs every step; each input is followed by settle().
    void run(SimSwitch& sim) const;
    size_t size() const { return steps_.size(); }

  private:
    struct Step {
        int line;
        std::string text;
        std::function<void(SimSwitch&)> act;
    };
    std::vector<Step> steps_;
};

// "1s", "20ms", "500us" in microseconds; empty when malformed.
std::optional<uint64_t> parseDuration(std::string_view text);

}  // namespace chassis
