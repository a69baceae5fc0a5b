#include "net/backend/net_backend.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/shell.h"
#include "platform/wire/bytes.h"
#include "platform/wire/header.h"

namespace netp {

namespace {

constexpr uint8_t kSockAddrLen = 16;
constexpr size_t kSockAddrLenOff = 0;
constexpr size_t kSockAddrFamilyOff = 1;
constexpr uint64_t kUsPerTick = 1'000'000 / OZM_TICKS_PER_SECOND;
constexpr uint64_t kUsPerSecond = 1'000'000;
constexpr uint64_t kUsPerMs = 1'000;
constexpr int kFdsPerWord = 32;  // descriptors per word of a task's descriptor set
constexpr uint32_t kNetTaskId = 0x1001;

std::vector<uint8_t> helloFor(Channel channel, uint32_t session, uint32_t arg) {
    std::vector<uint8_t> h(hello::kLen);
    wire::putU32(h.data(), hello::kMagic, kMagic);
    wire::putU16(h.data(), hello::kVersion, kVersion);
    wire::putU16(h.data(), hello::kChannel, static_cast<uint16_t>(channel));
    wire::putU32(h.data(), hello::kSession, session);
    wire::putU32(h.data(), hello::kArg, arg);
    return h;
}

std::vector<uint8_t> keyBody(std::span<const uint32_t> key) {
    Writer w;
    w.u32(static_cast<uint32_t>(key.size()));
    for (uint32_t k : key)
        w.u32(k);
    return std::move(w.data());
}

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

NetBackend::NetBackend(const std::string& runDir, std::shared_ptr<Logger> log, Restart restart)
    : log_(std::move(log)),
      restart_(std::move(restart)),
      relayWake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      goneWake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      runDir_(runDir),
      taskPath_(runDir + "/" + kTaskSocket),
      control_(connectChannel(Channel::Control, 0)),
      cfg_(chassis::loadChassisFile(runDir + "/" + kChassisFile)),
      ifdb_(cfg_) {
    if (!relayWake_.valid() || !goneWake_.valid())
        throw std::runtime_error(std::string("no eventfd: ") + std::strerror(errno));
    shell_ = connectChannel(Channel::Shell, 0);
    dataPathChannel_ = connectChannel(Channel::DataPath, 0);
}

NetBackend::~NetBackend() {
    flushPdus();
}

void NetBackend::flushPdus() {
    if (!dataPath_)
        return;
    dataPath_->flush();
    if (const DataPath::Refused r = dataPath_->takeRefused(); r.count != 0)
        report(std::to_string(r.count) + " PDU(s) not sent: " + std::strerror(r.lastErrno));
}

void NetBackend::fenced(std::string_view why) {
    log_->error("ending: fenced by the chassis daemon (" + std::string(why) +
                "); the service manager starts l2ptd again as a secondary");
    std::_Exit(kExitFenced);
}

Fd NetBackend::connectChannel(Channel channel, uint32_t arg) {
    Fd fd = connectSeqpacket(taskPath_);
    if (!fd.valid()) {
        throw ConnectError("cannot connect to " + taskPath_ + ": " + std::strerror(errno));
    }
    std::vector<uint8_t> w;
    if (!sendDatagram(fd.get(), helloFor(channel, session_, arg)) ||
        recvDatagram(fd.get(), w, true) != Recv::Ok || w.size() < welcome::kLen ||
        wire::getU32(w.data(), welcome::kMagic) != kMagic) {
        throw ConnectError("the chassis daemon at " + taskPath_ + " did not answer");
    }
    if (wire::getI32(w.data(), welcome::kStatus) != 0) {
        const std::string why(w.begin() + welcome::kReason, w.end());
        throw ConnectError("the chassis daemon at " + taskPath_ +
                           " refused the connection: " + why);
    }
    if (channel == Channel::Control)
        session_ = wire::getU32(w.data(), welcome::kSession);
    return fd;
}

void NetBackend::daemonGone(const char* what) {
    if (granted_) {
        if (!relaying_.exchange(true)) {
            relayingSinceMs_ = steadyMs();
            log_->warning("the chassis daemon went away (" + std::string(what) +
                          "): relaying PDUs on the data path it granted until a daemon serves, "
                          "then starting over");
            (void)::eventfd_write(goneWake_.get(), 1);
        }
        return;
    }
    startOver("the chassis daemon went away (" + std::string(what) +
              "): starting over, as a new session once a daemon serves");
}

void NetBackend::startOver(const std::string& why) {
    // The first thread to get here starts over; the other waits for the exec that ends it.
    if (startingOver_.exchange(true)) {
        for (;;)
            ::pause();
    }
    restart_.startOver(*log_, why);
}

void NetBackend::relayUntilServed(int signals) {
    restart_.awaitDaemon(*log_, runDir_);
    servedAgain_ = true;
    (void)::eventfd_write(relayWake_.get(), 1);
    pollfd p{signals, POLLIN, 0};
    for (const auto until = std::chrono::steady_clock::now() + kHandOver;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        if (::poll(&p, 1, static_cast<int>(left.count())) > 0)
            serveSignal(signals, *log_);
    }
    startOverRelayed("the task's thread busy");
}

void NetBackend::startOverRelayed(const std::string& counted) {
    startOver("a chassis daemon serves again after " +
              std::to_string(steadyMs() - relayingSinceMs_) + " ms of relaying (" + counted +
              "): starting over, as a new session");
}

void NetBackend::logRelaying(std::string_view text) {
    const std::string line = "for the chassis daemon, while none serves: " + std::string(text);
    if (const auto l = relayLines_.take(line, std::chrono::steady_clock::now()))
        log_->info(*l);
}

void NetBackend::end(int status, const std::string& why) {
    flushPdus();
    log_->log(status == EXIT_SUCCESS ? Level::Info : Level::Error, "ending: " + why);
    std::fflush(stdout);
    std::exit(status);
}

std::vector<uint8_t> NetBackend::call(Op op, std::span<const uint8_t> body) {
    flushPdus();  // the task's PDUs leave before it waits on anything
    if (!relaying_) {
        Writer w;
        w.u32(static_cast<uint32_t>(op)).bytes(body);
        if (!sendDatagram(control_.get(), w.data())) {
            daemonGone("send");
        } else if (recvDatagram(control_.get(), answer_, true) != Recv::Ok ||
                   answer_.size() < answer::kBody) {
            daemonGone("receive");
        } else {
            if (wire::getI32(answer_.data(), answer::kStatus) == answer::kFenced)
                fenced("a control operation refused");
            return answer_;
        }
    }
    // Relaying: nobody to ask, and the task stays the primary it was until it starts over.
    answer_.assign(answer::kBody, 0);
    wire::putI32(answer_.data(), answer::kStatus, op == Op::IsPrimary ? 1 : answer::kNoParty);
    return answer_;
}

int32_t NetBackend::callStatus(Op op, std::span<const uint8_t> body) {
    return wire::getI32(call(op, body).data(), answer::kStatus);
}

uint64_t NetBackend::nowUs() const {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now() - start_)
                                     .count());
}

int NetBackend::spawnTask(const char* /*name*/, OzmTaskEntry entry, int argc, char** argv) {
    // The task's end is the process's end, with the task's failure as its status.
    std::thread([=, this] {
        const int rc = entry(argc, argv);
        end(rc == 0 ? EXIT_SUCCESS : EXIT_FAILURE, "the task returned " + std::to_string(rc));
    }).detach();
    return static_cast<int>(kNetTaskId);
}

void NetBackend::serveHeartbeat(int fd) {
    const Recv r = recvDatagram(fd, beat_, false);
    if (r == Recv::Closed)
        return daemonGone("heartbeat");
    if (r != Recv::Ok || beat_.size() < beat::kSeq)
        return;
    const auto kind = static_cast<beat::Kind>(wire::getU32(beat_.data(), beat::kKind));
    if (kind == beat::Kind::Fenced) {
        fenced(std::string_view(reinterpret_cast<const char*>(beat_.data()) + beat::kText,
                                beat_.size() - beat::kText));
    }
    if (kind != beat::Kind::Ping || beat_.size() != beat::kLen)
        return;
    // Answered for the task's thread, not for this one: only when it began a pass since the
    // last ping (its loop comes back to its wait within its time-out), or sleeps, or has not
    // yet begun its first pass (its start takes what it takes).
    const uint64_t progress = progress_.load();
    const bool moved = progress != std::exchange(progressAtPing_, progress);
    if (!moved && progress != 0 && !sleeping_.load()) {
        if (!std::exchange(stuckLogged_, true))
            log_->warning(
                "the task's thread has not come back to its wait since the last "
                "heartbeat: not answered, so that the chassis daemon may fence it");
        return;
    }
    if (std::exchange(stuckLogged_, false))
        log_->info("the task's thread is back: the heartbeat is answered again");
    std::array<uint8_t, beat::kLen> pong{};
    wire::putU32(pong.data(), beat::kKind, static_cast<uint32_t>(beat::Kind::Pong));
    wire::putU32(pong.data(), beat::kSeq, wire::getU32(beat_.data(), beat::kSeq));
    if (!sendDatagram(fd, pong))
        daemonGone("heartbeat answer");
}

void NetBackend::parkMainThread() {
    // The task's thread runs meanwhile: a failure here ends the process without touching the
    // task's state.
    const Fd signals = servedSignalFd();
    if (!signals.valid()) {
        log_->error(std::string("ending: no signalfd: ") + std::strerror(errno));
        std::_Exit(EXIT_FAILURE);
    }
    // Connected here, where it is served: the daemon expects answers from its hello on.
    Fd heartbeat;
    try {
        heartbeat = connectChannel(Channel::Heartbeat, 0);
    } catch (const ConnectError& e) {
        log_->error(e.what());
        daemonGone("heartbeat");
    }
    std::array<pollfd, 3> fds = {pollfd{signals.get(), POLLIN, 0},
                                 pollfd{heartbeat.get(), POLLIN, 0},
                                 pollfd{goneWake_.get(), POLLIN, 0}};
    while (!relaying_) {
        if (::poll(fds.data(), fds.size(), -1) < 0)
            continue;
        if (fds[1].revents != 0)
            serveHeartbeat(heartbeat.get());
        if (fds[0].revents != 0)
            serveSignal(signals.get(), *log_);
    }
    heartbeat.reset();  // a daemon still there hears that this session ends
    relayUntilServed(signals.get());
}

uint32_t NetBackend::currentTaskId() {
    return kNetTaskId;
}

std::optional<ozm::TaskIdentity> NetBackend::startTask() {
    const auto a = call(Op::StartTask, {});
    Reader r(std::span<const uint8_t>(a).subspan(answer::kBody));
    ozm::TaskIdentity id{};
    if (wire::getI32(a.data(), answer::kStatus) != 0 || !r.u32(id.service) || !r.u32(id.instance))
        return std::nullopt;
    return id;
}

void NetBackend::taskReady() {
    call(Op::TaskReady, {});
}

uint64_t NetBackend::ticks() {
    return nowUs() / kUsPerTick;
}

void NetBackend::sleepTicks(uint64_t ticks) {
    flushPdus();
    sleeping_ = true;
    std::this_thread::sleep_for(std::chrono::microseconds(ticks * kUsPerTick));
    sleeping_ = false;
}

void NetBackend::exitProcess() {
    end(EXIT_SUCCESS, "the task exited");
}

bool NetBackend::fireTimers() {
    const uint64_t now = nowUs();
    bool fired = false;
    for (; !timers_.empty() && timers_.begin()->first <= now; fired = true) {
        if (timerFeed_.valid())
            sendDatagram(timerFeed_.get(), timers_.begin()->second);
        timers_.erase(timers_.begin());
    }
    return fired;
}

namespace {

// A task descriptor that poll found readable (or hung up) and that is open.
bool readable(const pollfd& p) {
    return (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && (p.revents & POLLNVAL) == 0;
}

}  // namespace

void NetBackend::gatherWaited(int nfds, const OzmFdSet* readSet) {
    const int limit = readSet == nullptr ? 0 : std::clamp(nfds, 0, OZM_FD_SETSIZE);
    pollFds_.clear();
    pduWaited_.clear();
    // Word by word: the task asks about the whole set's range on every pass. A PDU socket is
    // ready while its queue holds PDUs: it is not polled itself.
    for (int word = 0; word * kFdsPerWord < limit; ++word) {
        for (uint32_t bits = readSet->bits[word]; bits != 0; bits &= bits - 1) {
            const int fd = word * kFdsPerWord + std::countr_zero(bits);
            if (fd >= limit)
                continue;
            if (pduSockets_.contains(fd))
                pduWaited_.push_back(fd);
            else if (!relaying_ || fd != ipc_.get())  // no queue while relaying
                pollFds_.push_back({fd, POLLIN, 0});
        }
    }
}

int NetBackend::pduReady() {
    // Once a daemon serves again, what is left in the ring is the next grant's.
    if (dataPath_ && !servedAgain_)
        dataPath_->drain();
    return static_cast<int>(std::ranges::count_if(pduWaited_, [this](int fd) {
        const PduQueue* q = pduQueue(fd);
        return q != nullptr && !q->empty();
    }));
}

void NetBackend::reportPdus(OzmFdSet* readSet) {
    for (int fd : pduWaited_) {
        const PduQueue* q = pduQueue(fd);
        if (q != nullptr && !q->empty())
            OZM_FD_SET(fd, readSet);
    }
}

int NetBackend::wait(int nfds, OzmFdSet* readSet, const OzmTimeval* timeout) {
    progress_.fetch_add(1);
    gatherWaited(nfds, readSet);
    // PDUs already queued go to the task without a system call. Every kPassesPerPoll-th pass,
    // and whenever a timer falls due, takes the way below instead: the other descriptors are
    // polled (without waiting while PDUs are queued) and the PDUs the task sent meanwhile
    // leave, so control traffic is never starved and no send waits long for its batch.
    if (!fireTimers() && ++fastPasses_ < kPassesPerPoll) {
        if (const int ready = pduReady(); ready > 0) {
            OZM_FD_ZERO(readSet);
            reportPdus(readSet);
            return ready;
        }
    }
    fastPasses_ = 0;
    return pollWaited(readSet, timeout);
}

int NetBackend::pollWaited(OzmFdSet* readSet, const OzmTimeval* timeout) {
    // Waited on too, never reported to the task: the shell and the data-path channel (not
    // while relaying: the daemon is gone), the trap ring (polled while both PDU queues have
    // room: a full one waits for the task) and the main thread's word that a daemon serves.
    const size_t taskFds = pollFds_.size();
    pollFds_.push_back({relaying_ ? -1 : shell_.get(), POLLIN, 0});
    pollFds_.push_back({relaying_ ? -1 : dataPathChannel_.get(), POLLIN, 0});
    pollFds_.push_back({-1, POLLIN, 0});
    pollFds_.push_back({relayWake_.get(), POLLIN, 0});
    std::optional<uint64_t> deadline;
    if (timeout != nullptr) {
        deadline = nowUs() + static_cast<uint64_t>(std::max(0L, timeout->tv_sec)) * kUsPerSecond +
                   static_cast<uint64_t>(std::max(0L, timeout->tv_usec));
    }
    for (;;) {
        fireTimers();
        const int ready = pollPass(taskFds, pollTimeoutMs(pduReady(), deadline));
        if (ready < 0)
            return -1;
        if (ready > 0 || (deadline && nowUs() >= *deadline)) {
            reportReady(readSet, taskFds);
            return ready;
        }
    }
}

int NetBackend::pollTimeoutMs(int pdusReady, std::optional<uint64_t> deadline) const {
    if (pdusReady > 0)
        return 0;
    const uint64_t now = nowUs();
    std::optional<uint64_t> until = deadline;
    if (!timers_.empty())
        until = std::min(until.value_or(UINT64_MAX), timers_.begin()->first);
    if (!until)
        return -1;
    return static_cast<int>((*until > now ? *until - now + kUsPerMs - 1 : 0) / kUsPerMs);
}

int NetBackend::pollPass(size_t taskFds, int waitMs) {
    const size_t shellAt = taskFds;
    const size_t dataPathAt = taskFds + 1;
    const size_t ringAt = taskFds + 2;
    const size_t wakeAt = taskFds + 3;
    if (relaying_ && !relayBase_)
        relayBase_ = dataPath_ ? dataPath_->taken() : 0;
    const bool ringRoom = dataPath_ && !servedAgain_ && !dataPath_->queue(OZML2STP)->full() &&
                          !dataPath_->queue(OZML2L2PT)->full();
    pollFds_[ringAt].fd = ringRoom ? dataPath_->ringFd() : -1;
    flushPdus();  // the task's PDUs leave before it waits on anything
    if (ringRoom) {
        if (waitMs != 0 && dataPath_->awaitBriefly())
            return pduReady();  // the next PDU came while the task was awake: no wake-up
        dataPath_->beforeWait();
    }
    // Waiting with nothing due is sleeping, as a delay is; any other wait ends in time.
    sleeping_ = waitMs < 0;
    const int polled = ::poll(pollFds_.data(), pollFds_.size(), waitMs);
    sleeping_ = false;
    if (polled < 0) {
        waitErrno_ = errno;
        return -1;
    }
    if (pollFds_[shellAt].revents != 0)
        serveShell();
    if (pollFds_[dataPathAt].revents != 0)
        serveDataPath();
    // A daemon serves again: what the ring holds goes to the task once more, as much as the
    // sockets' queues take (the rest is the next grant's); once the task has it all, its PDUs
    // leave and the process starts over.
    if (pollFds_[wakeAt].revents != 0 && servedAgain_) {
        if (dataPath_ && !std::exchange(lastTaken_, true))
            dataPath_->drain();
        if (!(dataPath_ && dataPath_->holdsPdus())) {
            flushPdus();
            if (dataPath_)
                dataPath_->beforeWait();  // the ring read up to here: the next task goes on
            const uint64_t taken = dataPath_ ? dataPath_->taken() : 0;
            startOverRelayed(std::to_string(taken - relayBase_.value_or(taken)) + " PDUs taken");
        }
    }
    return pduReady() +
           static_cast<int>(std::ranges::count_if(std::span(pollFds_).first(taskFds), readable));
}

void NetBackend::reportReady(OzmFdSet* readSet, size_t taskFds) {
    if (readSet == nullptr)
        return;
    OZM_FD_ZERO(readSet);
    for (const pollfd& p : std::span(pollFds_).first(taskFds)) {
        if (readable(p))
            OZM_FD_SET(p.fd, readSet);
    }
    reportPdus(readSet);
}

void NetBackend::serveDataPath() {
    for (const RecvBatch::Datagram& d : dataPathRx_.receive(dataPathChannel_.get())) {
        if (d.bytes.empty())
            daemonGone("data path");
        const std::span<const uint8_t> m = d.bytes;
        if (m.size() < datapath::kRevokeLen)
            continue;
        const auto kind = static_cast<datapath::Kind>(wire::getU32(m.data(), datapath::kKind));
        const uint32_t generation = wire::getU32(m.data(), datapath::kGeneration);
        if (kind == datapath::Kind::Revoke) {
            if (dataPath_)
                log_->info("data path revoked (generation " + std::to_string(generation) + ")");
            dataPath_.reset();
            granted_ = false;
            continue;
        }
        if (kind == datapath::Kind::Deferred) {
            log_->info("data path deferred " +
                       std::to_string(wire::getU32(m.data(), datapath::kWaitMs)) +
                       " ms: its link was rebuilt too often");
            continue;
        }
        if (kind != datapath::Kind::Grant || m.size() != datapath::kGrantLen ||
            d.fds.size() != datapath::kGrantFds) {
            log_->error("a malformed data-path grant (" + std::to_string(m.size()) + " bytes, " +
                        std::to_string(d.fds.size()) + " descriptors): ignored");
            continue;
        }
        DataPath::Fds fds;
        std::ranges::move(d.fds, fds.begin());
        dataPath_.reset();  // the old ring and socket go before the new ones are mapped
        granted_ = false;
        auto opened =
            DataPath::open(static_cast<uint16_t>(generation),
                           wire::getU32(m.data(), datapath::kRingBytes), std::move(fds), ifdb_);
        if (!opened) {
            log_->error("the data path granted cannot be used: " + opened.status().what());
            continue;
        }
        dataPath_ = std::move(*opened);
        granted_ = true;
        log_->info("data path granted (generation " + std::to_string(generation) + ")");
    }
}

PduQueue* NetBackend::pduQueue(int fd) {
    const auto it = pduSockets_.find(fd);
    return it == pduSockets_.end() || !dataPath_ ? nullptr : dataPath_->queue(it->second.second);
}

long NetBackend::receive(int fd, std::span<const std::span<uint8_t>> parts, bool* truncated) {
    if (!pduSockets_.contains(fd)) {
        const long n = Backend::receive(fd, parts, truncated);
        if (n != 0 || fd != ipc_.get())
            return n;
        daemonGone("IPC");  // the daemon sends no empty message: the queue's end
        return -1;
    }
    PduQueue* q = pduQueue(fd);
    if (q == nullptr || q->empty())
        return -1;
    return static_cast<long>(q->pop(parts, truncated));
}

std::optional<ozm::IpcEndpoint> NetBackend::openIpc(uint32_t /*service*/, uint32_t /*instance*/) {
    if (ipc_.valid())
        return std::nullopt;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return std::nullopt;
    timerTask_.reset(pair[0]);
    timerFeed_.reset(pair[1]);
    try {
        ipc_ = connectChannel(Channel::Ipc, 0);
    } catch (const ConnectError& e) {
        log_->error(e.what());
        timerTask_.reset();
        timerFeed_.reset();
        return std::nullopt;
    }
    return ozm::IpcEndpoint{ipc_.get(), timerTask_.get()};
}

void NetBackend::closeIpc(const ozm::IpcEndpoint& /*endpoint*/) {
    ipc_.reset();
    timerTask_.reset();
    timerFeed_.reset();
    timers_.clear();
}

int NetBackend::send(std::span<const uint8_t> msg) {
    return ipc_.valid() && sendDatagram(ipc_.get(), msg) ? 0 : -1;
}

int NetBackend::sendWait(std::span<uint8_t> msg, int timeoutSeconds) {
    const auto a = call(Op::Request, msg);
    const int32_t status = wire::getI32(a.data(), answer::kStatus);
    if (status == answer::kReplied) {
        const auto reply = std::span<const uint8_t>(a).subspan(answer::kBody);
        std::copy_n(reply.begin(), std::min(reply.size(), msg.size()), msg.begin());
        return 0;
    }
    if (status == answer::kSilent && timeoutSeconds > 0)
        std::this_thread::sleep_for(std::chrono::seconds(timeoutSeconds));
    return -1;
}

int NetBackend::reply(std::span<const uint8_t> msg) {
    return callStatus(Op::Reply, msg);
}

void NetBackend::startTimer(uint64_t delayTicks, std::span<const uint8_t> msg) {
    timers_.emplace(nowUs() + delayTicks * kUsPerTick,
                    std::vector<uint8_t>(msg.begin(), msg.end()));
}

int NetBackend::subscribe(std::span<const uint32_t> events, bool on) {
    Writer w;
    w.u32(on ? 1 : 0).u32(static_cast<uint32_t>(events.size()));
    for (uint32_t e : events)
        w.u32(e);
    return callStatus(Op::Subscribe, w.data());
}

int NetBackend::isPrimaryRpm() {
    const int primary = callStatus(Op::IsPrimary, {});
    if (primary != role_) {
        log_->info(role_ < 0      ? (primary ? "role: primary" : "role: secondary")
                   : primary != 0 ? "takeover: the secondary is the primary now"
                                  : "role: secondary now");
        role_ = primary;
    }
    return primary;
}

int NetBackend::peerRpmSend(uint32_t service, uint32_t instance, std::span<const uint8_t> msg) {
    Writer w;
    w.u32(service).u32(instance).bytes(msg);
    return callStatus(Op::PeerSend, w.data());
}

int NetBackend::openSocket(int family, int type, int protocol) {
    if (family == AF_OZML2 && type == OZM_SOCK_RAW &&
        (protocol == OZML2STP || protocol == OZML2L2PT)) {
        // Its number identifies it to the task; PDUs come from the data path.
        Fd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!fd.valid())
            return -1;
        const int raw = fd.get();
        pduSockets_.emplace(raw, std::pair{std::move(fd), protocol});
        return raw;
    }
    if (family == OZM_AF_INET && type == OZM_SOCK_DGRAM && protocol == 0 && !inet_.valid()) {
        inet_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        return inet_.get();
    }
    return -1;
}

int NetBackend::bindSocket(int fd, std::span<const uint8_t> addr) {
    if (!pduSockets_.contains(fd) || addr.size() != kSockAddrLen ||
        addr[kSockAddrLenOff] != kSockAddrLen || addr[kSockAddrFamilyOff] != AF_OZML2) {
        return -1;
    }
    return 0;
}

int NetBackend::closeFd(int fd) {
    if (pduSockets_.erase(fd) != 0)
        return 0;
    if (fd == inet_.get() && fd >= 0) {
        inet_.reset();
        return 0;
    }
    return ::close(fd);
}

int NetBackend::setTunnelMac(int fd, const ozm::MacAddress& mac) {
    if (fd != inet_.get() || fd < 0)
        return -1;
    return callStatus(Op::TunnelMac, mac);
}

int NetBackend::pduSend(int sock, uint32_t egressIfIndex, std::span<const uint8_t> frame) {
    // A secondary holds no data path: what it sends goes nowhere.
    if (!pduSockets_.contains(sock) || !dataPath_)
        return -1;
    // Queued, and sent with the batch before the task's next poll: a PDU that leaves by
    // several ports costs one system call, not one per port, and so do many PDUs under load.
    if (dataPath_->send(egressIfIndex, frame) != EgressFault::None)
        return -1;
    return static_cast<int>(frame.size());
}

void NetBackend::eventLog(const ozm::LogRecord& record) {
    if (relaying_)
        return logRelaying(record.text);
    Writer w;
    w.u32(record.code).u32(static_cast<uint32_t>(record.args.size()));
    for (const auto& a : record.args)
        w.text(a);
    w.text(record.text);
    call(Op::EventLog, w.data());
}

void NetBackend::serveShell() {
    std::vector<uint8_t> line;
    const Recv r = recvDatagram(shell_.get(), line, false);
    if (r == Recv::Closed)
        daemonGone("shell");
    if (r != Recv::Ok || line.size() < shellmsg::kLine)
        return;
    const uint32_t id = wire::getU32(line.data(), shellmsg::kId);
    capturing_ = true;
    captured_.clear();
    const ozm::ShellResult result =
        ozm::shellRun(std::string_view(reinterpret_cast<const char*>(line.data()) + shellmsg::kLine,
                                       line.size() - shellmsg::kLine));
    capturing_ = false;
    std::string text = std::move(captured_);
    text += result.text;
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    // As many pieces as the text takes, each marked but the last.
    constexpr size_t kPiece = kMaxDatagram - shellmsg::kText;
    size_t at = 0;
    do {
        const size_t n = std::min(kPiece, text.size() - at);
        uint8_t head[shellmsg::kText];
        wire::putU32(head, shellmsg::kId, id);
        wire::putU32(head, shellmsg::kFlags, at + n < text.size() ? shellmsg::kMore : 0);
        wire::putI32(head, shellmsg::kRc, result.rc);
        iovec iov[] = {{head, sizeof head}, {text.data() + at, n}};
        msghdr m{};
        m.msg_iov = iov;
        m.msg_iovlen = 2;
        if (::sendmsg(shell_.get(), &m, MSG_NOSIGNAL) < 0)
            daemonGone("shell answer");
        at += n;
    } while (at < text.size());
}

void NetBackend::console(std::string_view text) {
    if (capturing_) {
        for (char c : text) {
            if (c != '\r')
                captured_ += c;
        }
        return;
    }
    if (relaying_)
        return logRelaying(text);
    Writer w;
    w.text(text);
    call(Op::Console, w.data());
}

void NetBackend::report(std::string_view text) {
    if (relaying_)
        return logRelaying(text);
    Writer w;
    w.text(text);
    call(Op::Report, w.data());
}

int NetBackend::cfgInsert(std::span<const uint32_t> key, std::string_view text) {
    auto body = keyBody(key);
    Writer w;
    w.bytes(body).text(text);
    return callStatus(Op::CfgInsert, w.data());
}

int NetBackend::cfgRemoveExact(std::span<const uint32_t> key) {
    return callStatus(Op::CfgRemoveExact, keyBody(key));
}

int NetBackend::cfgRemoveNode(std::span<const uint32_t> keyPrefix) {
    return callStatus(Op::CfgRemoveNode, keyBody(keyPrefix));
}

}  // namespace netp
