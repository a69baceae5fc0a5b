// Counting of dropped PDUs and their export to the debug shell.
#include "base/drop.h"

#include "platform/kernel.h"
#include "platform/symbols.h"

namespace {

struct L2ptDropName {
    const char* text;    // what the platform is told, and traces show
    const char* symbol;  // the exported counter
};

// By reason, in the order of L2ptDropReason.
constexpr L2ptDropName kDropNames[L2PT_DROP_REASONS] = {
    {"receive failed", "l2ptDropRxFailed"},
    {"longer than the receive buffer", "l2ptDropTooLong"},
    {"not a tagged frame", "l2ptDropUntagged"},
    {"port out of range", "l2ptDropPortRange"},
    {"not an access port", "l2ptDropNoAccessPort"},
    {"not a core port", "l2ptDropNoCorePort"},
    {"unknown protocol", "l2ptDropUnknownProto"},
    {"protocol not tunnelled", "l2ptDropProtoOff"},
    {"vman record missing", "l2ptDropNoVman"},
    {"no room for the provider tag", "l2ptDropNoTagRoom"},
};

}  // namespace

uint64_t l2ptDropCount[L2PT_DROP_REASONS] = {};

namespace {

// Each counter by its name, as the other exported variables are at static initialisation.
const bool kDropCountsExported = [] {
    for (int i = 0; i < L2PT_DROP_REASONS; ++i) {
        ozm::sym::exportReadOnly(kDropNames[i].symbol, &l2ptDropCount[i], sizeof l2ptDropCount[i]);
    }
    return true;
}();

}  // namespace

void l2ptCountDrop(L2ptDropReason reason, uint32_t rxIfIndex) {
    const auto i = static_cast<int>(reason);
    if (i < 0 || i >= L2PT_DROP_REASONS) {
        return;
    }
    ++l2ptDropCount[i];
    ozmPduDropped(rxIfIndex, static_cast<uint32_t>(i), kDropNames[i].text);
}
