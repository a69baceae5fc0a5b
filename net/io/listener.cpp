#include "net/io/listener.h"

#include <cerrno>
#include <cstring>

namespace netp {

Listener::Listener(Loop& loop, Fd fd, std::string name, OnAccept onAccept, OnLog log)
    : loop_(loop),
      fd_(std::move(fd)),
      name_(std::move(name)),
      onAccept_(std::move(onAccept)),
      log_(std::move(log)),
      resume_(loop, [this] { resume(); }) {
    loop_.watch(fd_.get(), EPOLLIN, [this](uint32_t) { acceptAll(); });
}

Listener::~Listener() {
    loop_.unwatch(fd_.get());
}

void Listener::acceptAll() {
    for (int n = 0; n < kAcceptsPerPass; ++n) {
        Fd fd = acceptSeqpacket(fd_.get());
        if (fd.valid()) {
            if (starved_) {
                starved_ = false;
                log_(name_ + ": accepting again");
            }
            onAccept_(std::move(fd));
            continue;
        }
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            if (!starved_) {
                log_(name_ + ": cannot accept (" + std::strerror(errno) + "): pausing " +
                     std::to_string(kPause.count()) + " ms at a time until it can");
            }
            starved_ = true;
            loop_.unwatch(fd_.get());
            paused_ = true;
            resume_.armIn(kPause);
        }
        return;  // EAGAIN, or a connection that went before it was accepted
    }
}

void Listener::resume() {
    paused_ = false;
    loop_.watch(fd_.get(), EPOLLIN, [this](uint32_t) { acceptAll(); });
}

}  // namespace netp
