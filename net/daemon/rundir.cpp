#include "net/daemon/rundir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <memory>

#include "net/proto/protocol.h"

namespace netp {

namespace {

constexpr size_t kMaxChassisName = 64;
constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDelete = 0x7f;
constexpr mode_t kPermBits = 07777;
constexpr mode_t kAccessBits = 0777;  // what a umask masks
constexpr mode_t kPrivateDirMode = 0700;
constexpr mode_t kGroupDirMode = 0750;
constexpr mode_t kPidFileMode = 0644;
constexpr int kListenBacklog = 16;
constexpr int kLockAttempts = 8;
constexpr size_t kPidTextLimit = 32;
constexpr std::string_view kTempPrefix = ".l2pt-tmp-";
constexpr const char* kOverflowUidFile = "/proc/sys/kernel/overflowuid";
constexpr const char* kUidMapFile = "/proc/self/uid_map";
constexpr std::string_view kInitialUidMap = "0 0 4294967295";

std::string errnoText(int err = errno) {
    return std::strerror(err);
}

std::string octal(mode_t mode) {
    char out[8];
    std::snprintf(out, sizeof out, "%04o", static_cast<unsigned>(mode & kPermBits));
    return out;
}

std::string firstLine(const char* path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// Who may own a directory the run directory lies in: root and the daemon's user. In a user
// namespace of its own (unshare -r) the host's root shows as the overflow uid and holds no
// power over the daemon there, which has none outside it.
class TrustedOwners {
  public:
    TrustedOwners() : me_(::geteuid()) {
        std::string map = firstLine(kUidMapFile);
        std::replace(map.begin(), map.end(), '\t', ' ');
        map.erase(std::unique(map.begin(), map.end(),
                              [](char a, char b) { return a == ' ' && b == ' '; }),
                  map.end());
        const auto start = map.find_first_not_of(' ');
        if (start != std::string::npos && map.substr(start) != kInitialUidMap) {
            const std::string overflow = firstLine(kOverflowUidFile);
            uid_t uid = 0;
            if (std::from_chars(overflow.data(), overflow.data() + overflow.size(), uid).ec ==
                std::errc{})
                overflow_ = uid;
        }
    }
    bool trusted(uid_t uid) const { return uid == 0 || uid == me_ || uid == overflow_; }

  private:
    uid_t me_;
    std::optional<uid_t> overflow_;
};

bool othersMayWrite(const struct stat& st) {
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Every directory from parent up to / belongs to root or the daemon's user and nobody else
// may write it, unless it is sticky: nobody else can move what lies below it away or put
// something in its place.
void checkAncestors(int parentFd, const std::string& shown) {
    const TrustedOwners owners;
    Fd at(::fcntl(parentFd, F_DUPFD_CLOEXEC, 0));
    std::string where = shown;
    for (;;) {
        struct stat st {};
        if (!at.valid() || ::fstat(at.get(), &st) != 0)
            throw DirError("cannot inspect " + where + ": " + errnoText());
        if (!owners.trusted(st.st_uid))
            throw DirError(where + " belongs to uid " + std::to_string(st.st_uid) +
                           ", who could move the directory in it away: not root or the "
                           "daemon's user");
        if (othersMayWrite(st) && (st.st_mode & S_ISVTX) == 0)
            throw DirError(where + " can be written by others (mode " + octal(st.st_mode) +
                           ") and is not sticky");
        Fd up(::openat(at.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat upSt {};
        if (!up.valid() || ::fstat(up.get(), &upSt) != 0)
            throw DirError("cannot inspect the directory above " + where + ": " + errnoText());
        if (upSt.st_dev == st.st_dev && upSt.st_ino == st.st_ino)
            return;  // the root
        at = std::move(up);
        where = "the directory above " + where;
    }
}

void syncDir(int fd, const std::string& shown) {
    if (::fsync(fd) != 0)
        throw DirError("cannot sync " + shown + ": " + errnoText());
}

// Binds sock to name inside the directory dirFd with mode. A Unix socket is bound by path, and
// a path through /proc/self/fd is long and needs /proc; so this thread takes a working
// directory and umask of its own (unshare(CLONE_FS) touches no other thread), enters the
// directory, binds the relative name with the umask that gives the mode, and returns.
void bindIn(int dirFd, int sock, std::string_view name, mode_t mode, const std::string& shown) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (name.size() >= sizeof addr.sun_path)
        throw DirError("socket name too long: " + std::string(name));
    std::copy(name.begin(), name.end(), addr.sun_path);
    if (::unshare(CLONE_FS) != 0)
        throw DirError("cannot take a working directory of this thread's own: " + errnoText());
    Fd back(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!back.valid() || ::fchdir(dirFd) != 0)
        throw DirError("cannot enter " + shown + " to bind " + std::string(name) + ": " +
                       errnoText());
    const mode_t umaskBefore = ::umask(~mode & kAccessBits);
    const int rc = ::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int err = errno;
    ::umask(umaskBefore);
    if (::fchdir(back.get()) != 0)
        throw DirError("cannot leave " + shown + ": " + errnoText());
    if (rc != 0)
        throw DirError("cannot bind " + shown + "/" + std::string(name) + ": " + errnoText(err));
}

}  // namespace

std::optional<std::string> chassisNameRefusal(std::string_view name) {
    if (name.empty())
        return "the chassis name is empty";
    if (name.size() > kMaxChassisName)
        return "the chassis name is longer than " + std::to_string(kMaxChassisName) + " bytes";
    if (name.front() == '.')
        return "the chassis name '" + std::string(name) + "' begins with '.'";
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || u < kFirstPrintable || u == kDelete)
            return "the chassis name holds '/' or a control byte";
    }
    return std::nullopt;
}

SafeDir::SafeDir(const std::string& path, mode_t createMode) : path_(path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const auto slash = p.rfind('/');
    const std::string parent = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : p.substr(0, slash);
    const std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    if (name.empty() || name == "." || name == "..")
        throw DirError(path + ": not a directory the daemon can own");
    Fd parentFd(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!parentFd.valid())
        throw DirError("cannot open " + parent + " (the directory " + path +
                       " is made in): " + errnoText());
    checkAncestors(parentFd.get(), parent);
    if (::mkdirat(parentFd.get(), name.c_str(), createMode) != 0 && errno != EEXIST)
        throw DirError("cannot create " + path + ": " + errnoText());
    fd_.reset(
        ::openat(parentFd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd_.valid()) {
        const int err = errno;
        struct stat st {};
        if (::fstatat(parentFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            throw DirError(path +
                           " is a symbolic link: refused, the daemon would write where "
                           "it points");
        throw DirError("cannot open " + path + ": " + errnoText(err));
    }
    const struct stat st = status();
    if (st.st_uid != ::geteuid())
        throw DirError(path + " belongs to uid " + std::to_string(st.st_uid) +
                       ", not to the daemon's user (uid " + std::to_string(::geteuid()) + ")");
    if (othersMayWrite(st))
        throw DirError(path + " can be written by its group or others (mode " + octal(st.st_mode) +
                       "): refused, another user may have put files there");
}

struct stat SafeDir::status() const {
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0)
        throw DirError("cannot inspect " + path_ + ": " + errnoText());
    return st;
}

std::vector<std::string> SafeDir::entries() const {
    std::unique_ptr<DIR, int (*)(DIR*)> d(
        ::fdopendir(::openat(fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)), ::closedir);
    if (!d)
        throw DirError("cannot list " + path_ + ": " + errnoText());
    std::vector<std::string> out;
    while (const dirent* e = ::readdir(d.get())) {
        const std::string_view n = e->d_name;
        if (n != "." && n != "..")
            out.emplace_back(n);
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool SafeDir::isTemporary(std::string_view name) {
    return name.starts_with(kTempPrefix);
}

void SafeDir::replaceFile(std::string_view name, std::string_view text, mode_t mode,
                          std::optional<gid_t> group) const {
    const std::string target(name);
    const std::string tmp = std::string(kTempPrefix) + target;
    const std::string shown = path_ + "/" + target;
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    Fd fd(::openat(fd_.get(), tmp.c_str(), kFlags, mode));
    if (!fd.valid() && errno == EEXIST) {
        remove(tmp);  // left by a daemon that ended while writing
        fd.reset(::openat(fd_.get(), tmp.c_str(), kFlags, mode));
    }
    if (!fd.valid())
        throw DirError("cannot write " + shown + ": " + errnoText());
    auto fail = [&](const char* what) {
        const int err = errno;
        ::unlinkat(fd_.get(), tmp.c_str(), 0);
        throw DirError(std::string("cannot ") + what + " " + shown + ": " + errnoText(err));
    };
    for (size_t at = 0; at < text.size();) {
        const ssize_t n = ::write(fd.get(), text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("write");
        at += static_cast<size_t>(n);
    }
    if (group && ::fchown(fd.get(), static_cast<uid_t>(-1), *group) != 0)
        fail("set the group of");
    if (::fchmod(fd.get(), mode) != 0 || ::fsync(fd.get()) != 0)
        fail("sync");
    if (::close(fd.release()) != 0)
        fail("write");
    if (::renameat(fd_.get(), tmp.c_str(), fd_.get(), target.c_str()) != 0)
        fail("replace");
    syncDir(fd_.get(), path_);
}

std::optional<std::string> SafeDir::readFile(std::string_view name, size_t limit) const {
    const std::string n(name);
    Fd fd(::openat(fd_.get(), n.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() && errno == ENOENT)
        return std::nullopt;
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
        throw DirError("cannot read " + path_ + "/" + n + ": " + errnoText());
    if (!S_ISREG(st.st_mode))
        throw DirError(path_ + "/" + n + " is not a regular file");
    std::string text;
    std::array<char, 4096> buf{};
    for (;;) {
        const ssize_t got = ::read(fd.get(), buf.data(), buf.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw DirError("cannot read " + path_ + "/" + n + ": " + errnoText());
        if (got == 0)
            return text;
        text.append(buf.data(), static_cast<size_t>(got));
        if (text.size() > limit)
            throw DirError(path_ + "/" + n + " is larger than " + std::to_string(limit) + " bytes");
    }
}

void SafeDir::rename(std::string_view from, std::string_view to) const {
    const std::string f(from);
    const std::string t(to);
    if (::renameat(fd_.get(), f.c_str(), fd_.get(), t.c_str()) != 0)
        throw DirError("cannot rename " + path_ + "/" + f + " to " + t + ": " + errnoText());
    syncDir(fd_.get(), path_);
}

void SafeDir::remove(std::string_view name) const {
    ::unlinkat(fd_.get(), std::string(name).c_str(), 0);
}

namespace {

// The pid file, locked: a second daemon on the directory fails to lock it and names the pid
// written in it. A daemon that ends removes the file while it holds the lock, so the lock is
// taken again on a file that was replaced meanwhile.
Fd lockPidFile(const SafeDir& dir) {
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        Fd fd(::openat(dir.fd(), RunDir::kPidFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                       kPidFileMode));
        if (!fd.valid())
            throw DirError("cannot open " + dir.path() + "/" + RunDir::kPidFile + ": " +
                           errnoText());
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK)
                throw DirError("cannot lock " + dir.path() + "/" + RunDir::kPidFile + ": " +
                               errnoText());
            std::string pid = dir.readFile(RunDir::kPidFile, kPidTextLimit).value_or("");
            pid.erase(std::remove(pid.begin(), pid.end(), '\n'), pid.end());
            throw DirError("run directory " + dir.path() + " is in use by l2pt-chassisd pid " +
                           (pid.empty() ? "(not yet written)" : pid) + ", which holds " +
                           RunDir::kPidFile + "; its sockets stay");
        }
        struct stat held {};
        struct stat now {};
        if (::fstat(fd.get(), &held) == 0 &&
            ::fstatat(dir.fd(), RunDir::kPidFile, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            held.st_ino == now.st_ino && held.st_dev == now.st_dev) {
            const std::string pid = std::to_string(::getpid()) + "\n";
            if (::ftruncate(fd.get(), 0) != 0 ||
                ::pwrite(fd.get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size()))
                throw DirError("cannot write " + dir.path() + "/" + RunDir::kPidFile + ": " +
                               errnoText());
            return fd;
        }
    }
    throw DirError("cannot lock " + dir.path() + "/" + RunDir::kPidFile +
                   ": it is replaced as fast as it is locked");
}

bool knownRunFile(std::string_view name) {
    return name == kTaskSocket || name == kCtlSocket || name == kChassisFile ||
           name == RunDir::kPidFile || SafeDir::isTemporary(name);
}

}  // namespace

RunDir::RunDir(const std::string& path, std::optional<gid_t> group)
    : dir_(path, group ? kGroupDirMode : kPrivateDirMode) {
    lock_ = lockPidFile(dir_);
    std::string unknown;
    for (const auto& name : dir_.entries()) {
        if (!knownRunFile(name))
            unknown += (unknown.empty() ? "" : ", ") + name;
    }
    if (!unknown.empty())
        throw DirError("run directory " + path + " holds files the daemon does not know (" +
                       unknown + "): refused; move them away");
    // What a daemon that ended without cleaning up left.
    for (const auto& name : dir_.entries()) {
        if (name == kTaskSocket || name == kCtlSocket || SafeDir::isTemporary(name))
            dir_.remove(name);
    }
    const struct stat st = dir_.status();
    if (group && st.st_gid != *group && ::fchown(dir_.fd(), static_cast<uid_t>(-1), *group) != 0)
        throw DirError("cannot give " + path + " to group " + std::to_string(*group) + ": " +
                       errnoText() + " (the daemon's user must be a member of it)");
    const mode_t mode = group ? kGroupDirMode : kPrivateDirMode;
    if ((st.st_mode & kPermBits) != mode && ::fchmod(dir_.fd(), mode) != 0)
        throw DirError("cannot set the mode of " + path + ": " + errnoText());
}

RunDir::~RunDir() {
    for (const auto& [name, ino] : sockets_) {
        struct stat st {};
        if (::fstatat(dir_.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_ino == ino)
            dir_.remove(name);
    }
    dir_.remove(kPidFile);  // while the lock is held: see lockPidFile
}

Fd RunDir::listen(const char* name, mode_t mode, std::optional<gid_t> group) {
    Fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid())
        throw DirError("socket: " + errnoText());
    // Bound as a temporary and renamed once it listens: a client that sees the name appear
    // (a task watching the directory) is not refused for coming between bind and listen.
    const std::string tmp = std::string(kTempPrefix) + name;
    dir_.remove(tmp);
    bindIn(dir_.fd(), fd.get(), tmp, mode, dir_.path());
    struct stat st {};
    if (::fstatat(dir_.fd(), tmp.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        throw DirError("cannot inspect " + dir_.path() + "/" + tmp + ": " + errnoText());
    if (group && ::fchownat(dir_.fd(), tmp.c_str(), static_cast<uid_t>(-1), *group,
                            AT_SYMLINK_NOFOLLOW) != 0)
        throw DirError("cannot give " + dir_.path() + "/" + name + " to group " +
                       std::to_string(*group) + ": " + errnoText() +
                       " (the daemon's user must be a member of it)");
    if (::listen(fd.get(), kListenBacklog) != 0)
        throw DirError("cannot listen on " + dir_.path() + "/" + name + ": " + errnoText());
    dir_.rename(tmp, name);
    sockets_.emplace_back(name, st.st_ino);
    return fd;
}

}  // namespace netp
