#include "net/log/escape.h"

namespace netp {

namespace {

constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDelete = 0x7f;
constexpr std::string_view kHexDigits = "0123456789abcdef";
constexpr unsigned kNibbleBits = 4;
constexpr unsigned char kNibbleMask = 0x0f;

}  // namespace

std::string escapeControls(std::string_view text, std::string_view keep) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= kFirstPrintable && u != kDelete) || keep.find(c) != std::string_view::npos) {
            out += c;
            continue;
        }
        out += "\\x";
        out += kHexDigits[u >> kNibbleBits];
        out += kHexDigits[u & kNibbleMask];
    }
    return out;
}

}  // namespace netp
