// PortOps in memory: records what is attached where, and fails on demand as the kernel would,
// so the port logic is tested without privilege.
#pragma once

#include <optional>
#include <unordered_map>

#include "net/port/port_ops.h"

namespace netp::port {

class MemPortOps final : public PortOps {
  public:
    OpStatus attach(uint32_t ifindex, const TcPrograms& programs) override;
    OpStatus detach(uint32_t ifindex) override;
    bool holds(uint32_t ifindex) override { return attached_.count(ifindex) != 0; }

    // The next `times` attaches fail with error (an errno) and attach nothing.
    void failAttach(int error, unsigned times = 1);
    // What is attached at ifindex.
    std::optional<TcPrograms> at(uint32_t ifindex) const;
    size_t attachedCount() const { return attached_.size(); }
    unsigned attachCalls() const { return attachCalls_; }

  private:
    std::unordered_map<uint32_t, TcPrograms> attached_;
    int failError_ = 0;
    unsigned failTimes_ = 0;
    unsigned attachCalls_ = 0;
};

}  // namespace netp::port
