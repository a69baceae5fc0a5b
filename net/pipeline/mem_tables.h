// The line card's tables in memory, with the kernel tables' semantics and limits, for the
// daemon's tests without root. No frame runs through them: learn() stands in for the program's
// learning. The task ring is an eventfd that stands for a ring nobody writes.
#pragma once

#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "net/pipeline/tables.h"

namespace netp::pipeline {

class MemTables final : public Tables {
  public:
    static Result<std::unique_ptr<MemTables>> create();

    // What the program does when a frame from src enters lport in VLAN vid.
    void learn(uint16_t vid, const Mac& src, uint32_t lport, uint64_t seenNs);
    // The descriptor in the trap slot, -1 while it is empty.
    int taskRingFd() const { return ring_.get(); }

    Status unbindIfindex(uint32_t ifindex) override;
    Status removeTrap(const TrapKey& key) override;
    Status setTrapRate(const TrapKey& key, uint32_t rateKbps) override;
    Result<TrapCounters> trapCounters(const TrapKey& key) const override;
    Result<std::vector<LearnedMac>> learnedMacs() const override;
    Result<Fd> newTaskRing() override;
    Status removeTaskRing() override;
    int eventsFd() const override { return events_.get(); }

  private:
    struct Made {};  // only create() makes one

  public:
    MemTables(Made, Copies copies, Fd events);

  protected:
    Status writeElement(Array, uint32_t, std::span<const uint8_t>) override { return {}; }
    Status writeBinding(uint32_t ifindex, uint32_t port) override;
    Status writeTrap(const TrapKey& key, const Trap& trap) override;
    Status writePolice(uint32_t port, const PoliceRates& rates) override;
    Result<l2pt_port_stats> readPortStats(uint32_t slot) const override;
    Result<size_t> forgetIf(const Forget& forget) override;

  public:
    // What setPolice() last wrote for a port.
    const PoliceRates& police(uint32_t port) const { return police_.at(port); }

  private:
    struct Entry {
        Trap trap;
        TrapCounters counters;
    };

    std::map<uint32_t, uint32_t> byIfindex_;
    std::map<TrapKey, Entry> traps_;
    std::vector<PoliceRates> police_ = std::vector<PoliceRates>(L2PT_MAX_PORTS);
    std::map<std::pair<uint16_t, Mac>, LearnedMac> fdb_;
    std::vector<l2pt_port_stats> stats_ = std::vector<l2pt_port_stats>(L2PT_STATS_SLOTS);
    Fd ring_;
    Fd events_;
};

}  // namespace netp::pipeline
