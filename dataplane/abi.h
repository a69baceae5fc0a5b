/* The kernel pipeline's tables: the records its maps hold, shared by the BPF programs that read
 * them on every frame, the chassis daemon that writes them, and l2ptd, which maps some of them
 * read-only to tag and address the PDUs it sends. Plain C, for both compilers. All numbers are
 * in host order. */
#ifndef L2PT_DATAPLANE_ABI_H
#define L2PT_DATAPLANE_ABI_H

#include <linux/bpf.h>
#include <linux/types.h>

#include "dataplane/defs.h"

/* Logical ports: a chassis port by its dense index (0 .. L2PT_MAX_PORTS-1), a LAG by
 * L2PT_LAG_BASE + its dense index. VLAN membership, learned MACs and flooding speak of these. */
#define L2PT_MAX_PORTS 1024
#define L2PT_MAX_LAGS 256
#define L2PT_LAG_BASE L2PT_MAX_PORTS
#define L2PT_MAX_LPORTS (L2PT_MAX_PORTS + L2PT_MAX_LAGS)
#define L2PT_LPORT_NONE 0xFFFF
#define L2PT_LPORT_WORDS (L2PT_MAX_LPORTS / 32)
#define L2PT_LAG_MAX_LIVE 32 /* members of one LAG that carry traffic at once */
#define L2PT_VLANS (L2PT_MAX_VID + 1)

/* The kernel ABI: the maps' records and what the programs make of them. A daemon that finds
 * the maps of a switch pinned (bpffs, docs/net.md) adopts them only when they were made for
 * this version and each has the shape this build wants; otherwise it migrates what it can
 * carry. Raised with every change of a record above or of a map's meaning. */
#define L2PT_ABI_VERSION 1

/* Test builds of the pipeline (tests/CMakeLists.txt, l2pt-chassisd --pipeline-variant N): 1
 * differs from the real one in its programs alone, 2 in the shape of a map and the ABI
 * version too. Neither is in a release's programs. */
#if defined(L2PT_TEST_VARIANT) && L2PT_TEST_VARIANT == 2
#define L2PT_TRAP_ENTRIES 16383
#else
/* Size of the trap table: a full chassis of ports, five entries each, and the agent-wide ones.
 * The learned MACs' table holds L2PT_FDB_ENTRIES_DEFAULT unless the chassis file says otherwise
 * (defs.h). */
#define L2PT_TRAP_ENTRIES 16384
#endif

/* l2pt_globals[0]: the switch-wide settings. */
#define L2PT_G_TRACE 0x1 /* send an event per frame to l2pt_events */
/* The task's link takes trailers of the retagging form (L2PT_TX_MAGIC_RETAG). Written by every
 * daemon whose pipeline does, cleared by one whose pipeline does not: it writes no flag it does
 * not know. Over an adopted link, whose program is the daemon's before, it stays as it was. */
#define L2PT_G_TX_RETAG 0x2
struct l2pt_globals {
    __u32 tpid;      /* the provider TPID in force */
    __u32 flags;     /* L2PT_G_* */
    __u64 ageing_ns; /* a learned MAC not seen for this long is unknown again */
    __u32 task_mark; /* the mark of the task's PDUs in its role now (L2PT_TASK_MARK_BASE | gen.) */
    __u32 task_if;   /* the interface they arrive by: our end of the task's link, 0: none */
    __u8 tunnel_mac[L2PT_ETH_ALEN]; /* the tunnel MAC in force: only provider traffic has it */
    __u16 pad;
    __u32 pdu_ports; /* ports with a trap entry: the task's ring is shared among them */
    /* Bit b set: no trap entry's MAC falls in bucket b (l2pt_trap_bucket), so a frame to a MAC
     * there skips the trap table. 0, as a daemon that knows no better writes it: every frame
     * looks its destination up. */
    __u32 trap_none;
};
#define L2PT_AGEING_NS_DEFAULT (300ull * 1000000000ull)
/* A known source's last-seen time is written again once it is this old: a sixteenth of the
 * ageing time, at most a second. */
#define L2PT_SEEN_REFRESH_SHIFT 4
#define L2PT_SEEN_REFRESH_MAX_NS 1000000000ull

/* l2pt_lports[lport]: one port or LAG. */
#define L2PT_P_PRESENT 0x1 /* its line card is there (for a LAG: always) */
#define L2PT_P_UP 0x2      /* a port: its interface exists, is up and has carrier */
#define L2PT_P_IS_LAG 0x4
struct l2pt_lport {
    __u32 ifindex;    /* the Linux interface of a port; 0 while it has none */
    __u32 chassis_if; /* the chassis ifIndex (port or LAG) the task knows it by */
    __u16 pvid;       /* a port: the VLAN its customers' frames are taken into */
    __u16 mtu;        /* a port: its interface's MTU */
    __u16 lag;        /* a port: the lport of its LAG, or L2PT_LPORT_NONE */
    __u8 slot;        /* a port: its line card */
    __u8 flags;       /* L2PT_P_* */
    __u16 n_live;     /* a LAG: members that carry traffic now (card present, interface up) */
    __u16 live[L2PT_LAG_MAX_LIVE]; /* their lports, in ascending chassis ifIndex order */
    __u16 pad;
};

/* l2pt_vlans[vid]: the VLAN's member lports, and which of them are core (provider) ports; a
 * member that is not core is an access (customer) port. */
struct l2pt_vlan {
    __u32 members[L2PT_LPORT_WORDS];
    __u32 core[L2PT_LPORT_WORDS];
};

/* l2pt_by_ifindex: Linux ifindex -> lport of the port the pipeline is attached to. */

/* l2pt_traps: the ACL agents' installed entries. A port's own entry is keyed by the port's
 * chassis ifIndex; an agent-wide one by L2PT_TRAP_SLOT_KEY(slot), matching every port of the
 * card. The port's own entry is looked up first. */
#define L2PT_TRAP_SLOT_FLAG 0x80000000u
#define L2PT_TRAP_SLOT_KEY(slot) (L2PT_TRAP_SLOT_FLAG | (__u32)(slot))
struct l2pt_trap_key {
    __u32 owner;
    __u8 mac[L2PT_ETH_ALEN];
    __u8 pad[2];
};
/* A token bucket, guarded by the spin lock of the map value that holds it. Buckets count bytes
 * or frames. Byte tokens are bytes x 10^6, so that one microsecond at N bytes per second earns
 * N tokens: at R Kbps, R / 8 tokens a nanosecond. Frame tokens are frames x 10^9: at R frames a
 * second, R tokens a nanosecond. In integers, with D = 8 for bytes and 1 for frames, before a
 * frame is charged its cost (refused, and nothing charged, when fewer tokens are left):
 *   first frame: tokens = capacity; later: tokens = min(capacity, tokens + elapsed_ns x R / D)
 * A cost above the capacity passes a full bucket, which owes the rest: tokens = 0 and last_ns
 * moves on by rest x D / R, so that it earns nothing before then and the rate holds for
 * frames longer than the burst (jumbo frames, offloaded segments) too.
 * A rate change keeps the tokens, cut to the new capacity. A byte bucket holds one second of
 * its rate, at least one full-size frame (max(R x 125, 1518) x 10^6); a frame bucket holds one
 * second of its rate (R x 10^9). */
struct l2pt_bucket {
    __u64 tokens;
    __u64 last_ns;
    __u32 rate;    /* Kbps or frames a second; 0: not policed */
    __u32 started; /* the bucket has been filled once */
};
#define L2PT_TOKEN_SCALE 1000000ull     /* byte tokens a byte */
#define L2PT_FRAME_TOKENS 1000000000ull /* frame tokens a frame */
#define L2PT_MIN_BURST_BYTES 1518ull
#define L2PT_BYTES_PER_KBIT 125ull

struct l2pt_trap {
    struct bpf_spin_lock lock; /* guards the bucket */
    __u32 socket;              /* L2PT_SOCKET_ACCESS or L2PT_SOCKET_TUNNEL */
    struct l2pt_bucket bucket; /* the entry's policer, in bytes (rate in Kbps) */
    __u64 hits;                /* frames that matched, policed ones included */
    __u64 policed;             /* of those, dropped by the policer */
};

/* l2pt_police[port dense index]: what a port may send into the switch. Storm control polices
 * the data it floods, per class, in frames and, where set, in bytes too (a frame passes only
 * when both buckets hold its cost, and is charged to both). The PDU bucket limits the frames it
 * has trapped, on top of its trap entries' own policers. The ring share: while the task's ring
 * holds more than L2PT_SHARE_FROM unread bytes, a port whose records may still be unread there
 * (share_older + share_newer bytes) would pass L2PT_RING_BYTES / pdu_ports is refused.
 * share_newer counts its record bytes since the ring's producer stood at share_mark; once the
 * consumer passes share_mark, those are the older ones and a new mark is set. */
struct l2pt_police {
    struct bpf_spin_lock lock; /* guards everything below */
    __u32 pad;
    struct l2pt_bucket storm_fps[L2PT_STORM_CLASSES];
    struct l2pt_bucket storm_kbps[L2PT_STORM_CLASSES];
    struct l2pt_bucket pdu; /* frames a second */
    __u64 share_mark;
    __u64 share_older;
    __u64 share_newer;
};

/* l2pt_vlan_police[S-VLAN id]: the PDU rate and share of the ring of the PDUs of a VLAN that
 * provider frames bring, whichever core port: every customer's tunnelled PDUs arrive on a core
 * port, and policed as the port's, one customer would take the others' share of it. Its bucket
 * runs at the rate of the port each PDU arrives on (that port's l2pt_police record). */
struct l2pt_vlan_police {
    struct bpf_spin_lock lock; /* guards everything below */
    __u32 pad;
    struct l2pt_bucket pdu; /* frames a second */
    __u64 share_mark;       /* as l2pt_police's */
    __u64 share_older;
    __u64 share_newer;
};

/* l2pt_l2cp: the actions of the reserved addresses (defs.h) of an lport, and of an
 * lport in a VLAN, which override it address by address: two bits per address index, 0 where
 * nothing is configured. vid L2PT_L2CP_ANY_VLAN is the lport's own row. */
#define L2PT_L2CP_ANY_VLAN 0xFFFF
#define L2PT_L2CP_ROWS 16384
struct l2pt_l2cp_key {
    __u16 lport;
    __u16 vid;
};

/* l2pt_fdb: learned MACs, a hash that evicts nothing: a full table learns no new source. */
struct l2pt_fdb_key {
    __u16 vid;
    __u8 mac[L2PT_ETH_ALEN];
};
struct l2pt_fdb_entry {
    struct bpf_spin_lock lock; /* a move from one lport to another is taken once */
    __u32 lport;               /* L2PT_LPORT_NONE: counted nowhere, being deleted by the program */
    __u64 seen_ns;
};

/* The daemon's own programs, run on a frame by BPF_PROG_TEST_RUN and never attached, change
 * what the other programs also write, under the same locks. The frame: L2PT_RUN_HEAD bytes of
 * nothing (a run takes no less than an Ethernet header), then the request as the host lays it
 * out. */
#define L2PT_RUN_HEAD 16u

/* l2pt_forget, the daemon's forgetting of learned MACs: at most L2PT_FORGET_MAX
 * l2pt_forget_recs, each entry as the daemon read it, which goes only while it is still so (not
 * moved, nor seen again, since). Its result: how many of them went. */
#define L2PT_FORGET_MAX 128u
struct l2pt_forget_rec {
    struct l2pt_fdb_key key;
    __u32 lport;
    __u32 pad;
    __u64 seen_ns;
};

/* l2pt_set_rates, the daemon's change of a policer's rates: the rates alone are written, so the
 * tokens, the ring share and the counts the programs keep beside them stay as they stand. An
 * entry's request may also add to its counts (what an entry it replaces had counted). Its
 * result: 1, or 0 when there is no such record (or the entry traps to another socket). */
#define L2PT_RATES_PORT 1       /* port: l2pt_police's record, rates storm_* and pdu_fps */
#define L2PT_RATES_TRAP 2       /* trap: l2pt_traps' entry, rate trap_kbps */
#define L2PT_RATES_ANY_SOCKET 0 /* trap: whatever socket the entry traps to */
struct l2pt_rates_req {
    __u32 kind; /* L2PT_RATES_* */
    __u32 port;
    struct l2pt_trap_key trap;
    __u32 socket; /* the entry's, or L2PT_RATES_ANY_SOCKET */
    __u32 trap_kbps;
    __u32 storm_fps[L2PT_STORM_CLASSES];
    __u32 storm_kbps[L2PT_STORM_CLASSES];
    __u32 pdu_fps;
    __u64 add_hits;
    __u64 add_policed;
};

/* l2pt_learning[lport] and l2pt_learning[L2PT_LEARN_VLAN + vid]: how many learned MACs each port
 * or LAG and each VLAN holds, against its limit. The program adds a MAC it learns to both counts
 * and moves it between lports; the program that deletes an entry (the ingress program at a move
 * past a limit, l2pt_forget for the daemon) first takes it off its lport under the entry's lock,
 * then off both. A count may pass its limit by one per CPU learning on it at the same instant
 * (the limit is read before the count is raised). */
#define L2PT_LEARN_VLAN L2PT_MAX_LPORTS
#define L2PT_LEARN_SLOTS (L2PT_MAX_LPORTS + L2PT_VLANS)
#define L2PT_L_DROP 0x1 /* a port or LAG: a frame from a new source past the limit is dropped */
struct l2pt_learn {
    __u32 limit; /* written by the daemon */
    __u32 flags; /* L2PT_L_*, written by the daemon */
    __s32 count; /* entries held now */
    __u32 pad;
};

/* l2pt_stats[port dense index], per CPU: what each port passed and dropped; one slot more for
 * the frames of an interface bound to no port. */
#define L2PT_STATS_NO_PORT L2PT_MAX_PORTS
#define L2PT_STATS_SLOTS (L2PT_MAX_PORTS + 1)
struct l2pt_port_stats {
    __u64 rx;          /* entered from the wire */
    __u64 trapped;     /* handed to the task */
    __u64 forwarded;   /* entered and went on as data, to one port or flooded */
    __u64 tx;          /* left for the wire: data and the task's PDUs */
    __u64 pdu_tx;      /* of those, the task's PDUs */
    __u64 learn_moves; /* sources learned on another lport before, moved to this port's */
    __u64 not_learned; /* new sources it brought that were not learned: a limit, a full table */
    __u64 drops[L2PT_DP_DROP_REASONS];
    __u64 storm[L2PT_STORM_CLASSES]; /* of drops[L2PT_DP_DROP_STORM], by class */
};

/* l2pt_l2cp_stats[port dense index]: the frames to each reserved address that entered the port,
 * by what became of them (L2PT_L2CP_COUNTED_*) and the address's index. Shared by the CPUs and
 * counted with atomic adds: control frames are few, and per CPU these would be most of
 * l2pt_stats. */
struct l2pt_l2cp_stats {
    __u64 frames[L2PT_L2CP_COUNTERS][L2PT_L2CP_ADDRESSES];
};

/* l2pt_rings[0]: the ring of the task in its primary role (a ring buffer map; absent while no
 * task holds the role). Each trapped frame is one record. */
struct l2pt_trap_rec {
    __u32 rx_if;   /* the chassis ifIndex the task hears it from: the LAG of a member */
    __u32 port_if; /* the chassis ifIndex of the port it entered */
    __u16 socket;  /* L2PT_SOCKET_ACCESS or L2PT_SOCKET_TUNNEL */
    __u16 len;     /* bytes of frame[] in use */
    __u32 pad;
    __u64 tstamp_ns;               /* CLOCK_MONOTONIC_COARSE */
    __u8 frame[L2PT_TRAP_MAX_LEN]; /* as it entered, a tag the kernel took off put back and an
                                      untagged frame in its port's VLAN (802.1Q) */
};
#define L2PT_RING_BYTES (4u << 20)
/* The ring's map name, which says how its records are laid out: a daemon of another ABI hands
 * over a pinned ring of this name and size with the PDUs queued in it. Renamed (l2pt_ring_v2,
 * ...) with every change of l2pt_trap_rec or of what its fields mean. */
#define L2PT_RING_NAME "l2pt_task_ring"
#define L2PT_SHARE_FROM (L2PT_RING_BYTES / 2) /* unread bytes from which ports get shares */
#define L2PT_RING_REC_HDR 8u                  /* the ring's header before each record */

/* l2pt_events: one record per frame while L2PT_G_TRACE is set, for the daemon's trace. */
#define L2PT_EVENT_WAYS 8
struct l2pt_event {
    __u32 port_if; /* chassis ifIndex of the port it entered (or left, for a task PDU) */
    __u16 verdict; /* enum l2pt_verdict */
    __u16 reason;  /* dropped: enum l2pt_drop; trapped: the socket */
    __u16 len;
    __u16 vid;      /* the VLAN it was taken into (trapped: the tag an untagged frame got), or 0 */
    __u32 copies;   /* forwarded or flooded: how many ports it left by */
    __u32 outbound; /* 1: a task PDU leaving port_if */
    __u32 ways[L2PT_EVENT_WAYS]; /* the chassis ifIndex of the ports the first copies left by,
                                    in the order they were sent */
};
#define L2PT_EVENT_RING_BYTES (256u << 10)

/* The task's PDUs arrive by a link of their own (our end of a veth pair whose other end is the
 * only interface of a network namespace that holds the task's packet socket), at l2pt_task_tx.
 * Each frame ends with a trailer naming the ports it leaves by: ifindex[n] (be32 each), n (be16),
 * L2PT_TX_MAGIC (be16). The program takes the trailer off, marks the frame
 * L2PT_TASK_MARK_BASE | generation and clones it to each of those ports that is one of ours; the
 * egress program passes such frames only while the generation is the one in
 * l2pt_globals.task_mark. */
#define L2PT_TASK_MARK_BASE 0x4c320000u
#define L2PT_TASK_MARK_MASK 0xFFFF0000u
/* The mark of the frames the ingress program forwards: the egress program passes a frame only
 * with it or the mark of the task in its role; anything else (the host's own frames) is dropped
 * HOST_TX. Outside the task's marks whatever the generation. */
#define L2PT_PIPELINE_MARK 0x4c440001u
#define L2PT_TX_MAGIC 0x4c52u
#define L2PT_TX_TAIL 4u
#define L2PT_TX_IF_LEN 4u
#define L2PT_TX_PORTS_MAX 8u
/* A trailer that also names ports for the frame retagged: ifindex[n + m] (be32 each; the first n
 * take the frame as it is), then the retagged frame's destination MAC (6 bytes), the tag to push
 * after the MACs (TPID and TCI, be16 each; TPID 0: the outer tag is popped instead), m (be16), n
 * (be16), L2PT_TX_MAGIC_RETAG (be16). A pipeline that takes it says so in l2pt_globals.flags
 * (L2PT_G_TX_RETAG); a task sends it only then. */
#define L2PT_TX_MAGIC_RETAG 0x4c53u
#define L2PT_TX_RETAG_LEN (L2PT_ETH_ALEN + L2PT_TAG_LEN + 2u)
#define L2PT_TX_TRAILER_MAX (L2PT_TX_TAIL + L2PT_TX_RETAG_LEN + L2PT_TX_PORTS_MAX * L2PT_TX_IF_LEN)

#endif
