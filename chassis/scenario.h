// Scenarios: scripts of inputs to a switch, one per line (docs/scenario.md).
// A scenario is parsed whole before it runs, so every error is found up front and names
// its line; one line typed by an operator parses with the same call.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "chassis/ifdb.h"
#include "chassis/names.h"
#include "platform/shell.h"

namespace chassis {

class Chassis;

struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What a scenario's inputs act on: the simulated switch, or a chassis daemon.
class ScenarioTarget {
  public:
    virtual ~ScenarioTarget() = default;
    virtual Chassis& chassis() = 0;
    virtual void settle() = 0;                                  // the task handles the input
    virtual void advanceUs(uint64_t us) = 0;                    // time passes
    virtual ozm::ShellResult shell(std::string_view line) = 0;  // set/get/call/vars
};

class Scenario {
  public:
    // Interface names resolve against db. ScenarioError "<source>:<line>: <what>".
    static Scenario parse(std::string_view text, const IfDb& db,
                          std::string_view source = "<scenario>");
    static Scenario load(const std::string& path, const IfDb& db);

    // Runs every step; each input is followed by settle().
    void run(ScenarioTarget& target) const;
    size_t size() const { return steps_.size(); }

  private:
    struct Step {
        int line;
        std::string text;
        std::function<void(ScenarioTarget&)> act;
    };
    std::vector<Step> steps_;
};

// "1s", "20ms", "500us" in microseconds; empty when malformed.
std::optional<uint64_t> parseDuration(std::string_view text);

}  // namespace chassis
