// VLAN port events: records updated, one classification change queued per port, one flush.
#include "events/vlan_port.h"

#include <cstdio>

#include "base/debug.h"
#include "base/log_codes.h"
#include "base/msg_check.h"
#include "base/pools.h"
#include "base/tcb.h"
#include "classification/acl_msg.h"
#include "events/vlan_blocks.h"
#include "platform/dll.h"
#include "platform/evtlog.h"
#include "platform/mem.h"
#include "state/records.h"

namespace {

// Call sites of the handlers' allocations, for the platform's accounting.
constexpr int kSiteVmanAlloc = 1793;
constexpr int kSiteDelNodeFree = 1985;
constexpr int kSiteDisableNodeFree = 2089;
constexpr int kSiteVmanFree = 2095;

// Queues a port's install or removal: core ports without a rate and with entry mode 5.
void packPort(L2ptIfNode* node, int32_t add, const L2ptVmanEntry* vman, uint32_t vlanId,
              uint8_t protoFlags) {
    if (node->isCore != 0) {
        l2ptPackAclPortEntry(node, add, 0, vlanId, protoFlags, L2PT_ACL_MODE_CORE);
    } else {
        l2ptPackAclPortEntry(node, add, vman->rateLimit, vlanId, protoFlags, vman->aclMode);
    }
}

// Removes a port from its VLAN: removal queued first (it reads the records), then the port
// record withdrawn, then the node released.
void removePort(L2ptVmanEntry* vman, L2ptIfNode* node, uint32_t vlanId, uint8_t protoFlags,
                int freeSite) {
    packPort(node, 0, vman, vlanId, protoFlags);
    if (node->isCore != 0) {
        l2ptDeleteCorePort(node->corePort);
    } else {
        l2ptDeleteAccessPort(node->ifIndex, protoFlags);
    }
    ozmDLLRemove(&vman->ifList, &node->links);
    ozmMC_M_memBlockFree(L2PT_MOD_BCM, freeSite, node);
}

// The VLAN record a delete or disable block works on, or null (logged) when it has none.
// The record's aclMode is normalised; a record whose flags miss the block's gives null too.
L2ptVmanEntry* vmanForRemoval(const L2ptVlanBlock& block, const char* caller) {
    if (block.vlanId >= L2PT_MAX_VLAN) {
        return nullptr;
    }
    L2ptVmanEntry* vman = pL2ptVlanTable[block.vlanId];
    if (vman == nullptr) {
        char text[L2PT_VLAN_TEXT_LEN];
        l2ptFormat(text, sizeof text, "vman %s does not exist", L2ptIfName(block.vlanIfIndex).text);
        ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_FAILURE, 1, text);
        return nullptr;
    }
    l2ptNormaliseAclMode(vman);
    if ((vman->protoFlags & block.protoFlags) == 0) {
        L2PT_DBG("%s: vman %s flags %x do not match %x", caller,
                 L2ptDbgName(block.vlanIfIndex).text, vman->protoFlags, block.protoFlags);
        return nullptr;
    }
    return vman;
}

}  // namespace

void l2ptProcessAddVlanPort(wire::Msg msg) {
    l2ptCheckMsgLen(msg, vlanmsg::kBlocks);
    L2PT_DBG("%s: received vlan add port msg for %ld vlans\r\n", __func__,
             static_cast<long>(msg.u32(vlanmsg::kBlockCount)));
    l2ptForEachVlanBlock(msg, __func__, [](const L2ptVlanBlock& block) {
        const char* fn = "l2ptProcessAddVlanPort";
        if (block.vlanId >= L2PT_MAX_VLAN) {
            L2PT_DBG("%s: invalid vlan %s \r\n", fn, L2ptDbgName(block.vlanIfIndex).text);
            return;
        }
        L2PT_DBG("%s: processing vlan %s for %d interfaces flag %x\r\n", fn,
                 L2ptDbgName(block.vlanIfIndex).text, block.portCount, block.protoFlags);
        L2ptVmanEntry* vman = pL2ptVlanTable[block.vlanId];
        if (vman == nullptr) {
            vman = l2ptCreateVmanEntry(block.vlanId, kSiteVmanAlloc);
            if (vman == nullptr) {
                return;
            }
        }
        vman->vlanIfIndex = block.vlanIfIndex;
        vman->protoFlags |= block.protoFlags;
        if (vman->rateLimit == 0) {
            vman->rateLimit = block.rate;
        }
        const bool rateConfigured =
            vman->aclMode == L2PT_ACL_MODE_RATE || vman->aclMode == L2PT_ACL_MODE_BOTH;
        vman->aclMode =
            vman->rateLimit != 0 || rateConfigured ? L2PT_ACL_MODE_BOTH : L2PT_ACL_MODE_TUNNEL;
        L2PT_DBG("Ports: ");
        for (uint32_t i = 0; i < block.portCount; ++i) {
            const wire::Msg entry = block.portEntry(i);
            const uint32_t ifIndex = entry.u32(vlanmsg::kPortIfIndex);
            L2PT_DBG("%s mode %lx\r\n", L2ptDbgName(ifIndex).text,
                     static_cast<unsigned long>(entry.u32(vlanmsg::kPortMode)));
            L2ptIfNode* node =
                l2ptCheckAndInsertIfNode(vman, entry, block.vlanId, block.protoFlags);
            if (node == nullptr) {
                L2PT_DBG("\r\n%s: failure to allocate port node %s\r\n", fn,
                         L2ptDbgName(ifIndex).text);
                continue;
            }
            packPort(node, 1, vman, block.vlanId, block.protoFlags);
        }
        L2PT_DBG("\r");
    });
    l2ptDownloadAclMsg();
}

void l2ptProcessDelVlanPort(wire::Msg msg) {
    l2ptCheckMsgLen(msg, vlanmsg::kBlocks);
    L2PT_DBG("%s: received vlan del port msg for %ld vlans\r\n", __func__,
             static_cast<long>(msg.u32(vlanmsg::kBlockCount)));
    l2ptForEachVlanBlock(msg, __func__, [](const L2ptVlanBlock& block) {
        const char* fn = "l2ptProcessDelVlanPort";
        L2PT_DBG("%s: processing vlan %s block\r\n", fn, L2ptDbgName(block.vlanIfIndex).text);
        L2ptVmanEntry* vman = vmanForRemoval(block, fn);
        if (vman == nullptr) {
            return;
        }
        L2PT_DBG("Ports: ");
        for (uint32_t i = 0; i < block.portCount; ++i) {
            const uint32_t ifIndex = block.portEntry(i).u32(vlanmsg::kPortIfIndex);
            L2PT_DBG("%s ", L2ptDbgName(ifIndex).text);
            L2ptIfNode* node = l2ptGetIfNode(vman, ifIndex);
            if (node == nullptr) {
                L2PT_DBG("%s: port node %s is null\r\n", fn, L2ptDbgName(ifIndex).text);
                continue;
            }
            removePort(vman, node, block.vlanId, block.protoFlags, kSiteDelNodeFree);
        }
        L2PT_DBG("\r");
    });
    l2ptDownloadAclMsg();
}

void l2ptProcessVlanProtocolDisable(wire::Msg msg) {
    l2ptCheckMsgLen(msg, vlanmsg::kBlocks);
    L2PT_DBG("%s: received vlan proto disable msg for %ld vlans\r\n", __func__,
             static_cast<long>(msg.u32(vlanmsg::kBlockCount)));
    l2ptForEachVlanBlock(msg, __func__, [](const L2ptVlanBlock& block) {
        const char* fn = "l2ptProcessVlanProtocolDisable";
        L2PT_DBG("%s: processing vlan %s disable\r\n", fn, L2ptDbgName(block.vlanIfIndex).text);
        L2ptVmanEntry* vman = vmanForRemoval(block, fn);
        if (vman == nullptr) {
            return;
        }
        L2PT_DBG("Ports: ");
        L2ptIfNode* node = l2ptFirstIfNode(vman);
        while (node != nullptr) {
            L2ptIfNode* next = l2ptNextIfNode(node);
            L2PT_DBG("%s ", L2ptDbgName(node->ifIndex).text);
            removePort(vman, node, block.vlanId, block.protoFlags, kSiteDisableNodeFree);
            node = next;
        }
        L2PT_DBG("\r");
        ozmMC_M_memBlockFree(L2PT_MOD_BCM, kSiteVmanFree, vman);
        pL2ptVlanTable[block.vlanId] = nullptr;
    });
    l2ptDownloadAclMsg();
}
