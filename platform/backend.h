// The seam between the platform library and whatever plays the rest of the switch.
// The in-process services (pools, lists, bitmaps, sequenced-queue engine, log formatting)
// live in the platform; everything that reaches another party of the switch goes through
// the installed Backend: the simulated chassis in this process, or a chassis daemon.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel.h"
#include "platform/process.h"

namespace ozm {

// What the interface queries answer for one interface index.
struct IfInfo {
    int type = -1;      // OZM_IFTYPE_ETHERNET, OZM_IFTYPE_LAG, OZM_IFTYPE_VLAN
    int ifNum = -1;     // LAG number of a LAG
    int slot = -1;      // line-card slot of a port
    int cardType = -1;  // card type of a port
    int portId = -1;    // port number on its card
    int vlanId = -1;    // VLAN id of a VLAN interface
    int sfUnit = -1;    // switch-fabric unit of a port
    std::string name;   // short name
    std::string longName;
};

struct TaskIdentity {
    uint32_t service;
    uint32_t instance;
};

struct IpcEndpoint {
    int reqFd = -1;  // request queue: messages from other services
    int tmrFd = -1;  // timer queue: timer messages
};

// One record of the event log: a coded event (code and its arguments rendered) or a free line.
struct LogRecord {
    uint32_t code = 0;              // 0 for a free text line
    std::vector<std::string> args;  // the coded event's arguments, as text
    std::string text;               // the rendered line
};

using MacAddress = std::array<uint8_t, 6>;

// What tests and chaos runs set: named faults and pool capacities. A production backend has
// none, and then nothing fails on purpose and every pool has its default capacity.
class TestHooks {
  public:
    virtual ~TestHooks() = default;
    // True when the named operation is to fail now ("ozmTaskStartup", "socket:1", ...).
    virtual bool fault(std::string_view point) = 0;
    // Capacity of a fixed pool (by name) or a size class ("var:8192"); 0 = the default.
    virtual uint32_t poolCapacity(std::string_view pool) = 0;
};

class Backend {
  public:
    virtual ~Backend() = default;

    virtual TestHooks* testHooks() { return nullptr; }

    // Tasks and time.
    virtual int spawnTask(const char* name, OzmTaskEntry entry, int argc, char** argv) = 0;
    // The process's initial thread, once the task is spawned: a backend that needs it (for
    // signals, for heartbeats) keeps it here; by default it returns and the thread ends.
    virtual void parkMainThread() {}
    virtual uint32_t currentTaskId() = 0;
    virtual std::optional<TaskIdentity> startTask() = 0;  // empty: the platform refuses
    virtual void taskReady() = 0;
    virtual uint64_t ticks() = 0;
    virtual void sleepTicks(uint64_t ticks) = 0;
    // The task's wait on its descriptors (select); timeout null waits without limit.
    virtual int wait(int nfds, OzmFdSet* readSet, const OzmTimeval* timeout) = 0;
    virtual int lastWaitErrno() = 0;
    // Ends the process (or, simulated, the task). Does not return.
    [[noreturn]] virtual void exitProcess() = 0;

    // IPC. Messages are routed by the destination fields of their header.
    virtual std::optional<IpcEndpoint> openIpc(uint32_t service, uint32_t instance) = 0;
    virtual void closeIpc(const IpcEndpoint& endpoint) = 0;
    virtual int send(std::span<const uint8_t> msg) = 0;
    // Sends the request in msg (msgLen bytes) and waits up to timeoutSeconds for the reply,
    // which is copied over msg (at most msg.size() bytes). 0 when a reply came, -1 otherwise.
    virtual int sendWait(std::span<uint8_t> msg, int timeoutSeconds) = 0;
    virtual int reply(std::span<const uint8_t> msg) = 0;
    // Delivers msg on the task's timer queue after delayTicks.
    virtual void startTimer(uint64_t delayTicks, std::span<const uint8_t> msg) = 0;
    virtual int subscribe(std::span<const uint32_t> events, bool subscribe) = 0;

    // Redundancy.
    virtual int isPrimaryRpm() = 0;
    virtual int peerRpmSend(uint32_t service, uint32_t instance, std::span<const uint8_t> msg) = 0;

    // Kernel: sockets, descriptors, interface requests, PDUs.
    virtual int openSocket(int family, int type, int protocol) = 0;
    virtual int bindSocket(int fd, std::span<const uint8_t> addr) = 0;
    virtual int closeFd(int fd) = 0;
    // The kernel's tunnel-MAC request, made on the interface-request socket fd.
    virtual int setTunnelMac(int fd, const MacAddress& mac) = 0;
    virtual int pduSend(int sock, uint32_t egressIfIndex, std::span<const uint8_t> frame) = 0;
    // Reads one datagram (a message or [ifIndex][frame]) from one of the task's descriptors
    // into parts, in order. The length read, or -1; *truncated when it did not fit.
    virtual long receive(int fd, std::span<const std::span<uint8_t>> parts, bool* truncated);
    // A received PDU the task discarded (ozmPduDropped): counted or shown as the backend likes.
    // Called on the PDU path: it must not block. By default nothing is done.
    virtual void pduDropped(uint32_t /*rxIfIndex*/, uint32_t /*reason*/,
                            std::string_view /*reasonText*/) {}

    // Interface, card and system queries.
    virtual const IfInfo* ifInfo(uint32_t ifIndex) = 0;
    virtual int cardTypePortToPipe(int cardType, int portId) = 0;
    virtual int tenGigCard(int cardType) = 0;
    virtual uint32_t masterLineCardSlot() = 0;

    // Sinks: event log, console, configuration tree, the platform's own reports.
    virtual void eventLog(const LogRecord& record) = 0;
    virtual void console(std::string_view text) = 0;
    virtual void report(std::string_view text) = 0;
    virtual int cfgInsert(std::span<const uint32_t> key, std::string_view text) = 0;
    virtual int cfgRemoveExact(std::span<const uint32_t> key) = 0;
    virtual int cfgRemoveNode(std::span<const uint32_t> keyPrefix) = 0;
};

// Installs a backend and starts the platform's in-process state afresh.
void installBackend(std::unique_ptr<Backend> backend);
// Drops the backend and the in-process state.
void uninstallBackend();
Backend& backend();
bool hasBackend();
// The installed backend's test hooks, or their production answers: no fault, default capacity.
bool fault(std::string_view point);
uint32_t poolCapacity(std::string_view pool);

}  // namespace ozm

// Defined by the program that embeds the platform: builds and installs its backend from the
// command line. Called by OZM_NbsdpInit; 0 to go on.
int ozmBootBackend(int argc, char** argv, char** envp);
