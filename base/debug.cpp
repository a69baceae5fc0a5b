// Tunables and switches exported by name for the platform's debug shell.
#include "base/debug.h"

#include <cstdarg>
#include <cstdio>

#include "platform/symbols.h"

uint8_t l2pt_debug_cp = 0;
OZM_EXPORT_SYMBOL_RANGE(l2pt_debug_cp, 0, 1);  // off, on

uint32_t l2ptRateLimit = 75;
OZM_EXPORT_SYMBOL_RANGE(l2ptRateLimit, 0, UINT32_MAX);  // read by nothing: any u32

uint16_t l2ptVmanPt = L2PT_DEFAULT_VMAN_PT;
int32_t gL2PTMaxAclTry = 20;
// A tag protocol identifier is an EtherType: 0x0600 and above (below are 802.3 lengths).
OZM_EXPORT_SYMBOL_RANGE(l2ptVmanPt, 0x0600, 0xFFFF);
// Every attempt may wait out a synchronous request to the agent, and nothing else runs meanwhile:
// the count stays small so that a refusing agent cannot hold the task for long.
OZM_EXPORT_SYMBOL_RANGE(gL2PTMaxAclTry, 1, 50);

int l2ptFormat(char* buf, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, size, format, args);
    va_end(args);
    return n;
}
