// IPC endpoints: keys, their request and timer queues, and messages to other services.
#include "platform/ipc.h"

#include <algorithm>
#include <set>
#include <span>

#include "platform/backend.h"
#include "platform/src/state.h"
#include "platform/wire/header.h"

namespace {

ozm::detail::IpcKey* findKey(uint32_t ipcKey) {
    auto& keys = ozm::detail::state().ipc.keys;
    auto it = keys.find(ipcKey);
    return it != keys.end() ? &it->second : nullptr;
}

// The services declared to run on the line cards; for the whole program, like its services.
std::set<uint32_t>& lineCardServices() {
    static std::set<uint32_t> services;
    return services;
}

}  // namespace

// A queue's handle is its queue id, so the address a message carries and the handle the task
// holds are the same number.
uint32_t ozmIpcTmrOpen(uint32_t service, uint32_t instance) {
    if (ozm::fault("ozmIpcTmrOpen")) {
        return OZM_IPC_INVALID;
    }
    ozm::detail::IpcState& ipc = ozm::detail::state().ipc;
    uint32_t reqQueue = ozm::queueIdOf(service, instance, ozm::kRequestQueueKind);
    uint32_t tmrQueue = ozm::queueIdOf(service, instance, ozm::kTimerQueueKind);
    if (ipc.queueFds.contains(reqQueue) || ipc.queueFds.contains(tmrQueue)) {
        return OZM_IPC_INVALID;  // the endpoint is open already
    }
    std::optional<ozm::IpcEndpoint> endpoint = ozm::backend().openIpc(service, instance);
    if (!endpoint) {
        return OZM_IPC_INVALID;
    }
    uint32_t key = ipc.nextKey++;
    ipc.keys.emplace(key, ozm::detail::IpcKey{service, instance, *endpoint, reqQueue, tmrQueue});
    ipc.queueFds.emplace(reqQueue, endpoint->reqFd);
    ipc.queueFds.emplace(tmrQueue, endpoint->tmrFd);
    return key;
}

uint32_t Key_getReqQueue(uint32_t ipcKey) {
    const ozm::detail::IpcKey* key = findKey(ipcKey);
    return key != nullptr ? key->reqQueue : OZM_IPC_INVALID;
}

uint32_t Key_getTmrQueue(uint32_t ipcKey) {
    const ozm::detail::IpcKey* key = findKey(ipcKey);
    return key != nullptr ? key->tmrQueue : OZM_IPC_INVALID;
}

int Key_getSocketFd(uint32_t queue) {
    const auto& fds = ozm::detail::state().ipc.queueFds;
    auto it = fds.find(queue);
    return it != fds.end() ? it->second : -1;
}

int ozmIpcRecv(uint32_t queue, uint8_t* buf, uint32_t size, int /*flags*/, int, int) {
    int fd = Key_getSocketFd(queue);
    if (fd < 0 || buf == nullptr) {
        return -1;
    }
    std::span<uint8_t> parts[] = {{buf, size}};
    bool truncated = false;
    const long n = ozm::backend().receive(fd, parts, &truncated);
    return static_cast<int>(std::min(n, static_cast<long>(size)));  // a longer message is cut
}

int ozmIpcSend(uint32_t /*queue*/, uint8_t* msg, uint32_t len) {
    if (msg == nullptr || ozm::fault("ozmIpcSend")) {
        return -1;
    }
    return ozm::backend().send(std::span<const uint8_t>(msg, len));
}

int ozmIpcSendWait(uint32_t ipcKey, uint8_t* msg, uint32_t len, int timeout, uint32_t msgType,
                   uint32_t taskId) {
    if (msg == nullptr || len < hdr::kPlainHeaderLen || findKey(ipcKey) == nullptr) {
        return -1;
    }
    hdr::setMsgType(msg, msgType);
    hdr::setSrcTaskId(msg, taskId);
    return ozm::backend().sendWait(std::span<uint8_t>(msg, len), timeout);
}

int ozmIpcReply(uint32_t ipcKey, uint8_t* msg, uint32_t len) {
    if (msg == nullptr || findKey(ipcKey) == nullptr) {
        return -1;
    }
    return ozm::backend().reply(std::span<const uint8_t>(msg, len));
}

uint32_t ozmIpcGetService(uint32_t ipcKey) {
    const ozm::detail::IpcKey* key = findKey(ipcKey);
    return key != nullptr ? key->service : OZM_IPC_INVALID;
}

uint32_t ozmIpcGetInstance(uint32_t ipcKey) {
    const ozm::detail::IpcKey* key = findKey(ipcKey);
    return key != nullptr ? key->instance : OZM_IPC_INVALID;
}

int ozmIpcClose(uint32_t ipcKey) {
    ozm::detail::IpcState& ipc = ozm::detail::state().ipc;
    auto it = ipc.keys.find(ipcKey);
    if (it == ipc.keys.end()) {
        return -1;
    }
    ozm::detail::IpcKey key = it->second;
    ipc.queueFds.erase(key.reqQueue);
    ipc.queueFds.erase(key.tmrQueue);
    ipc.keys.erase(it);
    ozm::backend().closeIpc(key.endpoint);
    return 0;
}

uint32_t ozm_getQueueId(uint32_t service, uint32_t slot, int kind) {
    return ozm::queueIdOf(service, slot, static_cast<uint32_t>(kind));
}

uint32_t ozm_tmeGetPeerIpAddrByName(uint32_t service, uint32_t slot, int32_t* /*scratch*/) {
    return ozm::nodeAddrOf(service, slot);
}

void ozmIpcSetLineCardService(uint32_t service) {
    lineCardServices().insert(service);
}

uint32_t ozm::nodeAddrOf(uint32_t service, uint32_t slot) {
    return lineCardServices().contains(service) ? kLineCardNodeBase + slot : kRpmNodeAddr;
}
