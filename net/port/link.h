// What the port layer knows of a Linux interface, and the changes rtnetlink reports of it.
#pragma once

#include <cstdint>
#include <string>

namespace netp::port {

struct Link {
    uint32_t ifindex = 0;
    std::string name;
    uint32_t mtu = 0;
    bool adminUp = false;  // IFF_UP
    bool carrier = false;  // IFF_LOWER_UP: up and the lower layer has carrier

    bool operator==(const Link&) const = default;
};

enum class LinkChange : uint8_t {
    Added,    // an interface the table did not have
    Changed,  // renamed, admin state, carrier or MTU changed
    Removed,
    Synced,  // a dump ended: the table is what the kernel has (no link)
};

struct LinkEvent {
    LinkChange change;
    Link link;    // as it is now; Removed: as it was
    Link before;  // Changed: as it was
};

// What the reading of rtnetlink met besides links.
struct LinkStats {
    uint64_t messages = 0;   // netlink messages read
    uint64_t malformed = 0;  // cut short, or a link message missing or garbling what it needs
    uint64_t unknown = 0;    // of a kind (or family) not followed, skipped
    uint64_t errors = 0;     // error replies to a dump
    uint64_t overruns = 0;   // the socket's buffer overflowed (ENOBUFS): answered with a dump
    uint64_t truncated = 0;  // datagrams larger than the read buffer: answered with a dump
    uint64_t foreign = 0;    // datagrams not from the kernel, dropped
    uint64_t dumps = 0;      // dumps requested, the first one included
};

}  // namespace netp::port
