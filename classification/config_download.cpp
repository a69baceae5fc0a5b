// Configuration download: the entries of every tunnelling port on one line card.
#include "classification/config_download.h"

#include "base/debug.h"
#include "classification/acl_msg.h"
#include "classification/agents.h"
#include "classification/lag_walk.h"
#include "classification/tunnel_mac.h"
#include "platform/ifm.h"
#include "state/records.h"

int32_t l2ptDownloadConfig(int32_t slot) {
    static constexpr const char* kName = "l2ptDownloadConfig";
    L2PT_DBG("%s: BEGIN for slot %d\r\n", kName, slot);
    const L2ptAclAgent* agent = l2ptAgentOf(slot);
    if (agent == nullptr) {
        L2PT_DBG("%s: slot %d is out of range\r\n", kName, slot);
        return -1;
    }
    if (agent->global_acl == 1) {
        l2ptHalInstallOzmAcl(slot);
    } else {
        for (uint32_t vid = 0; vid < L2PT_MAX_VLAN; ++vid) {
            L2ptVmanEntry* vman = pL2ptVlanTable[vid];
            if (vman == nullptr || vman->protoFlags == 0) {
                continue;
            }
            l2ptNormaliseAclMode(vman);
            for (L2ptIfNode* node = l2ptFirstIfNode(vman); node != nullptr;
                 node = l2ptNextIfNode(node)) {
                if (l2ptIsLag(node->ifIndex) || ifmIfIndexToSlotId(node->ifIndex) != slot) {
                    continue;
                }
                if (node->isCore != 0) {
                    l2ptPackAclPortEntry(node, 1, 0, vid, vman->protoFlags, L2PT_ACL_MODE_CORE);
                } else {
                    l2ptPackAclPortEntry(node, 1, vman->rateLimit, vid, vman->protoFlags,
                                         vman->aclMode);
                }
            }
        }
        l2ptForEachLagMember(slot, [&](L2ptLagEntry& lag, int m) {
            l2ptForEachLagVlan(lag, L2PT_LAG_WALK_TEXTS, kName,
                               [&](uint32_t vid, L2ptVmanEntry* vman, L2ptIfNode* node) {
                                   if (node->isCore != 0) {
                                       l2ptPackAclLagPortEntry(
                                           node, lag.memberIfIndex[m], 1, 0, vid, vman->protoFlags,
                                           lag.memberVlanCount[m], L2PT_ACL_MODE_CORE);
                                       return;
                                   }
                                   l2ptNormaliseAclMode(vman);
                                   l2ptPackAclLagPortEntry(node, lag.memberIfIndex[m], 1,
                                                           vman->rateLimit, vid, vman->protoFlags,
                                                           lag.memberVlanCount[m], vman->aclMode);
                               });
        });
    }
    l2ptFlushAgentMsg(slot, kName);
    l2ptProcessNewL2PTMac(l2ptTunnelMac());
    L2PT_DBG("%s: END \r\n", kName);
    return 0;
}
