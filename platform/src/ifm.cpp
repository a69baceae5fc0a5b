// Interface, card and system queries, answered by the backend's interface database.
#include "platform/ifm.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/backend.h"

namespace {

// Writes a name into a caller's buffer of OZM_IF_NAME_MAX bytes; unknown interfaces read
// "ifIndex <n>". 0 for a known interface, -1 otherwise.
int copyName(uint32_t ifIndex, char* buf, std::string ozm::IfInfo::*field) {
    if (buf == nullptr) {
        return -1;
    }
    const ozm::IfInfo* info = ozm::backend().ifInfo(ifIndex);
    if (info == nullptr) {
        std::snprintf(buf, OZM_IF_NAME_MAX, "ifIndex %u", ifIndex);
        return -1;
    }
    const std::string& name = info->*field;
    size_t n = std::min(name.size(), static_cast<size_t>(OZM_IF_NAME_MAX - 1));
    std::memcpy(buf, name.data(), n);
    buf[n] = '\0';
    return 0;
}

int numberOf(uint32_t ifIndex, int ozm::IfInfo::*field) {
    const ozm::IfInfo* info = ozm::backend().ifInfo(ifIndex);
    return info != nullptr ? info->*field : -1;
}

}  // namespace

int ifmIfIndexToName(uint32_t ifIndex, char* buf) {
    return copyName(ifIndex, buf, &ozm::IfInfo::name);
}
int ifmIfIndexToLName(uint32_t ifIndex, char* buf) {
    return copyName(ifIndex, buf, &ozm::IfInfo::longName);
}
int ifmIfIndexToIfType(uint32_t ifIndex) {
    return numberOf(ifIndex, &ozm::IfInfo::type);
}
int ifmIfIndexToIfNum(uint32_t ifIndex) {
    return numberOf(ifIndex, &ozm::IfInfo::ifNum);
}
int ifmIfIndexToSlotId(uint32_t ifIndex) {
    return numberOf(ifIndex, &ozm::IfInfo::slot);
}
int ifmIfIndexToCardType(uint32_t ifIndex) {
    return numberOf(ifIndex, &ozm::IfInfo::cardType);
}
int ifmIfIndexToPortId(uint32_t ifIndex) {
    return numberOf(ifIndex, &ozm::IfInfo::portId);
}
int ifmIfIndexToVlanId(uint32_t ifIndex) {
    return numberOf(ifIndex, &ozm::IfInfo::vlanId);
}
int ozmifIndexToSfId(uint32_t ifIndex) {
    return numberOf(ifIndex, &ozm::IfInfo::sfUnit);
}

int ozmSysCardTypePortIdToPP(int cardType, int portId) {
    return ozm::backend().cardTypePortToPipe(cardType, portId);
}
int ozmSysTenGEther(int cardType) {
    return ozm::backend().tenGigCard(cardType);
}
uint32_t ozmSysGetStkLineCardSlotId() {
    return ozm::backend().masterLineCardSlot();
}
