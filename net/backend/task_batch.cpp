#include "net/backend/task_batch.h"

#include <algorithm>

#include "platform/wire/bytes.h"

namespace netp {

namespace {

constexpr size_t kMacs = 2 * L2PT_ETH_ALEN;
// The link's receive takes an outer 802.1Q or 802.1ad tag into the metadata with the EtherType
// after it: a frame shorter than that lends its trailer's bytes, and the pipeline refuses the
// datagram, so a base that short carries no other form (that one goes on its own).
constexpr size_t kTaggedHeader = L2PT_ETH_HLEN + L2PT_TAG_LEN;

// Whether out is base retagged: its destination MAC another, and a tag pushed after the MACs
// (out a tag longer) or the outer tag popped (a tag shorter), the rest the same; retag says how.
bool isRetagged(std::span<const uint8_t> base, std::span<const uint8_t> out,
                std::array<uint8_t, TaskBatch::kRetagBytes>& retag) {
    if (base.size() < kTaggedHeader || out.size() < kMacs + L2PT_TAG_LEN ||
        !std::ranges::equal(base.subspan(L2PT_ETH_ALEN, L2PT_ETH_ALEN),
                            out.subspan(L2PT_ETH_ALEN, L2PT_ETH_ALEN)))
        return false;
    std::ranges::fill(retag, 0);
    std::copy_n(out.begin(), L2PT_ETH_ALEN, retag.begin());
    if (out.size() == base.size() + L2PT_TAG_LEN) {
        // A pushed tag of TPID 0 would read as a pop.
        if (wire::getU16(out.data(), kMacs) == 0 ||
            !std::ranges::equal(base.subspan(kMacs), out.subspan(kMacs + L2PT_TAG_LEN)))
            return false;
        std::copy_n(out.begin() + kMacs, L2PT_TAG_LEN, retag.begin() + L2PT_ETH_ALEN);
        return true;
    }
    return out.size() + L2PT_TAG_LEN == base.size() &&
           std::ranges::equal(base.subspan(kMacs + L2PT_TAG_LEN), out.subspan(kMacs));
}

}  // namespace

bool TaskBatch::append(uint32_t ifindex, std::span<const uint8_t> out) {
    // Past kMaxFrame the frame and the longest trailer fill more than a slot.
    const std::span<uint8_t> d = tx_.append(out.size() + L2PT_TX_TRAILER_MAX);
    if (d.empty())
        return false;
    std::ranges::copy(out, d.begin());
    last_ = {.len = out.size()};
    last_.ifs[last_.ports++] = ifindex;
    tx_.resizeLast(out.size() + writeTrailer(d.subspan(out.size())));
    return true;
}

bool TaskBatch::join(uint32_t ifindex, std::span<const uint8_t> out, bool retag) {
    if (tx_.empty() || last_.ports + last_.retagged == L2PT_TX_PORTS_MAX)
        return false;
    const std::span<const uint8_t> base = tx_.last().first(last_.len);
    if (last_.retagged == 0 && std::ranges::equal(out, base)) {
        last_.ifs[last_.ports++] = ifindex;
    } else {
        std::array<uint8_t, kRetagBytes> how;
        if (!retag || !isRetagged(base, out, how) || (last_.retagged != 0 && how != last_.retag))
            return false;
        last_.retag = how;
        last_.ifs[last_.ports + last_.retagged++] = ifindex;
    }
    // The slot has room for the longest trailer: append() took no longer frame.
    const std::span<uint8_t> d = tx_.resizeLast(last_.len + L2PT_TX_TRAILER_MAX);
    tx_.resizeLast(last_.len + writeTrailer(d.subspan(last_.len)));
    return true;
}

size_t TaskBatch::writeTrailer(std::span<uint8_t> t) const {
    size_t at = 0;
    for (size_t i = 0; i < last_.ports + last_.retagged; ++i, at += L2PT_TX_IF_LEN)
        wire::putU32(t.data(), at, last_.ifs[i]);
    if (last_.retagged != 0) {
        std::ranges::copy(last_.retag, t.begin() + static_cast<ptrdiff_t>(at));
        at += kRetagBytes;
        wire::putU16(t.data(), at, static_cast<uint16_t>(last_.retagged));
        at += sizeof(uint16_t);
    }
    wire::putU16(t.data(), at, static_cast<uint16_t>(last_.ports));
    wire::putU16(t.data(), at + sizeof(uint16_t),
                 last_.retagged != 0 ? L2PT_TX_MAGIC_RETAG : L2PT_TX_MAGIC);
    return at + L2PT_TX_TAIL;
}

}  // namespace netp
