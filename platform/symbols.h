// Variables a program exports by name, read and set by the platform's debug shell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ozm::sym {

void exportSymbol(const char* name, void* address, size_t size);
// Sets an exported integer variable (1, 2, 4 or 8 bytes wide); false when unknown or when
// value lies outside the variable's range.
bool set(std::string_view name, uint64_t value);
std::optional<uint64_t> get(std::string_view name);

// The values set accepts: every value of the variable's width unless narrowed by setRange.
struct Range {
    uint64_t min;
    uint64_t max;
};
// False when name is unknown or the range is empty or wider than the variable.
bool setRange(std::string_view name, uint64_t min, uint64_t max);
std::optional<Range> range(std::string_view name);
// Every exported name, in name order.
std::vector<std::string> names();

// Registers a variable at static initialisation.
struct Exporter {
    Exporter(const char* name, void* address, size_t size) { exportSymbol(name, address, size); }
};

}  // namespace ozm::sym

#define OZM_EXPORT_SYMBOL(var) \
    static ::ozm::sym::Exporter ozmExport_##var(#var, &(var), sizeof(var))
