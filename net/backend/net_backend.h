// The net backend: l2ptd's platform against a chassis daemon. Every party of the switch is
// reached through the daemon's sockets in its run directory; the task's request queue is one of
// those sockets, so its select loop waits on it directly. Its two PDU sockets are local
// descriptors read from the data path the daemon grants the primary (data_path.h): PDUs come
// from the kernel's trap ring and leave by a packet socket, never through the daemon. The main
// thread answers the daemon's heartbeat. Time is real.
//
// When the daemon goes away the process starts over (restart.h), but for the primary holding
// its data path: that one relays PDUs on it until a daemon serves again, so that customers'
// spanning trees keep hearing each other while data crosses the ports. Meanwhile the task is
// told that nobody answers its requests, and what it logs goes to the process's own log.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "chassis/config.h"
#include "chassis/ifdb.h"
#include "net/backend/data_path.h"
#include "net/backend/restart.h"
#include "net/io/batch.h"
#include "net/io/socket.h"
#include "net/log/line_budget.h"
#include "net/log/logger.h"
#include "net/proto/protocol.h"
#include "platform/backend.h"

namespace netp {

struct ConnectError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class NetBackend final : public ozm::Backend {
  public:
    // Connects to the daemon of runDir; ConnectError when it cannot. Its start, role changes
    // and end go to log; when the daemon goes away the process starts over by restart.
    NetBackend(const std::string& runDir, std::shared_ptr<Logger> log, Restart restart);
    ~NetBackend() override;

    uint32_t session() const { return session_; }

    int spawnTask(const char* name, OzmTaskEntry entry, int argc, char** argv) override;
    // Answers the daemon's heartbeat (a session the daemon fenced ends with kExitFenced) and
    // serves the signals the boot blocked in every thread (restart.h), while the task works.
    void parkMainThread() override;
    uint32_t currentTaskId() override;
    std::optional<ozm::TaskIdentity> startTask() override;
    void taskReady() override;
    uint64_t ticks() override;
    void sleepTicks(uint64_t ticks) override;
    int wait(int nfds, OzmFdSet* readSet, const OzmTimeval* timeout) override;
    int lastWaitErrno() override { return waitErrno_; }
    [[noreturn]] void exitProcess() override;
    std::optional<ozm::IpcEndpoint> openIpc(uint32_t service, uint32_t instance) override;
    void closeIpc(const ozm::IpcEndpoint& endpoint) override;
    int send(std::span<const uint8_t> msg) override;
    int sendWait(std::span<uint8_t> msg, int timeoutSeconds) override;
    int reply(std::span<const uint8_t> msg) override;
    void startTimer(uint64_t delayTicks, std::span<const uint8_t> msg) override;
    int subscribe(std::span<const uint32_t> events, bool on) override;
    int isPrimaryRpm() override;
    int peerRpmSend(uint32_t service, uint32_t instance, std::span<const uint8_t> msg) override;
    int openSocket(int family, int type, int protocol) override;
    int bindSocket(int fd, std::span<const uint8_t> addr) override;
    int closeFd(int fd) override;
    int setTunnelMac(int fd, const ozm::MacAddress& mac) override;
    int pduSend(int sock, uint32_t egressIfIndex, std::span<const uint8_t> frame) override;
    // A PDU socket's oldest trapped PDU; other descriptors as the platform reads them.
    long receive(int fd, std::span<const std::span<uint8_t>> parts, bool* truncated) override;
    const ozm::IfInfo* ifInfo(uint32_t ifIndex) override { return ifdb_.info(ifIndex); }
    int cardTypePortToPipe(int cardType, int portId) override {
        return ifdb_.pipeOf(cardType, portId);
    }
    int tenGigCard(int cardType) override { return ifdb_.tenGig(cardType); }
    uint32_t masterLineCardSlot() override { return cfg_.rpm.masterSlot; }
    void eventLog(const ozm::LogRecord& record) override;
    void console(std::string_view text) override;
    void report(std::string_view text) override;
    int cfgInsert(std::span<const uint32_t> key, std::string_view text) override;
    int cfgRemoveExact(std::span<const uint32_t> key) override;
    int cfgRemoveNode(std::span<const uint32_t> keyPrefix) override;

  private:
    // One control operation and its answer; a daemon that is gone starts the process over,
    // or while this image relays is answered nobody (but the role: primary).
    std::vector<uint8_t> call(Op op, std::span<const uint8_t> body);
    int32_t callStatus(Op op, std::span<const uint8_t> body);
    Fd connectChannel(Channel channel, uint32_t arg);
    // Starts the process over; returns only when the task holds the data path, which it
    // relays on from here (relaying_).
    void daemonGone(const char* what);
    // On the main thread while relaying: waits until a daemon serves, then has the task's
    // thread start over at its next wait (what it queued sent), or starts over itself when
    // that thread has not within kHandOver.
    [[noreturn]] void relayUntilServed(int signals);
    // Executes the program again (restart.h), logging why; the first thread to call it does,
    // the other waits for the exec that ends it.
    [[noreturn]] void startOver(const std::string& why);
    // A daemon serves again: the start over of an image that relayed.
    [[noreturn]] void startOverRelayed(const std::string& counted);
    // What the task would have had the daemon log, while relaying: within relayLines_, as the
    // daemon would have (a customer's PDUs can make a record each).
    void logRelaying(std::string_view text);
    LineBudget relayLines_;
    [[noreturn]] void end(int status, const std::string& why);
    [[noreturn]] void fenced(std::string_view why);
    // Feeds the timers that fell due to the task's timer queue: whether any did.
    bool fireTimers();
    void flushPdus();
    // One wait's steps: the descriptors it asks about, split into PDU sockets and polled ones;
    // how many PDU sockets have PDUs queued; the poll loop that runs until something is ready
    // or the timeout ends; one poll pass and its wait; the ready set handed back to the task.
    void gatherWaited(int nfds, const OzmFdSet* readSet);
    int pduReady();
    void reportPdus(OzmFdSet* readSet);
    int pollWaited(OzmFdSet* readSet, const OzmTimeval* timeout);
    int pollTimeoutMs(int pdusReady, std::optional<uint64_t> deadline) const;
    int pollPass(size_t taskFds, int waitMs);
    void reportReady(OzmFdSet* readSet, size_t taskFds);
    void serveShell();
    void serveDataPath();
    void serveHeartbeat(int fd);
    // The queue of a PDU socket of the task; none while no data path is granted.
    PduQueue* pduQueue(int fd);
    uint64_t nowUs() const;

    std::shared_ptr<Logger> log_;
    Restart restart_;
    std::atomic<bool> startingOver_ = false;    // both threads may find the daemon gone
    std::atomic<bool> granted_ = false;         // dataPath_ is held, as the main thread sees it
    std::atomic<bool> relaying_ = false;        // the daemon went away while it was
    std::atomic<bool> servedAgain_ = false;     // a daemon serves: the task's thread starts over
    std::atomic<int64_t> relayingSinceMs_ = 0;  // by steady_clock
    // The task's thread, as the heartbeat sees it: the passes it began (wait() calls), and
    // whether it sleeps (in a delay, or waiting with nothing due) now. A thread that neither
    // sleeps nor began a pass between two pings is stuck (looping, deadlocked, stopped): the
    // ping goes unanswered, so that the daemon fences it.
    std::atomic<uint64_t> progress_ = 0;
    std::atomic<bool> sleeping_ = false;
    uint64_t progressAtPing_ = 0;        // on the main thread
    bool stuckLogged_ = false;           // on the main thread
    std::optional<uint64_t> relayBase_;  // on the task's thread: the PDUs taken when it saw it
    bool lastTaken_ = false;  // on the task's thread: the ring's last PDUs taken, a daemon serving
    Fd relayWake_;            // eventfd: the main thread wakes the task's (servedAgain_)
    Fd goneWake_;             // eventfd: the task's thread wakes the main thread (relaying_)
    static constexpr std::chrono::milliseconds kHandOver{200};
    std::string runDir_;
    int role_ = -1;  // as the daemon last said: 1 primary, 0 secondary
    std::string taskPath_;
    uint32_t session_ = 0;
    // Connected before the chassis file is read: the daemon that admits the task wrote the
    // file before it listened, so the task runs with that daemon's interfaces and not those
    // of one before it, whose file a start over may find in the run directory.
    Fd control_;
    chassis::ChassisConfig cfg_;
    chassis::IfDb ifdb_;
    Fd shell_;  // debug-shell lines, served on the task's thread between its waits
    Fd ipc_;
    Fd timerTask_;        // the task's timer queue
    Fd timerFeed_;        // where due timers are written
    Fd dataPathChannel_;  // grants and revocations, served on the task's thread
    static constexpr size_t kDataPathSlots = 2;
    static constexpr size_t kDataPathBytes = 64;  // larger than a grant
    RecvBatch dataPathRx_{kDataPathSlots, kDataPathBytes};
    std::unique_ptr<DataPath> dataPath_;  // while the task is the granted primary
    // The PDU sockets by descriptor (an eventfd each, for its number): their protocol.
    std::map<int, std::pair<Fd, int>> pduSockets_;
    std::vector<int> pduWaited_;  // the PDU sockets of one wait, reused
    // Waits answered from the PDU queues alone since the last poll, at most kPassesPerPoll - 1.
    static constexpr int kPassesPerPoll = 64;
    int fastPasses_ = 0;
    std::vector<uint8_t> beat_;  // the heartbeat's datagram, on the main thread
    Fd inet_;                    // the interface-request socket
    std::multimap<uint64_t, std::vector<uint8_t>> timers_;  // by due time (us)
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    int waitErrno_ = 0;
    std::vector<uint8_t> answer_;
    std::vector<pollfd> pollFds_;  // reused by every wait
    bool capturing_ = false;       // console text is the shell's answer
    std::string captured_;
};

}  // namespace netp
