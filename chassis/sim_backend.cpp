#include "chassis/sim_backend.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "chassis/message.h"
#include "platform/wire/bytes.h"

namespace chassis {

namespace {

constexpr int kBadFd = 9;  // EBADF, what a failed select reports
constexpr uint8_t kSockAddrLen = 16;
constexpr size_t kSockAddrLenOff = 0;
constexpr size_t kSockAddrFamilyOff = 1;
constexpr uint64_t kUsPerTimevalSecond = 1'000'000;

// Roles of the PDU sockets by protocol.
std::optional<int> pduProtocolRole(int protocol) {
    if (protocol == OZML2STP || protocol == OZML2L2PT)
        return protocol;
    return std::nullopt;
}

}  // namespace

SimBackend::SimBackend(const ChassisConfig& cfg)
    : chassis_(std::make_unique<Chassis>(cfg, static_cast<TaskLink&>(*this))) {}

SimBackend::~SimBackend() {
    if (task_.state() == TaskState::Parked)
        task_.kill();
    chassis_->console().flush();
    for (auto& [role, ch] : channels_) {
        if (ch.taskFd >= 0)
            ::close(ch.taskFd);
        if (ch.chassisFd >= 0)
            ::close(ch.chassisFd);
    }
}

bool SimBackend::fault(std::string_view point) {
    return chassis_->faults().hit(point);
}

uint32_t SimBackend::poolCapacity(std::string_view pool) {
    const auto& pools = chassis_->config().pools;
    auto it = pools.find(pool);
    return it == pools.end() ? 0 : it->second;
}

int SimBackend::spawnTask(const char* name, OzmTaskEntry entry, int argc, char** argv) {
    if (task_.state() != TaskState::None) {
        chassis_->trace().add("task",
                              std::string("spawn ") + name + " refused (one task per chassis)");
        return -1;
    }
    chassis_->trace().add("task", std::string("spawn ") + name);
    task_.spawn(entry, argc, argv, &SimBackend::onTaskEnd, this);
    return static_cast<int>(kSimTaskId);
}

void SimBackend::parkMainThread() {
    // The thread ends on return and calls the platform no more.
    std::lock_guard lock(mainMutex_);
    mainDone_ = true;
    mainParked_.notify_all();
}

void SimBackend::waitMainThreadParked() {
    std::unique_lock lock(mainMutex_);
    mainParked_.wait(lock, [&] { return mainDone_; });
}

void SimBackend::onTaskEnd(void* self, TaskState state, int rc) {
    auto* b = static_cast<SimBackend*>(self);
    b->taskResult_ = rc;
    b->chassis_->console().flush();
    if (state == TaskState::Ended)
        b->chassis_->trace().add("task", "end rc=" + std::to_string(rc));
    if (state == TaskState::Killed)
        b->chassis_->trace().add("task", "killed");
}

std::optional<ozm::TaskIdentity> SimBackend::startTask() {
    chassis_->trace().add("task", "startup");
    return ozm::TaskIdentity{svc::kL2pt, 0};
}

void SimBackend::taskReady() {
    ready_ = true;
    chassis_->trace().add("task", "ready");
}

void SimBackend::exitProcess() {
    chassis_->trace().add("task", "process-exit");
    task_.exitProcess();
}

void SimBackend::parkUntil(uint64_t deadlineUs) {
    while (chassis_->clock().nowUs < deadlineUs)
        task_.park(deadlineUs);
}

void SimBackend::sleepTicks(uint64_t ticks) {
    parkUntil(chassis_->clock().nowUs + ticks * kUsPerTick);
}

int SimBackend::wait(int nfds, OzmFdSet* readSet, const OzmTimeval* timeout) {
    // A failing select fires once per arming: a loop that retries at once must not spin.
    for (auto [point, err] : {std::pair{"select", kBadFd}, std::pair{"select-eintr", OZM_EINTR}}) {
        if (chassis_->faults().hit(point)) {
            chassis_->faults().clear(point);
            waitErrno_ = err;
            return -1;
        }
    }
    std::optional<uint64_t> deadline;
    if (timeout) {
        const uint64_t us =
            static_cast<uint64_t>(std::max(0L, timeout->tv_sec)) * kUsPerTimevalSecond +
            static_cast<uint64_t>(std::max(0L, timeout->tv_usec));
        deadline = chassis_->clock().nowUs + us;
    }
    const int limit = readSet == nullptr ? 0 : std::clamp(nfds, 0, OZM_FD_SETSIZE);
    for (;;) {
        pump();
        std::vector<pollfd> fds;
        for (int fd = 0; fd < limit; ++fd) {
            if (OZM_FD_ISSET(fd, readSet))
                fds.push_back({fd, POLLIN, 0});
        }
        ::poll(fds.data(), fds.size(), 0);
        // A descriptor that is not open is never ready.
        auto isReady = [](const pollfd& p) {
            return (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && (p.revents & POLLNVAL) == 0;
        };
        const int ready = static_cast<int>(std::count_if(fds.begin(), fds.end(), isReady));
        if (ready > 0 || (deadline && chassis_->clock().nowUs >= *deadline)) {
            if (readSet == nullptr)
                return 0;
            OZM_FD_ZERO(readSet);
            for (const auto& p : fds) {
                if (isReady(p))
                    OZM_FD_SET(p.fd, readSet);
            }
            return ready;
        }
        task_.park(deadline);
    }
}

bool SimBackend::openChannel(Role role, int type) {
    int fds[2];
    if (::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds) != 0)
        return false;
    closeChannel(role);
    channels_[role] = Channel{fds[0], fds[1], {}};
    return true;
}

void SimBackend::closeChannel(Role role) {
    auto it = channels_.find(role);
    if (it == channels_.end())
        return;
    ::close(it->second.taskFd);
    ::close(it->second.chassisFd);
    channels_.erase(it);
}

SimBackend::Channel* SimBackend::channelOfTaskFd(int fd, Role* role) {
    for (auto& [r, ch] : channels_) {
        if (ch.taskFd == fd && fd >= 0) {
            if (role)
                *role = r;
            return &ch;
        }
    }
    return nullptr;
}

std::optional<ozm::IpcEndpoint> SimBackend::openIpc(uint32_t service, uint32_t instance) {
    if (channels_.count(Role::Request)) {
        chassis_->trace().add("task", "ipc-open refused (already open)");
        return std::nullopt;
    }
    if (!openChannel(Role::Request, SOCK_SEQPACKET) || !openChannel(Role::Timer, SOCK_SEQPACKET)) {
        closeChannel(Role::Request);
        return std::nullopt;
    }
    chassis_->trace().add("task", "ipc-open service=" + std::to_string(service) +
                                      " instance=" + std::to_string(instance));
    return ozm::IpcEndpoint{channels_[Role::Request].taskFd, channels_[Role::Timer].taskFd};
}

void SimBackend::closeIpc(const ozm::IpcEndpoint& endpoint) {
    Role role;
    if (channelOfTaskFd(endpoint.reqFd, &role) && role == Role::Request)
        closeChannel(Role::Request);
    if (channelOfTaskFd(endpoint.tmrFd, &role) && role == Role::Timer)
        closeChannel(Role::Timer);
    timers_.clear();
    chassis_->trace().add("task", "ipc-close");
}

int SimBackend::sendWait(std::span<uint8_t> msg, int timeoutSeconds) {
    bool delivered = false;
    if (auto reply = chassis_->request(msg, &delivered)) {
        const size_t n = std::min(reply->size(), msg.size());
        std::copy_n(reply->begin(), n, msg.begin());
        return 0;
    }
    if (!delivered)
        return -1;  // nobody to wait for
    if (timeoutSeconds > 0) {
        parkUntil(chassis_->clock().nowUs + static_cast<uint64_t>(timeoutSeconds) * kUsPerSecond);
    }
    chassis_->trace().add(
        "task",
        "request type=" +
            std::to_string(msg.size() >= hdr::kPlainHeaderLen ? hdr::msgType(msg.data()) : 0) +
            " timed out after " + std::to_string(timeoutSeconds) + "s");
    return -1;
}

void SimBackend::startTimer(uint64_t delayTicks, std::span<const uint8_t> msg) {
    timers_.emplace(std::pair{chassis_->clock().nowUs + delayTicks * kUsPerTick, timerOrder_++},
                    std::vector<uint8_t>(msg.begin(), msg.end()));
}

int SimBackend::openSocket(int family, int type, int protocol) {
    auto& trace = chassis_->trace();
    if (family == AF_OZML2 && type == OZM_SOCK_RAW && pduProtocolRole(protocol)) {
        if (fault("socket:" + std::to_string(protocol)))
            return -1;
        const Role role = protocol == OZML2STP ? Role::AccessPdu : Role::TunnelPdu;
        if (!openChannel(role, SOCK_SEQPACKET))
            return -1;
        trace.add("kernel", "socket family=34 protocol=" + std::to_string(protocol));
        return channels_[role].taskFd;
    }
    if (family == OZM_AF_INET && type == OZM_SOCK_DGRAM && protocol == 0) {
        if (fault("socket:inet"))
            return -1;
        if (!openChannel(Role::Inet, SOCK_DGRAM))
            return -1;
        return channels_[Role::Inet].taskFd;
    }
    trace.add("kernel", "socket family=" + std::to_string(family) +
                            " type=" + std::to_string(type) +
                            " protocol=" + std::to_string(protocol) + " refused");
    return -1;
}

int SimBackend::bindSocket(int fd, std::span<const uint8_t> addr) {
    Role role;
    if (!channelOfTaskFd(fd, &role) || (role != Role::AccessPdu && role != Role::TunnelPdu)) {
        chassis_->trace().add("kernel", "bind refused (not a PDU socket)");
        return -1;
    }
    const int protocol = role == Role::AccessPdu ? OZML2STP : OZML2L2PT;
    if (fault("bind:" + std::to_string(protocol)))
        return -1;
    if (addr.size() != kSockAddrLen || addr[kSockAddrLenOff] != kSockAddrLen ||
        addr[kSockAddrFamilyOff] != AF_OZML2) {
        chassis_->trace().add("kernel", "bind protocol=" + std::to_string(protocol) +
                                            " refused (address " + hexText(addr) + ")");
        return -1;
    }
    return 0;
}

int SimBackend::closeFd(int fd) {
    Role role;
    if (channelOfTaskFd(fd, &role) && role != Role::Request && role != Role::Timer) {
        if (role != Role::Inet) {
            chassis_->trace().add(
                "kernel", std::string("close protocol=") + (role == Role::AccessPdu ? "1" : "9"));
        }
        closeChannel(role);
        return 0;
    }
    return ::close(fd);
}

int SimBackend::setTunnelMac(int fd, const ozm::MacAddress& mac) {
    Role role;
    if (!channelOfTaskFd(fd, &role) || role != Role::Inet) {
        chassis_->trace().add("kernel", "ioctl refused (not the interface-request socket)");
        return -1;
    }
    kernelMac_ = mac;
    chassis_->trace().add("kernel", "tunnel-mac " + macText(mac));
    return 0;
}

int SimBackend::pduSend(int sock, uint32_t egressIfIndex, std::span<const uint8_t> frame) {
    if (fault("sendto"))
        return -1;
    Role role;
    if (!channelOfTaskFd(sock, &role) || (role != Role::AccessPdu && role != Role::TunnelPdu)) {
        chassis_->trace().add("kernel", "sendto refused (not a PDU socket)");
        return -1;
    }
    if (!chassis_->cards().frameOut(egressIfIndex, frame))
        return -1;
    return static_cast<int>(frame.size());
}

void SimBackend::report(std::string_view text) {
    reports_.emplace_back(text);
    chassis_->trace().add("mem", std::string(text));
}

void SimBackend::toTask(std::vector<uint8_t> msg) {
    auto it = channels_.find(Role::Request);
    if (it == channels_.end()) {
        chassis_->trace().add(
            "task",
            "not listening: message type=" +
                std::to_string(msg.size() >= hdr::kPlainHeaderLen ? hdr::msgType(msg.data()) : 0) +
                " dropped");
        return;
    }
    it->second.pending.push_back(std::move(msg));
    pump();
}

bool SimBackend::toPduSocket(int protocol, uint32_t rxIfIndex, std::span<const uint8_t> frame) {
    auto it = channels_.find(protocol == OZML2STP ? Role::AccessPdu : Role::TunnelPdu);
    if (it == channels_.end())
        return false;
    std::vector<uint8_t> datagram(pdudgram::kFrame + frame.size());
    wire::putU32(datagram.data(), pdudgram::kIfIndex, rxIfIndex);
    std::copy(frame.begin(), frame.end(), datagram.begin() + pdudgram::kFrame);
    it->second.pending.push_back(std::move(datagram));
    pump();
    return true;
}

void SimBackend::pump() {
    for (auto& [role, ch] : channels_) {
        while (!ch.pending.empty()) {
            const auto& m = ch.pending.front();
            const ssize_t n = ::send(ch.chassisFd, m.data(), m.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
                chassis_->trace().add("task",
                                      "descriptor closed: " + std::to_string(ch.pending.size()) +
                                          " queued messages dropped");
                ch.pending.clear();
                break;
            }
            if (n < 0) {
                chassis_->trace().add("task", "message of " + std::to_string(m.size()) +
                                                  " bytes dropped (" + std::strerror(errno) + ")");
            }
            ch.pending.pop_front();
        }
    }
}

size_t SimBackend::queued() const {
    size_t n = 0;
    for (const auto& [role, ch] : channels_)
        n += ch.pending.size();
    return n;
}

void SimBackend::settle() {
    pump();
    task_.resume();
}

void SimBackend::advance(uint64_t durationUs) {
    Clock& clock = chassis_->clock();
    const uint64_t target = clock.nowUs + durationUs;
    for (;;) {
        std::optional<uint64_t> next;
        if (task_.state() == TaskState::Parked)
            next = task_.deadline();
        if (!timers_.empty())
            next = std::min(next.value_or(UINT64_MAX), timers_.begin()->first.first);
        if (!next || *next > target)
            break;
        clock.nowUs = std::max(clock.nowUs, *next);
        while (!timers_.empty() && timers_.begin()->first.first <= clock.nowUs) {
            auto it = timers_.begin();
            auto ch = channels_.find(Role::Timer);
            if (ch != channels_.end())
                ch->second.pending.push_back(std::move(it->second));
            timers_.erase(it);
        }
        settle();
    }
    clock.nowUs = target;
}

}  // namespace chassis
