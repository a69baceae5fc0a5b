#include "chassis/fdb.h"

namespace chassis {

namespace {
constexpr unsigned kMacBits = 48;
constexpr unsigned kByteBits = 8;
constexpr size_t kMacBytes = 6;
constexpr uint64_t kHashMultiplier = 0x9E3779B97F4A7C15ull;  // Fibonacci hashing
constexpr unsigned kSlotBits = 13;
static_assert(size_t{1} << kSlotBits == Fdb::kSlots);
}  // namespace

uint64_t Fdb::keyOf(uint16_t vid, std::span<const uint8_t> mac) {
    uint64_t key = vid;
    for (size_t i = 0; i < kMacBytes; ++i)
        key = key << kByteBits | mac[i];
    return key;
}

size_t Fdb::home(uint64_t key) {
    return static_cast<size_t>((key * kHashMultiplier) >> (64 - kSlotBits));
}

void Fdb::learn(uint16_t vid, std::span<const uint8_t> mac, uint32_t lportIf, uint64_t nowUs) {
    static_assert(kMacBits == kMacBytes * kByteBits);
    const uint64_t key = keyOf(vid, mac);
    const size_t start = home(key);
    Slot* victim = nullptr;
    for (size_t i = 0; i < kWindow; ++i) {
        Slot& s = slots_[(start + i) & (kSlots - 1)];
        if (s.key == key) {
            victim = &s;
            break;
        }
        if (victim == nullptr || (victim->key != 0 && (s.key == 0 || s.seenUs < victim->seenUs)))
            victim = &s;
    }
    *victim = {key, lportIf, nowUs};
}

std::optional<uint32_t> Fdb::find(uint16_t vid, std::span<const uint8_t> mac, uint64_t nowUs,
                                  uint64_t ageUs) const {
    const uint64_t key = keyOf(vid, mac);
    const size_t start = home(key);
    for (size_t i = 0; i < kWindow; ++i) {
        const Slot& s = slots_[(start + i) & (kSlots - 1)];
        if (s.key == key)
            return nowUs - s.seenUs < ageUs ? std::optional(s.lportIf) : std::nullopt;
    }
    return std::nullopt;
}

}  // namespace chassis
