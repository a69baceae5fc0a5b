// IPC endpoints, queues and messages between services.
#pragma once

#include <cstdint>

#include "platform/wire/l2pt.h"

inline constexpr uint32_t OZM_IPC_INVALID = 0xFFFFFFFFu;

uint32_t ozmIpcTmrOpen(uint32_t service, uint32_t instance);  // IPC key, or OZM_IPC_INVALID
uint32_t Key_getReqQueue(uint32_t ipcKey);
uint32_t Key_getTmrQueue(uint32_t ipcKey);
int Key_getSocketFd(uint32_t queue);
// Reads one message into buf; returns its length (cut to size), or -1 when none is waiting.
int ozmIpcRecv(uint32_t queue, uint8_t* buf, uint32_t size, int flags, int a5, int a6);
// Sends msg (msgLen bytes) to the queue named by its destination header fields.
int ozmIpcSend(uint32_t queue, uint8_t* msg, uint32_t len);
// Stamps type and sender, sends, and waits up to timeout seconds for the reply, which
// overwrites msg (at most len bytes). 0 when a reply came, -1 otherwise.
int ozmIpcSendWait(uint32_t ipcKey, uint8_t* msg, uint32_t len, int timeout, uint32_t msgType,
                   uint32_t taskId);
// Answers the request in msg to its sender.
int ozmIpcReply(uint32_t ipcKey, uint8_t* msg, uint32_t len);
uint32_t ozmIpcGetService(uint32_t ipcKey);
uint32_t ozmIpcGetInstance(uint32_t ipcKey);
int ozmIpcClose(uint32_t ipcKey);
uint32_t ozm_getQueueId(uint32_t service, uint32_t slot, int kind);
uint32_t ozm_tmeGetPeerIpAddrByName(uint32_t service, uint32_t slot, int32_t* scratch);
// Declares a service that runs one instance per line card, the instance being the slot: its
// node address is then that line card's. Every service not declared lives on the RPM.
void ozmIpcSetLineCardService(uint32_t service);

namespace ozm {

// Queue ids and node addresses are functions of (service, slot): every backend routes with them.
struct QueueAddress {
    uint32_t service;
    uint32_t slot;
    uint32_t kind;
};
// Kinds of a service's queues: requests (every message to the service) and its timers.
inline constexpr uint32_t kRequestQueueKind = 1;
inline constexpr uint32_t kTimerQueueKind = 2;
constexpr uint32_t queueIdOf(uint32_t service, uint32_t slot, uint32_t kind) {
    return (service & 0xFFFFu) << 16 | (slot & 0xFFu) << 8 | (kind & 0xFFu);
}
constexpr QueueAddress queueAddressOf(uint32_t queueId) {
    return {queueId >> 16, (queueId >> 8) & 0xFFu, queueId & 0xFFu};
}
// Services on the RPM live at 127.0.0.1; a line card's services at 10.0.1.(slot + 1). Which
// services run on the line cards is for the programs using them to declare.
constexpr uint32_t kRpmNodeAddr = 0x7F000001u;
constexpr uint32_t kLineCardNodeBase = 0x0A000101u;
uint32_t nodeAddrOf(uint32_t service, uint32_t slot);

}  // namespace ozm
