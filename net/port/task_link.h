// The link the task's PDUs leave by, made for one generation: a network namespace (in a user
// namespace) with the task's packet socket, bound to a macvlan there on our end of a veth pair
// whose other end is there too. What the task sends by the macvlan comes to our end's tc egress
// within the send (a macvlan hands its frames to the device below it, across namespaces, with no
// queue between); what it sends by the veth, to our end's tc ingress. Both hooks run the
// pipeline's task program, which decides where the frames go: no interface of ours is in the
// task's reach, and no option of the socket (qdisc bypass among them) skips that decision. The
// namespaces live as long as the socket; deleting our end deletes the pair and the macvlan, and
// the socket then reaches nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/io/fd.h"
#include "net/port/op_status.h"

namespace netp::port {

class TaskLink {
  public:
    // Frames up to this long (a PDU with a tag more and its ports trailer) cross the link.
    static constexpr uint32_t kMtu = 4096;

    // A new link, our end named name and up, and the socket at its other end. The failure
    // names the step the kernel refused.
    static std::unique_ptr<TaskLink> open(const std::string& name, OpStatus& status);
    // Whether a link can be made here: a process of the daemon's makes a user and network
    // namespace and a packet socket in them (what a kernel or a service manager that allows
    // no user namespaces refuses), and nothing is kept.
    static OpStatus probe();
    // The link a daemon before left (its ifindex in the adopted globals), to delete as one of
    // ours; none when that interface is gone or is no task link (named as linkName() names
    // them: "l2pt" PID "t" GENERATION, in hex).
    static std::unique_ptr<TaskLink> leftover(uint32_t ifindex);
    // Whether the task link with that ifindex is still there: it goes by itself once no task
    // holds its socket.
    static bool exists(uint32_t ifindex);
    // Deletes the link, unless kept.
    ~TaskLink();
    // The daemon stops: the link stays, so that the task goes on sending by it while the
    // pipeline outlives the daemon; the next daemon deletes it (leftover()), and it goes by
    // itself with the task's socket (the namespace of its other end).
    void keep() { kept_ = true; }
    TaskLink(const TaskLink&) = delete;
    TaskLink& operator=(const TaskLink&) = delete;

    uint32_t ifindex() const { return ifindex_; }
    const std::string& name() const { return name_; }
    // The task's socket: AF_PACKET, SOCK_RAW, bound to the macvlan and to ETH_P_802_3 (its
    // frames' headers go unparsed; it receives nothing). Empty once taken.
    Fd takeSocket() { return std::move(socket_); }

  private:
    struct Made {};  // only open() makes one

  public:
    TaskLink(Made, std::string name, uint32_t ifindex)
        : name_(std::move(name)), ifindex_(ifindex) {}

  private:
    std::string name_;
    uint32_t ifindex_;
    Fd socket_;
    bool kept_ = false;
};

}  // namespace netp::port
