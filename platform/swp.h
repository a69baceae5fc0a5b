// Sequenced queues: ordered, acknowledged delivery of messages to one peer per queue pair.
#pragma once

#include <cstddef>
#include <cstdint>

using OzmSwpMallocFn = void* (*)(uint32_t size);
using OzmSwpMfreeFn = int (*)(void* block);
using OzmSwpErrFn = void (*)(uint32_t queue);

inline constexpr int OZM_SWP_OK = 0;
inline constexpr int OZM_SWP_GAP = 5;        // a sequenced message arrived ahead of its turn
inline constexpr int OZM_SWP_DUPLICATE = 6;  // a sequenced message arrived again
inline constexpr int OZM_SWP_REFUSED = 4;    // ozmSwpEnqueue did not take the message
inline constexpr int OZM_SWP_NOT_FOUND = 7;  // no such queue or no such message
inline constexpr int OZM_SWP_BAD_MSG = 8;    // the message carries no valid sequenced area

// The engine's control block of one queue; the queue handle stands at offset 44.
struct OzmSwpQueueCtrl {
    uint32_t peerService;
    uint32_t peerSlot;
    uint32_t window;
    uint32_t retransmitTicks;
    uint32_t session;
    uint32_t nextSeq;
    uint32_t inFlight;
    uint32_t waiting;
    uint32_t transmitted;
    uint32_t retransmitted;
    uint32_t acked;
    uint32_t queueHandle;
};
static_assert(offsetof(OzmSwpQueueCtrl, queueHandle) == 44);

// Creates the pipe through which the engine wakes the task; returns its read descriptor or -1.
int ozmSwpCreatePipe(const char* name);
// Drains the pipe and does the engine's pending work (transmissions, retransmissions).
int ozmSwpReadPipe(int pipe);
// Creates the queue pair to (peerService, peerSlot). window: messages in flight at most;
// retransmitTicks: time-out before a message is sent again. 0 and *queueOut set on success.
int ozmSwpQueueCreateQs(uint32_t logHandle, int a2, int window, int retransmitTicks,
                        uint32_t ownService, int a6, uint32_t ipcKey, uint32_t peerService,
                        uint32_t peerSlot, uint32_t ownQueueId, int a11, int a12,
                        OzmSwpMallocFn mallocFn, int a14, OzmSwpMfreeFn mfreeFn, OzmSwpErrFn errFn,
                        uint32_t* queueOut, int pipe);
// Removes the queue pair; every buffer it still holds goes back through its free callback.
// When removal fails (-1) the queue is retired: it sends nothing more and refuses new messages,
// acknowledgements still hand its buffers back, and closing its pipe releases the rest.
int ozmSwpQueueRemove(uint32_t queue);
// Takes msg (len bytes) for ordered delivery; the buffer is the engine's until ozmSwpDequeue
// hands it back. Returns 0, or OZM_SWP_REFUSED (the engine then releases the buffer itself).
int ozmSwpEnqueue(uint32_t queue, uint8_t* msg, uint32_t len);
// Checks a received sequenced message against *state (two words, zero at start):
// 0 for the next expected one (acknowledged), OZM_SWP_DUPLICATE, or another non-zero result.
int ozmSwpCkSeqAndAck(uint8_t* msg, uint32_t* state, uint32_t queue);
// Handles an acknowledgement (402): 0 and *block = the acknowledged buffer, or non-zero.
int ozmSwpDequeue(uint8_t* ackMsg, void** block);
// Handles the engine's time-out message (401): retransmits and reports through the error callback.
int ozmSwpTimeout(uint8_t* msg);
OzmSwpQueueCtrl* ozmSwpGetQueueCtrlBlock(uint32_t queue);
