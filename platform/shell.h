// The debug shell: sets and reads exported variables and calls exported functions by name.
//
//   shellRun("set l2pt_debug_cp 1");      // {0, ""}
//   shellRun("get l2ptVmanPt");           // {0, "l2ptVmanPt = 37120 (0x9100)"}
//   shellRun("call l2ptShowLag 3");       // the dump prints on the console
//   shellRun("vars");                     // every variable with its range
//
// A failed line gives rc -1 and says why in text; nothing is changed then.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ozm {

struct ShellResult {
    int rc;
    std::string text;
};

ShellResult shellRun(std::string_view line);

namespace shell {

using Args = std::span<const std::string_view>;
// An exported function: parses its own arguments; a failure's text says what was expected.
using Function = ShellResult (*)(Args args);

void exportFunction(const char* name, const char* usage, Function fn);
bool isFunction(std::string_view name);

// Registers a function at static initialisation.
struct FunctionExporter {
    FunctionExporter(const char* name, const char* usage, Function fn) {
        exportFunction(name, usage, fn);
    }
};

// A number written in decimal or as 0x hex (never octal); empty when malformed or above max.
std::optional<uint64_t> parseNumber(std::string_view text, uint64_t max = UINT64_MAX);
// Bytes written as hex digits, e.g. "0180c2000000"; empty when malformed.
std::optional<std::vector<uint8_t>> parseHex(std::string_view text);

}  // namespace shell
}  // namespace ozm

#define OZM_EXPORT_FUNCTION(fn, usage, adapter) \
    static ::ozm::shell::FunctionExporter ozmExportFn_##fn(#fn, usage, adapter)
