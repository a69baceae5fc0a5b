#include "net/port/op_status.h"

#include <cstring>

namespace netp::port {

std::string OpStatus::text() const {
    if (ok())
        return "done";
    std::string s = std::strerror(error);
    if (!detail.empty())
        s += ": " + detail;
    return s;
}

OpStatus failed(int error, std::string detail) {
    return {error, std::move(detail)};
}

}  // namespace netp::port
