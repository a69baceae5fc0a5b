// The copy of an array table l2ptd maps: a memfd laid out as the kernel lays out an array map,
// written through the daemon's mapping only. Its seals keep anyone else from writing it, mapping
// it writable or changing its size, and its readers get read-only descriptors.
//
// l2ptd cannot map the kernel's arrays themselves: the kernel maps a BPF map only through a
// descriptor that may write it (a read-only one is refused, EINVAL), and that would let the
// task rewrite the switch's tables.
#pragma once

#include <cstddef>

#include "net/io/socket.h"
#include "net/pipeline/mapping.h"
#include "net/pipeline/status.h"

namespace netp::pipeline {

class SealedArray {
  public:
    static Result<SealedArray> create(const char* name, size_t bytes);

    const Mapping& map() const { return map_; }
    // A new descriptor that reads and maps the array and does nothing else.
    Result<Fd> readOnlyFd() const;

  private:
    SealedArray(Fd fd, Mapping map, const char* name)
        : fd_(std::move(fd)), map_(std::move(map)), name_(name) {}

    Fd fd_;
    Mapping map_;
    const char* name_;
};

}  // namespace netp::pipeline
