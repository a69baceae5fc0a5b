#include "net/port/rtnl.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <system_error>

#include "net/port/netlink_walk.h"

namespace netp::port {

namespace {

// The kernel's own words in an extended acknowledgement (NETLINK_EXT_ACK), empty when none.
std::string extAckMessage(const nlmsghdr* nlh) {
    if ((nlh->nlmsg_flags & NLM_F_ACK_TLVS) == 0)
        return {};
    const size_t payload = mnl_nlmsg_get_payload_len(nlh);
    const auto* err = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(nlh));
    size_t off = sizeof(nlmsgerr);
    if ((nlh->nlmsg_flags & NLM_F_CAPPED) == 0) {
        if (err->msg.nlmsg_len < sizeof(nlmsghdr))
            return {};
        off += err->msg.nlmsg_len - sizeof(nlmsghdr);
    }
    if (off > payload)
        return {};
    std::string said;
    forEachAttr(nlh, off, [&](const nlattr* a) {
        if (mnl_attr_get_type(a) == NLMSGERR_ATTR_MSG &&
            mnl_attr_validate(a, MNL_TYPE_NUL_STRING) == 0) {
            said = mnl_attr_get_str(a);
        }
    });
    return said;
}

// The errno of a kernel's negative error code; EPROTO for what is none.
int errnoOf(int kernelError) {
    constexpr int kMaxErrno = 4095;
    return kernelError < 0 && kernelError >= -kMaxErrno ? -kernelError : EPROTO;
}

// A message answering a request: its end (an acknowledgement, or a dump's end) as the
// request's outcome, or none for a reply, which goes to onReply.
std::optional<OpStatus> answerOf(const nlmsghdr* m, const std::string& what,
                                 const RtnlSocket::Reply& onReply) {
    if (m->nlmsg_type == NLMSG_DONE) {
        // A dump's end, with the dump's error when it failed.
        int error = 0;
        if (mnl_nlmsg_get_payload_len(m) >= sizeof error)
            std::memcpy(&error, mnl_nlmsg_get_payload(m), sizeof error);
        return error == 0 ? OpStatus{} : failed(errnoOf(error), what);
    }
    if (m->nlmsg_type != NLMSG_ERROR) {
        if (onReply)
            onReply(m);
        return std::nullopt;
    }
    if (mnl_nlmsg_get_payload_len(m) < sizeof(nlmsgerr))
        return failed(EPROTO, what + ": a short acknowledgement");
    nlmsgerr err;
    std::memcpy(&err, mnl_nlmsg_get_payload(m), sizeof err);
    if (err.error == 0)
        return OpStatus{};
    const std::string said = extAckMessage(m);
    return failed(errnoOf(err.error), said.empty() ? what : what + " (" + said + ")");
}

}  // namespace

nlmsghdr* RtnlRequest::header(uint16_t type, uint16_t flags) {
    nlmsghdr* nlh = mnl_nlmsg_put_header(bytes.data());
    nlh->nlmsg_type = type;
    nlh->nlmsg_flags = NLM_F_REQUEST | flags;
    return nlh;
}

RtnlSocket::RtnlSocket(unsigned groups)
    : nl_(mnl_socket_open2(NETLINK_ROUTE, SOCK_NONBLOCK | SOCK_CLOEXEC)), buf_(kDatagramBytes) {
    if (!nl_)
        throw std::system_error(errno, std::generic_category(), "rtnetlink socket");
    // Errors carry the kernel's explanation, without an echo of the request.
    int on = 1;
    mnl_socket_setsockopt(nl_.get(), NETLINK_EXT_ACK, &on, sizeof on);
    mnl_socket_setsockopt(nl_.get(), NETLINK_CAP_ACK, &on, sizeof on);
    if (mnl_socket_bind(nl_.get(), groups, MNL_SOCKET_AUTOPID) < 0)
        throw std::system_error(errno, std::generic_category(), "rtnetlink bind");
}

void RtnlSocket::setReceiveBuffer(int bytes) {
    if (::setsockopt(fd(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        ::setsockopt(fd(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

bool RtnlSocket::send(const nlmsghdr* nlh) {
    return mnl_socket_sendto(nl_.get(), nlh, nlh->nlmsg_len) >= 0;
}

RtnlSocket::Read RtnlSocket::receive(std::span<uint8_t> buf, size_t& len) {
    sockaddr_nl from{};
    iovec iov{buf.data(), buf.size()};
    msghdr m{};
    m.msg_name = &from;
    m.msg_namelen = sizeof from;
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    ssize_t n;
    do {
        n = ::recvmsg(fd(), &m, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return Read::Empty;
        return errno == ENOBUFS ? Read::Overrun : Read::Failed;
    }
    if ((m.msg_flags & MSG_TRUNC) != 0)
        return Read::Truncated;
    if (m.msg_namelen != sizeof from || from.nl_pid != 0)
        return Read::Foreign;
    len = static_cast<size_t>(n);
    return Read::Datagram;
}

OpStatus RtnlSocket::request(nlmsghdr* nlh, const std::string& what, const Reply& onReply) {
    nlh->nlmsg_flags |= NLM_F_ACK;
    nlh->nlmsg_seq = nextSeq();
    if (!send(nlh))
        return failed(errno, what);
    const auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
    for (;;) {
        size_t len = 0;
        const Read r = receive(buf_, len);
        if (r == Read::Empty) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return failed(ETIMEDOUT, what + ": no answer from the kernel");
            pollfd p{fd(), POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left.count()));
            continue;
        }
        if (r == Read::Failed)
            return failed(errno, what + ": reading the answer");
        if (r != Read::Datagram)
            continue;  // nothing of ours: this socket joins no group
        std::optional<OpStatus> answer;
        forEachMessage({buf_.data(), len}, [&](const nlmsghdr* m) {
            if (answer || m->nlmsg_seq != nlh->nlmsg_seq)
                return;  // past the answer, or the late one to an earlier request that timed out
            answer = answerOf(m, what, onReply);
        });
        if (answer)
            return *answer;
    }
}

}  // namespace netp::port
