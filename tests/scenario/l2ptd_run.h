// Runs the l2ptd program built with the tests and collects what it prints.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace {

struct Outcome {
    int status = -1;
    std::string out;
};

// Runs l2ptd with args; stdout, and stderr too when withErr.
Outcome l2ptd(const std::string& args, bool withErr = false) {
    const std::string cmd =
        std::string(L2PTD_PATH) + " " + args + (withErr ? " 2>&1" : " 2>/dev/null");
    Outcome r;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

}  // namespace
