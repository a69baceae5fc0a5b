// Helpers for the task frame's tests: chassis variants, and reading the trace, the console and
// the event log.
#pragma once

#include <gmock/gmock.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mem.h"
#include "platform/symbols.h"
#include "task/task_main.h"
#include "tests/support/task_sim.h"

namespace ttest {

// The default chassis with its rpm line replaced.
inline std::string chassisWithRpm(std::string_view rpm) {
    constexpr std::string_view kRpm = "rpm: {role: primary, master_slot: 0, peer: none}";
    std::string yaml = tsim::kChassis;
    return yaml.replace(yaml.find(kRpm), kRpm.size(), rpm);
}

// Text of a trace line after its time stamp.
inline std::string_view textOf(std::string_view line) {
    return line.substr(line.find(' ', line.find_first_not_of(' ')) + 1);
}
inline size_t count(chassis::SimSwitch& sim, std::string_view prefix) {
    return sim.trace().grep(prefix).size();
}
// Time stamps of the trace lines whose text starts with prefix.
inline std::vector<double> timesOf(chassis::SimSwitch& sim, std::string_view prefix) {
    std::vector<double> out;
    for (const auto& l : sim.trace().lines()) {
        if (textOf(l).starts_with(prefix)) {
            out.push_back(std::stod(l));
        }
    }
    return out;
}
// Position in the trace of the first line whose text starts with prefix (the size if none).
inline size_t lineOf(chassis::SimSwitch& sim, std::string_view prefix) {
    const auto& lines = sim.trace().lines();
    const auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return textOf(l).starts_with(prefix);
    });
    return static_cast<size_t>(it - lines.begin());
}
inline bool hasConsole(chassis::SimSwitch& sim, std::string_view text) {
    const auto& lines = sim.consoleLines();
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

// An event-log record: its code and arguments (a free line: code 0 and its text).
struct Rec {
    uint32_t code;
    std::vector<std::string> args;
    bool operator==(const Rec&) const = default;
};
inline void PrintTo(const Rec& r, std::ostream* os) {
    *os << std::hex << "0x" << r.code << std::dec << ::testing::PrintToString(r.args);
}
inline std::vector<Rec> records(chassis::SimSwitch& sim) {
    std::vector<Rec> out;
    for (const auto& r : sim.logRecords()) {
        out.push_back({r.code, r.code != 0 ? r.args : std::vector<std::string>{r.text}});
    }
    return out;
}

// Blocks held in the variable-size classes: ACL download messages and the queues' buffers.
inline uint32_t varBlocksInUse() {
    uint32_t n = 0;
    for (const auto& p : ozm::mem::stats()) {
        n += p.name.starts_with("var:") ? p.inUse : 0;
    }
    return n;
}
inline uint64_t sym(std::string_view name) {
    return ozm::sym::get(name).value();
}

}  // namespace ttest
