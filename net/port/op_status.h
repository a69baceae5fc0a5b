// The outcome of an operation the kernel carries out on an interface: done, or its errno and
// what failed, with the kernel's own explanation when it gave one.
#pragma once

#include <string>

namespace netp::port {

struct OpStatus {
    int error = 0;       // 0: done; otherwise an errno
    std::string detail;  // what was refused, and the kernel's message if any

    bool ok() const { return error == 0; }
    // "File exists: ingress priority 19506 holds another filter (foo)"
    std::string text() const;
};

OpStatus failed(int error, std::string detail);

}  // namespace netp::port
