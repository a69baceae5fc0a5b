// A line-card port on a Linux interface: one AF_PACKET socket bound to it. The ACL entries
// installed for the port are compiled into a classic BPF filter on the socket, so frames no
// entry traps stay in the kernel as they stay in a line card's hardware.
#pragma once

#include <linux/if_packet.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "chassis/trace.h"
#include "net/io/socket.h"
#include "net/port/vlan_tag.h"

namespace netp {

// The filter that passes frames whose destination MAC is one of macs (none: nothing passes).
// Longer lists than one classic BPF program can jump across pass everything, and the data
// plane's own match decides.
struct BpfProgram {
    struct Insn {
        uint16_t code;
        uint8_t jt;
        uint8_t jf;
        uint32_t k;
    };
    std::vector<Insn> insns;
};
BpfProgram compileMacFilter(std::span<const chassis::Mac> macs);
// Runs prog over frame as the kernel would (the subset compileMacFilter emits): true = pass.
bool runMacFilter(const BpfProgram& prog, std::span<const uint8_t> frame);

class PortIo {
  public:
    // Room for a frame with a tag the kernel stripped put back.
    static constexpr size_t kMaxFrame = 9216 + port::kTagLen;

    // Opens and binds; std::runtime_error naming the interface when it cannot.
    explicit PortIo(const std::string& ifName);
    int fd() const { return fd_.get(); }
    const std::string& name() const { return name_; }

    // Replaces the filter when the MAC set changed.
    bool setFilter(std::vector<chassis::Mac> macs);
    // Reads the frames queued, up to kRxSlots in one system call, each with the VLAN tag the
    // kernel took off put back in place. None when nothing is queued. They stay valid until
    // the next receive.
    static constexpr size_t kRxSlots = 8;
    std::span<const std::span<const uint8_t>> receive();
    // Where a frame goes to leave by this port, for a sender's sendto or sendmmsg.
    sockaddr_ll destination() const;

  private:
    std::string name_;
    int ifIndex_ = 0;
    Fd fd_;
    std::vector<chassis::Mac> filtered_;
    bool filterSet_ = false;
    // Each slot reads behind room for a tag, so a stripped one goes back without moving the
    // payload.
    static constexpr size_t kSlotBytes = port::kTagLen + kMaxFrame;
    using Control = std::array<uint8_t, port::kAuxControlBytes>;
    std::vector<uint8_t> buf_ = std::vector<uint8_t>(kRxSlots * kSlotBytes);
    std::array<iovec, kRxSlots> iov_{};
    struct alignas(cmsghdr) AlignedControl {
        Control bytes;
    };
    std::array<AlignedControl, kRxSlots> control_{};
    std::array<mmsghdr, kRxSlots> msgs_{};
    std::array<std::span<const uint8_t>, kRxSlots> frames_{};
};

// One AF_PACKET socket that sends on every port (each frame names its port) and receives
// nothing: a batch of frames to several ports leaves in one system call.
Fd openPacketSender();

}  // namespace netp
