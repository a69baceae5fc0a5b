#include "net/pipeline/mapping.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

namespace netp::pipeline {

Mapping::~Mapping() {
    if (addr_)
        ::munmap(addr_, len_);
}

Mapping::Mapping(Mapping&& o) noexcept
    : addr_(std::exchange(o.addr_, nullptr)), len_(std::exchange(o.len_, 0)) {}

Mapping& Mapping::operator=(Mapping&& o) noexcept {
    if (this != &o) {
        if (addr_)
            ::munmap(addr_, len_);
        addr_ = std::exchange(o.addr_, nullptr);
        len_ = std::exchange(o.len_, 0);
    }
    return *this;
}

Result<Mapping> Mapping::map(int fd, size_t len, off_t offset, int prot, const char* what) {
    void* addr = ::mmap(nullptr, len, prot, MAP_SHARED, fd, offset);
    if (addr == MAP_FAILED)
        return Status::sysFailure(std::string("mapping ") + what, errno);
    Mapping m;
    m.addr_ = addr;
    m.len_ = len;
    return m;
}

size_t pageSize() {
    static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return page;
}

}  // namespace netp::pipeline
