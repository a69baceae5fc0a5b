// The learned MACs of the data plane: (VLAN, MAC) -> the logical port (a port, or the LAG of a
// member) a frame from it last entered by, and when. A fixed table, so that learning never
// allocates: open addressing, linear probing, in twice the slots the capacity needs. Nothing is
// evicted: a new key is learned while the table holds fewer than its capacity (aged entries are
// swept out when it is full), whatever its hash, as in the kernel's table, so that nobody's keys
// can crowd out another's. Each logical port and each VLAN holds at most its limit of entries
// (dataplane/defs.h); the counts follow every entry learned, moved and reclaimed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace chassis {

class Fdb {
  public:
    static constexpr uint32_t kVlans = 4096;

    // What learn() did.
    enum class Learned : uint8_t {
        Known,      // seen again on the port it was learned on
        New,        // a new entry
        Moved,      // learned on another port before: it is this one's now
        OverLimit,  // the port or the VLAN holds its limit: not learned (a move: forgotten)
        Full,       // no room in the table: not learned
    };

    // capacity: entries the table holds; lports: logical ports, numbered 0 .. lports-1.
    Fdb(size_t capacity, size_t lports);

    // The limits, and whether a port drops a frame it cannot learn past its limit. Lowering one
    // below its count forgets nothing: no new entry is learned until the count is below it.
    void setPortLimit(uint32_t lport, uint32_t limit, bool drop);
    void setVlanLimit(uint16_t vid, uint32_t limit);
    uint32_t portLimit(uint32_t lport) const { return ports_.at(lport).limit; }
    bool portDrops(uint32_t lport) const { return ports_.at(lport).drop; }
    uint32_t vlanLimit(uint16_t vid) const { return vlans_.at(vid).limit; }
    uint32_t portCount(uint32_t lport) const { return ports_.at(lport).count; }
    uint32_t vlanCount(uint16_t vid) const { return vlans_.at(vid).count; }
    size_t size() const { return entries_; }

    // mac: 6 bytes, unicast and not zero (the caller checks). lportIf is what find() answers.
    // Entries not seen for ageUs are reclaimed when their slot or their count is wanted. A
    // provider frame's source is held to its VLAN's limit alone: every customer's far sites
    // arrive on a core port, and one of them must not fill it for the others.
    Learned learn(uint16_t vid, std::span<const uint8_t> mac, uint32_t lport, uint32_t lportIf,
                  bool provider, uint64_t nowUs, uint64_t ageUs);
    // Forgets every entry not seen for ageUs before nowUs (the daemon's ageing walk).
    void expire(uint64_t nowUs, uint64_t ageUs);
    // Forgets every entry keep(vid, lportIf) refuses: those of a member that left its VLAN.
    void forgetUnless(const std::function<bool(uint16_t vid, uint32_t lportIf)>& keep);
    // The logical port mac was seen on in vid less than ageUs before nowUs.
    std::optional<uint32_t> find(uint16_t vid, std::span<const uint8_t> mac, uint64_t nowUs,
                                 uint64_t ageUs) const;

  private:
    struct Slot {
        uint64_t key = 0;  // vid << 48 | MAC; 0: free (the zero MAC is never learned)
        uint32_t lport = 0;
        uint32_t lportIf = 0;
        uint64_t seenUs = 0;
    };
    struct Owner {
        uint32_t limit = 0;
        uint32_t count = 0;
        bool drop = false;
    };
    static uint64_t keyOf(uint16_t vid, std::span<const uint8_t> mac);
    size_t home(uint64_t key) const;
    // The slot that holds key, or the free one where it would go.
    size_t probe(uint64_t key) const;
    static uint16_t vidOf(uint64_t key);
    bool room(uint32_t lport, uint16_t vid, bool provider) const;
    // Frees slot i, its counts given back; the entries after it move back to keep every probe
    // unbroken.
    void release(size_t i);
    void releaseIf(const std::function<bool(const Slot&)>& gone);
    // expire(), at most once a tenth of the ageing time.
    void expireLazily(uint64_t nowUs, uint64_t ageUs);

    std::vector<Slot> slots_;  // a power of two, at least twice the capacity: some always free
    unsigned slotBits_;
    size_t capacity_;
    size_t entries_ = 0;
    std::vector<Owner> ports_;
    std::vector<Owner> vlans_ = std::vector<Owner>(kVlans);
    std::optional<uint64_t> lastExpireUs_;
};

}  // namespace chassis
