#include "chassis/l2cp.h"

#include "dataplane/abi.h"

namespace chassis {

namespace {

constexpr uint32_t kBitsPerAddress = 2;
constexpr uint64_t kAddressMask = 3;

}  // namespace

const size_t L2cpTable::kMaxRows = L2PT_L2CP_ROWS;

L2cpTable::L2cpTable(const std::vector<ResolvedL2cp>& rows) {
    for (const auto& r : rows)
        set(r.ifIndex, r.vid, r.addresses, r.action);
    generation_ = 0;
}

std::string L2cpTable::fullText() {
    return "the line cards hold at most " + std::to_string(kMaxRows) +
           " rows of reserved-address actions (a port's or LAG's own, and one for each VLAN it "
           "overrides)";
}

bool L2cpTable::set(uint32_t ifIndex, uint16_t vid, uint32_t addresses, L2cpAction action) {
    const auto had = rows_.find({ifIndex, vid});
    uint64_t row = had == rows_.end() ? 0 : had->second;
    for (size_t i = 0; i < kL2cpAddresses; ++i) {
        if (!(addresses >> i & 1u))
            continue;
        row &= ~(kAddressMask << (kBitsPerAddress * i));
        row |= uint64_t{static_cast<uint8_t>(action)} << (kBitsPerAddress * i);
    }
    if (row != 0 && had == rows_.end() && rows_.size() >= kMaxRows)
        return false;
    ++generation_;
    if (row == 0)
        rows_.erase({ifIndex, vid});
    else
        rows_[{ifIndex, vid}] = row;
    return true;
}

std::vector<L2cpConfig> L2cpTable::snapshot(const IfDb& db) const {
    std::vector<L2cpConfig> out;
    for (const auto& [key, row] : rows_) {
        for (const L2cpAction a : {L2cpAction::Tunnel, L2cpAction::Discard, L2cpAction::Forward}) {
            L2cpConfig c;
            c.port.name = db.name(key.ifIndex);
            if (key.vid != kL2cpAnyVlan)
                c.vlan = NameRef{db.name(vlanIfIndex(key.vid)), 0};
            for (size_t i = 0; i < kL2cpAddresses; ++i) {
                if (actionIn(row, i) == a)
                    c.addresses |= 1u << i;
            }
            c.action = a;
            if (c.addresses != 0)
                out.push_back(std::move(c));
        }
    }
    return out;
}

L2cpAction L2cpTable::rowAction(const Key& key, size_t index) const {
    const auto it = rows_.find(key);
    return it == rows_.end() ? L2cpAction::Default : actionIn(it->second, index);
}

L2cpAction L2cpTable::action(uint32_t lport, std::optional<uint16_t> vid, size_t index) const {
    if (rows_.empty())
        return L2cpAction::Default;
    if (vid) {
        if (const L2cpAction a = rowAction({lport, *vid}, index); a != L2cpAction::Default)
            return a;
    }
    return rowAction({lport, kL2cpAnyVlan}, index);
}

}  // namespace chassis
