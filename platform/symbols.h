// Variables a program exports by name, read and set by the platform's debug shell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ozm::sym {

void exportSymbol(const char* name, void* address, size_t size);
// Sets an exported integer variable (1, 2, 4 or 8 bytes wide); false when unknown.
bool set(std::string_view name, uint64_t value);
std::optional<uint64_t> get(std::string_view name);

// Registers a variable at static initialisation.
struct Exporter {
    Exporter(const char* name, void* address, size_t size) { exportSymbol(name, address, size); }
};

}  // namespace ozm::sym

#define OZM_EXPORT_SYMBOL(var) \
    static ::ozm::sym::Exporter ozmExport_##var(#var, &(var), sizeof(var))
