#include "net/backend/egress.h"

#include <algorithm>
#include <array>

#include "net/pipeline/lport.h"
#include "platform/wire/bytes.h"

namespace netp {

namespace {

constexpr std::array<std::string_view, 6> kFaultTexts = {"sent",
                                                         "no port or LAG of the chassis",
                                                         "its line card is absent",
                                                         "the LAG has no live member",
                                                         "the port has no interface that is up",
                                                         "longer than a PDU may be"};

// The VLAN of a frame in the provider tag in force, if it carries one outermost.
std::optional<uint32_t> providerVlan(std::span<const uint8_t> frame, uint32_t tpid) {
    if (frame.size() < L2PT_ETH_HLEN + L2PT_TAG_LEN ||
        wire::getU16(frame.data(), L2PT_OFF_TYPE) != tpid)
        return std::nullopt;
    return wire::getU16(frame.data(), L2PT_OFF_TYPE + sizeof(uint16_t)) & L2PT_VID_MASK;
}

}  // namespace

std::string_view egressFaultText(EgressFault fault) {
    return kFaultTexts[static_cast<size_t>(fault)];
}

Egress resolveEgress(const pipeline::TableView& view, const chassis::IfDb& db, uint32_t egressIf,
                     std::span<const uint8_t> frame) {
    const uint32_t named = pipeline::lportOf(db, egressIf);
    std::optional<l2pt_lport> rec = view.lport(named);
    if (!rec)
        return {EgressFault::NoSuchPort};
    // A LAG speaks for its members in VLANs: the role is the LAG's.
    uint32_t speaker = named;
    if (rec->flags & L2PT_P_IS_LAG) {
        if (rec->n_live == 0)
            return {EgressFault::NoLiveMember};
        rec = view.lport(rec->live[0]);
        if (!rec)
            return {EgressFault::NoLiveMember};
    } else if (rec->lag != L2PT_LPORT_NONE) {
        speaker = rec->lag;
    }
    if (!(rec->flags & L2PT_P_PRESENT))
        return {EgressFault::CardAbsent};
    if (rec->ifindex == 0 || !(rec->flags & L2PT_P_UP))
        return {EgressFault::NoInterface};
    const auto vid = providerVlan(frame, view.globals().tpid);
    const bool untag = vid && view.role(*vid, speaker) == pipeline::TableView::Role::Access;
    return {EgressFault::None, rec->ifindex, untag};
}

size_t egressFrame(const Egress& egress, std::span<const uint8_t> frame, std::span<uint8_t> out) {
    if (!egress.untag) {
        std::copy(frame.begin(), frame.end(), out.begin());
        return frame.size();
    }
    std::copy_n(frame.begin(), L2PT_OFF_TYPE, out.begin());
    std::copy(frame.begin() + L2PT_OFF_TYPE + L2PT_TAG_LEN, frame.end(),
              out.begin() + L2PT_OFF_TYPE);
    return frame.size() - L2PT_TAG_LEN;
}

}  // namespace netp
