#include "chassis/message.h"

#include <algorithm>

namespace chassis {

std::vector<uint8_t> makeMessage(uint32_t type, size_t len, Party from, Party to) {
    std::vector<uint8_t> m(std::max(len, hdr::kPlainHeaderLen));
    uint8_t* p = m.data();
    hdr::setMsgLen(p, static_cast<uint32_t>(m.size()));
    hdr::setMsgType(p, type);
    hdr::setSrcNodeAddr(p, ozm::nodeAddrOf(from.service, from.slot));
    hdr::setSrcQueueId(p, ozm::queueIdOf(from.service, from.slot, ozm::kRequestQueueKind));
    hdr::setDstSlot(p, to.slot);
    hdr::setDstNodeAddr(p, ozm::nodeAddrOf(to.service, to.slot));
    hdr::setDstQueueId(p, ozm::queueIdOf(to.service, to.slot, ozm::kRequestQueueKind));
    return m;
}

void stampSequenced(std::span<uint8_t> msg, swpw::Kind kind, uint32_t session, uint32_t seq,
                    uint32_t queue, Party from) {
    if (msg.size() < hdr::kSeqHeaderLen)
        return;
    uint8_t* p = msg.data();
    swpw::setMagic(p);
    swpw::setKind(p, kind);
    swpw::setSession(p, session);
    swpw::setSeq(p, seq);
    swpw::setQueue(p, queue);
    swpw::setSrcService(p, from.service);
    swpw::setSrcSlot(p, from.slot);
}

bool wellFormed(std::span<const uint8_t> msg) {
    if (msg.size() < hdr::kPlainHeaderLen)
        return false;
    const uint32_t len = hdr::msgLen(msg.data());
    return len >= hdr::kPlainHeaderLen && len <= msg.size();
}

std::span<const uint8_t> covered(std::span<const uint8_t> msg) {
    return msg.first(hdr::msgLen(msg.data()));
}

}  // namespace chassis
