// What `l2ptctl capture PORT` records: every frame a port's interface receives and sends, as it
// was on the wire (a tag the kernel took off put back), with the wall-clock time the kernel saw
// it. An AF_PACKET socket bound to the interface, read in batches into storage allocated once.
//
// A capture ends when its interface goes: the socket is closed and endReason() says why. The
// kernel tells a socket of a removal only while the interface is up; the daemon, which follows
// the links, ends a capture of an interface removed while down with end().
#pragma once

#include <linux/if_packet.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "net/io/fd.h"
#include "net/port/vlan_tag.h"

namespace netp::port {

struct CapturedFrame {
    std::span<const uint8_t> bytes;  // as on the wire, at most CaptureSocket::kSnapLen
    size_t wireLen;                  // its whole length on the wire
    std::chrono::system_clock::time_point time;
};

class CaptureSocket {
  public:
    static constexpr size_t kSnapLen = 9216 + kTagLen;  // a jumbo frame with its tag
    static constexpr size_t kSlots = 16;                // frames per system call
    static constexpr size_t kBatches = 8;               // system calls per read()
    using Sink = std::function<void(const CapturedFrame&)>;

    // Binds to the interface ifindex (named name in messages); std::system_error when it
    // cannot (CAP_NET_RAW is needed).
    CaptureSocket(uint32_t ifindex, std::string name, Sink sink);
    int fd() const { return fd_.get(); }
    bool ended() const { return !fd_.valid(); }
    const std::string& endReason() const { return endReason_; }

    // Hands what is queued to the sink without blocking; false once the capture has ended.
    bool read();
    // Ends the capture: the socket is closed.
    void end(std::string reason);
    // Frames the kernel dropped for want of room in the socket's buffer, since the start.
    uint64_t kernelDrops();

  private:
    bool interfaceGone() const;

    static constexpr size_t kSlotBytes = kTagLen + kSnapLen;
    static constexpr size_t kTimeControlBytes = CMSG_SPACE(sizeof(timespec));
    struct alignas(cmsghdr) Control {
        std::array<uint8_t, kAuxControlBytes + kTimeControlBytes> bytes;
    };

    Fd fd_;
    uint32_t ifindex_;
    std::string name_;
    Sink sink_;
    std::string endReason_;
    uint64_t drops_ = 0;
    std::vector<uint8_t> buf_ = std::vector<uint8_t>(kSlots * kSlotBytes);
    std::array<iovec, kSlots> iov_{};
    std::array<Control, kSlots> control_{};
    std::array<mmsghdr, kSlots> msgs_{};
};

}  // namespace netp::port
