#include "chassis/fdb.h"

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
    : slots_(std::bit_ceil(capacity < kWindow ? kWindow : capacity)),
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

bool Fdb::room(uint32_t lport, uint16_t vid) const {
    const Owner& p = ports_[lport];
    const Owner& v = vlans_[vid];
    return p.count < p.limit && v.count < v.limit;
}

void Fdb::release(Slot& s) {
    --ports_[s.lport].count;
    --vlans_[vidOf(s.key)].count;
    --entries_;
    s = Slot{};
}

void Fdb::expireLazily(uint64_t nowUs, uint64_t ageUs) {
    if (lastExpireUs_ && nowUs - *lastExpireUs_ < ageUs / kExpiresPerAgeing)
        return;
    expire(nowUs, ageUs);
}

void Fdb::expire(uint64_t nowUs, uint64_t ageUs) {
    lastExpireUs_ = nowUs;
    for (Slot& s : slots_) {
        if (s.key != 0 && nowUs - s.seenUs >= ageUs)
            release(s);
    }
}

void Fdb::forgetUnless(const std::function<bool(uint16_t vid, uint32_t lportIf)>& keep) {
    for (Slot& s : slots_) {
        if (s.key != 0 && !keep(vidOf(s.key), s.lportIf))
            release(s);
    }
}

Fdb::Learned Fdb::learn(uint16_t vid, std::span<const uint8_t> mac, uint32_t lport,
                        uint32_t lportIf, uint64_t nowUs, uint64_t ageUs) {
    static_assert(kMacBits == kMacBytes * kByteBits);
    if (lport >= ports_.size() || vid >= kVlans)
        return Learned::Full;
    const uint64_t key = keyOf(vid, mac);
    const size_t start = home(key);
    const size_t mask = slots_.size() - 1;
    for (size_t i = 0; i < kWindow; ++i) {
        Slot& s = slots_[(start + i) & mask];
        if (s.key != key)
            continue;
        s.seenUs = nowUs;
        if (s.lport == lport)
            return Learned::Known;
        // A move is learning on the new port: past its limit the stale entry goes.
        Owner& to = ports_[lport];
        if (to.count >= to.limit) {
            release(s);
            return Learned::OverLimit;
        }
        --ports_[s.lport].count;
        ++to.count;
        s.lport = lport;
        s.lportIf = lportIf;
        return Learned::Moved;
    }
    if (!room(lport, vid) || entries_ >= capacity_) {
        expireLazily(nowUs, ageUs);
        if (!room(lport, vid))
            return Learned::OverLimit;
    }
    Slot* free = nullptr;
    for (size_t i = 0; i < kWindow && free == nullptr; ++i) {
        Slot& s = slots_[(start + i) & mask];
        if (s.key == 0 && entries_ < capacity_)
            free = &s;
        else if (s.key != 0 && nowUs - s.seenUs >= ageUs)
            release(*(free = &s));
    }
    if (free == nullptr)
        return Learned::Full;
    *free = {key, lport, lportIf, nowUs};
    ++ports_[lport].count;
    ++vlans_[vid].count;
    ++entries_;
    return Learned::New;
}

std::optional<uint32_t> Fdb::find(uint16_t vid, std::span<const uint8_t> mac, uint64_t nowUs,
                                  uint64_t ageUs) const {
    const uint64_t key = keyOf(vid, mac);
    const size_t start = home(key);
    const size_t mask = slots_.size() - 1;
    for (size_t i = 0; i < kWindow; ++i) {
        const Slot& s = slots_[(start + i) & mask];
        if (s.key == key)
            return nowUs - s.seenUs < ageUs ? std::optional(s.lportIf) : std::nullopt;
    }
    return std::nullopt;
}

}  // namespace chassis
