// The interfaces of this network namespace, followed through rtnetlink: a dump at start, then
// the kernel's link notifications. Its descriptor goes into the caller's epoll; read() turns
// what arrived into link events. An overrun of the socket's buffer, which loses
// notifications, is answered with a fresh dump, whose end reports what changed meanwhile.
//
//   LinkMonitor links;                      // std::system_error when rtnetlink is refused
//   epoll_ctl(ep, EPOLL_CTL_ADD, links.fd(), ...);
//   for (const LinkEvent& e : links.read()) ...
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "net/port/link_table.h"
#include "net/port/rtnl.h"

namespace netp::port {

class LinkMonitor {
  public:
    static constexpr int kReceiveBuffer = 1 << 20;
    // Datagrams read by one read(): what is left stays queued and the descriptor readable.
    static constexpr size_t kReadBatch = 64;

    explicit LinkMonitor(int receiveBuffer = kReceiveBuffer);
    int fd() const { return sock_.fd(); }

    // What arrived, without blocking: the link events it made (the first dump's links as
    // Added, then Synced), valid until the next read.
    std::span<const LinkEvent> read();

    // The interface of that index as last reported, or none.
    const Link* find(uint32_t ifindex) const { return table_.find(ifindex); }
    const LinkStats& stats() const { return table_.stats(); }

  private:
    void dumpWhenIdle();

    RtnlSocket sock_;
    LinkTable table_;
    bool dumpWanted_ = true;
    std::vector<uint8_t> buf_ = std::vector<uint8_t>(RtnlSocket::kDatagramBytes);
    std::vector<LinkEvent> events_;
};

}  // namespace netp::port
