// A network namespace of the calling process's own with veth pairs swN/peN (N from 0), up and
// without IPv6, for tests and benchmarks of the kernel pipeline (root). Empty, or what failed.
#pragma once

#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

inline std::string privateVethPairs(unsigned n) {
    if (::unshare(CLONE_NEWNET) != 0)
        return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    // Only the frames sent on purpose cross the new interfaces.
    for (const char* conf : {"all", "default"})
        std::ofstream(std::string("/proc/sys/net/ipv6/conf/") + conf + "/disable_ipv6") << "1";
    FILE* ip = ::popen("ip -batch -", "w");
    for (unsigned p = 0; ip && p < n; p++)
        std::fprintf(ip,
                     "link add sw%u type veth peer name pe%u\nlink set sw%u up\n"
                     "link set pe%u up\n",
                     p, p, p, p);
    return ip && ::pclose(ip) == 0 ? "" : "ip -batch could not make the veth pairs";
}
