#include "net/port/vlan_tag.h"

#include <algorithm>
#include <cstring>

#include "platform/wire/bytes.h"

namespace netp::port {

namespace {
constexpr size_t kTpidOff = 12;  // a tag goes after both MACs
constexpr size_t kTciOff = kTpidOff + 2;
constexpr uint16_t kTpid8021Q = 0x8100;
}  // namespace

std::span<uint8_t> restoreTag(const msghdr& m, std::span<uint8_t> slot, size_t len) {
    if (slot.size() < kTagLen)
        return {};
    len = std::min(len, slot.size() - kTagLen);
    std::span<uint8_t> frame = slot.subspan(kTagLen, len);
    if (len < kTpidOff)
        return frame;
    for (const cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&m), const_cast<cmsghdr*>(c))) {
        if (c->cmsg_level != SOL_PACKET || c->cmsg_type != PACKET_AUXDATA ||
            c->cmsg_len < CMSG_LEN(sizeof(tpacket_auxdata))) {
            continue;
        }
        tpacket_auxdata aux;
        std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
        if ((aux.tp_status & TP_STATUS_VLAN_VALID) == 0)
            return frame;
        const uint16_t tpid =
            (aux.tp_status & TP_STATUS_VLAN_TPID_VALID) != 0 ? aux.tp_vlan_tpid : kTpid8021Q;
        std::span<uint8_t> tagged = slot.first(kTagLen + len);
        std::memmove(tagged.data(), frame.data(), kTpidOff);
        wire::putU16(tagged.data(), kTpidOff, tpid);
        wire::putU16(tagged.data(), kTciOff, aux.tp_vlan_tci);
        return tagged;
    }
    return frame;
}

}  // namespace netp::port
