// The sim backend: the whole chassis in this process, on virtual time. The task's queues and
// sockets are real descriptors, so its select loop runs for real; everything else is a call
// into the chassis models.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "chassis/chassis.h"
#include "chassis/scheduler.h"
#include "platform/backend.h"

namespace chassis {

// Task id the simulated platform gives the one task it runs.
inline constexpr uint32_t kSimTaskId = 0x1001;

class SimBackend final : public ozm::Backend, private ozm::TestHooks, private TaskLink {
  public:
    explicit SimBackend(const ChassisConfig& cfg);
    ~SimBackend() override;

    Chassis& chassis() { return *chassis_; }
    TaskThread& task() { return task_; }
    int taskResult() const { return taskResult_; }
    bool taskIsReady() const { return ready_; }  // the task declared itself ready
    std::optional<Mac> kernelTunnelMac() const { return kernelMac_; }
    const std::vector<std::string>& reports() const { return reports_; }

    // Driver operations.
    void settle();  // writes what waits for the task, then runs it until it parks
    void advance(uint64_t durationUs);  // moves virtual time event by event, running the task
    void waitParked() { task_.waitParked(); }
    // Until the process's initial thread has left the platform (parkMainThread): a driver that
    // tears the chassis down before would pull the backend from under it.
    void waitMainThreadParked();
    void pump();            // writes queued messages and frames while there is room
    size_t queued() const;  // messages and frames not yet written

    // ozm::Backend
    ozm::TestHooks* testHooks() override { return this; }
    int spawnTask(const char* name, OzmTaskEntry entry, int argc, char** argv) override;
    void parkMainThread() override;
    uint32_t currentTaskId() override { return kSimTaskId; }
    std::optional<ozm::TaskIdentity> startTask() override;
    void taskReady() override;
    uint64_t ticks() override { return chassis_->clock().ticks(); }
    void sleepTicks(uint64_t ticks) override;
    int wait(int nfds, OzmFdSet* readSet, const OzmTimeval* timeout) override;
    int lastWaitErrno() override { return waitErrno_; }
    [[noreturn]] void exitProcess() override;
    std::optional<ozm::IpcEndpoint> openIpc(uint32_t service, uint32_t instance) override;
    void closeIpc(const ozm::IpcEndpoint& endpoint) override;
    int send(std::span<const uint8_t> msg) override { return chassis_->send(msg); }
    int sendWait(std::span<uint8_t> msg, int timeoutSeconds) override;
    int reply(std::span<const uint8_t> msg) override { return chassis_->reply(msg); }
    void startTimer(uint64_t delayTicks, std::span<const uint8_t> msg) override;
    int subscribe(std::span<const uint32_t> events, bool on) override {
        return chassis_->events().subscribe(events, on);
    }
    int isPrimaryRpm() override { return chassis_->ha().primary() ? 1 : 0; }
    int peerRpmSend(uint32_t service, uint32_t instance, std::span<const uint8_t> msg) override {
        return chassis_->peer().receive(service, instance, msg);
    }
    int openSocket(int family, int type, int protocol) override;
    int bindSocket(int fd, std::span<const uint8_t> addr) override;
    int closeFd(int fd) override;
    int setTunnelMac(int fd, const ozm::MacAddress& mac) override;
    int pduSend(int sock, uint32_t egressIfIndex, std::span<const uint8_t> frame) override;
    void pduDropped(uint32_t rxIfIndex, uint32_t reason, std::string_view reasonText) override {
        chassis_->taskDrops().add(rxIfIndex, reason, reasonText);
    }
    const ozm::IfInfo* ifInfo(uint32_t ifIndex) override { return chassis_->ifdb().info(ifIndex); }
    int cardTypePortToPipe(int cardType, int portId) override {
        return chassis_->ifdb().pipeOf(cardType, portId);
    }
    int tenGigCard(int cardType) override { return chassis_->ifdb().tenGig(cardType); }
    uint32_t masterLineCardSlot() override { return chassis_->config().rpm.masterSlot; }
    void eventLog(const ozm::LogRecord& record) override { chassis_->log().add(record); }
    void console(std::string_view text) override { chassis_->console().add(text); }
    void report(std::string_view text) override;
    int cfgInsert(std::span<const uint32_t> key, std::string_view text) override {
        return chassis_->cfg().insert(key, text);
    }
    int cfgRemoveExact(std::span<const uint32_t> key) override {
        return chassis_->cfg().removeExact(key);
    }
    int cfgRemoveNode(std::span<const uint32_t> prefix) override {
        return chassis_->cfg().removeNode(prefix);
    }

  private:
    // ozm::TestHooks: the chassis file's and the scenario's faults and pool capacities.
    bool fault(std::string_view point) override;
    uint32_t poolCapacity(std::string_view pool) override;

    // A descriptor pair: the task holds one end, the chassis writes to the other.
    struct Channel {
        int taskFd = -1;
        int chassisFd = -1;
        std::deque<std::vector<uint8_t>> pending;
    };
    enum class Role { Request, Timer, AccessPdu, TunnelPdu, Inet };

    // TaskLink
    void toTask(std::vector<uint8_t> msg) override;
    bool toPduSocket(int protocol, uint32_t rxIfIndex, std::span<const uint8_t> frame) override;

    static void onTaskEnd(void* self, TaskState state, int rc);
    // Parks the task until virtual time reaches deadlineUs.
    void parkUntil(uint64_t deadlineUs);
    Channel* channelOfTaskFd(int fd, Role* role = nullptr);
    void closeChannel(Role role);
    bool openChannel(Role role, int type);

    std::unique_ptr<Chassis> chassis_;
    TaskThread task_;
    int taskResult_ = 0;
    bool ready_ = false;
    int waitErrno_ = 0;
    std::map<Role, Channel> channels_;
    std::map<std::pair<uint64_t, uint64_t>, std::vector<uint8_t>> timers_;  // (due, order)
    uint64_t timerOrder_ = 0;
    std::optional<Mac> kernelMac_;
    std::vector<std::string> reports_;
    std::mutex mainMutex_;
    std::condition_variable mainParked_;
    bool mainDone_ = false;
};

}  // namespace chassis
