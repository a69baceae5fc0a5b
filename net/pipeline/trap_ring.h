// A reader of a BPF ring buffer given only its descriptor: l2ptd's trap ring, the daemon's
// event ring. It maps the ring as the kernel lays it out (the consumer page read-write; the
// producer page and the data, mapped twice in a row so that no record wraps, read-only) and
// makes no bpf() call, so a process without privileges reads it. Records are read in place
// and released in order; nothing is copied or allocated per record. The positions are kept
// locally: the producer's is read again only when the records read before run out, and the
// reader's is written back every kPublishBytes and by publish(), so that the two sides do not
// trade a cache line per record. The kernel wakes a reader waiting on the descriptor when it
// commits a record at the position the reader last published: a reader publishes before it
// waits, and not before (each wake-up is an interrupt on the producer's CPU).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "net/io/socket.h"
#include "net/pipeline/mapping.h"
#include "net/pipeline/status.h"

namespace netp::pipeline {

class TrapRing {
  public:
    // Takes fd, a ring buffer of dataBytes (a power of two, whole pages).
    static Result<TrapRing> map(Fd fd, size_t dataBytes);

    // Readable (epoll) while records wait.
    int fd() const { return fd_.get(); }

    // The next committed record, in place until release(); empty when none is ready. Records
    // the producer discarded are skipped.
    std::span<const uint8_t> peek();
    // The same, waiting up to timeoutMs for a record when none is ready.
    std::span<const uint8_t> peekWaiting(int timeoutMs);
    // Done with the record peek() gave: the producer may write over it once it is published.
    void release();
    // Gives the space of every released record back to the producer now; before waiting on
    // fd(), which is readable while records are committed past the position published.
    void publish();

  private:
    TrapRing(Fd fd, Mapping consumer, Mapping producer, size_t dataBytes);
    const uint8_t* data() const { return producer_.data() + pageSize(); }

    Fd fd_;
    Mapping consumer_;
    Mapping producer_;
    // Records released since the last publish, in bytes, that the producer may still not reuse.
    static constexpr uint64_t kPublishBytes = 16 * 1024;

    uint64_t mask_;
    uint64_t cons_;       // the reader's position
    uint64_t prod_;       // the producer's, as last read
    uint64_t published_;  // the reader's, as the producer sees it
    uint64_t next_ = 0;   // the reader's position after the record peeked, 0 when none is
};

}  // namespace netp::pipeline
