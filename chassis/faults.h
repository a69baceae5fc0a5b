// Named faults: armed by tests and scenarios, consulted by the platform and the models at the
// points they name ("socket:1", "ifm-silent", "acl-status:3", ...).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "chassis/trace.h"

namespace chassis {

class FaultSet {
  public:
    explicit FaultSet(Trace& trace) : trace_(trace) {}

    // Arms point for the given number of uses, or for ever when uses is empty.
    void arm(std::string_view point, std::optional<uint32_t> uses = std::nullopt);
    void clear(std::string_view point);
    // True when point is armed; uses up one use of a counted fault.
    bool hit(std::string_view point);
    bool armed(std::string_view point) const { return armed_.find(point) != armed_.end(); }
    bool any() const { return !armed_.empty(); }  // lets hot paths skip naming their points

  private:
    Trace& trace_;
    std::map<std::string, std::optional<uint32_t>, std::less<>> armed_;
};

}  // namespace chassis
