// Tunnel MAC change and the re-install of the entries that carry the tunnel MAC.
#include "classification/tunnel_mac.h"

#include <cstring>

#include "base/debug.h"
#include "base/msg_check.h"
#include "classification/acl_msg.h"
#include "classification/agents.h"
#include "classification/lag_walk.h"
#include "platform/kernel.h"
#include "platform/wire/bytes.h"
#include "platform/wire/l2pt.h"
#include "state/protocol.h"
#include "state/records.h"

namespace {

bool isGlobalAgent(int32_t slot) {
    const L2ptAclAgent& agent = l2ptAclAgentTable[slot];
    return agent.alive != 0 && agent.global_acl == 1;
}

// Packs, for every global agent, the install of its agent-wide entry with `mac`; true when there
// was one. The tunnel row takes the MAC before each entry is packed.
bool installGlobalTunnelEntries(const uint8_t* mac, const char* format) {
    bool packed = false;
    for (int32_t slot = 0; slot < L2PT_MAX_SLOTS; ++slot) {
        if (isGlobalAgent(slot)) {
            l2ptSetTunnelMac(mac);
            L2PT_DBG(format, "l2ptProcessMac", slot);
            l2ptHalInstallOzmAcl(slot);
            packed = true;
        }
    }
    return packed;
}

// Packs, for every global agent, the removal of its agent-wide entry (current MAC).
bool removeGlobalTunnelEntries(const char* format) {
    bool packed = false;
    for (int32_t slot = 0; slot < L2PT_MAX_SLOTS; ++slot) {
        if (isGlobalAgent(slot)) {
            L2PT_DBG(format, "l2ptProcessMac", slot);
            l2ptHalRemoveOzmAcl(slot);
            packed = true;
        }
    }
    return packed;
}

// Physical core ports of every tunnelling VLAN, in VLAN order then list order. The tunnel row
// holds `mac` while each entry is packed. True when at least one port was met.
bool packPhysicalCorePorts(const uint8_t* mac, int32_t add) {
    bool met = false;
    for (uint32_t vid = 0; vid < L2PT_MAX_VLAN; ++vid) {
        L2ptVmanEntry* vman = pL2ptVlanTable[vid];
        if (vman == nullptr || vman->protoFlags == 0) {
            continue;
        }
        for (L2ptIfNode* node = l2ptFirstIfNode(vman); node != nullptr;
             node = l2ptNextIfNode(node)) {
            if (node->isCore == 0 || l2ptIsLag(node->ifIndex)) {
                continue;
            }
            l2ptSetTunnelMac(mac);
            l2ptPackAclPortEntry(node, add, 0, vid, vman->protoFlags, L2PT_ACL_MODE_CORE);
            met = true;
        }
    }
    return met;
}

// Members of core LAGs, for every tunnelling VLAN of their LAG.
bool packCoreLagMembers(const uint8_t* mac, int32_t add, const L2ptLagWalkTexts& texts,
                        const char* caller) {
    bool met = false;
    l2ptForEachLagMember(-1, [&](L2ptLagEntry& lag, int m) {
        l2ptForEachLagVlan(
            lag, texts, caller, [&](uint32_t vid, L2ptVmanEntry* vman, L2ptIfNode* node) {
                if (node->isCore == 0) {
                    return;
                }
                l2ptSetTunnelMac(mac);
                l2ptPackAclLagPortEntry(node, lag.memberIfIndex[m], add, 0, vid, vman->protoFlags,
                                        lag.memberVlanCount[m], L2PT_ACL_MODE_CORE);
                met = true;
            });
    });
    return met;
}

// The re-install of l2ptInstallFpEntry and l2ptRemoveFpEntry: removals with the MAC in force,
// installs with the target, physical ports first, each batch flushed.
void reinstallCoreEntries(const uint8_t* target, const L2ptLagWalkTexts& installTexts,
                          const char* caller) {
    uint8_t oldMac[L2PT_MAC_LEN];
    std::memcpy(oldMac, l2ptTunnelMac(), L2PT_MAC_LEN);
    l2ptSetTunnelMac(target);
    if (packPhysicalCorePorts(oldMac, 0)) {
        l2ptDownloadAclMsg();
        packPhysicalCorePorts(target, 1);
        l2ptDownloadAclMsg();
    }
    if (packCoreLagMembers(oldMac, 0, L2PT_LAG_WALK_TEXTS, caller)) {
        l2ptDownloadAclMsg();
        packCoreLagMembers(target, 1, installTexts, caller);
        l2ptDownloadAclMsg();
    }
    l2ptSetTunnelMac(target);
}

}  // namespace

int32_t l2ptProcessNewL2PTMac(const uint8_t* mac) {
    uint8_t request[macreq::kLen] = {};
    const int sock = kern::socket(OZM_AF_INET, OZM_SOCK_DGRAM, 0);
    if (sock == -1) {
        return -1;
    }
    wire::putU32(request, macreq::kCmd, macreq::kCmdValue);
    wire::putU8(request, macreq::kAddrLen, macreq::kAddrLenValue);
    wire::putU8(request, macreq::kAddrType, macreq::kAddrTypeValue);
    std::memcpy(request + macreq::kMac, mac, L2PT_MAC_LEN);
    const int rc = kern::ioctl(sock, macreq::kIoctl, request);
    kern::close(sock);
    return rc == -1 ? -1 : 0;
}

void l2ptInstallFpEntry(const uint8_t* newMac) {
    static constexpr L2ptLagWalkTexts kTexts = {
        "\r\n%s: vlan %ld pointer is                                     null\r\n",
        "\r\n%s: vlan %ld flag is                                     zero\r\n",
        "\r\n%s: could not get lag                                     %s ifnode\r\n",
    };
    reinstallCoreEntries(newMac, kTexts, __func__);
}

void l2ptRemoveFpEntry() {
    static constexpr L2ptLagWalkTexts kTexts = {
        "\r\n%s: vlan %ld pointer is                                     null\r\n",
        "\r\n%s: vlan %ld flag is                                     zero\r\n",
        "\r\n%s: could not get lag %s                                     ifnode\r\n",
    };
    reinstallCoreEntries(l2ptMacAddr, kTexts, __func__);
}

void l2ptProcessMac(wire::Msg msg) {
    l2ptCheckMsgLen(msg, macmsg::kLen);  // fields missing from a short message read as 0
    L2PT_DBG("%s: received l2pt mac msg\r\n", __func__);
    uint8_t newMac[L2PT_MAC_LEN];
    msg.copyTo(macmsg::kNewMac, newMac);
    if (msg.u8(macmsg::kSetMac) == 1) {
        l2ptProcessNewL2PTMac(newMac);
        bool packed;
        bool removals = false;
        if (msg.u8(macmsg::kReplaceGlobal) == 1) {
            packed = removals = removeGlobalTunnelEntries(
                "%s: Deleting Old Global OzmAcl Entry for                                     "
                "slot: %d\r\n");
        } else {
            packed = installGlobalTunnelEntries(
                newMac,
                "%s: Adding Global OzmAcl Entry for                                     "
                "slot: %d\r\n");
        }
        if (packed) {
            l2ptDownloadAclMsg();
        }
        if (removals) {
            installGlobalTunnelEntries(newMac,
                                       "%s: Adding Global OzmAcl Entry for                      "
                                       "                       slot: %d\r\n");
            l2ptDownloadAclMsg();
        }
        if (!packed) {
            l2ptInstallFpEntry(newMac);
        }
        return;
    }
    if (removeGlobalTunnelEntries("%s: Deleting Old Global OzmAcl Entry for                        "
                                  "         slot: %d\r\n")) {
        l2ptDownloadAclMsg();
        installGlobalTunnelEntries(
            l2ptMacAddr,
            "%s: Adding Global OzmAcl Entry for                                     slot: %d\r\n");
        l2ptDownloadAclMsg();
    } else {
        l2ptRemoveFpEntry();
    }
    l2ptProcessNewL2PTMac(l2ptTunnelMac());
}
