#include "net/port/link_table.h"

#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>

#include "net/port/netlink_walk.h"

namespace netp::port {

namespace {

// Reads a link message's header and the attributes it needs; false when it is malformed.
bool parseLink(const nlmsghdr* nlh, const ifinfomsg& ifi, Link& link) {
    if (ifi.ifi_index <= 0)
        return false;
    link.ifindex = static_cast<uint32_t>(ifi.ifi_index);
    link.adminUp = (ifi.ifi_flags & IFF_UP) != 0;
    link.carrier = (ifi.ifi_flags & IFF_LOWER_UP) != 0;
    bool valid = true;
    const bool whole = forEachAttr(nlh, sizeof(ifinfomsg), [&](const nlattr* a) {
        switch (mnl_attr_get_type(a)) {
            case IFLA_IFNAME: {
                if (mnl_attr_validate(a, MNL_TYPE_NUL_STRING) < 0) {
                    valid = false;
                    break;
                }
                const auto* s = mnl_attr_get_str(a);
                const size_t n = ::strnlen(s, mnl_attr_get_payload_len(a));
                if (n == 0 || n >= IFNAMSIZ)
                    valid = false;
                else
                    link.name.assign(s, n);
                break;
            }
            case IFLA_MTU:
                if (mnl_attr_validate(a, MNL_TYPE_U32) < 0)
                    valid = false;
                else
                    link.mtu = mnl_attr_get_u32(a);
                break;
            default:
                break;
        }
    });
    return whole && valid && !link.name.empty();
}

}  // namespace

void LinkTable::dumpStarted() {
    ++generation_;
    dumping_ = true;
    inconsistent_ = false;
}

const Link* LinkTable::find(uint32_t ifindex) const {
    auto it = links_.find(ifindex);
    return it == links_.end() ? nullptr : &it->second.link;
}

void LinkTable::consume(std::span<const uint8_t> datagram, std::vector<LinkEvent>& out) {
    if (reinterpret_cast<uintptr_t>(datagram.data()) % alignof(nlmsghdr) != 0) {
        ++stats_.malformed;
        return;
    }
    const bool whole = forEachMessage(datagram, [&](const nlmsghdr* nlh) {
        ++stats_.messages;
        if (dumping_ && (nlh->nlmsg_flags & NLM_F_DUMP_INTR) != 0)
            inconsistent_ = true;
        switch (nlh->nlmsg_type) {
            case RTM_NEWLINK:
            case RTM_DELLINK:
                linkMessage(nlh, out);
                break;
            case NLMSG_DONE:
                if (dumping_)
                    dumpDone(out);
                break;
            case NLMSG_ERROR:
                // The dump request refused: the table stays as it was.
                ++stats_.errors;
                dumping_ = false;
                break;
            case NLMSG_NOOP:
                break;
            default:
                ++stats_.unknown;
                break;
        }
    });
    if (!whole)
        ++stats_.malformed;  // a message longer than what is left of the datagram
}

void LinkTable::linkMessage(const nlmsghdr* nlh, std::vector<LinkEvent>& out) {
    if (mnl_nlmsg_get_payload_len(nlh) < sizeof(ifinfomsg)) {
        ++stats_.malformed;
        return;
    }
    ifinfomsg ifi;
    std::memcpy(&ifi, mnl_nlmsg_get_payload(nlh), sizeof ifi);
    if (ifi.ifi_family != AF_UNSPEC) {
        ++stats_.unknown;  // a bridge's view of its ports, and the like
        return;
    }
    Link link;
    if (!parseLink(nlh, ifi, link)) {
        ++stats_.malformed;
        return;
    }
    auto it = links_.find(link.ifindex);
    if (nlh->nlmsg_type == RTM_DELLINK) {
        if (it != links_.end()) {
            out.push_back({LinkChange::Removed, std::move(it->second.link), {}});
            links_.erase(it);
        }
        return;
    }
    if (it == links_.end()) {
        links_.emplace(link.ifindex, Entry{link, generation_});
        out.push_back({LinkChange::Added, std::move(link), {}});
        return;
    }
    it->second.seen = generation_;
    if (it->second.link != link) {
        out.push_back({LinkChange::Changed, link, it->second.link});
        it->second.link = std::move(link);
    }
}

void LinkTable::dumpDone(std::vector<LinkEvent>& out) {
    dumping_ = false;
    for (auto it = links_.begin(); it != links_.end();) {
        if (it->second.seen != generation_) {
            out.push_back({LinkChange::Removed, std::move(it->second.link), {}});
            it = links_.erase(it);
        } else {
            ++it;
        }
    }
    out.push_back({LinkChange::Synced, {}, {}});
}

}  // namespace netp::port
