#include "net/port/task_link.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/if_ether.h>
#include <linux/if_link.h>
#include <linux/if_packet.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>

#include "net/port/rtnl.h"

namespace netp::port {

namespace {

// In the task's namespace: the macvlan its socket is bound to, and our veth end's peer.
constexpr const char* kFarName = "task";
constexpr const char* kPeerName = "peer";
// Room for a burst of PDUs to many ports (a flood to every port of a chassis) without the
// task's sends blocking.
constexpr int kSendBuffer = 4 << 20;
// How long the namespace's process may take over each step before it is killed.
constexpr int kStepTimeoutMs = 2000;

// What the namespace's process reports: the step it reached, and the errno it failed with.
enum class Step : int32_t { Namespaces, FarEnd, Socket, Bind, Done };
struct Report {
    Step step;
    int32_t error;
};

// What each step makes, by Step.
constexpr const char* kStepText[] = {"a user and network namespace of its own",
                                     "its ends of the link, up", "its packet socket",
                                     "its packet socket bound to the link", "done"};

const char* stepText(Step s) {
    const auto i = static_cast<size_t>(s);
    return i < std::size(kStepText) ? kStepText[i] : "an unknown step";
}

// Fills in the RTM_NEWLINK message n of kSetUp, which set an end of the link up: IPv6
// addresses off first (the link is to say nothing of its own), then up.
constexpr int kSetUp = 2;
void fillSetUp(nlmsghdr* nlh, int n, uint32_t ifindex) {
    auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
    ifi->ifi_family = AF_UNSPEC;
    ifi->ifi_index = static_cast<int>(ifindex);
    if (n == 0) {
        nlattr* spec = mnl_attr_nest_start(nlh, IFLA_AF_SPEC);
        nlattr* inet6 = mnl_attr_nest_start(nlh, AF_INET6);
        mnl_attr_put_u8(nlh, IFLA_INET6_ADDR_GEN_MODE, IN6_ADDR_GEN_MODE_NONE);
        mnl_attr_nest_end(nlh, inet6);
        mnl_attr_nest_end(nlh, spec);
    } else {
        ifi->ifi_flags = IFF_UP;
        ifi->ifi_change = IFF_UP;
    }
}

// --- In the namespace's process: system calls only (the daemon may have other threads). ---

void report(int sp, Step step, int error, int fd = -1) {
    Report r{step, error};
    iovec iov{&r, sizeof r};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    (void)::sendmsg(sp, &m, MSG_NOSIGNAL);
}

[[noreturn]] void fail(int sp, Step step) {
    report(sp, step, errno != 0 ? errno : EIO);
    ::_exit(1);
}

// One request and its acknowledgement: libmnl's socket buffer size at most.
constexpr size_t kNetlinkBytes = 8192;

// Sets an end of the link up through rtnetlink in its namespace; false with errno set.
bool setUpHere(uint32_t ifindex) {
    const Fd nl(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!nl.valid())
        return false;
    for (int n = 0; n < kSetUp; ++n) {
        alignas(nlmsghdr) uint8_t buf[kNetlinkBytes] = {};
        nlmsghdr* nlh = mnl_nlmsg_put_header(buf);
        nlh->nlmsg_type = RTM_NEWLINK;
        nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
        fillSetUp(nlh, n, ifindex);
        nlh->nlmsg_seq = static_cast<uint32_t>(n + 1);
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (::sendto(nl.get(), nlh, nlh->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                     sizeof kernel) < 0)
            return false;
        alignas(nlmsghdr) uint8_t reply[kNetlinkBytes];
        const ssize_t got = ::recv(nl.get(), reply, sizeof reply, 0);
        if (got < static_cast<ssize_t>(NLMSG_HDRLEN + sizeof(nlmsgerr)))
            return false;
        const auto* r = reinterpret_cast<const nlmsghdr*>(reply);
        if (r->nlmsg_type != NLMSG_ERROR)
            return false;
        const auto* e = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(r));
        if (e->error != 0) {
            errno = -e->error;
            return false;
        }
    }
    return true;
}

[[noreturn]] void namespaceMain(int sp) {
    errno = 0;
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        fail(sp, Step::Namespaces);
    const int s = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (s < 0)
        fail(sp, Step::Socket);
    report(sp, Step::Namespaces, 0);
    // The parent makes the link's ends here, then says go (a probe closes its end instead).
    char go = 0;
    if (::read(sp, &go, 1) != 1)
        ::_exit(1);
    // Both up: the macvlan has a carrier only while ours has, and ours only while both veth
    // ends are up. The socket is bound to the last, the macvlan.
    uint32_t far = 0;
    for (const char* end : {kPeerName, kFarName}) {
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, end, IFNAMSIZ - 1);
        if (::ioctl(s, SIOCGIFINDEX, &ifr) != 0)
            fail(sp, Step::FarEnd);
        far = static_cast<uint32_t>(ifr.ifr_ifindex);
        if (!setUpHere(far))
            fail(sp, Step::FarEnd);
    }
    // Bound to the device and to 802.3's dummy protocol. What the task sends goes as that, so
    // the kernel parses none of its headers: an IP header whose lengths run into the trailer
    // would leave a transport offset that l2pt_task_tx may not cut the trailer below. Nothing
    // comes in by the macvlan (our end's ingress program takes every frame): nothing queues to
    // read.
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_ifindex = static_cast<int>(far);
    at.sll_protocol = htons(ETH_P_802_3);
    if (::bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
        fail(sp, Step::Bind);
    report(sp, Step::Done, 0, s);
    ::_exit(0);
}

// --- In the daemon. ---

// The namespace's process, killed if it is still there and reaped when this goes.
struct NamespaceProcess {
    explicit NamespaceProcess(pid_t p) : pid(p) {}
    NamespaceProcess(const NamespaceProcess&) = delete;
    NamespaceProcess& operator=(const NamespaceProcess&) = delete;
    pid_t pid;
    ~NamespaceProcess() {
        int st = 0;
        if (::waitpid(pid, &st, WNOHANG) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &st, 0);
        }
    }
};

// The next report, with the descriptor it brings; false when none came in time.
bool awaitReport(int sp, Report& r, Fd* fd) {
    pollfd p{sp, POLLIN, 0};
    if (::poll(&p, 1, kStepTimeoutMs) != 1)
        return false;
    iovec iov{&r, sizeof r};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(int))] = {};
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(sp, &m, MSG_CMSG_CLOEXEC);
    Fd passed;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
            c->cmsg_len == CMSG_LEN(sizeof(int))) {
            int got = -1;
            std::memcpy(&got, CMSG_DATA(c), sizeof got);
            passed.reset(got);
        }
    }
    if (n != static_cast<ssize_t>(sizeof r))
        return false;
    if (fd != nullptr)
        *fd = std::move(passed);
    return true;
}

OpStatus stepFailed(const Report& r) {
    return failed(r.error, std::string("the task link: ") + stepText(r.step));
}

OpStatus deleteLink(RtnlSocket& nl, uint32_t ifindex, const std::string& name) {
    RtnlRequest req;
    nlmsghdr* nlh = req.header(RTM_DELLINK, 0);
    auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
    ifi->ifi_family = AF_UNSPEC;
    ifi->ifi_index = static_cast<int>(ifindex);
    if (ifindex == 0)
        mnl_attr_put_strz(nlh, IFLA_IFNAME, name.c_str());
    return nl.request(nlh, "the task link: deleting " + name);
}

// An interface's part of RTM_NEWLINK: its header, name and MTU, and the namespace it is made
// in when farNamespace is not 0 (ours otherwise).
void putLink(nlmsghdr* nlh, const char* name, pid_t farNamespace) {
    auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
    ifi->ifi_family = AF_UNSPEC;
    mnl_attr_put_strz(nlh, IFLA_IFNAME, name);
    mnl_attr_put_u32(nlh, IFLA_MTU, TaskLink::kMtu);
    if (farNamespace != 0)
        mnl_attr_put_u32(nlh, IFLA_NET_NS_PID, static_cast<uint32_t>(farNamespace));
}

OpStatus createPair(RtnlSocket& nl, const std::string& name, pid_t farNamespace) {
    RtnlRequest req;
    nlmsghdr* nlh = req.header(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
    putLink(nlh, name.c_str(), 0);
    nlattr* info = mnl_attr_nest_start(nlh, IFLA_LINKINFO);
    mnl_attr_put_strz(nlh, IFLA_INFO_KIND, "veth");
    nlattr* data = mnl_attr_nest_start(nlh, IFLA_INFO_DATA);
    nlattr* peer = mnl_attr_nest_start(nlh, VETH_INFO_PEER);
    putLink(nlh, kPeerName, farNamespace);
    mnl_attr_nest_end(nlh, peer);
    mnl_attr_nest_end(nlh, data);
    mnl_attr_nest_end(nlh, info);
    return nl.request(nlh, "the task link: creating " + name);
}

// The task's end: a macvlan on ours (lower), made in the far namespace. In its default mode
// (VEPA) it sends everything to ours, whatever the destination.
OpStatus createTaskEnd(RtnlSocket& nl, const std::string& name, uint32_t lower,
                       pid_t farNamespace) {
    RtnlRequest req;
    nlmsghdr* nlh = req.header(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
    putLink(nlh, kFarName, farNamespace);
    mnl_attr_put_u32(nlh, IFLA_LINK, lower);
    nlattr* info = mnl_attr_nest_start(nlh, IFLA_LINKINFO);
    mnl_attr_put_strz(nlh, IFLA_INFO_KIND, "macvlan");
    mnl_attr_nest_end(nlh, info);
    return nl.request(nlh, "the task link: creating the task's end on " + name);
}

}  // namespace

namespace {

// The namespace's process, started: ours is our end of the channel to it. Fails when it could
// not make its namespaces and its socket there.
std::unique_ptr<NamespaceProcess> startNamespace(Fd& ours, OpStatus& status) {
    int sp[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sp) != 0) {
        status = failed(errno, "the task link: socketpair");
        return nullptr;
    }
    ours.reset(sp[0]);
    Fd theirs(sp[1]);
    const pid_t pid = ::fork();
    if (pid < 0) {
        status = failed(errno, "the task link: fork");
        return nullptr;
    }
    if (pid == 0) {
        ::close(sp[0]);  // so that the daemon's end closing is the end of the channel
        namespaceMain(sp[1]);
    }
    auto child = std::make_unique<NamespaceProcess>(pid);
    theirs.reset();
    Report r{};
    if (!awaitReport(ours.get(), r, nullptr)) {
        status = failed(ETIMEDOUT, "the task link: no word from its namespace's process");
        return nullptr;
    }
    if (r.error != 0) {
        status = stepFailed(r);
        return nullptr;
    }
    status = {};
    return child;
}

}  // namespace

OpStatus TaskLink::probe() {
    Fd ours;
    OpStatus status;
    (void)startNamespace(ours, status);
    return status;
}

std::unique_ptr<TaskLink> TaskLink::open(const std::string& name, OpStatus& status) {
    std::unique_ptr<RtnlSocket> nl;
    try {
        nl = std::make_unique<RtnlSocket>();
    } catch (const std::system_error& e) {
        status = failed(e.code().value(), "the task link: rtnetlink");
        return {};
    }
    Fd ours;
    const std::unique_ptr<NamespaceProcess> child = startNamespace(ours, status);
    if (!child)
        return {};
    const pid_t pid = child->pid;
    Report r{};
    // A link of that name is one a daemon of this pid left: ours to replace.
    (void)deleteLink(*nl, 0, name);
    if (status = createPair(*nl, name, pid); !status.ok())
        return {};
    const uint32_t ifindex = ::if_nametoindex(name.c_str());
    if (ifindex == 0) {
        status = failed(errno, "the task link: " + name + " is gone");
        return {};
    }
    auto link = std::make_unique<TaskLink>(Made{}, name, ifindex);  // deletes it on failure
    if (status = createTaskEnd(*nl, name, ifindex, pid); !status.ok())
        return {};
    const char go = 1;
    Fd socket;
    if (::write(ours.get(), &go, 1) != 1 || !awaitReport(ours.get(), r, &socket)) {
        status = failed(ETIMEDOUT, "the task link: no socket from its namespace's process");
        return {};
    }
    if (r.error != 0 || r.step != Step::Done || !socket.valid()) {
        status = r.error != 0 ? stepFailed(r) : failed(EPROTO, "the task link: no socket came");
        return {};
    }
    // Past the system's ceiling when privileged, else up to it.
    if (::setsockopt(socket.get(), SOL_SOCKET, SO_SNDBUFFORCE, &kSendBuffer, sizeof kSendBuffer) !=
            0 &&
        ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer) != 0) {
        status = failed(errno, "the task link: its socket's send buffer");
        return {};
    }
    // Straight to the macvlan's driver: no qdisc hangs on it, and the frames skip the lookup.
    constexpr int kOn = 1;
    if (::setsockopt(socket.get(), SOL_PACKET, PACKET_QDISC_BYPASS, &kOn, sizeof kOn) != 0) {
        status = failed(errno, "the task link: its socket's qdisc bypass");
        return {};
    }
    for (int n = 0; n < kSetUp; ++n) {
        RtnlRequest req;
        nlmsghdr* nlh = req.header(RTM_NEWLINK, 0);
        fillSetUp(nlh, n, ifindex);
        if (status = nl->request(nlh, "the task link: setting " + name + " up"); !status.ok())
            return {};
    }
    link->socket_ = std::move(socket);
    status = {};
    return link;
}

namespace {

// The name of the task link with that ifindex; none when there is no such interface, or it is
// no task link.
std::optional<std::string> taskLinkName(uint32_t ifindex) {
    char name[IF_NAMESIZE] = {};
    if (ifindex == 0 || ::if_indextoname(ifindex, name) == nullptr)
        return std::nullopt;
    unsigned pid = 0;
    unsigned generation = 0;
    char end = 0;
    if (std::sscanf(name, "l2pt%xt%x%c", &pid, &generation, &end) != 2)
        return std::nullopt;
    return name;
}

}  // namespace

std::unique_ptr<TaskLink> TaskLink::leftover(uint32_t ifindex) {
    std::optional<std::string> name = taskLinkName(ifindex);
    return name ? std::make_unique<TaskLink>(Made{}, std::move(*name), ifindex) : nullptr;
}

bool TaskLink::exists(uint32_t ifindex) {
    return taskLinkName(ifindex).has_value();
}

TaskLink::~TaskLink() {
    if (kept_)
        return;
    try {
        RtnlSocket nl;
        (void)deleteLink(nl, ifindex_, name_);
    } catch (const std::system_error&) {
        // No rtnetlink: the pair goes when the task's socket closes and its namespace with it.
    }
}

}  // namespace netp::port
