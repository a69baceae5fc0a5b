#include "net/pipeline/sealed_array.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace netp::pipeline {

Result<SealedArray> SealedArray::create(const char* name, size_t bytes) {
    Fd fd(::memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd.valid() || ::ftruncate(fd.get(), static_cast<off_t>(bytes)) != 0)
        return Status::sysFailure(std::string("creating the copy of ") + name, errno);
    Result<Mapping> map = Mapping::map(fd.get(), bytes, 0, PROT_READ | PROT_WRITE, name);
    if (!map)
        return map.status();
    // The mapping above stays writable; nothing made after the seals can write.
    constexpr int kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL;
    if (::fcntl(fd.get(), F_ADD_SEALS, kSeals) != 0)
        return Status::sysFailure(std::string("sealing the copy of ") + name, errno);
    return SealedArray(std::move(fd), std::move(*map), name);
}

Result<Fd> SealedArray::readOnlyFd() const {
    const std::string path = "/proc/self/fd/" + std::to_string(fd_.get());
    Fd ro(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!ro.valid())
        return Status::sysFailure(std::string("a read-only descriptor of ") + name_, errno);
    return ro;
}

}  // namespace netp::pipeline
