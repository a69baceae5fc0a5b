// A shared memory mapping of a descriptor (a BPF map, a ring buffer, a memfd), unmapped when it
// goes, and the layout of the array maps l2ptd maps read-only.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "net/pipeline/status.h"

namespace netp::pipeline {

class Mapping {
  public:
    Mapping() = default;
    ~Mapping();
    Mapping(Mapping&& o) noexcept;
    Mapping& operator=(Mapping&& o) noexcept;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    // mmap(MAP_SHARED) of len bytes of fd from offset; what names the table in a failure.
    static Result<Mapping> map(int fd, size_t len, off_t offset, int prot, const char* what);

    uint8_t* data() const { return static_cast<uint8_t*>(addr_); }
    size_t size() const { return len_; }

  private:
    void* addr_ = nullptr;
    size_t len_ = 0;
};

size_t pageSize();

// An array map's elements lie value size rounded up to 8 apart; an mmapable one is page-sized.
template <typename T>
constexpr size_t arrayStride() {
    return (sizeof(T) + 7) & ~size_t{7};
}
template <typename T>
size_t arrayBytes(size_t entries) {
    const size_t page = pageSize();
    return (entries * arrayStride<T>() + page - 1) / page * page;
}

// Element index of an array laid out so, copied in or out (the caller checks the index).
template <typename T>
T loadElement(const Mapping& m, size_t index) {
    T v;
    std::memcpy(&v, m.data() + index * arrayStride<T>(), sizeof v);
    return v;
}
template <typename T>
void storeElement(const Mapping& m, size_t index, const T& v) {
    std::memcpy(m.data() + index * arrayStride<T>(), &v, sizeof v);
}

}  // namespace netp::pipeline
