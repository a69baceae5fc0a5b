#include "net/port/link_monitor.h"

#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <system_error>

namespace netp::port {

LinkMonitor::LinkMonitor(int receiveBuffer) : sock_(RTMGRP_LINK) {
    sock_.setReceiveBuffer(receiveBuffer);
    dumpWhenIdle();
    if (dumpWanted_)
        throw std::system_error(errno, std::generic_category(), "rtnetlink link dump");
}

void LinkMonitor::dumpWhenIdle() {
    if (!dumpWanted_ || table_.dumping())
        return;
    RtnlRequest req;
    nlmsghdr* nlh = req.header(RTM_GETLINK, NLM_F_DUMP);
    nlh->nlmsg_seq = sock_.nextSeq();
    auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
    ifi->ifi_family = AF_UNSPEC;
    // Left wanted when the request does not go: the next read tries again.
    if (!sock_.send(nlh))
        return;
    ++table_.stats().dumps;
    table_.dumpStarted();
    dumpWanted_ = false;
}

std::span<const LinkEvent> LinkMonitor::read() {
    events_.clear();
    LinkStats& stats = table_.stats();
    for (size_t i = 0; i < kReadBatch; ++i) {
        size_t len = 0;
        const auto r = sock_.receive(buf_, len);
        if (r == RtnlSocket::Read::Empty || r == RtnlSocket::Read::Failed)
            break;
        switch (r) {
            case RtnlSocket::Read::Overrun:
                ++stats.overruns;
                dumpWanted_ = true;
                break;
            case RtnlSocket::Read::Truncated:
                ++stats.truncated;
                dumpWanted_ = true;
                break;
            case RtnlSocket::Read::Foreign:
                ++stats.foreign;
                break;
            default:
                table_.consume({buf_.data(), len}, events_);
                if (table_.dumpInconsistent())
                    dumpWanted_ = true;
                break;
        }
        dumpWhenIdle();
    }
    return events_;
}

}  // namespace netp::port
