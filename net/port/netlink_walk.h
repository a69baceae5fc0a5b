// Netlink messages and attributes walked within the bytes that hold them: every message handed
// on lies whole inside its datagram, every attribute inside its message (or its nest), and
// bytes left over that make no whole one are reported. (libmnl's mnl_nlmsg_ok takes a length
// of 2 GiB or more for a negative one and lets it through.)
#pragma once

#include <libmnl/libmnl.h>
#include <linux/netlink.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <span>

namespace netp::port {

// fn(message) for each message of a datagram (aligned as a receive puts it); false when the
// last bytes make no whole message.
template <typename Fn>
bool forEachMessage(std::span<const uint8_t> datagram, Fn&& fn) {
    size_t at = 0;
    while (datagram.size() - at >= sizeof(nlmsghdr)) {
        const auto* nlh = reinterpret_cast<const nlmsghdr*>(datagram.data() + at);
        const size_t len = nlh->nlmsg_len;
        if (len < sizeof(nlmsghdr) || len > datagram.size() - at)
            return false;
        fn(nlh);
        at += std::min<size_t>(NLMSG_ALIGN(len), datagram.size() - at);
    }
    return at == datagram.size();
}

// fn(attr) for each attribute of [begin, begin + len); false when the last bytes make no
// whole attribute (the message was cut).
template <typename Fn>
bool forEachAttr(const void* begin, size_t len, Fn&& fn) {
    if (len > INT_MAX)
        return false;
    const auto* at = static_cast<const char*>(begin);
    int left = static_cast<int>(len);
    while (mnl_attr_ok(reinterpret_cast<const nlattr*>(at), left)) {
        const auto* a = reinterpret_cast<const nlattr*>(at);
        fn(a);
        const int step = static_cast<int>(MNL_ALIGN(a->nla_len));
        if (step >= left)
            return true;  // the last one, its padding cut by the message's end
        left -= step;
        at += step;
    }
    return left == 0;
}

// The attributes of nlh after its family header of `header` bytes.
template <typename Fn>
bool forEachAttr(const nlmsghdr* nlh, size_t header, Fn&& fn) {
    const size_t at = MNL_ALIGN(header);
    const size_t payload = mnl_nlmsg_get_payload_len(nlh);
    if (payload < at)
        return false;
    return forEachAttr(static_cast<const char*>(mnl_nlmsg_get_payload(nlh)) + at, payload - at, fn);
}

// The attributes nested in nest.
template <typename Fn>
bool forEachNested(const nlattr* nest, Fn&& fn) {
    return forEachAttr(mnl_attr_get_payload(nest), mnl_attr_get_payload_len(nest), fn);
}

}  // namespace netp::port
