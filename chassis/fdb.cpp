#include "chassis/fdb.h"

#include <algorithm>
#include <bit>

namespace chassis {

namespace {
constexpr unsigned kMacBits = 48;
constexpr unsigned kByteBits = 8;
constexpr size_t kMacBytes = 6;
constexpr uint64_t kHashMultiplier = 0x9E3779B97F4A7C15ull;  // Fibonacci hashing
constexpr unsigned kKeyBits = 64;
// Aged entries are swept out at most this many times per ageing time, as the daemon walks
// the kernel's table.
constexpr uint64_t kExpiresPerAgeing = 10;
}  // namespace

Fdb::Fdb(size_t capacity, size_t lports)
    : slots_(std::bit_ceil(2 * std::max<size_t>(capacity, 1))),
      slotBits_(static_cast<unsigned>(std::countr_zero(slots_.size()))),
      capacity_(capacity),
      ports_(lports) {}

void Fdb::setPortLimit(uint32_t lport, uint32_t limit, bool drop) {
    Owner& o = ports_.at(lport);
    o.limit = limit;
    o.drop = drop;
}

void Fdb::setVlanLimit(uint16_t vid, uint32_t limit) {
    vlans_.at(vid).limit = limit;
}

uint64_t Fdb::keyOf(uint16_t vid, std::span<const uint8_t> mac) {
    uint64_t key = vid;
    for (size_t i = 0; i < kMacBytes; ++i)
        key = key << kByteBits | mac[i];
    return key;
}

uint16_t Fdb::vidOf(uint64_t key) {
    return static_cast<uint16_t>(key >> kMacBits);
}

size_t Fdb::home(uint64_t key) const {
    return static_cast<size_t>((key * kHashMultiplier) >> (kKeyBits - slotBits_));
}

bool Fdb::room(uint32_t lport, uint16_t vid, bool provider) const {
    const Owner& p = ports_[lport];
    const Owner& v = vlans_[vid];
    return (provider || p.count < p.limit) && v.count < v.limit;
}

size_t Fdb::probe(uint64_t key) const {
    const size_t mask = slots_.size() - 1;
    size_t i = home(key);
    while (slots_[i].key != 0 && slots_[i].key != key)
        i = (i + 1) & mask;
    return i;
}

void Fdb::release(size_t i) {
    const size_t mask = slots_.size() - 1;
    --ports_[slots_[i].lport].count;
    --vlans_[vidOf(slots_[i].key)].count;
    --entries_;
    // An entry after the hole whose home is not between the hole and it moves into the hole.
    for (size_t j = (i + 1) & mask; slots_[j].key != 0; j = (j + 1) & mask) {
        const size_t h = home(slots_[j].key);
        const bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
        if (stays)
            continue;
        slots_[i] = slots_[j];
        i = j;
    }
    slots_[i] = Slot{};
}

void Fdb::releaseIf(const std::function<bool(const Slot&)>& gone) {
    // A release moves later entries back: the slot is looked at again.
    for (size_t i = 0; i < slots_.size();) {
        if (slots_[i].key != 0 && gone(slots_[i]))
            release(i);
        else
            ++i;
    }
}

void Fdb::expireLazily(uint64_t nowUs, uint64_t ageUs) {
    if (lastExpireUs_ && nowUs - *lastExpireUs_ < ageUs / kExpiresPerAgeing)
        return;
    expire(nowUs, ageUs);
}

void Fdb::expire(uint64_t nowUs, uint64_t ageUs) {
    lastExpireUs_ = nowUs;
    releaseIf([&](const Slot& s) { return nowUs - s.seenUs >= ageUs; });
}

void Fdb::forgetUnless(const std::function<bool(uint16_t vid, uint32_t lportIf)>& keep) {
    releaseIf([&](const Slot& s) { return !keep(vidOf(s.key), s.lportIf); });
}

Fdb::Learned Fdb::learn(uint16_t vid, std::span<const uint8_t> mac, uint32_t lport,
                        uint32_t lportIf, bool provider, uint64_t nowUs, uint64_t ageUs) {
    static_assert(kMacBits == kMacBytes * kByteBits);
    if (lport >= ports_.size() || vid >= kVlans)
        return Learned::Full;
    const uint64_t key = keyOf(vid, mac);
    size_t at = probe(key);
    if (Slot& s = slots_[at]; s.key == key) {
        s.seenUs = nowUs;
        if (s.lport == lport)
            return Learned::Known;
        // A move is learning on the new port: past its limit the stale entry goes.
        Owner& to = ports_[lport];
        if (!provider && to.count >= to.limit) {
            release(at);
            return Learned::OverLimit;
        }
        --ports_[s.lport].count;
        ++to.count;
        s.lport = lport;
        s.lportIf = lportIf;
        return Learned::Moved;
    }
    if (!room(lport, vid, provider) || entries_ >= capacity_) {
        expireLazily(nowUs, ageUs);
        if (!room(lport, vid, provider))
            return Learned::OverLimit;
        if (entries_ >= capacity_)
            return Learned::Full;
        at = probe(key);  // the sweep moved entries
    }
    slots_[at] = {key, lport, lportIf, nowUs};
    ++ports_[lport].count;
    ++vlans_[vid].count;
    ++entries_;
    return Learned::New;
}

std::optional<uint32_t> Fdb::find(uint16_t vid, std::span<const uint8_t> mac, uint64_t nowUs,
                                  uint64_t ageUs) const {
    const Slot& s = slots_[probe(keyOf(vid, mac))];
    if (s.key == 0 || nowUs - s.seenUs >= ageUs)
        return std::nullopt;
    return s.lportIf;
}

}  // namespace chassis
