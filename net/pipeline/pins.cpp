#include "net/pipeline/pins.h"

#include <bpf/bpf.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace netp::pipeline {

namespace {

constexpr long kBpffsMagic = 0xcafe4a11;  // BPF_FS_MAGIC
constexpr mode_t kDirMode = 0700;
constexpr mode_t kModeBits = 0777;
constexpr size_t kModeText = 8;  // "777" and its end
// bpffs refuses names with a dot (kept for its own files).
constexpr const char* kAsidePrefix = "new_";
constexpr uint32_t kFirstKey = 0;

bool isBpffs(const std::string& path) {
    struct statfs fs {};
    return ::statfs(path.c_str(), &fs) == 0 && fs.f_type == kBpffsMagic;
}

}  // namespace

std::string PinPlace::dir() const {
    std::string n = name;
    std::replace(n.begin(), n.end(), '.', '_');
    return root + "/" + kPinSubdir + "/" + n;
}

std::string pinNameRefusal(const std::string& name) {
    if (name.empty() || name == "." || name == "..")
        return "'" + name + "' names no switch";
    if (name.find('/') != std::string::npos || name.front() == '.')
        return "'" + name + "' holds '/' or begins with '.'";
    return {};
}

namespace {

// The names in a directory, but . and ..; dir stays open.
std::vector<std::string> entriesOf(int dir) {
    std::vector<std::string> out;
    const int fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return out;
    DIR* d = ::fdopendir(fd);
    if (d == nullptr) {
        ::close(fd);
        return out;
    }
    while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..")
            out.push_back(n);
    }
    ::closedir(d);
    return out;
}

uint32_t programIdAt(const std::string& path) {
    const int fd = bpf_obj_get(path.c_str());
    if (fd < 0)
        return 0;
    const Fd prog(fd);
    bpf_prog_info info{};
    uint32_t len = sizeof info;
    return bpf_obj_get_info_by_fd(prog.get(), &info, &len) == 0 ? info.id : 0;
}

}  // namespace

std::string servingSwitchOf(const PinPlace& self, uint32_t program) {
    const std::string top = self.root + "/" + kPinSubdir;
    const std::string own = self.dir().substr(top.size() + 1);
    const Fd dir(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!dir.valid())
        return {};
    for (const std::string& name : entriesOf(dir.get())) {
        if (name == own)
            continue;
        const Fd other(
            ::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
        if (!other.valid())
            continue;
        const std::string at = top + "/" + name + "/";
        if (programIdAt(at + kIngressPin) != program && programIdAt(at + kEgressPin) != program)
            continue;
        // Its daemon holds the directory while it serves; one that ended left its filters.
        const bool serving = ::flock(other.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        return serving ? name : std::string();
    }
    return {};
}

Status ensureBpffs(const std::string& root, bool* mounted) {
    if (mounted)
        *mounted = false;
    if (isBpffs(root))
        return {};
    ::mkdir(root.c_str(), kDirMode);
    if (::mount("bpf", root.c_str(), "bpf", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0700") != 0)
        return Status::sysFailure(root + " is no bpffs, and mounting one there failed", errno);
    if (mounted)
        *mounted = true;
    return {};
}

namespace {

// name under the directory parent (path: how messages call it), made first when create. No
// symlink is followed; made or found, a directory the daemon pins in must be its user's alone,
// so that nobody else can take its pins away or put others in their place.
Result<Fd> ownDir(int parent, const char* name, const std::string& path, bool create) {
    if (create && ::mkdirat(parent, name, kDirMode) != 0 && errno != EEXIST)
        return Status::sysFailure("pins: making " + path, errno);
    Fd fd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid())
        return Status::sysFailure("pins: " + path, errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return Status::sysFailure("pins: " + path, errno);
    if (create && (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
        std::array<char, kModeText> mode{};
        std::snprintf(mode.data(), mode.size(), "%03o", st.st_mode & kModeBits);
        return Status::failure("pins: " + path + " is not this user's alone (owner " +
                               std::to_string(st.st_uid) + ", mode " + mode.data() + ")");
    }
    return fd;
}

}  // namespace

Result<PinDir> PinDir::open(const PinPlace& place, bool create) {
    if (const std::string why = pinNameRefusal(place.name); !why.empty())
        return Status::failure("pins: " + why);
    if (!isBpffs(place.root))
        return Status::failure("pins: " + place.root + " is no bpffs");
    const std::string top = place.root + "/" + kPinSubdir;
    const std::string dir = place.dir();
    // Where the switch is no longer served, its directory is gone: made again here.
    Fd root(::open(place.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid())
        return Status::sysFailure("pins: " + place.root, errno);
    Result<Fd> topFd = ownDir(root.get(), kPinSubdir, top, create);
    if (!topFd)
        return topFd.status();
    Result<Fd> fd = ownDir(topFd->get(), place.name.c_str(), dir, create);
    if (!fd)
        return fd.status();
    if (::flock(fd->get(), LOCK_EX | LOCK_NB) != 0)
        return Status::failure("pins: " + dir +
                               (errno == EWOULDBLOCK
                                    ? std::string(" is ") + kPinDirBusy + " of the same switch name"
                                    : std::string(": ") + std::strerror(errno)));
    return PinDir(place.root, dir, std::move(*fd));
}

bool PinDir::has(const std::string& name) const {
    struct stat st {};
    return ::fstatat(lock_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

Result<Fd> PinDir::get(const std::string& name) const {
    if (!has(name))
        return Fd();
    const int fd = bpf_obj_get(pathOf(name).c_str());
    if (fd < 0)
        return Status::sysFailure("pins: " + pathOf(name), fd);
    return Fd(fd);
}

uint32_t PinDir::programId(const std::string& name) const {
    return has(name) ? programIdAt(pathOf(name)) : 0;
}

Status PinDir::pin(int fd, const std::string& name) {
    const std::string aside = pathOf(kAsidePrefix + name);
    ::unlink(aside.c_str());
    if (const int err = bpf_obj_pin(fd, aside.c_str()); err)
        return Status::sysFailure("pins: pinning " + pathOf(name), err);
    if (::rename(aside.c_str(), pathOf(name).c_str()) != 0) {
        const int err = errno;
        ::unlink(aside.c_str());
        return Status::sysFailure("pins: pinning " + pathOf(name), err);
    }
    return {};
}

Status PinDir::unpin(const std::string& name) {
    if (::unlinkat(lock_.get(), name.c_str(), 0) != 0 && errno != ENOENT)
        return Status::sysFailure("pins: unpinning " + pathOf(name), errno);
    return {};
}

std::vector<std::string> PinDir::names() const {
    return entriesOf(lock_.get());
}

Status PinDir::removeAll() {
    for (const std::string& n : names()) {
        if (Status s = unpin(n); !s)
            return s;
    }
    if (::rmdir(path_.c_str()) != 0 && errno != ENOENT)
        return Status::sysFailure("pins: removing " + path_, errno);
    lock_.reset();
    // Another switch's directory keeps it.
    (void)::rmdir((root_ + "/" + kPinSubdir).c_str());
    return {};
}

Result<bool> PinDir::readFirst(const std::string& name, std::span<uint8_t> out) const {
    Result<Fd> fd = get(name);
    if (!fd)
        return fd.status();
    if (!fd->valid())
        return false;
    bpf_map_info info{};
    uint32_t len = sizeof info;
    if (const int err = bpf_obj_get_info_by_fd(fd->get(), &info, &len); err)
        return Status::sysFailure("pins: reading " + pathOf(name), err);
    if (info.type != BPF_MAP_TYPE_ARRAY || info.key_size != sizeof kFirstKey ||
        info.value_size != out.size())
        return Status::failure("pins: " + pathOf(name) + " holds elements of " +
                               std::to_string(info.value_size) + " bytes, this build's of " +
                               std::to_string(out.size()));
    if (const int err = bpf_map_lookup_elem(fd->get(), &kFirstKey, out.data()); err)
        return Status::sysFailure("pins: reading " + pathOf(name), err);
    return true;
}

Result<AbiRecord> PinDir::abi() const {
    AbiRecord rec;
    Result<bool> found = readFirst(kAbiPin, {reinterpret_cast<uint8_t*>(&rec), sizeof rec});
    if (!found)
        return found.status();
    return *found ? rec : AbiRecord{};
}

Status PinDir::setAbi(const AbiRecord& abi) {
    const int fd = bpf_map_create(BPF_MAP_TYPE_ARRAY, kAbiPin, sizeof(uint32_t), sizeof(AbiRecord),
                                  1, nullptr);
    if (fd < 0)
        return Status::sysFailure("pins: making " + pathOf(kAbiPin), fd);
    Fd map(fd);
    if (const int err = bpf_map_update_elem(fd, &kFirstKey, &abi, BPF_ANY); err)
        return Status::sysFailure("pins: writing " + pathOf(kAbiPin), err);
    return pin(fd, kAbiPin);
}

}  // namespace netp::pipeline
