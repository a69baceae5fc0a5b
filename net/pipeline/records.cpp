#include "net/pipeline/records.h"

#include <cstddef>
#include <cstring>

#include "net/pipeline/trap_ring.h"

namespace netp::pipeline {

namespace {

template <typename T>
T field(std::span<const uint8_t> rec, size_t offset) {
    T v;
    std::memcpy(&v, rec.data() + offset, sizeof v);
    return v;
}

}  // namespace

std::optional<TrapRecord> parseTrapRecord(std::span<const uint8_t> rec) {
    constexpr size_t kFrameAt = offsetof(l2pt_trap_rec, frame);
    if (rec.size() < kFrameAt)
        return std::nullopt;
    const auto len = field<uint16_t>(rec, offsetof(l2pt_trap_rec, len));
    if (len > L2PT_TRAP_MAX_LEN || len > rec.size() - kFrameAt)
        return std::nullopt;
    return TrapRecord{
        .rxIf = field<uint32_t>(rec, offsetof(l2pt_trap_rec, rx_if)),
        .portIf = field<uint32_t>(rec, offsetof(l2pt_trap_rec, port_if)),
        .socket = field<uint16_t>(rec, offsetof(l2pt_trap_rec, socket)),
        .tstampNs = field<uint64_t>(rec, offsetof(l2pt_trap_rec, tstamp_ns)),
        .frame = rec.subspan(kFrameAt, len),
    };
}

size_t dropTrappedBefore(TrapRing& ring, uint64_t cutoffNs) {
    size_t n = 0;
    for (std::span<const uint8_t> rec = ring.peek(); !rec.empty(); rec = ring.peek()) {
        const std::optional<TrapRecord> trap = parseTrapRecord(rec);
        if (trap && trap->tstampNs >= cutoffNs)
            break;
        ring.release();
        ++n;
    }
    ring.publish();
    return n;
}

std::optional<l2pt_event> parseEvent(std::span<const uint8_t> rec) {
    if (rec.size() < sizeof(l2pt_event))
        return std::nullopt;
    return field<l2pt_event>(rec, 0);
}

}  // namespace netp::pipeline
