// A VLAN tag the kernel took off a frame (into the skb's metadata) put back in place from the
// frame's PACKET_AUXDATA, so a packet socket's reader sees the frame as it was on the wire.
#pragma once

#include <linux/if_packet.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace netp::port {

inline constexpr size_t kTagLen = 4;
// Control room a receive needs for PACKET_AUXDATA.
inline constexpr size_t kAuxControlBytes = CMSG_SPACE(sizeof(tpacket_auxdata));

// slot: a receive slot whose frame was read at slot[kTagLen], len bytes of it (at most
// slot.size() - kTagLen); m: the receive's header. Returns the frame, its tag back in place
// when the kernel had taken one off.
std::span<uint8_t> restoreTag(const msghdr& m, std::span<uint8_t> slot, size_t len);

}  // namespace netp::port
