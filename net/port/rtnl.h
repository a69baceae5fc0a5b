// A NETLINK_ROUTE socket through libmnl that never blocks: datagrams are read as they come,
// and a request waits for the kernel's acknowledgement up to a deadline.
#pragma once

#include <libmnl/libmnl.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "net/port/op_status.h"

struct nlmsghdr;

namespace netp::port {

// Room for one request, aligned for the headers built in it.
struct RtnlRequest {
    static constexpr size_t kBytes = 1024;  // tens of bytes are used
    alignas(uint32_t) std::array<uint8_t, kBytes> bytes{};
    // Puts a request's header of that type and flags (NLM_F_REQUEST and flags) at the start.
    nlmsghdr* header(uint16_t type, uint16_t flags);
};

class RtnlSocket {
  public:
    static constexpr std::chrono::milliseconds kReplyTimeout{2000};
    // Room for the largest datagram the kernel makes for a reader (a dump fills up to 32 KiB).
    static constexpr size_t kDatagramBytes = 32768;

    // Joins the RTMGRP_* multicast groups given; std::system_error when it cannot.
    explicit RtnlSocket(unsigned groups = 0);
    int fd() const { return mnl_socket_get_fd(nl_.get()); }
    // Sets the receive buffer, past the system's limit where the process may.
    void setReceiveBuffer(int bytes);
    uint32_t nextSeq() { return ++seq_; }

    // Sends one message as it is; false with errno set when the kernel refused it.
    bool send(const nlmsghdr* nlh);

    enum class Read { Datagram, Empty, Overrun, Truncated, Foreign, Failed };
    // One datagram into buf without blocking; Datagram with its length in len. Overrun: the
    // kernel dropped notifications because the buffer was full (ENOBUFS). Failed: errno says.
    Read receive(std::span<uint8_t> buf, size_t& len);

    // Sends a request with an acknowledgement asked for and waits for it (a dump: for its
    // end); the messages that answer the request go to onReply. what names the request in a
    // failure.
    using Reply = std::function<void(const nlmsghdr*)>;
    OpStatus request(nlmsghdr* nlh, const std::string& what, const Reply& onReply = {});

  private:
    struct Close {
        void operator()(mnl_socket* s) const { mnl_socket_close(s); }
    };
    std::unique_ptr<mnl_socket, Close> nl_;
    uint32_t seq_ = 0;
    std::vector<uint8_t> buf_;
};

}  // namespace netp::port
