// The registry of variables exported by name. Filled by static initialisers, so it lives
// for the whole program, independent of the installed backend.
#include "platform/symbols.h"

#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <string>

namespace ozm::sym {
namespace {

struct Symbol {
    void* address;
    size_t size;
    Range range;
    bool readOnly = false;
};

constexpr size_t kBitsPerByte = 8;

// Every value of an unsigned integer of size bytes (as far as a signed 64-bit bound reaches).
Range unsignedRange(size_t size) {
    if (size >= sizeof(int64_t)) {
        return {0, std::numeric_limits<int64_t>::max()};
    }
    return {0, static_cast<int64_t>((uint64_t{1} << (size * kBitsPerByte)) - 1)};
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
    exportSymbol(name, address, size, unsignedRange(size));
}

void exportSymbol(const char* name, void* address, size_t size, Range range) {
    if (name == nullptr || address == nullptr || range.min > range.max) {
        return;
    }
    registry().insert_or_assign(name, Symbol{address, size, range});
}

void exportReadOnly(const char* name, const void* address, size_t size) {
    if (name == nullptr || address == nullptr) {
        return;
    }
    // Never written through: setInRange refuses a read-only symbol before it stores.
    registry().insert_or_assign(
        name, Symbol{const_cast<void*>(address), size, unsignedRange(size), true});
}

int setInRange(std::string_view name, int64_t value) {
    const Symbol* s = find(name);
    if (s == nullptr || s->readOnly || value < s->range.min || value > s->range.max) {
        return -1;
    }
    const auto bits = static_cast<uint64_t>(value);
    switch (s->size) {
        case sizeof(uint8_t):
            store<uint8_t>(s->address, bits);
            return 0;
        case sizeof(uint16_t):
            store<uint16_t>(s->address, bits);
            return 0;
        case sizeof(uint32_t):
            store<uint32_t>(s->address, bits);
            return 0;
        case sizeof(uint64_t):
            store<uint64_t>(s->address, bits);
            return 0;
        default:
            return -1;
    }
}

bool set(std::string_view name, uint64_t value) {
    if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return false;
    }
    return setInRange(name, static_cast<int64_t>(value)) == 0;
}

std::optional<Range> range(std::string_view name) {
    const Symbol* s = find(name);
    return s != nullptr ? std::optional<Range>(s->range) : std::nullopt;
}

bool isReadOnly(std::string_view name) {
    const Symbol* s = find(name);
    return s != nullptr && s->readOnly;
}

std::vector<Info> list() {
    std::vector<Info> out;
    for (const auto& [name, s] : registry()) {
        out.push_back({name, s.size, s.range, s.readOnly});
    }
    return out;
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

}  // namespace ozm::sym
