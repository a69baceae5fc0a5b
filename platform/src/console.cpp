// The console: formatted lines and error reports, written to the backend's console sink.
#include "platform/console.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/backend.h"

namespace {

// The longest line one call writes; longer output is cut.
constexpr size_t kConsoleLineMax = 4096;

}  // namespace

int ozmPrintf(const char* fmt, ...) {
    if (fmt == nullptr) {
        return -1;
    }
    std::array<char, kConsoleLineMax> line;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(line.data(), line.size(), fmt, ap);
    va_end(ap);
    if (n < 0) {
        return -1;
    }
    size_t len = std::min(static_cast<size_t>(n), line.size() - 1);
    ozm::backend().console(std::string_view(line.data(), len));
    return static_cast<int>(len);
}

void ozmPerror(const char* text) {
    std::string line = text != nullptr ? text : "";
    line += '\n';
    ozm::backend().console(line);
}
