// Event log: log handles, the catalogue of coded events that programs register and the
// rendering of those events, and the subscription to events of the event service.
#include "platform/evtlog.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/src/state.h"

namespace {

constexpr const char* kMissingArg = "?";
constexpr const char* kNullText = "(null)";
// Events one subscription call may name.
constexpr int kMaxSubscribedEvents = 64;

ozm::detail::LogHandle* findHandle(uint32_t handle) {
    auto& handles = ozm::detail::state().logs.handles;
    auto it = handles.find(handle);
    return it != handles.end() ? &it->second : nullptr;
}

// Renders a coded event. Arguments are read only when `args` is given, and only as many, and
// of the kinds, that the format names.
ozm::LogRecord renderCoded(uint32_t code, va_list* args) {
    ozm::LogRecord record;
    record.code = code;
    const char* format = ozmEvtCatalogueText(code);
    if (format == nullptr) {
        std::array<char, 32> text;
        std::snprintf(text.data(), text.size(), "event 0x%06x", code);
        record.text = text.data();
        return record;
    }
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%' || (p[1] != 'd' && p[1] != 's')) {
            if (*p == '%' && p[1] == '%') {
                ++p;
            }
            record.text += *p;
            continue;
        }
        std::string arg = kMissingArg;
        if (args != nullptr) {
            if (*++p == 'd') {
                arg = std::to_string(va_arg(*args, int));
            } else {
                const char* s = va_arg(*args, const char*);
                arg = s != nullptr ? s : kNullText;
            }
            record.args.push_back(arg);
        } else {
            ++p;
        }
        record.text += arg;
    }
    return record;
}

int subscription(int count, va_list* ids, bool subscribe, const char* faultPoint) {
    if (count < 0 || count > kMaxSubscribedEvents) {
        return -1;
    }
    std::vector<uint32_t> events;
    events.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        events.push_back(va_arg(*ids, uint32_t));
    }
    if (ozm::fault(faultPoint)) {
        return -1;
    }
    return ozm::backend().subscribe(events, subscribe);
}

}  // namespace

int ozmEvtRegisterCatalogue(const OzmEvtCatalogueEntry* entries, size_t count) {
    if (entries == nullptr) {
        return -1;
    }
    auto& catalogue = ozm::detail::state().logs.catalogue;
    for (const OzmEvtCatalogueEntry& entry : std::span(entries, count)) {
        if (entry.format != nullptr) {
            catalogue.insert_or_assign(entry.code, entry.format);
        }
    }
    return 0;
}

const char* ozmEvtCatalogueText(uint32_t code) {
    const auto& catalogue = ozm::detail::state().logs.catalogue;
    auto it = catalogue.find(code);
    return it != catalogue.end() ? it->second : nullptr;
}

uint32_t ozmEvtOpenlog(const char* name, int /*flags*/, uint32_t service, int /*options*/) {
    if (ozm::fault("ozmEvtOpenlog")) {
        return OZM_EVT_INVALID_HANDLE;
    }
    ozm::detail::LogState& logs = ozm::detail::state().logs;
    uint32_t handle = logs.nextHandle++;
    logs.handles.emplace(handle, ozm::detail::LogHandle{name != nullptr ? name : "", service});
    return handle;
}

int ozmEvtSetSeverityLevel(uint32_t logHandle, uint32_t mask) {
    ozm::detail::LogHandle* log = findHandle(logHandle);
    if (log == nullptr || ozm::fault("ozmEvtSetSeverityLevel")) {
        return -1;
    }
    log->severityMask = mask;
    return 0;
}

int ozmEvtTurnOnSeverityLevel(uint32_t logHandle, int level) {
    constexpr int kLevels = 32;
    ozm::detail::LogHandle* log = findHandle(logHandle);
    if (log == nullptr || level < 0 || level >= kLevels) {
        return -1;
    }
    log->severityMask |= 1u << level;
    return 0;
}

int ozmEvtRegisterSvce(uint32_t logHandle, int* value) {
    ozm::detail::LogHandle* log = findHandle(logHandle);
    if (log == nullptr || value == nullptr) {
        return -1;
    }
    log->registeredValue = *value;
    return 0;
}

int ozmEvtCloselog(uint32_t logHandle) {
    return ozm::detail::state().logs.handles.erase(logHandle) != 0 ? 0 : -1;
}

// Records are delivered whatever the handle: a report raised after the log was closed is still
// worth keeping.
int ozmSysErr(uint32_t /*logHandle*/, const char* text, uint32_t code, int flag, ...) {
    if (text != nullptr && code == 0) {
        ozm::backend().eventLog(ozm::LogRecord{0, {}, text});
        return 0;
    }
    constexpr int kFlagWithArgs = 1;
    va_list ap;
    va_start(ap, flag);
    ozm::LogRecord record = renderCoded(code, flag == kFlagWithArgs ? &ap : nullptr);
    va_end(ap);
    ozm::backend().eventLog(record);
    return 0;
}

int ozmEvhSubscribeEvt(uint32_t /*logHandle*/, int count, ...) {
    va_list ap;
    va_start(ap, count);
    int result = subscription(count, &ap, true, "ozmEvhSubscribeEvt");
    va_end(ap);
    return result;
}

int ozmEvhUnsubscribeEvt(uint32_t /*logHandle*/, int count, ...) {
    va_list ap;
    va_start(ap, count);
    int result = subscription(count, &ap, false, "ozmEvhUnsubscribeEvt");
    va_end(ap);
    return result;
}
