// The task control block and the receive buffers.
#include "base/tcb.h"

OzmL2ptTcb ozmL2ptTcbNode;
uint8_t l2ptPktBuf[L2PT_PKT_BUF_SIZE];
uint8_t l2ptIpcBuf[L2PT_IPC_BUF_SIZE];
const char OZM_COREDUMP_ID[] = "l2ptd t_l2ptTask layer-2 protocol tunnelling";
