// The PDUs the task itself dropped after they were trapped to it, as it reports them: one trace
// line each, and counts per interface and per reason for the summary.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "chassis/ifdb.h"
#include "chassis/trace.h"

namespace chassis {

class TaskDrops {
  public:
    // Reason codes from 0 up to this are counted; a higher one is traced only.
    static constexpr uint32_t kMaxReasons = 32;

    TaskDrops(Trace& trace, const IfDb& ifdb) : trace_(trace), ifdb_(ifdb) {}

    // The task dropped a PDU received on rxIfIndex: "task pdu from ge0/5 dropped (<text>)".
    void add(uint32_t rxIfIndex, uint32_t reason, std::string_view text);

    uint64_t count(uint32_t ifIndex, uint32_t reason) const;
    uint64_t total(uint32_t reason) const;
    // The summary's lines: "task <interface> dropped: <reason> <n>, ..." for each interface the
    // task dropped PDUs of, then "task dropped (<reason>) <n>" for each reason it reported.
    std::vector<std::string> summary() const;

  private:
    using Counts = std::array<uint64_t, kMaxReasons>;

    Trace& trace_;
    const IfDb& ifdb_;
    std::map<uint32_t, Counts> byIf_;  // by ifIndex
    Counts totals_{};
    std::array<std::string, kMaxReasons> texts_;  // as first reported
};

}  // namespace chassis
