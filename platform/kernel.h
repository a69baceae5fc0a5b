// The kernel calls the task makes: its raw Layer-2 PDU sockets, the wait on its descriptors,
// the tunnel-MAC interface request. Descriptor sets hold 2048 descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr int AF_OZML2 = 34;
inline constexpr int OZM_SOCK_RAW = 3;
inline constexpr int OZML2STP = 1;   // PDUs trapped from access ports
inline constexpr int OZML2L2PT = 9;  // tunnelled PDUs trapped from core ports
inline constexpr int OZM_AF_INET = 2;
inline constexpr int OZM_SOCK_DGRAM = 2;
inline constexpr int OZM_SOCKADDR_LEN = 16;
inline constexpr int OZM_MSG_SEND_FLAGS = 0x1000;
inline constexpr int OZM_FD_SETSIZE = 2048;
inline constexpr int OZM_EINTR = 4;

// A PDU datagram between the kernel side and the task: the interface index (u32, big-endian)
// the frame arrived on or leaves by, then the frame.
namespace pdudgram {
inline constexpr size_t kIfIndex = 0;
inline constexpr size_t kFrame = 4;
}  // namespace pdudgram

struct OzmFdSet {
    uint32_t bits[OZM_FD_SETSIZE / 32];
};

inline void OZM_FD_ZERO(OzmFdSet* s) {
    std::memset(s, 0, sizeof *s);
}
inline void OZM_FD_SET(int fd, OzmFdSet* s) {
    if (fd >= 0 && fd < OZM_FD_SETSIZE)
        s->bits[fd / 32] |= 1u << (fd % 32);
}
inline bool OZM_FD_ISSET(int fd, const OzmFdSet* s) {
    return fd >= 0 && fd < OZM_FD_SETSIZE && (s->bits[fd / 32] & (1u << (fd % 32))) != 0;
}

struct OzmTimeval {
    long tv_sec;
    long tv_usec;
};

namespace kern {

int socket(int family, int type, int protocol);
int bind(int fd, const uint8_t* addr, int addrLen);
int close(int fd);
int ioctl(int fd, unsigned long request, void* arg);
// Waits until a descriptor of the set is readable or the time-out passes; the set is
// rewritten to the ready ones. Returns their number, 0 on time-out, -1 with errno.
int select(int nfds, OzmFdSet* readSet, OzmFdSet* writeSet, OzmFdSet* exceptSet,
           OzmTimeval* timeout);
int lastErrno();

}  // namespace kern

// Reads one PDU and the interface it arrived on. Returns the frame length or -1; a frame longer
// than len is cut to len and its whole length (above len) returned.
int ozmRecvfrom(int sock, uint8_t* buf, int len, int flags, void* from, int* fromLen,
                uint32_t* rxIfIndex);
// Sends one PDU out of egressIfIndex; returns the bytes sent or -1.
int ozmSendto(int sock, const uint8_t* buf, int len, int flags, const uint8_t* addr, int addrLen,
              uint32_t egressIfIndex);
// Tells the platform that a received PDU was discarded: the interface it arrived on, the
// caller's code for why and that reason's text (a string that lasts as long as the program).
// Allocates nothing and never fails; what is done with it is the backend's.
void ozmPduDropped(uint32_t rxIfIndex, uint32_t reason, const char* reasonText);
