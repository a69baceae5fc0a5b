// A descriptor slow to close (as a silent FUSE server's): a TCP socket lingering over unread data.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <vector>

#include "net/io/fd.h"

namespace netp::test {

struct SlowClose {
    Fd listener, slow, unread;  // close slow: it waits up to its linger for unread to read
};

inline SlowClose slowClose(int lingerSeconds) {
    SlowClose s{Fd(::socket(AF_INET, SOCK_STREAM, 0)), Fd(::socket(AF_INET, SOCK_STREAM, 0)), {}};
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof at;
    ::bind(s.listener.get(), reinterpret_cast<sockaddr*>(&at), len);
    ::listen(s.listener.get(), 1);
    ::getsockname(s.listener.get(), reinterpret_cast<sockaddr*>(&at), &len);
    ::connect(s.slow.get(), reinterpret_cast<sockaddr*>(&at), len);
    s.unread.reset(::accept(s.listener.get(), nullptr, nullptr));
    for (std::vector<char> junk(1 << 16);
         ::send(s.slow.get(), junk.data(), junk.size(), MSG_DONTWAIT) > 0;) {
    }
    const linger lingering{1, lingerSeconds};
    ::setsockopt(s.slow.get(), SOL_SOCKET, SO_LINGER, &lingering, sizeof lingering);
    return s;
}

}  // namespace netp::test
