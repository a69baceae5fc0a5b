// A listening SEQPACKET socket in the loop. When descriptors run out (EMFILE, ENFILE) the
// listener is not watched for a while: the pending connections wait in the kernel's backlog
// instead of waking the loop for ever, and it is watched again once the pause has passed.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "net/io/loop.h"
#include "net/io/socket.h"

namespace netp {

class Listener {
  public:
    using OnAccept = std::function<void(Fd)>;
    using OnLog = std::function<void(const std::string&)>;
    static constexpr std::chrono::milliseconds kPause{250};

    Listener(Loop& loop, Fd fd, std::string name, OnAccept onAccept, OnLog log);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    bool paused() const { return paused_; }

  private:
    static constexpr int kAcceptsPerPass = 64;
    void acceptAll();
    void resume();

    Loop& loop_;
    Fd fd_;
    std::string name_;
    OnAccept onAccept_;
    OnLog log_;
    Loop::Timer resume_;
    bool paused_ = false;
    bool starved_ = false;  // logged once per shortage of descriptors
};

}  // namespace netp
