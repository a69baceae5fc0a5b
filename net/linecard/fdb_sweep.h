// The learned MACs the line cards forget, walked in bounded slices so that no walk holds up the
// daemon's loop: those aged, those of lports that stopped carrying traffic, those of (VLAN,
// lport) pairs that are members no more (named ones, or all: strays). What is asked during a walk
// is served by the next walk, which starts when this one ends; one walk serves everything asked
// before it started.
//
//   sweep.forgetLport(3);                 // any number of asks
//   while (sweep.pending()) sweep.step(monotonicNs());   // one slice a loop pass
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "net/pipeline/tables.h"

namespace netp::linecard {

class FdbSweep {
  public:
    // Entries read per slice: one batch read, and a delete for each entry forgotten.
    static constexpr size_t kSlice = 512;

    explicit FdbSweep(pipeline::Tables& tables) : tables_(tables) {}

    void age() { next_.age = true; }
    void forgetLport(uint32_t lport) { next_.lports.push_back(lport); }
    void forgetMember(uint16_t vid, uint32_t lport) { next_.members.emplace_back(vid, lport); }
    // Those of an lport that is no member of their VLAN now (carried over from tables before).
    void forgetStrays() { next_.strays = true; }
    bool pending() const { return walk_.has_value() || next_.any(); }

    // One slice of the walk under way, or of a new one; how many MACs it forgot.
    pipeline::Result<size_t> step(uint64_t nowNs);

  private:
    struct Asks {
        bool age = false;
        bool strays = false;
        std::vector<uint32_t> lports;
        std::vector<std::pair<uint16_t, uint32_t>> members;
        bool any() const { return age || strays || !lports.empty() || !members.empty(); }
    };
    bool wanted(const pipeline::LearnedMac& m, uint64_t nowNs) const;
    bool stray(const pipeline::LearnedMac& m) const;

    pipeline::Tables& tables_;
    Asks next_;
    Asks now_;  // the walk's
    std::optional<pipeline::Tables::Walk> walk_;
    std::vector<pipeline::LearnedMac> read_;
};

}  // namespace netp::linecard
