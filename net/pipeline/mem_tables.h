// The line card's tables in memory, with the kernel tables' semantics and limits, for the
// daemon's tests without root. No frame runs through them: learn() stands in for the program's
// learning. The task ring is an eventfd that stands for a ring nobody writes.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "net/pipeline/tables.h"

namespace netp::pipeline {

class MemTables final : public Tables {
  public:
    static Result<std::unique_ptr<MemTables>> create();

    // What the program does when a frame from src enters lport in VLAN vid, but for a move past
    // a limit: learned within the limits and the table's room, or moved; whether it is held.
    bool learn(uint16_t vid, const Mac& src, uint32_t lport, uint64_t seenNs);
    // The descriptor in the trap slot, -1 while it is empty.
    int taskRingFd() const { return ring_.get(); }
    // The trap table takes at most limit entries from now on, as a full kernel table would.
    void limitTraps(size_t limit) { trapLimit_ = limit; }
    // Stands for frames entering between the daemon's writes: run before each learning limit
    // is written (empty: none).
    void meanwhile(std::function<void()> frames) { meanwhile_ = std::move(frames); }
    // Stands for frames reading a VLAN's record while the writes that change it go on: run
    // before each, with the VLAN's id and the record it writes.
    using VlanReads = std::function<void(uint32_t vid, std::span<const uint8_t> next)>;
    void vlanReads(VlanReads frames) { vlanReads_ = std::move(frames); }

    Status unbindIfindex(uint32_t ifindex) override;
    Status removeTrap(const TrapKey& key) override;
    Status setTrapRate(const TrapKey& key, uint32_t rateKbps) override;
    Result<TrapCounters> trapCounters(const TrapKey& key) const override;
    Result<bool> readMacs(Walk& walk, size_t max, std::vector<LearnedMac>& out) const override;
    Result<size_t> forgetMacs(std::span<const LearnedMac> macs) override;
    Result<std::vector<TrapKey>> trapKeys() const override;
    Result<std::vector<l2pt_l2cp_key>> l2cpKeys() const override;
    Result<std::vector<uint32_t>> boundIfindexes() const override;
    // Stands for a daemon's start over the tables as they are now, pinned by the one before:
    // adopted, their entries claimed again or swept.
    void adopt();
    Result<Fd> newTaskRing() override;
    Status parkTaskRing() override;
    void abandonParkedRing() override {}  // nothing is parked: every ring is a new one
    int eventsFd() const override { return events_.get(); }

  private:
    struct Made {};  // only create() makes one

  public:
    MemTables(Made, Copies copies, Fd events);

  protected:
    Status writeElement(Array array, uint32_t index, std::span<const uint8_t> value) override {
        if (array == Array::Vlans && vlanReads_)
            vlanReads_(index, value);
        return {};
    }
    Status writeBinding(uint32_t ifindex, uint32_t port) override;
    Status writeTrap(const TrapKey& key, const Trap& trap) override;
    Status writePolice(uint32_t port, const PoliceRates& rates) override;
    Result<l2pt_port_stats> readPortStats(uint32_t slot) const override;
    void writeLearning(uint32_t slot, uint32_t limit, uint32_t flags) override;
    l2pt_learn readLearning(uint32_t slot) const override { return learning_[slot]; }
    Result<l2pt_l2cp_stats> readL2cpStats(uint32_t port) const override;
    Status writePortStats(uint32_t port, const l2pt_port_stats& stats) override;
    Status writeL2cpStats(uint32_t port, const l2pt_l2cp_stats& stats) override;
    Status writeL2cp(const l2pt_l2cp_key& key, uint64_t row) override;
    Result<uint64_t> readL2cp(const l2pt_l2cp_key& key) const override;

  public:
    // What setPolice() last wrote for a port.
    const PoliceRates& police(uint32_t port) const { return police_.at(port); }
    // The port an interface is bound to.
    std::optional<uint32_t> binding(uint32_t ifindex) const {
        const auto it = byIfindex_.find(ifindex);
        return it == byIfindex_.end() ? std::nullopt : std::optional(it->second);
    }

  private:
    struct Entry {
        Trap trap;
        TrapCounters counters;
    };

    std::map<uint32_t, uint32_t> byIfindex_;
    std::map<TrapKey, Entry> traps_;
    size_t trapLimit_ = L2PT_TRAP_ENTRIES;
    std::vector<PoliceRates> police_ = std::vector<PoliceRates>(L2PT_MAX_PORTS);
    std::map<std::pair<uint16_t, Mac>, LearnedMac> fdb_;
    std::vector<l2pt_learn> learning_ = std::vector<l2pt_learn>(L2PT_LEARN_SLOTS);
    std::map<std::pair<uint16_t, uint16_t>, uint64_t> l2cp_;
    std::vector<l2pt_port_stats> stats_ = std::vector<l2pt_port_stats>(L2PT_STATS_SLOTS);
    std::vector<l2pt_l2cp_stats> l2cpStats_ = std::vector<l2pt_l2cp_stats>(L2PT_MAX_PORTS);
    Fd ring_;
    Fd events_;
    std::function<void()> meanwhile_;
    VlanReads vlanReads_;
};

}  // namespace netp::pipeline
