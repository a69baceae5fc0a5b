// A reader of a BPF ring buffer given only its descriptor: l2ptd's trap ring, the daemon's
// event ring. It maps the ring as the kernel lays it out (the consumer page read-write; the
// producer page and the data, mapped twice in a row so that no record wraps, read-only) and
// makes no bpf() call, so a process without privileges reads it. Records are read in place
// and released in order; nothing is copied or allocated per record.
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
    // Done with the record peek() gave: the producer may write over it.
    void release();

  private:
    TrapRing(Fd fd, Mapping consumer, Mapping producer, size_t dataBytes);
    const uint8_t* data() const { return producer_.data() + pageSize(); }

    Fd fd_;
    Mapping consumer_;
    Mapping producer_;
    uint64_t mask_;
    uint64_t next_ = 0;  // consumer position after the record peeked, 0 when none is
};

}  // namespace netp::pipeline
