// The interfaces of a network namespace as rtnetlink tells them: link messages (dump replies
// and notifications) in, link events out. Every message and attribute is read within the
// datagram that carried it; what does not parse is skipped and counted.
//
// A dump marks the links it reports; when it ends, a link it did not report (and no
// notification mentioned meanwhile) is gone, so changes lost to an overrun are recovered by
// dumping again.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "net/port/link.h"

struct nlmsghdr;

namespace netp::port {

class LinkTable {
  public:
    // A dump was requested: its replies follow on the same socket.
    void dumpStarted();
    bool dumping() const { return dumping_; }
    // The kernel flagged a dump as inconsistent (links changed while it ran): dump again.
    bool dumpInconsistent() const { return inconsistent_; }

    // One datagram from the kernel (aligned as netlink messages are); the events it makes are
    // appended to out.
    void consume(std::span<const uint8_t> datagram, std::vector<LinkEvent>& out);

    const Link* find(uint32_t ifindex) const;
    size_t size() const { return links_.size(); }
    LinkStats& stats() { return stats_; }
    const LinkStats& stats() const { return stats_; }

  private:
    struct Entry {
        Link link;
        uint64_t seen;  // the dump generation that last heard of it
    };
    void linkMessage(const nlmsghdr* nlh, std::vector<LinkEvent>& out);
    void dumpDone(std::vector<LinkEvent>& out);

    std::unordered_map<uint32_t, Entry> links_;
    uint64_t generation_ = 0;
    bool dumping_ = false;
    bool inconsistent_ = false;
    LinkStats stats_;
};

}  // namespace netp::port
