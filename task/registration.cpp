// The registration with IFM and the line cards' ACL agents.
#include "task/registration.h"

#include "base/ipc.h"

#include "base/debug.h"
#include "base/log_codes.h"
#include "base/tcb.h"
#include "classification/acl_msg.h"
#include "classification/agents.h"
#include "platform/bitmap.h"
#include "platform/evtlog.h"
#include "platform/ha.h"
#include "platform/ipc.h"
#include "platform/process.h"
#include "platform/wire/bytes.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"

namespace {

constexpr uint32_t kLineCardBitmapBits = 32;

bool agentRegistered(uint32_t slot) {
    return (l2ptAclBitmap & ozmBitMask(slot)) != 0;
}

// Present line cards (IFM's bitmap, slot i = 1 << i) whose slot the agent table holds.
bool lineCardPresent(uint32_t lcBitmap, uint32_t slot) {
    return slot < kLineCardBitmapBits && (lcBitmap & (1u << slot)) != 0;
}

}  // namespace

int l2ptRegistration() {
    uint8_t request[ifmreg::kRequestLen] = {};
    if (l2ptIpcSendAndWait(MT_L2PT_IFM_REG, svc::kIfm, 0, request, sizeof request) == -1) {
        return -1;
    }
    const uint32_t slotCount = wire::getU32(request, ifmreg::kMaxSlots);
    const uint32_t lcBitmap = wire::getU32(request, ifmreg::kLineCardBitmap);
    L2PT_DBG("%s: max chassis linecard %ld, lc bmap %lx\r\n", __func__,
             static_cast<long>(slotCount), static_cast<unsigned long>(lcBitmap));
    L2PT_DBG("%s: Registration with ACL agents\r\n", __func__);
    for (int32_t passes = 0;;) {
        uint32_t tried = 0;
        for (uint32_t slot = 0; slot < slotCount && slot < kLineCardBitmapBits; ++slot) {
            if (!lineCardPresent(lcBitmap, slot)) {
                continue;
            }
            if (!l2ptSlotValid(static_cast<int32_t>(slot))) {
                L2PT_DBG("%s: line card slot %d is beyond the agent table\r\n", __func__, slot);
                continue;
            }
            if (!agentRegistered(slot)) {
                l2ptInitAclAgent(static_cast<int32_t>(slot));
                ++tried;
            }
        }
        ++passes;
        if (tried == 0) {
            break;
        }
        if (passes < gL2PTMaxAclTry) {
            continue;
        }
        for (uint32_t slot = 0; slot < slotCount && slot < static_cast<uint32_t>(L2PT_MAX_SLOTS);
             ++slot) {
            if (lineCardPresent(lcBitmap, slot) && !agentRegistered(slot) &&
                ozmHaIsPrimaryRpm() == 1) {
                ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_AGENT_NOT_REGISTERED, 1,
                          static_cast<int>(slot));
            }
        }
        break;
    }
    L2PT_DBG("%s: registration complete\r\n", __func__);
    return 0;
}
