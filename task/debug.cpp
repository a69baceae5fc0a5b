// Tunables and switches exported by name for the platform's debug shell.
#include "task/debug.h"

#include <cstdarg>
#include <cstdio>

#include "platform/symbols.h"

uint8_t l2pt_debug_cp = 0;
OZM_EXPORT_SYMBOL_RANGE(l2pt_debug_cp, 0, 1);  // off, on

uint32_t l2ptRateLimit = 75;
OZM_EXPORT_SYMBOL_RANGE(l2ptRateLimit, 0, UINT32_MAX);  // read by nothing: any u32

int l2ptFormat(char* buf, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, size, format, args);
    va_end(args);
    return n;
}
