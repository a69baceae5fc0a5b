// l2ptd's data path while its task holds the primary role, as the daemon granted it: the ring
// the kernel traps PDUs to, the packet socket the task's PDUs leave by, and the tables they are
// addressed and tagged by. Trapped PDUs are moved from the ring into a small queue per PDU
// socket, so that each socket reads as it did when PDUs came as datagrams; the task's PDUs
// are queued and leave together, in one system call per batch (NetBackend says when).
// Nothing is allocated per PDU.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "chassis/ifdb.h"
#include "net/backend/egress.h"
#include "net/backend/task_batch.h"
#include "net/pipeline/table_view.h"
#include "net/pipeline/trap_ring.h"
#include "net/proto/protocol.h"

namespace netp {

// The trapped PDUs of one socket, in the order they came: each its rx ifIndex and frame.
class PduQueue {
  public:
    static constexpr size_t kSlots = 32;

    bool empty() const { return count_ == 0; }
    bool full() const { return count_ == kSlots; }
    // frame: at most L2PT_TRAP_MAX_LEN bytes (a trap record holds no more).
    void push(uint32_t rxIf, std::span<const uint8_t> frame);
    // Writes the oldest as a PDU datagram ([ifIndex u32][frame]) across parts and drops it: the
    // datagram's whole length; *truncated when parts held less.
    size_t pop(std::span<const std::span<uint8_t>> parts, bool* truncated);

  private:
    std::array<uint8_t, kSlots * L2PT_TRAP_MAX_LEN> frames_{};
    std::array<uint32_t, kSlots> rxIf_{};
    std::array<uint16_t, kSlots> len_{};
    size_t head_ = 0;
    size_t count_ = 0;
};

class DataPath {
  public:
    using Fds = std::array<Fd, datapath::kGrantFds>;
    // Maps what a grant brought; the failure says what could not be used.
    static pipeline::Result<std::unique_ptr<DataPath>> open(uint16_t generation, size_t ringBytes,
                                                            Fds fds, const chassis::IfDb& db);

    uint16_t generation() const { return generation_; }
    // Readable (poll) while trapped PDUs wait in the ring.
    int ringFd() const { return ring_.fd(); }

    // Moves the PDUs the ring holds into their sockets' queues, while they have room.
    void drain();
    // Before waiting on ringFd(): what the ring's reader has read is handed back, so that the
    // kernel wakes it for the next PDU.
    void beforeWait() { ring_.publish(); }
    // While PDUs come closer together than kSpinUs, the next one is awaited awake, for up to
    // kSpinUs: a sleeping reader is woken by an interrupt on the producer's CPU and a switch
    // back on its own, which cost more than that. Whether one came.
    bool awaitBriefly();
    // protocol: OZML2STP (the access socket) or OZML2L2PT (the tunnel socket).
    PduQueue* queue(int protocol);

    // Queues a PDU to leave by egressIf (a chassis port or LAG); the fault that keeps it in.
    EgressFault send(uint32_t egressIf, std::span<const uint8_t> frame);
    // Sends what is queued, in one system call while the socket takes it all.
    void flush();
    // The PDUs the socket refused since the last call, and why the last one was.
    struct Refused {
        uint64_t count = 0;
        int lastErrno = 0;
    };
    Refused takeRefused() { return std::exchange(refused_, {}); }

    // Trap records that were no PDU of either socket, since the grant.
    uint64_t malformed() const { return malformed_; }
    // PDUs taken from the ring into the sockets' queues, since the grant.
    uint64_t taken() const { return taken_; }
    // Whether PDUs taken wait in a socket's queue for the task.
    bool holdsPdus() const { return !access_.empty() || !tunnel_.empty(); }

  private:
    struct Opened {};  // only open() makes one

  public:
    DataPath(Opened, uint16_t generation, pipeline::TrapRing ring, Fd tx, pipeline::TableView view,
             const chassis::IfDb& db);

  private:
    static constexpr int64_t kSpinUs = 20;

    uint16_t generation_;
    pipeline::TrapRing ring_;
    Fd txSock_;
    pipeline::TableView view_;
    const chassis::IfDb& db_;
    PduQueue access_;
    PduQueue tunnel_;
    TaskBatch tx_;
    std::array<uint8_t, TaskBatch::kSlotBytes> scratch_{};  // a PDU as it leaves, before queued
    Refused refused_;
    uint64_t malformed_ = 0;
    uint64_t taken_ = 0;
    std::chrono::steady_clock::time_point lastPdu_{};  // when the last drain found PDUs
    std::chrono::steady_clock::duration lastGap_ = std::chrono::hours(1);  // before that one
};

}  // namespace netp
