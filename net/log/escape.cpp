#include "net/log/escape.h"

namespace netp {

namespace {

constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDelete = 0x7f;
constexpr std::string_view kHexDigits = "0123456789abcdef";
constexpr unsigned kNibbleBits = 4;
constexpr unsigned char kNibbleMask = 0x0f;
constexpr unsigned char kAscii = 0x80;

// The length of the UTF-8 sequence of a character that is no control at text's start (a C1
// control, U+0080-U+009F, is one for a terminal too), or 0 where it is none.
size_t printableSequence(std::string_view text) {
    const auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = at(0);
    // By the lead byte: the sequence's length and the range of its second byte, which rules
    // out overlong forms, surrogates, code points past U+10FFFF and the C1 controls.
    struct Form {
        unsigned char first, last;  // lead bytes
        size_t length;
        unsigned char low, high;  // the second byte
    };
    static constexpr Form kForms[] = {
        {0xc2, 0xc2, 2, 0xa0, 0xbf}, {0xc3, 0xdf, 2, 0x80, 0xbf}, {0xe0, 0xe0, 3, 0xa0, 0xbf},
        {0xe1, 0xec, 3, 0x80, 0xbf}, {0xed, 0xed, 3, 0x80, 0x9f}, {0xee, 0xef, 3, 0x80, 0xbf},
        {0xf0, 0xf0, 4, 0x90, 0xbf}, {0xf1, 0xf3, 4, 0x80, 0xbf}, {0xf4, 0xf4, 4, 0x80, 0x8f},
    };
    constexpr unsigned char kContinuationLow = 0x80, kContinuationHigh = 0xbf;
    for (const Form& f : kForms) {
        if (lead < f.first || lead > f.last)
            continue;
        if (text.size() < f.length || at(1) < f.low || at(1) > f.high)
            return 0;
        for (size_t i = 2; i < f.length; ++i) {
            if (at(i) < kContinuationLow || at(i) > kContinuationHigh)
                return 0;
        }
        return f.length;
    }
    return 0;
}

}  // namespace

std::string escapeControls(std::string_view text, std::string_view keep) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        if ((u >= kFirstPrintable && u < kDelete) || keep.find(c) != std::string_view::npos) {
            out += c;
            ++i;
            continue;
        }
        if (const size_t n = u >= kAscii ? printableSequence(text.substr(i)) : 0) {
            out.append(text, i, n);
            i += n;
            continue;
        }
        out += "\\x";
        out += kHexDigits[u >> kNibbleBits];
        out += kHexDigits[u & kNibbleMask];
        ++i;
    }
    return out;
}

}  // namespace netp
