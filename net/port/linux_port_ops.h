// PortOps in the kernel: a clsact qdisc on the interface (created when missing and never
// removed, since others may hang filters on it) and one cls_bpf filter in direct-action mode
// at each of its hooks, through rtnetlink.
//
// Our filters sit at a priority and handle of their own and carry our name. A filter found in
// that place under another name is somebody else's: the attach fails and leaves it, and a
// detach leaves it too. Filters at other places are never touched.
//
// rtnetlink (libmnl) rather than libbpf's bpf_tc_*: libbpf names a filter after its program,
// so telling ours from another would mean opening the program by id, which needs
// CAP_SYS_ADMIN; a name of our own, read back with the filter, needs CAP_NET_ADMIN only and
// still holds after the daemon restarts with programs loaded anew. The link monitor's netlink
// code serves both.
#pragma once

#include <cstdint>
#include <string>

#include "net/port/port_ops.h"
#include "net/port/rtnl.h"

namespace netp::port {

class LinuxPortOps final : public PortOps {
  public:
    // Away from tc's automatic priorities (49152 down) and libbpf's default (1): "L2".
    static constexpr uint16_t kPriority = 0x4c32;
    static constexpr uint32_t kHandle = 1;
    static constexpr const char* kFilterName = "l2pt-pipeline";

    enum class Hook { Ingress, Egress };

    // std::system_error when rtnetlink cannot be opened.
    LinuxPortOps() = default;
    OpStatus attach(uint32_t ifindex, const TcPrograms& programs) override;
    OpStatus detach(uint32_t ifindex) override;
    bool holds(uint32_t ifindex) override;

    // Who holds our place at a hook.
    struct Holder {
        bool taken = false;
        std::string name;      // the filter's kind when it is no bpf filter
        uint32_t program = 0;  // a bpf filter's program id
        bool ours() const { return taken && name == kFilterName; }
    };
    OpStatus holder(uint32_t ifindex, Hook hook, Holder& holder) {
        return query(ifindex, hook, holder);
    }
    // Takes our filter off a hook; nothing when there is none of ours.
    OpStatus detachHook(uint32_t ifindex, Hook hook) { return detachAt(ifindex, hook); }
    // Every filter at a hook, whoever's.
    OpStatus countFilters(uint32_t ifindex, Hook hook, size_t& count);
    // Removes the interface's clsact qdisc when no filter hangs on it at either hook (whoever
    // made it: an empty one changes no frame's way); *removed says whether it did.
    OpStatus removeEmptyClsact(uint32_t ifindex, bool* removed);

  private:
    OpStatus ensureClsact(uint32_t ifindex);
    OpStatus query(uint32_t ifindex, Hook hook, Holder& holder);
    // replaced: whether a filter of ours was there (taken: another's is refused).
    OpStatus attachAt(uint32_t ifindex, Hook hook, int program, bool* replaced = nullptr);
    OpStatus detachAt(uint32_t ifindex, Hook hook);

    RtnlSocket sock_;
};

}  // namespace netp::port
