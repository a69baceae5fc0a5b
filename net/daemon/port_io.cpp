#include "net/daemon/port_io.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "net/port/vlan_tag.h"
#include "platform/wire/bytes.h"

namespace netp {

namespace {

constexpr uint32_t kPassAll = 0xFFFF;  // snap length of an accepting return
constexpr uint32_t kDropAll = 0;
constexpr size_t kMacHiOff = 0;  // the first four bytes of the destination MAC
constexpr size_t kMacLoOff = 4;  // its last two
constexpr size_t kInsnsPerMac = 4;
constexpr size_t kMaxJump = 255;  // a conditional jump reaches 255 instructions at most
constexpr int kRcvBuf = 4 << 20;

uint32_t macHi(const chassis::Mac& m) {
    return wire::getU32(m.data(), kMacHiOff);
}
uint16_t macLo(const chassis::Mac& m) {
    return wire::getU16(m.data(), kMacLoOff);
}

}  // namespace

BpfProgram compileMacFilter(std::span<const chassis::Mac> macs) {
    BpfProgram p;
    if (macs.empty()) {
        p.insns.push_back({BPF_RET | BPF_K, 0, 0, kDropAll});
        return p;
    }
    if (macs.size() * kInsnsPerMac + 1 > kMaxJump) {
        p.insns.push_back({BPF_RET | BPF_K, 0, 0, kPassAll});
        return p;
    }
    // Per MAC: load the first word, compare; load the last half-word, compare; on a match jump
    // to the accepting return at the end, otherwise fall to the next MAC.
    const size_t n = macs.size();
    for (size_t i = 0; i < n; ++i) {
        const size_t toAccept = (n - i) * kInsnsPerMac;  // from the instruction after this one
        p.insns.push_back({BPF_LD | BPF_W | BPF_ABS, 0, 0, kMacHiOff});
        p.insns.push_back({BPF_JMP | BPF_JEQ | BPF_K, 0, 2, macHi(macs[i])});
        p.insns.push_back({BPF_LD | BPF_H | BPF_ABS, 0, 0, kMacLoOff});
        p.insns.push_back(
            {BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint8_t>(toAccept - 3), 0, macLo(macs[i])});
    }
    p.insns.push_back({BPF_RET | BPF_K, 0, 0, kDropAll});
    p.insns.push_back({BPF_RET | BPF_K, 0, 0, kPassAll});
    return p;
}

bool runMacFilter(const BpfProgram& prog, std::span<const uint8_t> frame) {
    uint32_t a = 0;
    for (size_t pc = 0; pc < prog.insns.size(); ++pc) {
        const auto& in = prog.insns[pc];
        switch (in.code) {
            case BPF_LD | BPF_W | BPF_ABS:
                if (frame.size() < in.k + 4)
                    return false;  // the kernel ends the program with 0
                a = wire::getU32(frame.data(), in.k);
                break;
            case BPF_LD | BPF_H | BPF_ABS:
                if (frame.size() < in.k + 2)
                    return false;
                a = wire::getU16(frame.data(), in.k);
                break;
            case BPF_JMP | BPF_JEQ | BPF_K:
                pc += a == in.k ? in.jt : in.jf;
                break;
            case BPF_RET | BPF_K:
                return in.k != 0;
            default:
                return false;
        }
    }
    return false;
}

PortIo::PortIo(const std::string& ifName) : name_(ifName) {
    ifIndex_ = static_cast<int>(::if_nametoindex(ifName.c_str()));
    if (ifIndex_ == 0)
        throw std::runtime_error("no interface " + ifName + " in this network namespace");
    fd_.reset(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ALL)));
    if (!fd_.valid())
        throw std::runtime_error("AF_PACKET socket for " + ifName + ": " + std::strerror(errno) +
                                 " (needs CAP_NET_RAW)");
    // Nothing passes until the first filter: no frame slips through before the entries.
    setFilter({});
    const int on = 1;
    ::setsockopt(fd_.get(), SOL_PACKET, PACKET_AUXDATA, &on, sizeof on);
    ::setsockopt(fd_.get(), SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on);
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &kRcvBuf, sizeof kRcvBuf);
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(ETH_P_ALL);
    addr.sll_ifindex = ifIndex_;
    if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("bind to " + ifName + ": " + std::strerror(errno));
    // Frames queued between the socket's creation and the first filter are flushed.
    while (::recv(fd_.get(), buf_.data(), buf_.size(), MSG_DONTWAIT) >= 0) {
    }
}

bool PortIo::setFilter(std::vector<chassis::Mac> macs) {
    std::sort(macs.begin(), macs.end());
    macs.erase(std::unique(macs.begin(), macs.end()), macs.end());
    if (filterSet_ && macs == filtered_)
        return true;
    const BpfProgram p = compileMacFilter(macs);
    std::vector<sock_filter> code;
    for (const auto& in : p.insns)
        code.push_back({in.code, in.jt, in.jf, in.k});
    sock_fprog prog{static_cast<unsigned short>(code.size()), code.data()};
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0)
        return false;
    filtered_ = std::move(macs);
    filterSet_ = true;
    return true;
}

std::span<const std::span<const uint8_t>> PortIo::receive() {
    for (size_t i = 0; i < kRxSlots; ++i) {
        iov_[i] = {buf_.data() + i * kSlotBytes + port::kTagLen, kMaxFrame};
        msghdr& m = msgs_[i].msg_hdr;
        m = {};
        m.msg_iov = &iov_[i];
        m.msg_iovlen = 1;
        m.msg_control = control_[i].bytes.data();
        m.msg_controllen = control_[i].bytes.size();
    }
    int n;
    do {
        n = ::recvmmsg(fd_.get(), msgs_.data(), kRxSlots, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    } while (n < 0 && errno == EINTR);
    size_t count = 0;
    for (int i = 0; i < n; ++i) {
        msghdr& m = msgs_[static_cast<size_t>(i)].msg_hdr;
        const size_t len = msgs_[static_cast<size_t>(i)].msg_len;
        if (len == 0 || len > kMaxFrame || (m.msg_flags & MSG_TRUNC) != 0)
            continue;  // a frame larger than any port carries
        const std::span<uint8_t> slot(buf_.data() + static_cast<size_t>(i) * kSlotBytes,
                                      kSlotBytes);
        frames_[count++] = port::restoreTag(m, slot, len);
    }
    return std::span(frames_).first(count);
}

sockaddr_ll PortIo::destination() const {
    sockaddr_ll a{};
    a.sll_family = AF_PACKET;
    a.sll_protocol = htons(ETH_P_ALL);
    a.sll_ifindex = ifIndex_;
    return a;
}

Fd openPacketSender() {
    // Protocol 0: the socket is on no receive list.
    Fd fd(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid())
        throw std::runtime_error(std::string("AF_PACKET sending socket: ") + std::strerror(errno) +
                                 " (needs CAP_NET_RAW)");
    return fd;
}

}  // namespace netp
