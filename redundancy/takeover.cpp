// Takeover: the new primary registers with every agent the old primary had and configures it.
#include "redundancy/takeover.h"

#include "base/debug.h"
#include "base/log_codes.h"
#include "base/msg_check.h"
#include "base/tcb.h"
#include "classification/acl_msg.h"
#include "classification/agents.h"
#include "classification/config_download.h"
#include "platform/bitmap.h"
#include "platform/evtlog.h"
#include "platform/ha.h"
#include "platform/wire/header.h"
#include "redundancy/peer_rpm.h"

namespace {

constexpr int kBitmapBits = 32;

bool slotInBitmap(uint32_t bitmap, int32_t slot) {
    return (bitmap & ozmBitMask(slot)) != 0;
}

}  // namespace

int l2ptProcessHA(wire::Msg msg) {
    l2ptCheckMsgLen(msg, hdr::kHaEvent + sizeof(uint32_t));  // a missing event reads as 0
    L2PT_DBG("%s(): __ENTRY__ \r\n", __func__);
    if (msg.u32(hdr::kHaEvent) == L2PT_HA_EVENT_ROLES_SETTLED) {
        l2ptRegisteredWithPRPM = 0;
        if (l2ptIsPrimary == 0 && ozmHaIsPrimaryRpm() != 0) {
            l2ptIsPrimary = 1;
            l2ptAclRegisterHA();
        }
    }
    L2PT_DBG("%s(): __EXIT__ \r\n", __func__);
    return 0;
}

void l2ptHalHAUpdateAclBitmap() {
    // The slot comes from the peer: only a slot the bitmap can hold has a bit to clear.
    if (l2ptMstrSlotId >= 0 && l2ptMstrSlotId < kBitmapBits) {
        CLEAR_BIT_BITMAP(&l2ptAclBitmap, l2ptMstrSlotId);
    }
    if (l2ptMstrSlotId >= 0) {
        l2ptMstrSlotId = -1;
    }
}

int l2ptAclRegisterHA() {
    L2PT_DBG("%s(): __ENTRY__\r\n", __func__);
    l2ptHalHAUpdateAclBitmap();
    uint32_t registered = 0;
    int32_t attempts = 0;
    do {
        for (int32_t slot = 0; slot < L2PT_MAX_SLOTS; ++slot) {
            if (slotInBitmap(l2ptAclBitmap, slot) && l2ptInitAclAgent(slot) == 1) {
                registered |= ozmBitMask(slot);
                l2ptDownloadConfig(slot);
            }
        }
        ++attempts;
    } while (BITMAP_COMPARE_BITMAPS(&registered, &l2ptAclBitmap, sizeof registered) != 0 &&
             attempts < gL2PTMaxAclTry);
    if (attempts >= gL2PTMaxAclTry) {
        for (int32_t slot = 0; slot < L2PT_MAX_SLOTS; ++slot) {
            if (slotInBitmap(l2ptAclBitmap, slot) && !slotInBitmap(registered, slot) &&
                ozmHaIsPrimaryRpm() == 1) {
                ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_AGENT_NOT_REGISTERED, 1,
                          slot);
            }
        }
    }
    L2PT_DBG("%s(): __EXIT__ \r\n", __func__);
    return 0;
}
