// Bitmaps of 32-bit words, bits numbered from the most significant end:
// bit i is 0x80000000 >> (i % 32) of word i / 32.
#pragma once

#include <cstdint>

inline constexpr uint32_t ozmBitMask(int bit) {
    return 0x80000000u >> (bit % 32);
}

inline void SET_BIT_BITMAP(uint32_t* bm, int bit) {
    bm[bit / 32] |= ozmBitMask(bit);
}
inline void CLEAR_BIT_BITMAP(uint32_t* bm, int bit) {
    bm[bit / 32] &= ~ozmBitMask(bit);
}
inline bool TEST_BIT_BITMAP(const uint32_t* bm, int bit) {
    return (bm[bit / 32] & ozmBitMask(bit)) != 0;
}

// First set bit of a bitmap of sizeBits bits, or -1.
int GET_FIRST_BIT_BITMAP(const uint32_t* bm, int sizeBits);
// First set bit above prev, or -1.
int GET_NEXT_BIT_BITMAP(const uint32_t* bm, int prev, int sizeBits);
// 0 when the first sizeBytes bytes of the two bitmaps are equal.
int BITMAP_COMPARE_BITMAPS(const void* a, const void* b, int sizeBytes);
