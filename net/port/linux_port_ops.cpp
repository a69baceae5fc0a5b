#include "net/port/linux_port_ops.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/pkt_cls.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "net/port/netlink_walk.h"

namespace netp::port {

namespace {

constexpr const char* kBpfKind = "bpf";
constexpr const char* kClsactKind = "clsact";

const char* hookName(LinuxPortOps::Hook hook) {
    return hook == LinuxPortOps::Hook::Ingress ? "ingress" : "egress";
}

std::string place(uint32_t ifindex, LinuxPortOps::Hook hook) {
    return std::string(hookName(hook)) + " filter of ifindex " + std::to_string(ifindex);
}

// A tc message about ifindex; the caller sets its handles.
nlmsghdr* tcMessage(RtnlRequest& req, uint16_t type, uint16_t flags, uint32_t ifindex) {
    nlmsghdr* nlh = req.header(type, flags);
    auto* tc = static_cast<tcmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(tcmsg)));
    tc->tcm_family = AF_UNSPEC;
    tc->tcm_ifindex = static_cast<int>(ifindex);
    return nlh;
}

nlmsghdr* filterMessage(RtnlRequest& req, uint16_t type, uint16_t flags, uint32_t ifindex,
                        LinuxPortOps::Hook hook) {
    nlmsghdr* nlh = tcMessage(req, type, flags, ifindex);
    auto* tc = static_cast<tcmsg*>(mnl_nlmsg_get_payload(nlh));
    tc->tcm_parent = TC_H_MAKE(
        TC_H_CLSACT, hook == LinuxPortOps::Hook::Ingress ? TC_H_MIN_INGRESS : TC_H_MIN_EGRESS);
    tc->tcm_handle = LinuxPortOps::kHandle;
    // Priority in the upper half, the protocol (all, in network order) in the lower.
    tc->tcm_info =
        TC_H_MAKE(static_cast<uint32_t>(LinuxPortOps::kPriority) << 16, htons(ETH_P_ALL));
    return nlh;
}

}  // namespace

bool LinuxPortOps::holds(uint32_t ifindex) {
    Holder h;
    return query(ifindex, Hook::Ingress, h).ok() && h.ours();
}

OpStatus LinuxPortOps::attach(uint32_t ifindex, const TcPrograms& programs) {
    if (OpStatus st = ensureClsact(ifindex); !st.ok())
        return st;
    // A port on our filters already (a restart's) keeps them whatever fails here: its frames
    // go on through the pipeline, never round it.
    bool held = false;
    if (OpStatus st = attachAt(ifindex, Hook::Ingress, programs.ingress, &held); !st.ok())
        return st;
    if (programs.egress < 0)
        return {};
    OpStatus st = attachAt(ifindex, Hook::Egress, programs.egress);
    if (!st.ok() && !held)
        detachAt(ifindex, Hook::Ingress);  // no half-attached port
    return st;
}

OpStatus LinuxPortOps::detach(uint32_t ifindex) {
    OpStatus in = detachAt(ifindex, Hook::Ingress);
    OpStatus out = detachAt(ifindex, Hook::Egress);
    return in.ok() ? out : in;
}

OpStatus LinuxPortOps::ensureClsact(uint32_t ifindex) {
    RtnlRequest req;
    nlmsghdr* nlh = tcMessage(req, RTM_NEWQDISC, NLM_F_CREATE | NLM_F_EXCL, ifindex);
    auto* tc = static_cast<tcmsg*>(mnl_nlmsg_get_payload(nlh));
    tc->tcm_parent = TC_H_CLSACT;
    tc->tcm_handle = TC_H_MAKE(TC_H_CLSACT, 0);
    mnl_attr_put_strz(nlh, TCA_KIND, kClsactKind);
    OpStatus st = sock_.request(nlh, "clsact qdisc of ifindex " + std::to_string(ifindex));
    return st.error == EEXIST ? OpStatus{} : st;
}

OpStatus LinuxPortOps::query(uint32_t ifindex, Hook hook, Holder& holder) {
    // A dump of the hook's filters at our priority: it finds nobody, without an error, where
    // there is no qdisc, filter chain or filter yet.
    RtnlRequest req;
    nlmsghdr* nlh = filterMessage(req, RTM_GETTFILTER, NLM_F_DUMP, ifindex, hook);
    holder = {};
    bool whole = true;
    auto filter = [&](const nlmsghdr* m) {
        tcmsg tc;
        if (m->nlmsg_type != RTM_NEWTFILTER || mnl_nlmsg_get_payload_len(m) < sizeof tc) {
            whole = false;
            return;
        }
        std::memcpy(&tc, mnl_nlmsg_get_payload(m), sizeof tc);
        if (tc.tcm_handle != kHandle)
            return;  // the priority's classifier itself, or a filter of another handle
        holder.taken = true;
        std::string kind;
        whole = whole && forEachAttr(m, sizeof(tcmsg), [&](const nlattr* a) {
                    if (mnl_attr_get_type(a) == TCA_KIND &&
                        mnl_attr_validate(a, MNL_TYPE_NUL_STRING) == 0)
                        kind = mnl_attr_get_str(a);
                    if (mnl_attr_get_type(a) != TCA_OPTIONS ||
                        mnl_attr_validate(a, MNL_TYPE_NESTED) < 0)
                        return;
                    whole = whole && forEachNested(a, [&](const nlattr* o) {
                                if (mnl_attr_get_type(o) == TCA_BPF_NAME &&
                                    mnl_attr_validate(o, MNL_TYPE_NUL_STRING) == 0) {
                                    holder.name = mnl_attr_get_str(o);
                                }
                                if (mnl_attr_get_type(o) == TCA_BPF_ID &&
                                    mnl_attr_validate(o, MNL_TYPE_U32) == 0)
                                    holder.program = mnl_attr_get_u32(o);
                            });
                });
        if (kind != kBpfKind)
            holder.name = kind;
    };
    const std::string what = "reading the " + place(ifindex, hook);
    OpStatus st = sock_.request(nlh, what, filter);
    if (st.ok() && !whole)
        return failed(EPROTO, what + ": a malformed answer");
    return st;
}

OpStatus LinuxPortOps::attachAt(uint32_t ifindex, Hook hook, int program, bool* replaced) {
    Holder holder;
    if (OpStatus st = query(ifindex, hook, holder); !st.ok())
        return st;
    if (replaced != nullptr)
        *replaced = holder.taken;
    if (holder.taken && holder.name != kFilterName) {
        return failed(EEXIST, place(ifindex, hook) + ": priority " + std::to_string(kPriority) +
                                  " holds another filter (" + holder.name + ")");
    }
    RtnlRequest req;
    // Replaces ours; otherwise only creates, so a filter put there meanwhile is not replaced.
    nlmsghdr* nlh =
        filterMessage(req, RTM_NEWTFILTER,
                      NLM_F_CREATE | (holder.taken ? NLM_F_REPLACE : NLM_F_EXCL), ifindex, hook);
    mnl_attr_put_strz(nlh, TCA_KIND, kBpfKind);
    nlattr* opts = mnl_attr_nest_start(nlh, TCA_OPTIONS);
    mnl_attr_put_u32(nlh, TCA_BPF_FD, static_cast<uint32_t>(program));
    mnl_attr_put_strz(nlh, TCA_BPF_NAME, kFilterName);
    mnl_attr_put_u32(nlh, TCA_BPF_FLAGS, TCA_BPF_FLAG_ACT_DIRECT);
    mnl_attr_nest_end(nlh, opts);
    return sock_.request(nlh, "attaching the " + place(ifindex, hook));
}

OpStatus LinuxPortOps::detachAt(uint32_t ifindex, Hook hook) {
    Holder holder;
    OpStatus st = query(ifindex, hook, holder);
    if (!st.ok() || !holder.taken || holder.name != kFilterName)
        return st;
    RtnlRequest req;
    nlmsghdr* nlh = filterMessage(req, RTM_DELTFILTER, 0, ifindex, hook);
    mnl_attr_put_strz(nlh, TCA_KIND, kBpfKind);
    st = sock_.request(nlh, "detaching the " + place(ifindex, hook));
    return st.error == ENOENT ? OpStatus{} : st;
}

OpStatus LinuxPortOps::countFilters(uint32_t ifindex, Hook hook, size_t& count) {
    RtnlRequest req;
    nlmsghdr* nlh = filterMessage(req, RTM_GETTFILTER, NLM_F_DUMP, ifindex, hook);
    auto* tc = static_cast<tcmsg*>(mnl_nlmsg_get_payload(nlh));
    tc->tcm_handle = 0;
    tc->tcm_info = 0;  // every priority and protocol
    count = 0;
    return sock_.request(nlh, "reading the " + place(ifindex, hook) + "s", [&](const nlmsghdr* m) {
        tcmsg t;
        if (m->nlmsg_type != RTM_NEWTFILTER || mnl_nlmsg_get_payload_len(m) < sizeof t)
            return;
        std::memcpy(&t, mnl_nlmsg_get_payload(m), sizeof t);
        if (t.tcm_handle != 0)  // a filter, not its priority's classifier
            ++count;
    });
}

OpStatus LinuxPortOps::removeEmptyClsact(uint32_t ifindex, bool* removed) {
    if (removed)
        *removed = false;
    for (const Hook hook : {Hook::Ingress, Hook::Egress}) {
        size_t n = 0;
        if (OpStatus st = countFilters(ifindex, hook, n); !st.ok() || n != 0)
            return st;
    }
    RtnlRequest req;
    nlmsghdr* nlh = tcMessage(req, RTM_DELQDISC, 0, ifindex);
    auto* tc = static_cast<tcmsg*>(mnl_nlmsg_get_payload(nlh));
    tc->tcm_parent = TC_H_CLSACT;
    tc->tcm_handle = TC_H_MAKE(TC_H_CLSACT, 0);
    mnl_attr_put_strz(nlh, TCA_KIND, kClsactKind);
    OpStatus st =
        sock_.request(nlh, "removing the clsact qdisc of ifindex " + std::to_string(ifindex));
    if (st.error == ENOENT || st.error == EINVAL)
        return {};  // none there
    if (st.ok() && removed)
        *removed = true;
    return st;
}

}  // namespace netp::port
