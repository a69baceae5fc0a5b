// l2ptd's read-only view of the tables it tags and addresses its PDUs by: the globals, the
// ports and LAGs, the VLANs, mapped from descriptors the daemon hands over (Tables::viewFds).
// Reads copy a record out of the mapping, so a record the daemon rewrites meanwhile is seen
// before or after, or (rarely, no lock guards it) half of each.
#pragma once

#include <cstdint>
#include <optional>

#include "net/pipeline/mapping.h"
#include "net/pipeline/tables.h"

namespace netp::pipeline {

class TableView {
  public:
    enum class Role { None, Access, Core };

    static Result<TableView> map(const ViewFds& fds);

    l2pt_globals globals() const;
    std::optional<l2pt_lport> lport(uint32_t lport) const;
    std::optional<l2pt_vlan> vlan(uint32_t vid) const;
    // What an lport is in a VLAN.
    Role role(uint32_t vid, uint32_t lport) const;

  private:
    TableView(Mapping globals, Mapping lports, Mapping vlans);

    Mapping globals_;
    Mapping lports_;
    Mapping vlans_;
};

}  // namespace netp::pipeline
