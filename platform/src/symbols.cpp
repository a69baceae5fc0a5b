// The registry of variables exported by name. Filled by static initialisers, so it lives
// for the whole program, independent of the installed backend.
#include "platform/symbols.h"

#include <cstring>
#include <functional>
#include <map>
#include <string>

namespace ozm::sym {
namespace {

struct Symbol {
    void* address;
    size_t size;
    Range range;
};

constexpr unsigned kBitsPerByte = 8;

uint64_t widthMax(size_t size) {
    return size >= sizeof(uint64_t) ? UINT64_MAX : (uint64_t{1} << (size * kBitsPerByte)) - 1;
}

std::map<std::string, Symbol, std::less<>>& registry() {
    static std::map<std::string, Symbol, std::less<>> symbols;
    return symbols;
}

const Symbol* find(std::string_view name) {
    auto& symbols = registry();
    auto it = symbols.find(name);
    return it != symbols.end() ? &it->second : nullptr;
}

// Copies the low `size` bytes of an integer of that width between value and address.
template <class T>
void store(void* address, uint64_t value) {
    T v = static_cast<T>(value);
    std::memcpy(address, &v, sizeof v);
}
template <class T>
uint64_t load(const void* address) {
    T v;
    std::memcpy(&v, address, sizeof v);
    return v;
}

}  // namespace

void exportSymbol(const char* name, void* address, size_t size) {
    if (name == nullptr || address == nullptr) {
        return;
    }
    registry().insert_or_assign(name, Symbol{address, size, Range{0, widthMax(size)}});
}

bool set(std::string_view name, uint64_t value) {
    const Symbol* s = find(name);
    if (s == nullptr || value < s->range.min || value > s->range.max) {
        return false;
    }
    switch (s->size) {
        case sizeof(uint8_t):
            store<uint8_t>(s->address, value);
            return true;
        case sizeof(uint16_t):
            store<uint16_t>(s->address, value);
            return true;
        case sizeof(uint32_t):
            store<uint32_t>(s->address, value);
            return true;
        case sizeof(uint64_t):
            store<uint64_t>(s->address, value);
            return true;
        default:
            return false;
    }
}

std::optional<uint64_t> get(std::string_view name) {
    const Symbol* s = find(name);
    if (s == nullptr) {
        return std::nullopt;
    }
    switch (s->size) {
        case sizeof(uint8_t):
            return load<uint8_t>(s->address);
        case sizeof(uint16_t):
            return load<uint16_t>(s->address);
        case sizeof(uint32_t):
            return load<uint32_t>(s->address);
        case sizeof(uint64_t):
            return load<uint64_t>(s->address);
        default:
            return std::nullopt;
    }
}

bool setRange(std::string_view name, uint64_t min, uint64_t max) {
    auto& symbols = registry();
    auto it = symbols.find(name);
    if (it == symbols.end() || min > max || max > widthMax(it->second.size)) {
        return false;
    }
    it->second.range = Range{min, max};
    return true;
}

std::optional<Range> range(std::string_view name) {
    const Symbol* s = find(name);
    return s != nullptr ? std::optional<Range>(s->range) : std::nullopt;
}

std::vector<std::string> names() {
    std::vector<std::string> out;
    for (const auto& kv : registry()) {
        out.push_back(kv.first);
    }
    return out;
}

}  // namespace ozm::sym
