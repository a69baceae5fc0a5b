// Start-up of the task and its main loop over the five descriptors.
#include "task/task_main.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "base/debug.h"
#include "base/ipc.h"
#include "base/log_codes.h"
#include "classification/agents.h"
#include "diagnostics/debug_filter.h"
#include "forwarding/detunnel.h"
#include "forwarding/tunnel.h"
#include "platform/console.h"
#include "platform/evtlog.h"
#include "platform/ha.h"
#include "platform/ipc.h"
#include "platform/process.h"
#include "platform/swp.h"
#include "platform/wire/l2pt.h"
#include "redundancy/peer_rpm.h"
#include "state/records.h"
#include "task/dispatch.h"
#include "task/mem_pools.h"
#include "task/registration.h"
#include "task/shutdown.h"

namespace {

constexpr uint32_t kEvtSeverityMask = 0x01FFFFFF;
constexpr int kRegisterSvceValue = 1;
constexpr long kLoopWaitUsec = 20000;
constexpr const char* kSwpPipeName = "/ozm/pipe/l2ptPipe";
// Both PDU sockets are bound to this address: its length, the family, zeros.
constexpr uint8_t kSockAddr[OZM_SOCKADDR_LEN] = {OZM_SOCKADDR_LEN, AF_OZML2};

void logFailure(const char* text) {
    ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_FAILURE, 1, text);
}

// Opens and binds one PDU socket; on failure reports, leaves *sock 0 and closes the log.
int openPduSocket(int32_t* sock, int protocol, const char* protoName) {
    static constexpr const char* kName = "l2ptSocketInit";
    OzmL2ptTcb& tcb = ozmL2ptTcbNode;
    *sock = kern::socket(AF_OZML2, OZM_SOCK_RAW, protocol);
    if (*sock == -1) {
        ozmPrintf("%s: socket(AF_OZML2, SOCK_RAW, %s) returned error %d \r\n", kName, protoName,
                  -1);
        logFailure("socket init failed");
        *sock = 0;
        ozmEvtCloselog(tcb.logHandle);
        return -1;
    }
    const int rc = kern::bind(*sock, kSockAddr, OZM_SOCKADDR_LEN);
    if (rc < 0) {
        ozmPrintf("%s: socket(AF_OZML2, SOCK_RAW, %s) bind returned error %d \r\n", kName,
                  protoName, rc);
        logFailure("socket init failed");
        kern::close(*sock);
        *sock = 0;
        ozmEvtCloselog(tcb.logHandle);
        return -1;
    }
    return 0;
}

// Receives one PDU on a socket and hands it to its forwarding path, which drops a frame whose
// length says it was cut to the buffer.
void receivePdu(int32_t sock, void (*path)(uint32_t, uint8_t*, int32_t)) {
    uint32_t rxIfIndex = 0;
    const int len =
        ozmRecvfrom(sock, l2ptPktBuf, L2PT_PKT_BUF_SIZE, 0, nullptr, nullptr, &rxIfIndex);
    path(rxIfIndex, l2ptPktBuf, len);
}

void receiveControl(uint32_t queue) {
    const int len = ozmIpcRecv(queue, l2ptIpcBuf, L2PT_IPC_BUF_SIZE, 0, 0, 0);
    if (len < 0) {
        return;
    }
    // A short message reads zeros past its end, not the bytes of the pass's previous message.
    const auto rxLen = std::min(static_cast<uint32_t>(len), L2PT_IPC_BUF_SIZE);
    std::memset(l2ptIpcBuf + rxLen, 0, L2PT_IPC_BUF_SIZE - rxLen);
    l2ptTaskProcMsg(l2ptIpcBuf, rxLen);
}

void loopPass(const OzmTimeval& waitTime) {
    OzmL2ptTcb& tcb = ozmL2ptTcbNode;
    if (l2ptIsPrimary == 0 && l2ptRegisteredWithPRPM == 0) {
        l2ptRegisterWithPeerRPM();
    }
    std::memset(l2ptIpcBuf, 0, sizeof l2ptIpcBuf);
    OzmFdSet ready = tcb.readFds;
    OzmTimeval timeout = waitTime;
    const int n = kern::select(OZM_FD_SETSIZE, &ready, nullptr, nullptr, &timeout);
    if (n == 0) {
        return;
    }
    if (n < 0) {
        if (kern::lastErrno() != OZM_EINTR) {
            ozmSysErr(tcb.logHandle, nullptr, L2PT_LOG_SELECT, 0);
        }
        return;
    }
    if (OZM_FD_ISSET(Key_getSocketFd(tcb.reqQueue), &ready)) {
        receiveControl(tcb.reqQueue);
    }
    if (OZM_FD_ISSET(Key_getSocketFd(tcb.tmrQueue), &ready)) {
        receiveControl(tcb.tmrQueue);
    }
    if (OZM_FD_ISSET(tcb.swpPipe, &ready)) {
        ozmSwpReadPipe(tcb.swpPipe);
    }
    if (OZM_FD_ISSET(tcb.stpSock, &ready)) {
        receivePdu(tcb.stpSock, l2ptProcessPacket);
    }
    if (OZM_FD_ISSET(tcb.l2ptSock, &ready)) {
        receivePdu(tcb.l2ptSock, l2ptProcessTunneledPacket);
    }
}

}  // namespace

// The descriptors the main loop selects on: the request and timer queues, the SWP pipe and
// the two PDU sockets.
static void l2ptWatchFds(OzmL2ptTcb& tcb) {
    tcb.reqQueue = Key_getReqQueue(tcb.ipcKey);
    tcb.tmrQueue = Key_getTmrQueue(tcb.ipcKey);
    OZM_FD_ZERO(&tcb.readFds);
    OZM_FD_SET(Key_getSocketFd(tcb.reqQueue), &tcb.readFds);
    OZM_FD_SET(Key_getSocketFd(tcb.tmrQueue), &tcb.readFds);
    OZM_FD_SET(tcb.swpPipe, &tcb.readFds);
    OZM_FD_SET(tcb.stpSock, &tcb.readFds);
    OZM_FD_SET(tcb.l2ptSock, &tcb.readFds);
}

// Subscribes to the line cards' events, registers with IFM and the ACL agents and asks IFM
// for its download: 0, or -1 once the task has exited.
static int l2ptTaskInit(OzmL2ptTcb& tcb) {
    static constexpr const char* kInit = "l2ptTaskInit";
    l2ptAclBitmap = 0;
    l2ptAgentSetMirror = l2ptMirrorAclBitmap;
    L2PT_DBG("%s: start\r\n", kInit);
    ozmDLLInit(&l2ptCorePortList);
    ozmDLLInit(&l2ptDebugData.list);
    if (ozmEvhSubscribeEvt(tcb.logHandle, 3, EVT_LINECARD_REMOVED, EVT_LINECARD_UP,
                           EVT_LINECARD_DOWN) != 0) {
        logFailure("cannot subscribe to linecard events");
        l2ptTaskExit(L2PT_EXIT_STARTUP_FAILURE);
        return -1;
    }
    int value = kRegisterSvceValue;
    ozmEvtRegisterSvce(tcb.logHandle, &value);
    L2PT_DBG("%s: Registration with IFM and ACL agents\r\n", kInit);
    while (l2ptRegistration() == -1) {
        taskDelay(sysClkRateGet());
    }
    L2PT_DBG("%s: sending download data msg to IFM\r\n", kInit);
    uint8_t request[ifmreg::kRequestLen] = {};
    if (l2ptIpcSendAndWait(MT_L2PT_IFM_DOWNLOAD_DATA, svc::kIfm, 0, request, sizeof request) ==
        -1) {
        logFailure("cannot send download data message to IFM");
        l2ptTaskExit(L2PT_EXIT_STARTUP_FAILURE);
        return -1;
    }
    return 0;
}

int l2ptTaskMain(int argc, char** argv) {
    ozmL2ptTcbNode = OzmL2ptTcb{};
    OzmL2ptTcb& tcb = ozmL2ptTcbNode;
    tcb.taskKey = ozmTaskStartup(argc, argv, 0);
    if (tcb.taskKey == static_cast<uint32_t>(-1)) {
        ozmPerror("l2ptTaskMain: ozmTaskStartup");
        return -1;
    }
    tcb.swpSeqState[0] = tcb.swpSeqState[1] = 0;
    tcb.serviceId = ozmTaskGetServiceByKey(tcb.taskKey);
    tcb.instanceId = ozmTaskGetInstanceByKey(tcb.taskKey);
    tcb.logHandle = ozmEvtOpenlog("l2ptTaskMain", 0, svc::kL2pt, 0);
    if (tcb.logHandle == OZM_EVT_INVALID_HANDLE) {
        ozmPerror("l2ptTaskMain: ozmEvtOpenlog");
        return -1;
    }
    ozmEvtRegisterCatalogue(L2PT_EVT_CATALOGUE, std::size(L2PT_EVT_CATALOGUE));
    if (ozmEvtSetSeverityLevel(tcb.logHandle, kEvtSeverityMask) == -1) {
        ozmPerror("l2ptTaskMain: ozmEvtSetSeverityLevel");
        return -1;
    }
    tcb.ipcKey = ozmIpcTmrOpen(svc::kL2pt, tcb.instanceId);
    if (tcb.ipcKey == OZM_IPC_INVALID) {
        logFailure("Can't get IPC key");
        ozmEvtCloselog(tcb.logHandle);
        return -1;
    }
    // The ACL agents run one per line card, the agent's instance being the card's slot.
    ozmIpcSetLineCardService(svc::kAcl);
    if (l2ptCreateMemPools() == -1) {
        logFailure("Mempool allocation failed");
        ozmEvtCloselog(tcb.logHandle);
        return -1;
    }
    if (openPduSocket(&tcb.stpSock, OZML2STP, "OZML2STP") == -1 ||
        openPduSocket(&tcb.l2ptSock, OZML2L2PT, "OZML2L2PT") == -1) {
        return -1;
    }
    tcb.swpPipe = ozmSwpCreatePipe(kSwpPipeName);
    if (tcb.swpPipe == -1) {
        logFailure("cannot create SWP pipe");
        return -1;
    }
    l2ptWatchFds(tcb);

    if (l2ptTaskInit(tcb) == -1)
        return 0;
    ozmTaskReady(tcb.taskKey);
    l2ptIsPrimary = static_cast<uint32_t>(ozmHaIsPrimaryRpm());
    const OzmTimeval waitTime{0, kLoopWaitUsec};
    for (;;) {
        loopPass(waitTime);
    }
}
