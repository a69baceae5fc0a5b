// Netlink attributes walked within the bytes that hold them: every attribute handed on lies
// whole inside its message (or its nest), and bytes left over that make no whole attribute
// are reported.
#pragma once

#include <libmnl/libmnl.h>

#include <climits>
#include <cstddef>

namespace netp::port {

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
