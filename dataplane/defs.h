/* What the line cards' data plane decides about a frame, in the words both of its models use:
 * the simulated data plane (chassis/) and the kernel pipeline (net/pipeline/, compiled for BPF).
 * Plain C, so that both compilers take it; the two must agree frame for frame. */
#ifndef L2PT_DATAPLANE_DEFS_H
#define L2PT_DATAPLANE_DEFS_H

#include <linux/types.h>

#include "dataplane/drop_reasons.h"

/* Frame layout. */
#define L2PT_ETH_ALEN 6
#define L2PT_ETH_HLEN 14
#define L2PT_OFF_DST 0
#define L2PT_OFF_SRC 6
#define L2PT_OFF_TYPE 12 /* EtherType, or the TPID of the outer tag */
#define L2PT_TAG_LEN 4
#define L2PT_VID_MASK 0x0FFF
#define L2PT_MAX_VID 4095

/* Tag protocol identifiers a frame may carry without any configuration. */
#define L2PT_TPID_8021Q 0x8100
#define L2PT_TPID_QINQ 0x88a8
#define L2PT_TPID_VMAN 0x9100 /* the provider TPID until IFM sets another */

/* Tags a frame may carry as it enters: a customer's own (at most two) on an access port, and the
 * provider tag above them on a core port. More are refused as a tag stack too deep. */
#define L2PT_MAX_CUSTOMER_TAGS 2
#define L2PT_MAX_TAGS (L2PT_MAX_CUSTOMER_TAGS + 1)
/* Leading 802.1Q/802.1ad tags the kernel moves out of a frame's data one at a time, each with an
 * EtherType's room after it: a frame with more is refused as a tag stack too deep before
 * anything else (a trap entry, the tunnel MAC, the reserved addresses) looks at it. */
#define L2PT_LEADING_TAGS_MAX 8

/* Longest frame handed to the task: past its packet buffer, so that the task itself tells a
 * frame it cannot take; longer frames are dropped before they reach it. */
#define L2PT_TRAP_MAX_LEN 1600

/* The protocols' own destination MACs: a frame trapped for one of them goes to the task's
 * access socket, any other trapped frame (the tunnel MAC) to its tunnel socket. */
#define L2PT_PROTOCOL_MACS 4
static const __u8 l2pt_protocol_macs[L2PT_PROTOCOL_MACS][L2PT_ETH_ALEN] = {
    {0x01, 0x80, 0xc2, 0x00, 0x00, 0x00}, /* STP */
    {0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e}, /* LLDP */
    {0x01, 0x80, 0xc2, 0x00, 0x00, 0x20}, /* GVRP */
    {0x01, 0x00, 0x0c, 0xcc, 0xcc, 0xcd}, /* PVST */
};
static inline int l2pt_is_protocol_mac(const __u8* mac) {
    for (int m = 0; m < L2PT_PROTOCOL_MACS; m++) {
        int same = 1;
        for (int i = 0; i < L2PT_ETH_ALEN; i++)
            same &= mac[i] == l2pt_protocol_macs[m][i];
        if (same)
            return 1;
    }
    return 0;
}

/* Layer-2 control protocols (L2CP): the 32 reserved addresses 01:80:c2:00:00:00-0f and
 * 01:80:c2:00:00:20-2f, each with an action per port (or LAG) and, overriding it, per port in a
 * VLAN. An address's index is its last byte, 0x20-0x2f counting on from 16. Two bits per address
 * in a 64-bit word, address i at bits 2i and 2i+1. */
#define L2PT_L2CP_ADDRESSES 32
#define L2PT_L2CP_BITS 2
#define L2PT_L2CP_MASK 0x3
enum l2pt_l2cp_action {
    L2PT_L2CP_DEFAULT = 0, /* none configured: the port's (for a VLAN's), else the address's */
    L2PT_L2CP_TUNNEL,      /* trapped where an entry traps it, else discarded */
    L2PT_L2CP_DISCARD,     /* discarded, whatever entry there is */
    L2PT_L2CP_FORWARD,     /* bridged unchanged as data, whatever entry there is */
};
/* An 802.1ad S-VLAN component never relays 01:80:c2:00:00:01-0a and -0e: by default they are
 * discarded unless an entry traps them; the others are forwarded unless an entry traps them. */
#define L2PT_L2CP_NEVER_RELAYED 0x000047FEu

/* The address's index, or -1 for a destination that is no reserved address. */
static inline int l2pt_l2cp_index(const __u8* mac) {
    if (mac[0] != 0x01 || mac[1] != 0x80 || mac[2] != 0xc2 || mac[3] != 0 || mac[4] != 0)
        return -1;
    if (mac[5] < 0x10)
        return mac[5];
    if (mac[5] >= 0x20 && mac[5] < 0x30)
        return mac[5] - 0x10;
    return -1;
}

/* Address index's action in a word of actions. */
static inline __u32 l2pt_l2cp_action_of(__u64 actions, __u32 index) {
    return (__u32)(actions >> (L2PT_L2CP_BITS * (index & (L2PT_L2CP_ADDRESSES - 1)))) &
           L2PT_L2CP_MASK;
}

/* What becomes of a frame to reserved address index under action (L2PT_L2CP_DEFAULT: none
 * configured at all) when no entry traps it: L2PT_L2CP_DISCARD or L2PT_L2CP_FORWARD. Where an
 * entry traps it, DEFAULT and TUNNEL trap; DISCARD and FORWARD never look for an entry. */
static inline __u32 l2pt_l2cp_untrapped(__u32 action, __u32 index) {
    if (action == L2PT_L2CP_DEFAULT)
        return (L2PT_L2CP_NEVER_RELAYED >> (index & (L2PT_L2CP_ADDRESSES - 1))) & 1
                   ? L2PT_L2CP_DISCARD
                   : L2PT_L2CP_FORWARD;
    return action == L2PT_L2CP_FORWARD ? L2PT_L2CP_FORWARD : L2PT_L2CP_DISCARD;
}

/* What a port counts per reserved address: frames trapped by an entry, discarded, forwarded. */
#define L2PT_L2CP_COUNTED_TUNNELLED 0
#define L2PT_L2CP_COUNTED_DISCARDED 1
#define L2PT_L2CP_COUNTED_FORWARDED 2
#define L2PT_L2CP_COUNTERS 3

/* The tunnel MAC until IFM sets another. */
static const __u8 l2pt_default_tunnel_mac[L2PT_ETH_ALEN] = {0x03, 0xa7, 0x31, 0x00, 0x00, 0x00};

/* The task's two PDU sockets (its OZML2STP and OZML2L2PT protocols). */
#define L2PT_SOCKET_ACCESS 1
#define L2PT_SOCKET_TUNNEL 9

/* Why the data plane did not pass a frame on (drop_reasons.h); counted per port and in total. */
#define L2PT_DP_DROP_ENUM(c, cpp, key, text) L2PT_DP_DROP_##c,
enum l2pt_drop { L2PT_DROP_REASONS(L2PT_DP_DROP_ENUM) L2PT_DP_DROP_REASONS };
#undef L2PT_DP_DROP_ENUM

/* Learning. The table of learned MACs holds L2PT_FDB_ENTRIES_DEFAULT of them unless the chassis
 * file says otherwise; when it is full a new source is not learned (nothing is evicted). Each
 * port or LAG and each VLAN holds at most its limit of them, by default a sixteenth and a
 * quarter of the table: one port's flood leaves fifteen sixteenths of the table to the others,
 * and one VLAN's three quarters. Past a limit a frame from a new source is forwarded unlearned,
 * or dropped where its port says so. */
#define L2PT_FDB_ENTRIES_DEFAULT 65536
#define L2PT_FDB_ENTRIES_MIN 64
#define L2PT_FDB_ENTRIES_MAX (1u << 20)
#define L2PT_LEARN_PORT_SHARE 16
#define L2PT_LEARN_VLAN_SHARE 4

/* Storm control's classes of flooded data, in the order of their limits and counters. Known
 * unicast is never policed. */
enum l2pt_storm_class {
    L2PT_STORM_BROADCAST = 0, /* ff:ff:ff:ff:ff:ff */
    L2PT_STORM_MULTICAST,     /* any other group address */
    L2PT_STORM_UNKNOWN,       /* unicast to a destination not learned */
    L2PT_STORM_CLASSES
};
static inline int l2pt_storm_class(const __u8* dst) {
    if (!(dst[0] & 1))
        return L2PT_STORM_UNKNOWN;
    int all = 1;
    for (int i = 0; i < L2PT_ETH_ALEN; i++)
        all &= dst[i] == 0xff;
    return all ? L2PT_STORM_BROADCAST : L2PT_STORM_MULTICAST;
}

/* The bucket of a destination MAC in l2pt_globals.trap_none: its bytes folded to five bits. The
 * protocols' and tunnel MACs fall in a few buckets; most customer unicast falls in others and
 * skips the trap table's two lookups. */
#define L2PT_TRAP_BUCKETS 32
static inline __u32 l2pt_trap_bucket(const __u8* mac) {
    __u32 x = 0;
    for (int i = 0; i < L2PT_ETH_ALEN; i++)
        x ^= mac[i];
    return (x ^ x >> 5) % L2PT_TRAP_BUCKETS;
}

/* What became of a frame that entered a port (trace events, the shared frame table). */
enum l2pt_verdict {
    L2PT_VERDICT_TRAPPED = 1, /* handed to the task */
    L2PT_VERDICT_FORWARDED,   /* known unicast: one way out */
    L2PT_VERDICT_FLOODED,     /* broadcast, multicast or unknown: every other member */
    L2PT_VERDICT_DROPPED
};

/* FNV-1a over the destination and source MACs: the flow hash that picks a LAG's member. The
 * same on both models, so a flow leaves by the same member in the simulation and the kernel. */
#define L2PT_FNV_OFFSET 2166136261u
#define L2PT_FNV_PRIME 16777619u
static inline __u32 l2pt_flow_hash(const __u8* macs /* 12 bytes: dst, src */) {
    __u32 h = L2PT_FNV_OFFSET;
    for (int i = 0; i < 2 * L2PT_ETH_ALEN; i++) {
        h ^= macs[i];
        h *= L2PT_FNV_PRIME;
    }
    return h;
}

#endif
