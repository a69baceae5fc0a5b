#include "chassis/trace.h"

#include <algorithm>
#include <cstdio>

#include "platform/shell.h"

namespace chassis {

namespace {
constexpr char kHexDigits[] = "0123456789abcdef";
}  // namespace

std::string macText(std::span<const uint8_t> mac) {
    std::string out;
    for (size_t i = 0; i < kMacLen && i < mac.size(); ++i) {
        if (i)
            out += ':';
        out += kHexDigits[mac[i] >> 4];
        out += kHexDigits[mac[i] & 0xF];
    }
    return out;
}

std::optional<Mac> parseMac(std::string_view text) {
    // Six pairs of hex digits separated by ':' or '-'.
    constexpr size_t kPairWidth = 3;  // two digits and a separator
    if (text.size() != kMacLen * kPairWidth - 1)
        return std::nullopt;
    std::string digits;
    for (size_t i = 0; i < kMacLen; ++i) {
        const size_t sep = i * kPairWidth + 2;
        if (sep < text.size() && text[sep] != ':' && text[sep] != '-')
            return std::nullopt;
        digits += text.substr(i * kPairWidth, 2);
    }
    const auto bytes = ozm::shell::parseHex(digits);
    if (!bytes)
        return std::nullopt;
    Mac mac{};
    std::copy(bytes->begin(), bytes->end(), mac.begin());
    return mac;
}

std::string hexText(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += kHexDigits[b >> 4];
        out += kHexDigits[b & 0xF];
    }
    return out;
}

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", v);
    return buf;
}

void Trace::add(std::string_view actor, std::string_view text) {
    if (!on())
        return;
    // One line per line of text: embedded newlines start new lines, trailing blanks go, and
    // the empty piece after a final newline is no line of its own.
    do {
        const size_t nl = text.find('\n');
        std::string_view piece = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        addOne(actor, piece);
    } while (!text.empty());
}

void Trace::addOne(std::string_view actor, std::string_view text) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%9.3f ", static_cast<double>(clock_.nowUs) / kUsPerSecond);
    std::string line = stamp;
    line.append(actor);
    line += ' ';
    line.append(text);
    line.erase(line.find_last_not_of(" \t\r") + 1);
    if (sink_)
        sink_(line);
    if (keep_)
        lines_.push_back(std::move(line));
}

std::string Trace::text() const {
    std::string out;
    for (const auto& l : lines_) {
        out += l;
        out += '\n';
    }
    return out;
}

std::vector<std::string> Trace::grep(std::string_view prefix) const {
    std::vector<std::string> out;
    for (const auto& l : lines_) {
        std::string_view rest(l);
        const size_t timeEnd = rest.find(' ', rest.find_first_not_of(' '));
        rest.remove_prefix(timeEnd == std::string_view::npos ? rest.size() : timeEnd + 1);
        if (rest.starts_with(prefix))
            out.emplace_back(rest);
    }
    return out;
}

}  // namespace chassis
