// A map of the loaded kernel pipeline by its name, found through a program that uses it: for
// tests and benchmarks that write the pipeline's tables behind the daemon's back.
#pragma once

#include <bpf/bpf.h>

#include <iterator>
#include <string>

#include "net/io/socket.h"

namespace netp::test {

// An invalid Fd when the program uses no map of that name.
inline Fd pipelineMap(int program, const std::string& name) {
    uint32_t ids[16] = {};
    bpf_prog_info info{};
    info.nr_map_ids = std::size(ids);
    info.map_ids = reinterpret_cast<uintptr_t>(ids);
    uint32_t len = sizeof info;
    if (bpf_obj_get_info_by_fd(program, &info, &len) != 0)
        return Fd();
    for (uint32_t i = 0; i < info.nr_map_ids && i < std::size(ids); i++) {
        Fd fd(bpf_map_get_fd_by_id(ids[i]));
        bpf_map_info m{};
        uint32_t mlen = sizeof m;
        if (fd.valid() && bpf_obj_get_info_by_fd(fd.get(), &m, &mlen) == 0 && name == m.name)
            return fd;
    }
    return Fd();
}

}  // namespace netp::test
