// Big-endian accessors at explicit byte offsets: every message and frame goes through these.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wire {

inline uint8_t getU8(const uint8_t* base, size_t off) {
    return base[off];
}
inline uint16_t getU16(const uint8_t* base, size_t off) {
    return static_cast<uint16_t>(base[off] << 8 | base[off + 1]);
}
inline uint32_t getU32(const uint8_t* base, size_t off) {
    return static_cast<uint32_t>(base[off]) << 24 | static_cast<uint32_t>(base[off + 1]) << 16 |
           static_cast<uint32_t>(base[off + 2]) << 8 | static_cast<uint32_t>(base[off + 3]);
}
inline int32_t getI32(const uint8_t* base, size_t off) {
    return static_cast<int32_t>(getU32(base, off));
}

inline void putU8(uint8_t* base, size_t off, uint8_t v) {
    base[off] = v;
}
inline void putU16(uint8_t* base, size_t off, uint16_t v) {
    base[off] = static_cast<uint8_t>(v >> 8);
    base[off + 1] = static_cast<uint8_t>(v);
}
inline void putU32(uint8_t* base, size_t off, uint32_t v) {
    base[off] = static_cast<uint8_t>(v >> 24);
    base[off + 1] = static_cast<uint8_t>(v >> 16);
    base[off + 2] = static_cast<uint8_t>(v >> 8);
    base[off + 3] = static_cast<uint8_t>(v);
}
inline void putI32(uint8_t* base, size_t off, int32_t v) {
    putU32(base, off, static_cast<uint32_t>(v));
}

}  // namespace wire
