#include "net/port/mem_port_ops.h"

#include <string>

namespace netp::port {

OpStatus MemPortOps::attach(uint32_t ifindex, const TcPrograms& programs) {
    ++attachCalls_;
    if (failTimes_ > 0) {
        --failTimes_;
        return failed(failError_, "attach at ifindex " + std::to_string(ifindex));
    }
    attached_[ifindex] = programs;
    return {};
}

OpStatus MemPortOps::detach(uint32_t ifindex) {
    attached_.erase(ifindex);
    return {};
}

void MemPortOps::failAttach(int error, unsigned times) {
    failError_ = error;
    failTimes_ = times;
}

std::optional<TcPrograms> MemPortOps::at(uint32_t ifindex) const {
    auto it = attached_.find(ifindex);
    if (it == attached_.end())
        return std::nullopt;
    return it->second;
}

}  // namespace netp::port
