// Counting and tracing of the task's own PDU drops.
#include "chassis/task_drops.h"

namespace chassis {

void TaskDrops::add(uint32_t rxIfIndex, uint32_t reason, std::string_view text) {
    // A reason without a text is named by its code.
    const auto name = [&] {
        return text.empty() ? "reason " + std::to_string(reason) : std::string(text);
    };
    if (reason < kMaxReasons) {
        if (texts_[reason].empty())
            texts_[reason] = name();
        ++totals_[reason];
        ++byIf_[rxIfIndex][reason];
    }
    if (trace_.on())
        trace_.add("task", "pdu from " + ifdb_.name(rxIfIndex) + " dropped (" +
                               (reason < kMaxReasons ? texts_[reason] : name()) + ")");
}

uint64_t TaskDrops::count(uint32_t ifIndex, uint32_t reason) const {
    const auto it = byIf_.find(ifIndex);
    return it == byIf_.end() || reason >= kMaxReasons ? 0 : it->second[reason];
}

uint64_t TaskDrops::total(uint32_t reason) const {
    return reason < kMaxReasons ? totals_[reason] : 0;
}

std::vector<std::string> TaskDrops::summary() const {
    std::vector<std::string> lines;
    for (const auto& [ifIndex, counts] : byIf_) {
        std::string line;
        for (uint32_t r = 0; r < kMaxReasons; ++r) {
            if (counts[r] != 0)
                line += (line.empty() ? "" : ", ") + texts_[r] + " " + std::to_string(counts[r]);
        }
        lines.push_back("task " + ifdb_.name(ifIndex) + " dropped: " + line);
    }
    for (uint32_t r = 0; r < kMaxReasons; ++r) {
        if (totals_[r] != 0)
            lines.push_back("task dropped (" + texts_[r] + ") " + std::to_string(totals_[r]));
    }
    return lines;
}

}  // namespace chassis
