// Event log and event subscription.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t OZM_EVT_INVALID_HANDLE = 0xFFFFFFFFu;

uint32_t ozmEvtOpenlog(const char* name, int flags, uint32_t service, int options);
int ozmEvtSetSeverityLevel(uint32_t logHandle, uint32_t mask);
int ozmEvtTurnOnSeverityLevel(uint32_t logHandle, int level);
int ozmEvtRegisterSvce(uint32_t logHandle, int* value);
int ozmEvtCloselog(uint32_t logHandle);

// With text and code 0: writes the text as a free trace line. With no text: raises the coded
// event; when flag is 1 the code's arguments follow, as the code's catalogue entry lists them.
int ozmSysErr(uint32_t logHandle, const char* text, uint32_t code, int flag, ...);

// One entry of a program's catalogue of coded events: the code and the format of its text, whose
// %d and %s conversions name the event's arguments, in order.
struct OzmEvtCatalogueEntry {
    uint32_t code;
    const char* format;
};

// Adds a program's coded events to the catalogue (the table must outlive the program's use of
// the log; a code registered again takes the new text). 0, or -1 for a null table.
int ozmEvtRegisterCatalogue(const OzmEvtCatalogueEntry* entries, size_t count);
// The catalogue text of a coded event, or null when no program registered the code.
const char* ozmEvtCatalogueText(uint32_t code);

// Subscription to events of the event service; each event then arrives as message 2009.
int ozmEvhSubscribeEvt(uint32_t logHandle, int count, ...);
int ozmEvhUnsubscribeEvt(uint32_t logHandle, int count, ...);
