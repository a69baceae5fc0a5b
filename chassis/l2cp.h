// The line cards' table of actions for the layer-2 control protocols' reserved addresses
// (01:80:c2:00:00:00-0f and -20-2f): a row per port or LAG, and rows per port or LAG in one VLAN
// that override it address by address. Both data planes decide by it: the simulation reads it
// here, the chassis daemon writes it into the kernel pipeline's l2pt_l2cp.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "chassis/config.h"
#include "chassis/ifdb.h"
#include "chassis/rules.h"

namespace chassis {

class L2cpTable {
  public:
    struct Key {
        uint32_t ifIndex;  // a port or LAG
        uint16_t vid;      // kL2cpAnyVlan: the row of the port itself
        auto operator<=>(const Key&) const = default;
    };

    L2cpTable() = default;
    explicit L2cpTable(const std::vector<ResolvedL2cp>& rows);

    // The rows the line cards hold at most: the ports' and LAGs' own, and one for each VLAN
    // one of them overrides.
    static const size_t kMaxRows;
    // What a change past them is told.
    static std::string fullText();

    // The addresses (a bit per index) take action in the row of (ifIndex, vid); Default
    // takes back what was configured. A row left all Default is no row. False, and nothing
    // changed, when that would be a row more than kMaxRows.
    bool set(uint32_t ifIndex, uint16_t vid, uint32_t addresses, L2cpAction action);
    // The action configured for address index of frames of lport (a port, or the LAG it is in)
    // in VLAN vid: its row in the VLAN, else its own row; Default where neither has one.
    L2cpAction action(uint32_t lport, std::optional<uint16_t> vid, size_t index) const;
    // The rows: two bits per address (enum l2pt_l2cp_action), address i at bits 2i.
    const std::map<Key, uint64_t>& rows() const { return rows_; }
    // The rows in the chassis file's terms: per row, an entry per action, by names.
    std::vector<L2cpConfig> snapshot(const IfDb& db) const;
    // Moves with every change.
    uint64_t generation() const { return generation_; }

    static L2cpAction actionIn(uint64_t row, size_t index) {
        return static_cast<L2cpAction>(row >> (2 * index) & 3u);
    }

  private:
    L2cpAction rowAction(const Key& key, size_t index) const;

    std::map<Key, uint64_t> rows_;
    uint64_t generation_ = 0;
};

}  // namespace chassis
