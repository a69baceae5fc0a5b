#include "net/pipeline/memory_room.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <string_view>

namespace netp::pipeline {

namespace {

// v1 shows no limit as the page counter's largest value, just short of 2^63.
constexpr uint64_t kNoLimitV1 = uint64_t{1} << 62;

std::optional<uint64_t> readNumber(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    if (!(in >> text))
        return std::nullopt;
    uint64_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;  // v2's "max" among them
    return n;
}

// The value of key in a memory.stat ("KEY VALUE" lines); 0 without it.
uint64_t statOf(const std::string& path, std::string_view key) {
    std::ifstream in(path);
    std::string name;
    uint64_t value = 0;
    while (in >> name >> value) {
        if (name == key)
            return value;
    }
    return 0;
}

// dir's use (less inactive file cache, statKey in its memory.stat) and limit.
std::optional<MemoryUse> use(const std::string& dir, const char* current, const char* max,
                             std::string_view statKey) {
    const auto c = readNumber(dir + "/" + current);
    const auto m = readNumber(dir + "/" + max);
    if (!c || !m || *m >= kNoLimitV1)
        return std::nullopt;
    const uint64_t cache = statOf(dir + "/memory.stat", statKey);
    return MemoryUse{*c - std::min(cache, *c), *m};
}

bool hasController(std::string_view list, std::string_view name) {
    for (size_t at = 0; at <= list.size();) {
        const size_t end = std::min(list.find(',', at), list.size());
        if (list.substr(at, end - at) == name)
            return true;
        at = end + 1;
    }
    return false;
}

}  // namespace

std::optional<MemoryUse> cgroupMemory(const std::string& procCgroup, const std::string& root) {
    std::ifstream in(procCgroup);
    std::optional<std::string> v2;
    // Lines "ID:CONTROLLERS:PATH"; v2's is "0::PATH".
    for (std::string line; std::getline(in, line);) {
        const size_t a = line.find(':');
        const size_t b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos)
            continue;
        const std::string_view controllers = std::string_view(line).substr(a + 1, b - a - 1);
        const std::string path = line.substr(b + 1);
        if (hasController(controllers, "memory"))
            return use(root + "/memory" + path, "memory.usage_in_bytes", "memory.limit_in_bytes",
                       "total_inactive_file");
        if (controllers.empty() && line.starts_with("0:"))
            v2 = path;
    }
    if (!v2)
        return std::nullopt;
    return use(root + *v2, "memory.current", "memory.max", "inactive_file");
}

}  // namespace netp::pipeline
