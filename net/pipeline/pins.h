// Where a switch's pipeline outlives its daemon: the maps (and the programs) pinned in a bpffs,
// in a directory of the switch's own, ROOT/l2pt/NAME. ROOT is /sys/fs/bpf unless the daemon is
// told otherwise (--bpffs DIR, which tests point at a bpffs of their own); NAME is the name
// of the daemon's run directory (/run/l2pt/NAME: the chassis name by default, the instance of
// the systemd unit). The directory is locked (flock) while a daemon uses it, so that two
// daemons never share one switch's maps.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "net/io/fd.h"
#include "net/pipeline/status.h"

namespace netp::pipeline {

inline constexpr const char* kDefaultBpffs = "/sys/fs/bpf";
inline constexpr const char* kPinSubdir = "l2pt";
// The small map that says which kernel ABI the pins were made for (abi.h).
inline constexpr const char* kAbiPin = "l2pt_abi";
// The task's ring, in l2pt_rings[0] while a task holds the primary role.
inline constexpr const char* kTaskRingPin = "l2pt_task_ring";
// The programs last attached, so that a removal finds their filters by their ids.
inline constexpr const char* kIngressPin = "l2pt_prog_ingress";
inline constexpr const char* kEgressPin = "l2pt_prog_egress";
inline constexpr const char* kTaskTxPin = "l2pt_prog_task_tx";

// The words of PinDir::open()'s refusal while another process holds the directory.
inline constexpr const char* kPinDirBusy = "in use by another l2pt-chassisd";

struct PinPlace {
    std::string root = kDefaultBpffs;  // a bpffs
    std::string name;                  // the switch
    // bpffs refuses names with a dot: a switch's dots are underscores there.
    std::string dir() const;
};

// A refusal of a switch name as a directory name; empty when it is fine.
std::string pinNameRefusal(const std::string& name);

// The switch other than self's whose daemon serves now (holds its pin directory) and pinned
// program as one of its ports' programs; empty when none does.
std::string servingSwitchOf(const PinPlace& self, uint32_t program);

// Makes sure root is a bpffs, mounting one there when it is none (CAP_SYS_ADMIN); *mounted says
// whether this call did.
Status ensureBpffs(const std::string& root, bool* mounted);

// The ABI record in the kAbiPin map.
struct AbiRecord {
    uint32_t version = 0;
    uint32_t variant = 0;  // the test build (abi.h), 0 for a release's
};

class PinDir {
  public:
    // The switch's directory, made (with ROOT/l2pt) when create says so, and locked: refused
    // while another process holds it.
    static Result<PinDir> open(const PinPlace& place, bool create);

    const std::string& path() const { return path_; }
    std::string pathOf(const std::string& name) const { return path_ + "/" + name; }
    bool has(const std::string& name) const;
    // The pinned object (BPF_OBJ_GET); an invalid Fd when nothing is pinned by that name.
    Result<Fd> get(const std::string& name) const;
    // The id of the program pinned by that name; 0 when there is none.
    uint32_t programId(const std::string& name) const;
    // Element 0 of the array pinned by that name into out, when its elements are as long as
    // out (a build of another layout may have pinned a longer one); false when none is pinned.
    Result<bool> readFirst(const std::string& name, std::span<uint8_t> out) const;
    // Pins fd by name, in place of what was pinned so (atomically: pinned aside and renamed).
    Status pin(int fd, const std::string& name);
    Status unpin(const std::string& name);
    // Every name pinned here.
    std::vector<std::string> names() const;
    // Unpins everything, then removes the directory (and ROOT/l2pt when nothing else is left
    // there). The lock goes with it.
    Status removeAll();

    Result<AbiRecord> abi() const;  // version 0: no record
    Status setAbi(const AbiRecord& abi);

  private:
    PinDir(std::string root, std::string path, Fd lock)
        : root_(std::move(root)), path_(std::move(path)), lock_(std::move(lock)) {}

    std::string root_;
    std::string path_;
    Fd lock_;  // the directory, flock()ed
};

}  // namespace netp::pipeline
