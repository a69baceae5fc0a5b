// Veth pairs, up and without IPv6, in a network namespace of the process's own (root), and the
// frames that reach their far ends or that the task sends on its link.
#pragma once

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

struct VethPair {
    std::string port;      // the switch's end
    std::string peer;      // the wire's far end
    unsigned mtu = 0;      // of the switch's end; 0: the default
    unsigned peerMtu = 0;  // of the far end
};

// Empty, or what failed.
inline std::string privateVeths(const std::vector<VethPair>& pairs) {
    if (::unshare(CLONE_NEWNET) != 0)
        return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    // Only the frames sent on purpose cross the new interfaces.
    for (const char* conf : {"all", "default"})
        std::ofstream(std::string("/proc/sys/net/ipv6/conf/") + conf + "/disable_ipv6") << "1";
    FILE* ip = ::popen("ip -batch -", "w");
    for (const VethPair& v : pairs) {
        if (!ip)
            break;
        std::fprintf(ip, "link add %s type veth peer name %s\n", v.port.c_str(), v.peer.c_str());
        for (const auto& [end, mtu] : {std::pair(&v.port, v.mtu), std::pair(&v.peer, v.peerMtu)}) {
            if (mtu != 0)
                std::fprintf(ip, "link set %s mtu %u\n", end->c_str(), mtu);
            std::fprintf(ip, "link set %s up\n", end->c_str());
        }
    }
    return ip && ::pclose(ip) == 0 ? "" : "ip -batch could not make the veth pairs";
}

// Pairs swN/peN, N from 0.
inline std::string privateVethPairs(unsigned n) {
    std::vector<VethPair> pairs;
    for (unsigned p = 0; p < n; p++)
        pairs.push_back({"sw" + std::to_string(p), "pe" + std::to_string(p)});
    return privateVeths(pairs);
}

// The next frame that reached an interface (an AF_PACKET socket with PACKET_AUXDATA on), or with
// leaving set that left it, a tag the kernel took off put back; none when no such frame waits.
inline std::optional<std::vector<uint8_t>> readWireFrame(int fd, size_t maxFrame,
                                                         bool leaving = false) {
    constexpr size_t kTypeOffset = 12;  // the EtherType, or the TPID of the outer tag
    constexpr uint16_t kTpid8021q = 0x8100;
    std::vector<uint8_t> buf(maxFrame);
    sockaddr_ll from{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(tpacket_auxdata))];
    ssize_t n;
    msghdr msg{};
    do {
        iovec iov{buf.data(), buf.size()};
        msg = {&from, sizeof from, &iov, 1, control, sizeof control, 0};
        n = ::recvmsg(fd, &msg, MSG_DONTWAIT);
    } while (n >= 0 && (from.sll_pkttype == PACKET_OUTGOING) != leaving);
    if (n < 0)
        return std::nullopt;
    buf.resize(static_cast<size_t>(n));
    const cmsghdr* c = CMSG_FIRSTHDR(&msg);
    if (c == nullptr || c->cmsg_level != SOL_PACKET || c->cmsg_type != PACKET_AUXDATA)
        return buf;
    tpacket_auxdata aux;
    std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
    if (aux.tp_status & TP_STATUS_VLAN_VALID) {
        const uint16_t tpid =
            (aux.tp_status & TP_STATUS_VLAN_TPID_VALID) ? aux.tp_vlan_tpid : kTpid8021q;
        const uint8_t tag[] = {uint8_t(tpid >> 8), uint8_t(tpid), uint8_t(aux.tp_vlan_tci >> 8),
                               uint8_t(aux.tp_vlan_tci)};
        buf.insert(buf.begin() + kTypeOffset, tag, tag + sizeof tag);
    }
    return buf;
}

// A packet socket on the interface of that index, every frame's tag in PACKET_AUXDATA; -1 when
// it cannot be made (errno says why). The caller closes it.
inline int wireSocket(unsigned ifindex) {
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = static_cast<int>(ifindex);
    const int on = 1;
    if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
                    ::setsockopt(fd, SOL_PACKET, PACKET_AUXDATA, &on, sizeof on) != 0)) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// Sends a frame from a wire socket out of the interface of that index; whether all of it went.
inline bool sendWire(int fd, unsigned ifindex, std::span<const uint8_t> frame) {
    constexpr unsigned char kMacLen = 6;
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(ifindex);
    to.sll_halen = kMacLen;
    return ::sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to),
                    sizeof to) == static_cast<ssize_t>(frame.size());
}

// The frames that reach (leaving: leave) the wire sockets, with their socket's place in fds,
// until the expected number did and a quiet while passed (none: expected is all), or a second.
inline std::vector<std::pair<size_t, std::vector<uint8_t>>> wireFrames(
    const std::vector<int>& fds, size_t expected, size_t maxFrame, bool leaving = false,
    std::chrono::milliseconds quietFor = std::chrono::milliseconds(50)) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kWait = std::chrono::milliseconds(1000);
    constexpr int kPollMs = 10;
    std::vector<std::pair<size_t, std::vector<uint8_t>>> got;
    auto until = Clock::now() + kWait;
    for (bool quiet = false; Clock::now() < until;) {
        if (!quiet && got.size() >= expected) {
            if (quietFor.count() == 0)
                break;
            until = Clock::now() + quietFor;
            quiet = true;
        }
        std::vector<pollfd> polled;
        for (int fd : fds)
            polled.push_back({fd, POLLIN, 0});
        ::poll(polled.data(), polled.size(), kPollMs);
        for (size_t i = 0; i < fds.size(); i++) {
            while (auto f = readWireFrame(fds[i], maxFrame, leaving))
                got.emplace_back(i, std::move(*f));
        }
    }
    return got;
}

// The frame as the task sends it on its link: the ifindexes of the ports it goes to, their count
// and the magic after it, big-endian. With retag (the destination MAC, then the tag to push or
// zeros), the ports of retagged follow those of to, and the retag and their count the ifindexes.
inline std::vector<uint8_t> withTaskTrailer(std::vector<uint8_t> f, const std::vector<uint32_t>& to,
                                            uint16_t magic,
                                            const std::vector<uint32_t>& retagged = {},
                                            const std::vector<uint8_t>& retag = {}) {
    const auto be = [&f](uint32_t v, int bytes) {
        for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
            f.push_back(static_cast<uint8_t>(v >> shift));
    };
    for (const auto* ports : {&to, &retagged})
        for (uint32_t i : *ports)
            be(i, 4);
    if (!retag.empty()) {
        f.insert(f.end(), retag.begin(), retag.end());
        be(static_cast<uint32_t>(retagged.size()), 2);
    }
    be(static_cast<uint32_t>(to.size()), 2);
    be(magic, 2);
    return f;
}
