#include "net/daemon/capture.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "chassis/pcap.h"
#include "net/port/capture_socket.h"

namespace netp {

namespace {

uint64_t wallClockUs(std::chrono::system_clock::time_point t) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count());
}

// Filesystems whose writes the kernel ends by itself, from memory or a local disk. A file on
// any other (FUSE, NFS, SMB and their like, whose writes wait for another process or host, or
// a pseudo-filesystem whose files act when written) could stall the loop, or worse.
constexpr unsigned long kZfsMagic = 0x2fc12fc1;  // not in linux/magic.h
constexpr std::array<unsigned long, 8> kLocalFilesystems = {
    EXT4_SUPER_MAGIC, XFS_SUPER_MAGIC,       BTRFS_SUPER_MAGIC, TMPFS_MAGIC,
    F2FS_SUPER_MAGIC, OVERLAYFS_SUPER_MAGIC, MSDOS_SUPER_MAGIC, kZfsMagic};

// A descriptor from a client may be anything: a pipe or a device would block or worse.
void checkWritableFile(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw std::runtime_error("the capture's descriptor is no regular file");
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ((flags & O_ACCMODE) != O_WRONLY && (flags & O_ACCMODE) != O_RDWR))
        throw std::runtime_error("the capture's file is not open for writing");
    if ((flags & (O_DSYNC | O_DIRECT)) != 0)  // O_SYNC includes O_DSYNC
        throw std::runtime_error(
            "the capture's file is open for synchronous or direct writes, "
            "which wait for the disk");
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0)
        throw std::runtime_error("the capture's filesystem cannot be told");
    const auto type = static_cast<unsigned long>(fs.f_type);
    if (std::ranges::find(kLocalFilesystems, type) == kLocalFilesystems.end()) {
        char hex[sizeof "0x" + 2 * sizeof type];
        std::snprintf(hex, sizeof hex, "%#lx", type);
        throw std::runtime_error(std::string("the capture's file is on a filesystem of type ") +
                                 hex +
                                 ", not a local disk's or memory's (ext4, xfs, btrfs, tmpfs, "
                                 "f2fs, overlay, vfat, zfs): write it to one of those");
    }
}

}  // namespace

struct Captures::Active {
    uint64_t client;
    uint32_t ifindex;
    std::unique_ptr<chassis::PcapWriter> writer;
    uint64_t limit;        // 0: none
    uint64_t taken = 0;    // frames handed to the writer
    uint64_t written = 0;  // of those, the ones known to be in the file (flushed)
    std::unique_ptr<port::CaptureSocket> socket;
    bool reported = false;  // handed out by takeDone
    bool full() const { return limit != 0 && taken >= limit; }
    bool failed() const { return writer->error() != 0; }
    bool done() const { return failed() || full() || socket->ended(); }
};

Captures::Captures(Loop& loop, Closer& closer) : loop_(loop), closer_(closer) {}

Captures::~Captures() {
    for (const auto& a : active_)
        loop_.unwatch(a->socket->fd());
}

void Captures::start(uint64_t client, uint32_t ifindex, const std::string& name, Fd file,
                     uint64_t count) {
    // Asked of its filesystem (and closed when refused) on the closer's thread: FUSE or NFS
    // may hold the answer, and the loop waits for it no longer than kCheckLimit.
    Closer::Checked checked = closer_.check(
        std::move(file),
        [](int fd) {
            try {
                checkWritableFile(fd);
                return std::string();
            } catch (const std::runtime_error& e) {
                return std::string(e.what());
            }
        },
        kCheckLimit);
    if (!checked.answered)
        throw std::runtime_error("the capture's file did not answer within " +
                                 std::to_string(kCheckLimit.count()) +
                                 " ms (its filesystem, or one a client sent before, is slow "
                                 "or gone): write it to a local disk or memory");
    if (!checked.refusal.empty())
        throw std::runtime_error(checked.refusal);
    file = std::move(checked.fd);
    auto a = std::make_unique<Active>();
    a->client = client;
    a->ifindex = ifindex;
    a->limit = count;
    a->writer = std::make_unique<chassis::PcapWriter>(file.release());
    Active& at = *a;
    a->socket =
        std::make_unique<port::CaptureSocket>(ifindex, name, [&at](const port::CapturedFrame& f) {
            if (at.full() || at.failed())
                return;
            at.writer->write(f.bytes, f.wireLen, wallClockUs(f.time));
            ++at.taken;
        });
    loop_.watch(a->socket->fd(), EPOLLIN, [this, &at](uint32_t) { readable(at); });
    active_.push_back(std::move(a));
}

void Captures::readable(Active& a) {
    const int fd = a.socket->fd();
    // Done: what is left queued is not for this capture. An ended socket is closed already.
    const bool more = a.socket->read();
    a.writer->flush();
    if (!a.failed())
        a.written = a.taken;
    if (!more || a.full() || a.failed())
        loop_.unwatch(fd);
}

uint64_t Captures::stop(uint64_t client) {
    const auto it = std::find_if(active_.begin(), active_.end(),
                                 [&](const auto& a) { return a->client == client; });
    if (it == active_.end())
        return 0;
    const uint64_t written = (*it)->written;
    loop_.unwatch((*it)->socket->fd());
    active_.erase(it);
    return written;
}

void Captures::interfaceGone(uint32_t ifindex, const std::string& why) {
    for (const auto& a : active_) {
        if (a->ifindex != ifindex || a->socket->ended())
            continue;
        loop_.unwatch(a->socket->fd());
        a->socket->end(why);
    }
}

std::vector<Captures::Done> Captures::takeDone() {
    std::vector<Done> done;
    for (const auto& a : active_) {
        if (!a->reported && a->done()) {
            a->reported = true;
            std::string why;
            if (a->failed())
                why = std::string("cannot write the file: ") + std::strerror(a->writer->error());
            else if (!a->full())
                why = a->socket->endReason();
            done.push_back({a->client, std::move(why)});
        }
    }
    return done;
}

}  // namespace netp
