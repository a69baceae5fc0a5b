// Template bodies of classification/lag_walk.h.
#pragma once

#include "base/debug.h"
#include "platform/bitmap.h"
#include "platform/ifm.h"

template <class Fn>
void l2ptForEachLagVlan(const L2ptLagEntry& lag, const L2ptLagWalkTexts& texts, const char* caller,
                        Fn&& fn) {
    for (int vid = GET_FIRST_BIT_BITMAP(lag.vlanBitmap, L2PT_VLAN_BITMAP_BITS); vid != -1;
         vid = GET_NEXT_BIT_BITMAP(lag.vlanBitmap, vid, L2PT_VLAN_BITMAP_BITS)) {
        L2ptVmanEntry* vman = l2ptGetVman(static_cast<uint32_t>(vid));
        if (vman == nullptr) {
            L2PT_DBG(texts.noVman, caller, static_cast<long>(vid));
            continue;
        }
        if (vman->protoFlags == 0) {
            L2PT_DBG(texts.noFlags, caller, static_cast<long>(vid));
            continue;
        }
        L2ptIfNode* node = l2ptGetIfNode(vman, lag.lagIfIndex);
        if (node == nullptr) {
            L2PT_DBG(texts.noIfNode, caller, L2ptDbgName(lag.lagIfIndex).text);
            continue;
        }
        fn(static_cast<uint32_t>(vid), vman, node);
    }
}

template <class Fn>
void l2ptForEachLagMember(int32_t slot, Fn&& fn) {
    for (L2ptLagEntry& lag : l2ptLagTable) {
        for (int m = 0; m < L2PT_MAX_LAG_MEMBERS; ++m) {
            const uint32_t member = lag.memberIfIndex[m];
            if (member != 0 && (slot < 0 || ifmIfIndexToSlotId(member) == slot)) {
                fn(lag, m);
            }
        }
    }
}
