// The task's PDUs as they leave by its link, queued to go together in one system call. Each
// datagram is a frame and a trailer that names the ports the pipeline sends it to. The task
// sends a PDU to each of its ports in turn; one that leaves with the same bytes as the datagram
// queued last joins it as one more port of its trailer, and one that is its other form
// (tunnelled or de-tunnelled: another destination MAC and the provider tag pushed or popped)
// as a port the pipeline retags the frame for, where the pipeline can. Nothing is allocated
// per PDU.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "net/io/batch.h"
#include "net/pipeline/records.h"

namespace netp {

class TaskBatch {
  public:
    static constexpr size_t kSlots = 128;
    // A PDU the task sends: what it received, with a tag more at most, and its trailer.
    static constexpr size_t kSlotBytes = 2048;
    static constexpr size_t kMaxFrame = kSlotBytes - L2PT_TX_TRAILER_MAX;
    // The retag of a frame's other form as the trailer carries it: the destination MAC, then
    // the tag pushed (or zeros: the outer tag popped).
    static constexpr size_t kRetagBytes = L2PT_TX_RETAG_LEN - sizeof(uint16_t);

    bool full() const { return tx_.full(); }
    // Adds ifindex to the last datagram's ports when out is its frame, or, with retag (the
    // pipeline takes the retagging trailer), its other form; whether it did.
    bool join(uint32_t ifindex, std::span<const uint8_t> out, bool retag);
    // Queues out as a datagram of its own, to ifindex; false when it is full or out is longer
    // than kMaxFrame.
    bool append(uint32_t ifindex, std::span<const uint8_t> out);
    // Sends what is queued on fd (see SendBatch::flush).
    template <typename Failed>
    void flush(int fd, int flags, Failed&& failed) {
        tx_.flush(fd, flags, failed);
    }

  private:
    // Writes the last datagram's trailer at t: its length.
    size_t writeTrailer(std::span<uint8_t> t) const;

    SendBatch tx_{kSlots, kSlotBytes};
    struct Last {
        size_t len = 0;       // the last datagram's frame, without its trailer
        size_t ports = 0;     // that take the frame as it is: ifs[0, ports)
        size_t retagged = 0;  // that take it retagged: ifs[ports, ports + retagged)
        std::array<uint32_t, L2PT_TX_PORTS_MAX> ifs{};
        std::array<uint8_t, kRetagBytes> retag{};
    } last_;
};

}  // namespace netp
