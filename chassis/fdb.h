// The learned MACs of the data plane: (VLAN, MAC) -> the logical port (a port, or the LAG of a
// member) a frame from it last entered by, and when. A fixed table, so that learning never
// allocates: a key lives in a window of kWindow slots from its hash, and a new key in a full
// window takes the slot seen least recently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace chassis {

class Fdb {
  public:
    static constexpr size_t kSlots = 8192;  // a power of two
    static constexpr size_t kWindow = 8;

    // mac: 6 bytes, unicast and not zero (the caller checks).
    void learn(uint16_t vid, std::span<const uint8_t> mac, uint32_t lportIf, uint64_t nowUs);
    // The logical port mac was seen on in vid less than ageUs before nowUs.
    std::optional<uint32_t> find(uint16_t vid, std::span<const uint8_t> mac, uint64_t nowUs,
                                 uint64_t ageUs) const;

  private:
    struct Slot {
        uint64_t key = 0;  // vid << 48 | MAC; 0: free (the zero MAC is never learned)
        uint32_t lportIf = 0;
        uint64_t seenUs = 0;
    };
    static uint64_t keyOf(uint16_t vid, std::span<const uint8_t> mac);
    static size_t home(uint64_t key);

    std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
};

}  // namespace chassis
