#include "net/linecard/fdb_sweep.h"

#include <algorithm>

namespace netp::linecard {

bool FdbSweep::stray(const pipeline::LearnedMac& m) const {
    constexpr uint32_t kWordBits = 32;
    if (m.lport >= L2PT_MAX_LPORTS)
        return false;  // the pipeline is deleting it
    const pipeline::Result<l2pt_vlan> v = tables_.vlan(m.vid);
    return v && (v->members[m.lport / kWordBits] >> (m.lport % kWordBits) & 1u) == 0;
}

bool FdbSweep::wanted(const pipeline::LearnedMac& m, uint64_t nowNs) const {
    return (now_.age && tables_.aged(m, nowNs)) || (now_.strays && stray(m)) ||
           std::binary_search(now_.lports.begin(), now_.lports.end(), m.lport) ||
           std::binary_search(now_.members.begin(), now_.members.end(),
                              std::make_pair(m.vid, m.lport));
}

pipeline::Result<size_t> FdbSweep::step(uint64_t nowNs) {
    if (!walk_) {
        if (!next_.any())
            return size_t{0};
        now_ = std::exchange(next_, Asks{});
        std::sort(now_.lports.begin(), now_.lports.end());
        std::sort(now_.members.begin(), now_.members.end());
        walk_.emplace();
    }
    read_.clear();
    pipeline::Result<bool> done = tables_.readMacs(*walk_, kSlice, read_);
    if (!done) {
        // The walk starts again with what it was asked, and what was asked meanwhile.
        walk_.reset();
        next_.age = next_.age || now_.age;
        next_.strays = next_.strays || now_.strays;
        next_.lports.insert(next_.lports.end(), now_.lports.begin(), now_.lports.end());
        next_.members.insert(next_.members.end(), now_.members.begin(), now_.members.end());
        return done.status();
    }
    std::erase_if(read_, [&](const pipeline::LearnedMac& m) { return !wanted(m, nowNs); });
    if (*done)
        walk_.reset();
    return tables_.forgetMacs(read_);
}

}  // namespace netp::linecard
