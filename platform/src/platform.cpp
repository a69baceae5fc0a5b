// The installed backend and the in-process state that lives as long as it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/backend.h"
#include "platform/src/state.h"

namespace ozm {
namespace {

// The C-style API reaches these through backend() and detail::state().
std::unique_ptr<Backend> gBackend;
std::unique_ptr<detail::State> gState;

[[noreturn]] void noBackend() {
    std::fputs("ozm platform: no backend installed\n", stderr);
    std::abort();
}

}  // namespace

void installBackend(std::unique_ptr<Backend> backend) {
    uninstallBackend();
    if (backend == nullptr) {
        return;
    }
    gBackend = std::move(backend);
    gState = std::make_unique<detail::State>();
}

void uninstallBackend() {
    // The state goes first: it holds descriptors and blocks, never calls the backend.
    gState.reset();
    gBackend.reset();
}

Backend& backend() {
    if (gBackend == nullptr) {
        noBackend();
    }
    return *gBackend;
}

bool fault(std::string_view point) {
    TestHooks* hooks = backend().testHooks();
    return hooks != nullptr && hooks->fault(point);
}

uint32_t poolCapacity(std::string_view pool) {
    TestHooks* hooks = backend().testHooks();
    return hooks != nullptr ? hooks->poolCapacity(pool) : 0;
}

bool hasBackend() {
    return gBackend != nullptr;
}

namespace detail {

State& state() {
    if (gState == nullptr) {
        noBackend();
    }
    return *gState;
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.release();
    }
    return *this;
}

Fd::~Fd() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

}  // namespace detail
}  // namespace ozm
