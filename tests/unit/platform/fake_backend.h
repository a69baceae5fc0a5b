// A recording backend for the platform's tests and benchmarks: faults and capacities set by the
// test, virtual time, and every message, timer, report and log record kept in order.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/backend.h"

namespace test {

using Bytes = std::vector<uint8_t>;

class FakeBackend : public ozm::Backend, public ozm::TestHooks {
  public:
    ~FakeBackend() override {
        for (int fd : fds_)
            ::close(fd);
    }

    ozm::TestHooks* testHooks() override { return this; }
    bool fault(std::string_view point) override { return faults.contains(std::string(point)); }
    uint32_t poolCapacity(std::string_view pool) override {
        auto it = capacities.find(std::string(pool));
        return it != capacities.end() ? it->second : 0;
    }

    int spawnTask(const char*, OzmTaskEntry, int, char**) override { return 1; }
    uint32_t currentTaskId() override { return 77; }
    std::optional<ozm::TaskIdentity> startTask() override { return ozm::TaskIdentity{225, 4}; }
    void taskReady() override {}
    uint64_t ticks() override { return now; }
    void sleepTicks(uint64_t t) override { now += t; }
    int wait(int, OzmFdSet*, const OzmTimeval*) override { return 0; }
    int lastWaitErrno() override { return 0; }
    [[noreturn]] void exitProcess() override { throw std::logic_error("exit"); }

    // Each queue is a datagram socketpair; the test writes into the far end.
    std::optional<ozm::IpcEndpoint> openIpc(uint32_t, uint32_t) override {
        return ozm::IpcEndpoint{pair(reqPeer), pair(tmrPeer)};
    }
    void closeIpc(const ozm::IpcEndpoint& ep) override {
        ::close(ep.reqFd);
        ::close(ep.tmrFd);
    }
    int send(std::span<const uint8_t> msg) override {
        sent.emplace_back(msg.begin(), msg.end());
        return 0;
    }
    int sendWait(std::span<uint8_t> msg, int) override { return send(msg); }
    int reply(std::span<const uint8_t> msg) override { return send(msg); }
    void startTimer(uint64_t delay, std::span<const uint8_t> msg) override {
        timers.emplace_back(now + delay, Bytes(msg.begin(), msg.end()));
    }
    int subscribe(std::span<const uint32_t>, bool) override { return 0; }

    int isPrimaryRpm() override { return 1; }
    int peerRpmSend(uint32_t, uint32_t, std::span<const uint8_t> msg) override { return send(msg); }

    int openSocket(int, int, int) override { return pair(socketPeer); }
    int bindSocket(int, std::span<const uint8_t>) override { return 0; }
    int closeFd(int fd) override { return ::close(fd); }
    int setTunnelMac(int, const ozm::MacAddress&) override { return 0; }
    int pduSend(int, uint32_t, std::span<const uint8_t> frame) override {
        return static_cast<int>(frame.size());
    }

    const ozm::IfInfo* ifInfo(uint32_t) override { return nullptr; }
    int cardTypePortToPipe(int, int) override { return 0; }
    int tenGigCard(int) override { return 0; }
    uint32_t masterLineCardSlot() override { return 0; }

    void eventLog(const ozm::LogRecord& record) override { logs.push_back(record); }
    void console(std::string_view text) override { consoleText += text; }
    void report(std::string_view text) override { reports.emplace_back(text); }
    int cfgInsert(std::span<const uint32_t> key, std::string_view text) override {
        cfgKey.assign(key.begin(), key.end());
        cfgText = text;
        return 0;
    }
    int cfgRemoveExact(std::span<const uint32_t>) override { return 0; }
    int cfgRemoveNode(std::span<const uint32_t>) override { return 0; }

    std::set<std::string> faults;
    std::map<std::string, uint32_t> capacities;
    uint64_t now = 1000;
    std::vector<Bytes> sent;
    std::vector<std::pair<uint64_t, Bytes>> timers;  // due tick, message
    std::vector<ozm::LogRecord> logs;
    std::vector<std::string> reports;
    std::string consoleText;
    std::vector<uint32_t> cfgKey;
    std::string cfgText;
    int reqPeer = -1, tmrPeer = -1, socketPeer = -1;

  private:
    int pair(int& peer) {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_DGRAM, 0, sv) != 0)
            return -1;
        fds_.push_back(sv[1]);
        peer = sv[1];
        return sv[0];
    }
    std::vector<int> fds_;
};

// The platform's unit-test fixture: a fresh FakeBackend, and so fresh platform state, per test.
class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto backend = std::make_unique<FakeBackend>();
        fake = backend.get();
        ozm::installBackend(std::move(backend));
    }
    void TearDown() override { ozm::uninstallBackend(); }

    FakeBackend* fake = nullptr;
};

}  // namespace test
