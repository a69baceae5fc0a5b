// Variables a program exports by name, read and set by the platform's debug shell. Every entry
// carries the inclusive range of values it may be set to; setting refuses anything outside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ozm::sym {

struct Range {
    int64_t min;
    int64_t max;
};

struct Info {
    std::string name;
    size_t size;  // bytes: 1, 2, 4 or 8
    Range range;
    bool readOnly = false;
};

// Registers an integer variable; without a range, every value of an unsigned of its width.
void exportSymbol(const char* name, void* address, size_t size);
void exportSymbol(const char* name, void* address, size_t size, Range range);
// Registers an integer variable that can be read but never set (a counter).
void exportReadOnly(const char* name, const void* address, size_t size);
// Sets an exported integer variable (1, 2, 4 or 8 bytes wide) to a value within its range;
// false when unknown, read-only or out of range, the variable then unchanged.
bool set(std::string_view name, uint64_t value);
// The same with a signed value: 0, or -1 when unknown, read-only or out of range.
int setInRange(std::string_view name, int64_t value);
std::optional<uint64_t> get(std::string_view name);
std::optional<Range> range(std::string_view name);
bool isReadOnly(std::string_view name);
// Every exported variable, by name.
std::vector<Info> list();

// Registers a variable at static initialisation.
struct Exporter {
    Exporter(const char* name, void* address, size_t size) { exportSymbol(name, address, size); }
    Exporter(const char* name, void* address, size_t size, Range range) {
        exportSymbol(name, address, size, range);
    }
};

}  // namespace ozm::sym

#define OZM_EXPORT_SYMBOL(var) \
    static ::ozm::sym::Exporter ozmExport_##var(#var, &(var), sizeof(var))
// Exports var with the values it may be set to, lo to hi inclusive.
#define OZM_EXPORT_SYMBOL_RANGE(var, lo, hi)                               \
    static ::ozm::sym::Exporter ozmExport_##var(#var, &(var), sizeof(var), \
                                                ::ozm::sym::Range{lo, hi})
