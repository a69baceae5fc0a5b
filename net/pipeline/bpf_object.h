// A BPF object compiled at build time, loaded through the libbpf skeleton bpftool generated for
// it (l2pt_bpf_skeleton() in net/pipeline/CMakeLists.txt): the object's bytes are in the
// skeleton, its maps and programs are the skeleton's typed fields (skel->maps.l2pt_fdb,
// skel->progs.l2pt_ingress), and its maps are created and its programs passed through the
// kernel's verifier here. The daemon never opens an object by path, nor looks a map or a
// program up by its name.
#pragma once

#include <cerrno>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/pipeline/status.h"

struct bpf_object;
struct bpf_object_open_opts;

namespace netp::pipeline {

// Where libbpf's own messages go, a line at a time (warnings and information; its debugging is
// dropped). Process-wide: libbpf has one printer.
using LogFn = std::function<void(std::string_view line)>;

// A skeleton bpftool generated: struct NAME with its object, its maps and programs as fields,
// and the C++ members open(), load() and destroy().
template <typename S>
concept Skeleton = requires(S* skel, const bpf_object_open_opts* opts) {
    { S::open(opts) } -> std::same_as<S*>;
    { S::load(skel) } -> std::same_as<int>;
    S::destroy(skel);
    { skel->obj } -> std::convertible_to<bpf_object*>;
};

template <Skeleton S>
struct DestroySkeleton {
    void operator()(S* skel) const { S::destroy(skel); }
};
// A skeleton opened, and loaded once BpfObject::load() returns it.
template <Skeleton S>
using SkeletonPtr = std::unique_ptr<S, DestroySkeleton<S>>;

namespace detail {
void setLibbpfLog(LogFn log);
Status openFailure(const std::string& name, int err);
// load() with every program's verifier log kept, so that a refusal names the program and ends
// with the verifier's last words.
Status loadWithVerifierLogs(bpf_object* obj, const std::string& name,
                            const std::function<int()>& load);
}  // namespace detail

class BpfObject {
  public:
    // Opens skeleton S (name: how messages call it), libbpf's messages going to log; calls
    // prepare(skel) between opening and loading (maps sized, maps to reuse: bpf_map__reuse_fd),
    // its failure the load's; loads. A program the kernel refuses gives "the kernel refused BPF
    // program NAME: " and the end of the verifier's log.
    template <Skeleton S>
    static Result<SkeletonPtr<S>> load(const std::string& name, LogFn log,
                                       const std::function<Status(S& skel)>& prepare = {}) {
        detail::setLibbpfLog(std::move(log));
        SkeletonPtr<S> skel(S::open(nullptr));
        if (!skel)
            return detail::openFailure(name, errno);
        if (prepare) {
            if (Status s = prepare(*skel); !s)
                return s;
        }
        S* raw = skel.get();
        const auto load = [raw] { return S::load(raw); };
        if (Status s = detail::loadWithVerifierLogs(raw->obj, name, load); !s)
            return s;
        return skel;
    }

    // Takes over a loaded skeleton of any type, for what every object has alike: its maps and
    // programs listed. The programs and maps live as long as it does.
    template <Skeleton S>
    explicit BpfObject(SkeletonPtr<S> skel)
        : obj_(skel->obj),
          owner_(skel.release(), [](void* s) { S::destroy(static_cast<S*>(s)); }) {}

    // Every map of the object: its name and descriptor.
    std::vector<std::pair<std::string, int>> maps() const;
    // Every program of the object: its name and descriptor.
    std::vector<std::pair<std::string, int>> programs() const;

  private:
    bpf_object* obj_;
    std::unique_ptr<void, void (*)(void*)> owner_;
};

}  // namespace netp::pipeline
