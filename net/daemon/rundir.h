// The chassis daemon's directories. The daemon runs as root or as a user of its own and serves
// other users, so it keeps its files only where no other user can reach in: a directory opened
// without following a symlink, belonging to the daemon's user, writable by nobody else, below
// directories that only root or that user can change (or sticky ones such as /tmp). Every file
// in it is reached through the directory's descriptor, never by a path walked again.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/io/socket.h"

namespace netp {

// A directory that cannot be used, and why.
struct DirError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Why a chassis name cannot be one component of a path (the default run directory is
// /run/l2pt/NAME), or nothing: no '/', no leading '.', no control bytes, not empty or long.
std::optional<std::string> chassisNameRefusal(std::string_view name);

class SafeDir {
  public:
    // Opens path, creating it with createMode when it is missing (its parent must exist).
    // DirError when path is a symlink or no directory, belongs to another user, can be written
    // by its group or others, or lies below a directory another user can change.
    SafeDir(const std::string& path, mode_t createMode);

    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    // The ownership and mode the directory has now.
    struct stat status() const;
    std::vector<std::string> entries() const;

    // Replaces name with text: a temporary of the directory's own naming (O_EXCL), written,
    // given its group (when one is given) and mode, synced and renamed over name, then the
    // directory synced. DirError when a step fails; the temporary does not stay.
    void replaceFile(std::string_view name, std::string_view text, mode_t mode,
                     std::optional<gid_t> group = std::nullopt) const;
    // The text of the regular file name, nothing when there is none; DirError when it cannot be
    // read or holds more than limit bytes.
    std::optional<std::string> readFile(std::string_view name, size_t limit) const;
    // Renames within the directory and syncs it; DirError when that fails.
    void rename(std::string_view from, std::string_view to) const;
    void remove(std::string_view name) const;  // nothing when there is no such file
    static bool isTemporary(std::string_view name);

  private:
    std::string path_;
    Fd fd_;
};

// The run directory: the sockets, the chassis file for the task processes and the pid file
// that locks it against a second daemon.
class RunDir {
  public:
    static constexpr const char* kPidFile = "chassisd.pid";

    // Opens (creates) path as a SafeDir with mode 0700, or 0750 and group gid for those who
    // reach a socket in it (the operators, or the task's group without them); takes its lock;
    // refuses a directory holding files the daemon does not know; removes what a daemon that
    // ended without cleaning up left (its sockets, temporaries). DirError says why, naming the
    // pid of the daemon that holds the lock.
    RunDir(const std::string& path, std::optional<gid_t> group);
    ~RunDir();  // removes the sockets it bound and its pid file
    RunDir(const RunDir&) = delete;
    RunDir& operator=(const RunDir&) = delete;

    const SafeDir& dir() const { return dir_; }
    // A listening SOCK_SEQPACKET socket bound to name in the directory with mode, in group
    // when one is given.
    Fd listen(const char* name, mode_t mode, std::optional<gid_t> group);

  private:
    SafeDir dir_;
    Fd lock_;
    std::vector<std::pair<std::string, ino_t>> sockets_;
};

}  // namespace netp
