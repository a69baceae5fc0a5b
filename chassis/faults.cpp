#include "chassis/faults.h"

namespace chassis {

void FaultSet::arm(std::string_view point, std::optional<uint32_t> uses) {
    if (uses && *uses == 0) {
        clear(point);
        return;
    }
    armed_.insert_or_assign(std::string(point), uses);
    trace_.add("fault", "arm " + std::string(point) +
                            (uses ? " uses=" + std::to_string(*uses) : std::string(" always")));
}

void FaultSet::clear(std::string_view point) {
    auto it = armed_.find(point);
    if (it == armed_.end())
        return;
    armed_.erase(it);
    trace_.add("fault", "clear " + std::string(point));
}

bool FaultSet::hit(std::string_view point) {
    if (armed_.empty())
        return false;
    auto it = armed_.find(point);
    if (it == armed_.end())
        return false;
    trace_.add("fault", "hit " + std::string(point));
    if (it->second && --*it->second == 0)
        armed_.erase(it);
    return true;
}

}  // namespace chassis
