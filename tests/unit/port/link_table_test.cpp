// LinkTable on datagrams built here: what the kernel sends, and what it never should.
#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>

#include "net/port/link_table.h"

namespace netp::port {
namespace {

// Netlink messages appended one after another into one datagram.
class Datagram {
  public:
    nlmsghdr* link(uint16_t type, const Link& l, uint8_t family = AF_UNSPEC) {
        nlmsghdr* nlh = put(type);
        auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
        ifi->ifi_family = family;
        ifi->ifi_index = static_cast<int>(l.ifindex);
        ifi->ifi_flags = (l.adminUp ? IFF_UP : 0) | (l.carrier ? IFF_LOWER_UP : 0);
        mnl_attr_put_strz(nlh, IFLA_IFNAME, l.name.c_str());
        mnl_attr_put_u32(nlh, IFLA_MTU, l.mtu);
        return nlh;
    }
    // Ends the message before, if any, and starts another.
    nlmsghdr* put(uint16_t type) {
        if (open_)
            bytes();
        open_ = true;
        auto* nlh = mnl_nlmsg_put_header(buf_.data() + used_);
        nlh->nlmsg_type = type;
        last_ = used_;
        return nlh;
    }
    // Ends the last message; cut bytes are taken off the datagram's end.
    std::span<const uint8_t> bytes(size_t cut = 0) {
        open_ = false;
        used_ = last_ + reinterpret_cast<nlmsghdr*>(buf_.data() + last_)->nlmsg_len;
        return {buf_.data(), used_ - cut};
    }

  private:
    alignas(nlmsghdr) std::array<uint8_t, 4096> buf_{};
    size_t used_ = 0;
    size_t last_ = 0;
    bool open_ = false;
};

std::vector<LinkEvent> feed(LinkTable& t, std::span<const uint8_t> d) {
    std::vector<LinkEvent> out;
    t.consume(d, out);
    return out;
}

TEST(LinkTable, CutOrForeignMessagesAreSkippedAndCounted) {
    LinkTable t;
    const Link a{3, "acc1", 1500, true, true};
    {
        Datagram d;  // the datagram ends inside the message
        d.link(RTM_NEWLINK, a);
        EXPECT_TRUE(feed(t, d.bytes(4)).empty());
    }
    {
        Datagram d;  // the MTU attribute runs past its message
        nlmsghdr* nlh = d.link(RTM_NEWLINK, a);
        nlh->nlmsg_len -= 4;
        EXPECT_TRUE(feed(t, d.bytes()).empty());
    }
    {
        Datagram d;  // a length past 2 GiB, which a signed comparison takes for negative
        nlmsghdr* nlh = d.put(RTM_NEWLINK);
        const auto bytes = d.bytes();
        nlh->nlmsg_len = 0x80000010;
        EXPECT_TRUE(feed(t, bytes).empty());
    }
    EXPECT_EQ(t.stats().malformed, 3u);
    Datagram d;
    d.put(RTM_NEWADDR);
    d.link(RTM_NEWLINK, a, AF_BRIDGE);  // a bridge's view of a port, no interface event
    d.link(RTM_DELLINK, a, AF_BRIDGE);
    d.link(RTM_NEWLINK, {0, "acc1", 1500, true, true});              // no interface has index 0
    d.link(RTM_NEWLINK, {3, "sixteen-bytes-16", 1500, true, true});  // one past IFNAMSIZ - 1
    EXPECT_TRUE(feed(t, d.bytes()).empty());
    EXPECT_EQ(t.stats().unknown, 3u);
    EXPECT_EQ(t.stats().malformed, 5u);
    EXPECT_EQ(t.size(), 0u);
}

TEST(LinkTable, DumpEndRemovesWhatItDidNotReport) {
    LinkTable t;
    Datagram d;
    d.link(RTM_NEWLINK, {3, "acc1", 1500, true, true});
    d.link(RTM_NEWLINK, {4, "acc2", 1500, true, true});
    feed(t, d.bytes());

    t.dumpStarted();
    Datagram dump;
    dump.link(RTM_NEWLINK, {4, "acc2", 1500, false, false});
    dump.put(NLMSG_DONE);
    auto ev = feed(t, dump.bytes());
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0].change, LinkChange::Changed);
    EXPECT_EQ(ev[1].change, LinkChange::Removed);
    EXPECT_EQ(ev[1].link.ifindex, 3u);
    EXPECT_EQ(ev[2].change, LinkChange::Synced);
    EXPECT_FALSE(t.dumping());
    EXPECT_EQ(t.size(), 1u);

    t.dumpStarted();  // refused: the table stays, and an end that comes anyway sweeps nothing
    Datagram refused;
    refused.put(NLMSG_ERROR);
    refused.put(NLMSG_DONE);
    EXPECT_TRUE(feed(t, refused.bytes()).empty());
}

}  // namespace
}  // namespace netp::port
