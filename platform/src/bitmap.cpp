// Bitmap scans: a word at a time, bits numbered from the most significant end.
#include "platform/bitmap.h"

#include <bit>
#include <cstring>

namespace {

constexpr int kWordBits = 32;

// First set bit at or above `from`, below sizeBits; -1 when none.
int scanFrom(const uint32_t* bm, int from, int sizeBits) {
    if (bm == nullptr || from < 0 || from >= sizeBits) {
        return -1;
    }
    int lastWord = (sizeBits - 1) / kWordBits;
    int word = from / kWordBits;
    uint32_t bits = bm[word] & (0xFFFFFFFFu >> (from % kWordBits));
    while (bits == 0) {
        if (++word > lastWord) {
            return -1;
        }
        bits = bm[word];
    }
    int bit = word * kWordBits + std::countl_zero(bits);
    return bit < sizeBits ? bit : -1;
}

}  // namespace

int GET_FIRST_BIT_BITMAP(const uint32_t* bm, int sizeBits) {
    return scanFrom(bm, 0, sizeBits);
}

int GET_NEXT_BIT_BITMAP(const uint32_t* bm, int prev, int sizeBits) {
    if (prev >= sizeBits - 1) {
        return -1;
    }
    return scanFrom(bm, prev < 0 ? 0 : prev + 1, sizeBits);
}

int BITMAP_COMPARE_BITMAPS(const void* a, const void* b, int sizeBytes) {
    if (sizeBytes <= 0 || a == b) {
        return 0;
    }
    if (a == nullptr || b == nullptr) {
        return a == nullptr ? -1 : 1;
    }
    return std::memcmp(a, b, static_cast<size_t>(sizeBytes));
}
