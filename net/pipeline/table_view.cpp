#include "net/pipeline/table_view.h"

#include <sys/mman.h>

#include <cstring>
#include <utility>

namespace netp::pipeline {

namespace {

uint32_t word(const Mapping& vlans, uint32_t vid, size_t member, uint32_t lport) {
    uint32_t w;
    std::memcpy(&w, vlans.data() + vid * arrayStride<l2pt_vlan>() + member + lport / 32 * 4,
                sizeof w);
    return w >> (lport % 32) & 1;
}

}  // namespace

TableView::TableView(Mapping globals, Mapping lports, Mapping vlans)
    : globals_(std::move(globals)), lports_(std::move(lports)), vlans_(std::move(vlans)) {}

Result<TableView> TableView::map(const ViewFds& fds) {
    Result<Mapping> g =
        Mapping::map(fds.globals.get(), arrayBytes<l2pt_globals>(1), 0, PROT_READ, "l2pt_globals");
    if (!g)
        return g.status();
    Result<Mapping> l = Mapping::map(fds.lports.get(), arrayBytes<l2pt_lport>(L2PT_MAX_LPORTS), 0,
                                     PROT_READ, "l2pt_lports");
    if (!l)
        return l.status();
    Result<Mapping> v = Mapping::map(fds.vlans.get(), arrayBytes<l2pt_vlan>(L2PT_VLANS), 0,
                                     PROT_READ, "l2pt_vlans");
    if (!v)
        return v.status();
    return TableView(std::move(*g), std::move(*l), std::move(*v));
}

l2pt_globals TableView::globals() const {
    return loadElement<l2pt_globals>(globals_, 0);
}

std::optional<l2pt_lport> TableView::lport(uint32_t lport) const {
    if (lport >= L2PT_MAX_LPORTS)
        return std::nullopt;
    return loadElement<l2pt_lport>(lports_, lport);
}

std::optional<l2pt_vlan> TableView::vlan(uint32_t vid) const {
    if (vid > L2PT_MAX_VID)
        return std::nullopt;
    return loadElement<l2pt_vlan>(vlans_, vid);
}

TableView::Role TableView::role(uint32_t vid, uint32_t lport) const {
    if (vid > L2PT_MAX_VID || lport >= L2PT_MAX_LPORTS ||
        !word(vlans_, vid, offsetof(l2pt_vlan, members), lport))
        return Role::None;
    return word(vlans_, vid, offsetof(l2pt_vlan, core), lport) ? Role::Core : Role::Access;
}

}  // namespace netp::pipeline
