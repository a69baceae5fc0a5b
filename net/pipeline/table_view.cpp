#include "net/pipeline/table_view.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
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

namespace {

// A table handed over, mapped read-only once it is known to be as large as the table.
Result<Mapping> mapTable(const Fd& fd, size_t bytes, const char* name) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return Status::sysFailure(name, errno);
    if (static_cast<size_t>(st.st_size) < bytes)
        return Status::failure(std::string(name) + ": the descriptor holds " +
                               std::to_string(st.st_size) + " bytes, not " + std::to_string(bytes));
    return Mapping::map(fd.get(), bytes, 0, PROT_READ, name);
}

}  // namespace

Result<TableView> TableView::map(const ViewFds& fds) {
    Result<Mapping> g = mapTable(fds.globals, arrayBytes<l2pt_globals>(1), "l2pt_globals");
    if (!g)
        return g.status();
    Result<Mapping> l =
        mapTable(fds.lports, arrayBytes<l2pt_lport>(L2PT_MAX_LPORTS), "l2pt_lports");
    if (!l)
        return l.status();
    Result<Mapping> v = mapTable(fds.vlans, arrayBytes<l2pt_vlan>(L2PT_VLANS), "l2pt_vlans");
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
