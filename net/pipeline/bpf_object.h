// A BPF object compiled at build time and linked into the program, loaded with libbpf: its maps
// created and its programs passed through the kernel's verifier. The daemon never opens an
// object by path.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/pipeline/status.h"

struct bpf_object;

namespace netp::pipeline {

// Where libbpf's own messages go, a line at a time (warnings and information; its debugging is
// dropped). Process-wide: libbpf has one printer.
using LogFn = std::function<void(std::string_view line)>;

class BpfObject {
  public:
    // Loads the object image (name: how messages call it), libbpf's messages going to log. A
    // program the kernel refuses gives "the kernel refused BPF program NAME: " and the end of
    // the verifier's log.
    // sizes: maps whose max_entries is set before the load, by name.
    struct MapSize {
        const char* map;
        uint32_t maxEntries;
    };
    // prepare: called between opening and loading (maps to reuse, bpf_map__reuse_fd); its
    // failure is the load's.
    using Prepare = std::function<Status(bpf_object* obj)>;
    static Result<BpfObject> load(std::span<const uint8_t> image, const std::string& name,
                                  LogFn log, std::span<const MapSize> sizes = {},
                                  const Prepare& prepare = {});

    // The descriptor of a program or map of the object, -1 when it has none of that name.
    int programFd(const char* name) const;
    int mapFd(const char* name) const;
    // Every map of the object: its name and descriptor.
    std::vector<std::pair<std::string, int>> maps() const;
    // Every program of the object: its name and descriptor.
    std::vector<std::pair<std::string, int>> programs() const;

  private:
    struct Close {
        void operator()(bpf_object* obj) const;
    };
    explicit BpfObject(bpf_object* obj) : obj_(obj) {}

    std::unique_ptr<bpf_object, Close> obj_;
};

}  // namespace netp::pipeline
