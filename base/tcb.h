// The task control block, the two receive buffers and the task's identity.
#pragma once

#include <cstdint>

#include "platform/kernel.h"

inline constexpr const char* L2PT_TASK_NAME = "t_l2ptTask";
inline constexpr int L2PT_TASK_PRIORITY = 200;
inline constexpr int L2PT_TASK_OPTIONS = 12;
inline constexpr int L2PT_TASK_STACK_SIZE = 16000;

inline constexpr uint32_t L2PT_PKT_BUF_SIZE = 1596;
inline constexpr uint32_t L2PT_IPC_BUF_SIZE = 8192;
inline constexpr uint32_t L2PT_REQUEST_LEN = 1024;  // requests to IFM and agent buffers

// The task control block.
struct OzmL2ptTcb {
    uint32_t taskKey;
    uint32_t ipcKey;
    uint32_t serviceId;
    uint32_t instanceId;
    uint32_t logHandle;
    uint32_t reqQueue;
    uint32_t tmrQueue;
    int32_t stpSock;   // access-port PDUs in, de-tunnelled PDUs out; 0 when closed
    int32_t l2ptSock;  // tunnelled PDUs in and out; 0 when closed
    OzmFdSet readFds;
    int32_t swpPipe;
    uint32_t swpSeqState[2];
};

extern OzmL2ptTcb ozmL2ptTcbNode;
extern uint8_t l2ptPktBuf[L2PT_PKT_BUF_SIZE];
extern uint8_t l2ptIpcBuf[L2PT_IPC_BUF_SIZE];
extern const char OZM_COREDUMP_ID[];
