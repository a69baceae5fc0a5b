// Redundancy: this RPM's role, messages to the peer RPM, the tick count.
#include "platform/ha.h"

#include "platform/backend.h"

int ozmHaIsPrimaryRpm() {
    return ozm::backend().isPrimaryRpm();
}

int ozmIrcPeerRpmSend(uint32_t service, uint32_t instance, uint8_t* msg, uint32_t len,
                      int /*flags*/, int32_t* /*scratch*/) {
    if (msg == nullptr) {
        return -1;
    }
    return ozm::backend().peerRpmSend(service, instance, std::span<const uint8_t>(msg, len));
}

uint64_t ozmTickGet() {
    return ozm::backend().ticks();
}
