// The configuration tree: entries handed to the backend as key components and a line.
#include "platform/cfg.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string_view>

#include "platform/backend.h"

namespace {

constexpr size_t kKeyComponentBytes = sizeof(uint32_t);
constexpr size_t kKeyComponentsMax = sizeof(OzmCfgEntry::key) / kKeyComponentBytes;

std::span<const uint32_t> keyOf(const OzmCfgEntry& entry) {
    size_t components = std::min<size_t>(entry.keyLen / kKeyComponentBytes, kKeyComponentsMax);
    return {entry.key, components};
}

std::string_view textOf(const OzmCfgEntry& entry) {
    return {entry.text, strnlen(entry.text, sizeof entry.text)};
}

}  // namespace

int ozmCfgInsert(uint32_t /*taskKey*/, OzmCfgEntry* entry) {
    if (entry == nullptr) {
        return -1;
    }
    return ozm::backend().cfgInsert(keyOf(*entry), textOf(*entry));
}

int ozmCfgRemoveExact(uint32_t /*taskKey*/, OzmCfgEntry* entry) {
    if (entry == nullptr) {
        return -1;
    }
    return ozm::backend().cfgRemoveExact(keyOf(*entry));
}

int ozmCfgRemoveNode(uint32_t /*taskKey*/, OzmCfgEntry* entry) {
    if (entry == nullptr) {
        return -1;
    }
    return ozm::backend().cfgRemoveNode(keyOf(*entry));
}
