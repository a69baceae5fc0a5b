// The task's debug switch and tunables, its console debug lines, and the helpers that format
// their texts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/console.h"
#include "platform/ifm.h"

// 1 while the task prints its debug lines; set from outside the task by the debug shell.
extern uint8_t l2pt_debug_cp;

inline bool l2ptDebugOn() {
    return l2pt_debug_cp == 1;
}

// A debug line: formatted on the console only while the debug switch is on. The arguments are
// not evaluated otherwise, so callers may compute names inside them.
#define L2PT_DBG(...)                 \
    do {                              \
        if (l2ptDebugOn()) {          \
            ::ozmPrintf(__VA_ARGS__); \
        }                             \
    } while (0)

// The short name of an interface, for log texts.
struct L2ptIfName {
    char text[OZM_IF_NAME_MAX];
    explicit L2ptIfName(uint32_t ifIndex) { ifmIfIndexToName(ifIndex, text); }
};

// The same, looked up only while debugging is on: for names that only debug lines print.
struct L2ptDbgName {
    char text[OZM_IF_NAME_MAX];
    explicit L2ptDbgName(uint32_t ifIndex) {
        text[0] = '\0';
        if (l2ptDebugOn()) {
            ifmIfIndexToName(ifIndex, text);
        }
    }
};

extern uint16_t l2ptVmanPt;     // provider tag protocol identifier of tunnelled PDUs
extern int32_t gL2PTMaxAclTry;  // attempts to bring up an ACL agent
inline constexpr uint16_t L2PT_DEFAULT_VMAN_PT = 0x9100;

// Rate limit setting exported for the debug shell (75 at start, 0 after shutdown); the rate in
// classification entries always comes from the VLAN records.
extern uint32_t l2ptRateLimit;

// Formats into a fixed buffer, cutting the text at its size.
int l2ptFormat(char* buf, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
