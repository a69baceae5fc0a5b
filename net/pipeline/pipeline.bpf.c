/* A line card's data plane: provider bridging and trapping at every port's tc ingress, and at
 * every port's tc egress the fence that lets out only what the pipeline forwarded and what the
 * task in its role sent. chassis/dataplane_defs.h says
 * what becomes of a frame; net/pipeline/abi.h holds the tables the chassis daemon writes. */
#include <asm-generic/errno-base.h>
#include <linux/bpf.h>
#include <linux/pkt_cls.h>

#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "net/pipeline/abi.h"

char LICENSE[] SEC("license") = "Dual BSD/GPL";

/* What the program reads of a frame's front: the MACs, four tags, the EtherType. */
#define HDR_BYTES (L2PT_ETH_HLEN + 4 * L2PT_TAG_LEN)
#define TAGS_READ 4
/* Tags the kernel takes off one by one into the skb's metadata; a frame with more leading
 * 802.1Q/802.1ad tags than this is refused before anything else looks at it. */
#define META_TAGS 8
/* The kernel's own length check on a way out: the MTU, the Ethernet header and one tag. */
#define MTU_SLACK (L2PT_ETH_HLEN + L2PT_TAG_LEN)
#define TPID_LEN 2 /* the first half of a tag */
/* Bits of a word of the VLANs' lport bitmaps. */
#define WORD_BITS 32
/* A rate of R Kbps earns R / 8 byte tokens a nanosecond, R frames a second R frame tokens
 * (abi.h). */
#define KBPS_PER_TOKEN_NS 8
#define FPS_PER_TOKEN_NS 1
/* An event's length field: a segmentation-offloaded frame may be longer. */
#define EVENT_LEN_MAX 0xFFFF
_Static_assert((L2PT_LAG_MAX_LIVE & (L2PT_LAG_MAX_LIVE - 1)) == 0, "a power of two");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(map_flags, BPF_F_MMAPABLE);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct l2pt_globals);
} l2pt_globals SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(map_flags, BPF_F_MMAPABLE);
    __uint(max_entries, L2PT_MAX_LPORTS);
    __type(key, __u32);
    __type(value, struct l2pt_lport);
} l2pt_lports SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(map_flags, BPF_F_MMAPABLE);
    __uint(max_entries, L2PT_VLANS);
    __type(key, __u32);
    __type(value, struct l2pt_vlan);
} l2pt_vlans SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, L2PT_MAX_PORTS);
    __type(key, __u32);
    __type(value, __u32);
} l2pt_by_ifindex SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, L2PT_TRAP_ENTRIES);
    __type(key, struct l2pt_trap_key);
    __type(value, struct l2pt_trap);
} l2pt_traps SEC(".maps");

/* Rows are few and written by the daemon alone: allocated as they come. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, L2PT_L2CP_ROWS);
    __type(key, struct l2pt_l2cp_key);
    __type(value, __u64);
} l2pt_l2cp SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, L2PT_MAX_PORTS);
    __type(key, __u32);
    __type(value, struct l2pt_police);
} l2pt_police SEC(".maps");

/* Not preallocated: an entry the daemon deletes stays valid for a program that found it. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, L2PT_FDB_ENTRIES_DEFAULT);
    __type(key, struct l2pt_fdb_key);
    __type(value, struct l2pt_fdb_entry);
} l2pt_fdb SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(map_flags, BPF_F_MMAPABLE);
    __uint(max_entries, L2PT_LEARN_SLOTS);
    __type(key, __u32);
    __type(value, struct l2pt_learn);
} l2pt_learning SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, L2PT_STATS_SLOTS);
    __type(key, __u32);
    __type(value, struct l2pt_port_stats);
} l2pt_stats SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY_OF_MAPS);
    __uint(max_entries, 1);
    __type(key, __u32);
    __array(
        values, struct {
            __uint(type, BPF_MAP_TYPE_RINGBUF);
            __uint(max_entries, L2PT_RING_BYTES);
        });
} l2pt_rings SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, L2PT_MAX_PORTS);
    __type(key, __u32);
    __type(value, struct l2pt_l2cp_stats);
} l2pt_l2cp_stats SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, L2PT_EVENT_RING_BYTES);
} l2pt_events SEC(".maps");

/* A way out: the port a copy leaves by. */
struct way {
    __u32 port;
    __u32 ifindex;
    __u32 mtu;
    __u32 chassis_if;
};

/* The frame's form and its ways out, in scalars only, so that flood_to, a function the
 * verifier checks once on its own, can take it. */
struct out {
    __u32 tpid;                       /* the provider TPID in force */
    __u32 len_customer, len_provider; /* on the wire in either form (a segmentation-offloaded
                                         frame: each of its segments, the last at most) */
    __u32 hash;
    __u32 copies;
    __u32 ways[L2PT_EVENT_WAYS]; /* the ports the first copies left by, for the event */
    struct way pending;          /* flooding: the copy not yet sent */
    __u16 vid;
    __u8 hashed;
    __u8 provider; /* the frame is in its provider form now */
    __u8 to_core;  /* flooding: the members walked are core ports */
    __u8 broken;   /* flooding: the frame could not be converted */
    __u8 has_pending;
    __u8 tracing; /* the event wants ways[] */
    __u8 macs[2 * L2PT_ETH_ALEN];
};

/* Everything the ingress program knows of the frame in hand. */
struct frame {
    struct __sk_buff* skb;
    struct l2pt_globals* g;
    struct l2pt_lport* in; /* the port P it entered */
    struct l2pt_port_stats* st;
    struct l2pt_vlan* vlan;
    __u64 now;
    __u32 port;       /* P */
    __u32 lport;      /* L: P, or its LAG */
    __u32 len;        /* as it entered, every tag in the data */
    __u32 hlen;       /* bytes of hdr[] read */
    __u32 word, bits; /* flooding: the bitmap word walked and its members left */
    __u32 tags;       /* tags in the data at its front */
    struct out o;
    __u8 hdr[HDR_BYTES];
};

static __always_inline __u32 be16_at(const __u8* p) {
    return (__u32)p[0] << 8 | p[1];
}

static __always_inline int is_tag(__u32 tpid, __u32 in_force) {
    return tpid == L2PT_TPID_8021Q || tpid == L2PT_TPID_QINQ || tpid == L2PT_TPID_VMAN ||
           tpid == in_force;
}

#define ROLE_NONE 0
#define ROLE_ACCESS 1
#define ROLE_CORE 2

/* What lport is in VLAN v: ROLE_NONE, ROLE_ACCESS or ROLE_CORE. Both bitmaps are read at one
 * index, checked in the register it is used in: a loader without CAP_PERFMON is refused pointer
 * arithmetic whose bounds it cannot see or that differs between the paths to it, as it is a
 * stack access at a variable offset (hence the unrolled loops elsewhere). */
static __always_inline int vlan_role(const struct l2pt_vlan* v, __u32 lport) {
    __u64 at = lport / WORD_BITS;
    barrier_var(at);
    if (at >= L2PT_LPORT_WORDS)
        return ROLE_NONE;
    const __u32 bit = 1u << (lport % WORD_BITS);
    if (!(v->members[at] & bit))
        return ROLE_NONE;
    return v->core[at] & bit ? ROLE_CORE : ROLE_ACCESS;
}

static __always_inline struct l2pt_port_stats* stats_of(__u32 slot) {
    return bpf_map_lookup_elem(&l2pt_stats, &slot);
}

/* One more drop for why on stats slot slot. A global function, verified once with why unknown:
 * inlined, the counter would be reached with a different reason on each path (see vlan_role). */
__noinline int l2pt_count_drop(__u32 slot, __u32 why) {
    struct l2pt_port_stats* st = bpf_map_lookup_elem(&l2pt_stats, &slot);
    __u64 i = why;
    barrier_var(i); /* checked and used in one register */
    if (st && i < L2PT_DP_DROP_REASONS)
        st->drops[i] += 1;
    return 0;
}

static __always_inline void count_drop(__u32 slot, __u32 why) {
    l2pt_count_drop(slot, why);
}

/* One more frame to reserved address index on port slot, counted as what (L2PT_L2CP_COUNTED_*):
 * a global function for the same reason as l2pt_count_drop. */
__noinline int l2pt_count_l2cp(__u32 slot, __u32 what, __u32 index) {
    struct l2pt_l2cp_stats* st = bpf_map_lookup_elem(&l2pt_l2cp_stats, &slot);
    __u64 w = what, i = index;
    barrier_var(w);
    barrier_var(i);
    if (st && w < L2PT_L2CP_COUNTERS && i < L2PT_L2CP_ADDRESSES)
        __sync_fetch_and_add(&st->frames[w][i], 1);
    return 0;
}

/* One more storm-control drop of class cls on stats slot slot (a global function: see
 * l2pt_count_drop). */
__noinline int l2pt_count_storm(__u32 slot, __u32 cls) {
    struct l2pt_port_stats* st = bpf_map_lookup_elem(&l2pt_stats, &slot);
    __u64 i = cls;
    barrier_var(i);
    if (st && i < L2PT_STORM_CLASSES)
        st->storm[i] += 1;
    return 0;
}

static __always_inline void trace(struct frame* f, __u16 verdict, __u16 reason) {
    if (!(f->g->flags & L2PT_G_TRACE))
        return;
    struct l2pt_event ev = {
        .port_if = f->in->chassis_if,
        .verdict = verdict,
        .reason = reason,
        .len = f->len > EVENT_LEN_MAX ? EVENT_LEN_MAX : f->len,
        .vid = f->o.vid,
        .copies = f->o.copies,
    };
    __builtin_memcpy(ev.ways, f->o.ways, sizeof(ev.ways));
    bpf_ringbuf_output(&l2pt_events, &ev, sizeof(ev), 0);
}

/* The frame goes no further, for this reason, counted on the port it entered. */
static __always_inline int drop(struct frame* f, __u32 why) {
    count_drop(f->port, why);
    trace(f, L2PT_VERDICT_DROPPED, why);
    return TC_ACT_SHOT;
}

/* ---- Tags ---- */

/* A tag as it lies in a frame: TPID, then PCP, DEI and VID, big-endian. */
static __always_inline void put_tag(__u8* at, __u32 tpid, __u32 tci) {
    at[0] = tpid >> 8;
    at[1] = tpid;
    at[2] = tci >> 8;
    at[3] = tci;
}

/* Puts the tags the kernel took off into the skb's metadata back into the data, in their order,
 * so that every tag is in the data from here on. Taking the metadata tag off moves the next
 * 802.1Q/802.1ad tag of the data into the metadata, so they come off one at a time. -1, or why
 * it could not. */
static __always_inline int restore_tags(struct __sk_buff* skb) {
    __u8 buf[L2PT_OFF_TYPE + META_TAGS * L2PT_TAG_LEN];
    __u32 n = 0;

#pragma unroll
    for (int i = 0; i < META_TAGS; i++) {
        if (!skb->vlan_present)
            break;
        put_tag(&buf[L2PT_OFF_TYPE + i * L2PT_TAG_LEN], bpf_ntohs((__u16)skb->vlan_proto),
                skb->vlan_tci);
        if (bpf_skb_vlan_pop(skb))
            return L2PT_DP_DROP_SEND_FAILED;
        n++;
    }
    if (skb->vlan_present)
        return L2PT_DP_DROP_TAG_STACK;
    if (n == 0)
        return -1;
    __u32 grow = n * L2PT_TAG_LEN;
    if (grow > META_TAGS * L2PT_TAG_LEN || bpf_skb_change_head(skb, grow, 0) ||
        bpf_skb_load_bytes(skb, grow, buf, 2 * L2PT_ETH_ALEN) ||
        bpf_skb_store_bytes(skb, 0, buf, L2PT_OFF_TYPE + grow, 0))
        return L2PT_DP_DROP_SEND_FAILED;
    return -1;
}

/* Customer to provider form: the provider tag after the MACs. */
static __always_inline int push_provider(struct __sk_buff* skb, struct out* o) {
    __u8 buf[L2PT_OFF_TYPE + L2PT_TAG_LEN];
    __builtin_memcpy(buf, o->macs, sizeof(o->macs));
    put_tag(&buf[L2PT_OFF_TYPE], o->tpid, o->vid & L2PT_VID_MASK);
    if (bpf_skb_change_head(skb, L2PT_TAG_LEN, 0) ||
        bpf_skb_store_bytes(skb, 0, buf, sizeof(buf), 0))
        return -1;
    o->provider = 1;
    return 0;
}

/* Provider to customer form: the outer tag goes, whatever its TPID and the frame's protocol.
 * Made an 802.1Q tag, it is taken by two pushes and three pops: the first push only fills the
 * metadata, the second moves that into the data, and each pop empties the metadata and takes
 * the next 802.1Q/802.1ad tag of the data into it. A customer tag ends in the metadata, which
 * the way out puts back on the wire. */
static __always_inline int pop_provider(struct __sk_buff* skb, struct out* o) {
    __u8 tag[L2PT_TAG_LEN];
    put_tag(tag, L2PT_TPID_8021Q, 0);
    if (bpf_skb_store_bytes(skb, L2PT_OFF_TYPE, tag, TPID_LEN, 0) ||
        bpf_skb_vlan_push(skb, bpf_htons(L2PT_TPID_8021Q), 0) ||
        bpf_skb_vlan_push(skb, bpf_htons(L2PT_TPID_8021Q), 0) || bpf_skb_vlan_pop(skb) ||
        bpf_skb_vlan_pop(skb) || bpf_skb_vlan_pop(skb))
        return -1;
    o->provider = 0;
    return 0;
}

/* Puts the frame in the form a way out to a core (provider) or access (customer) port takes. */
static __always_inline int convert(struct __sk_buff* skb, struct out* o, int core) {
    if (core && !o->provider)
        return push_provider(skb, o);
    if (!core && o->provider)
        return pop_provider(skb, o);
    return 0;
}

/* ---- Ways out ---- */

/* Whether the frame (a segmentation-offloaded one: each of its segments) is longer in the form
 * a way out takes than its MTU allows. */
static __always_inline int over_mtu(const struct out* o, int core, __u32 mtu) {
    /* Both read: a field chosen by core would be pointer arithmetic with a register. */
    __u32 provider = o->len_provider, customer = o->len_customer;
    barrier_var(provider);
    barrier_var(customer);
    return (core ? provider : customer) > mtu + MTU_SLACK;
}

static __always_inline __u32 flow_hash(struct out* o) {
    if (!o->hashed) {
        o->hash = l2pt_flow_hash(o->macs);
        o->hashed = 1;
    }
    return o->hash;
}

/* The port lport x leaves by: itself, or one live member of a LAG. -1, or why it cannot. */
static __always_inline int way_out(struct out* o, __u32 x, struct way* w) {
    __u32 port = x;
    if (x >= L2PT_LAG_BASE) {
        struct l2pt_lport* lag = bpf_map_lookup_elem(&l2pt_lports, &x);
        if (!lag)
            return L2PT_DP_DROP_NO_LIVE_MEMBER;
        __u32 n = lag->n_live;
        if (n == 0 || n > L2PT_LAG_MAX_LIVE)
            return L2PT_DP_DROP_NO_LIVE_MEMBER;
        /* pick < n: the mask changes nothing but shows the verifier the bound */
        __u32 pick = flow_hash(o) % n;
        barrier_var(pick);
        port = lag->live[pick & (L2PT_LAG_MAX_LIVE - 1)];
        if (port >= L2PT_MAX_PORTS)
            return L2PT_DP_DROP_NO_LIVE_MEMBER;
    }
    struct l2pt_lport* rec = bpf_map_lookup_elem(&l2pt_lports, &port);
    if (!rec)
        return L2PT_DP_DROP_PORT_DOWN;
    const __u8 live = L2PT_P_PRESENT | L2PT_P_UP;
    if ((rec->flags & live) != live || rec->ifindex == 0)
        return L2PT_DP_DROP_PORT_DOWN;
    w->port = port;
    w->ifindex = rec->ifindex;
    w->mtu = rec->mtu;
    w->chassis_if = rec->chassis_if;
    return -1;
}

/* A copy left by w: counted on its port and named in the event. */
static __always_inline void count_copy(struct out* o, const struct way* w) {
    struct l2pt_port_stats* st = stats_of(w->port);
    if (st)
        st->tx += 1;
    if (o->tracing) {
#pragma unroll
        for (__u32 i = 0; i < L2PT_EVENT_WAYS; i++) {
            if (o->copies == i)
                o->ways[i] = w->chassis_if;
        }
    }
    o->copies += 1;
}

static __always_inline int unicast(struct frame* f, __u32 x, int role) {
    struct way w;
    int why = way_out(&f->o, x, &w);
    if (why >= 0)
        return drop(f, why);
    int core = role == ROLE_CORE;
    if (over_mtu(&f->o, core, w.mtu)) {
        count_drop(w.port, L2PT_DP_DROP_OVER_MTU);
        trace(f, L2PT_VERDICT_DROPPED, L2PT_DP_DROP_OVER_MTU);
        return TC_ACT_SHOT;
    }
    if (convert(f->skb, &f->o, core))
        return drop(f, L2PT_DP_DROP_SEND_FAILED);
    count_copy(&f->o, &w);
    f->st->forwarded += 1;
    trace(f, L2PT_VERDICT_FORWARDED, 0);
    return bpf_redirect(w.ifindex, 0);
}

/* Flooding sends each copy when it knows the next one, so that the last leaves with the frame
 * itself (bpf_redirect) and only the others are clones. */
static __always_inline void send_pending(struct __sk_buff* skb, struct out* o) {
    if (!o->has_pending)
        return;
    o->has_pending = 0;
    if (bpf_clone_redirect(skb, o->pending.ifindex, 0)) {
        count_drop(o->pending.port, L2PT_DP_DROP_SEND_FAILED);
        return;
    }
    count_copy(o, &o->pending);
}

/* One member of the group walked: a global function, checked by the verifier once. */
__noinline int flood_to(struct __sk_buff* skb, struct out* o, __u32 x) {
    struct way w;
    if (!o || way_out(o, x, &w) >= 0)
        return 0; /* it cannot carry the frame now: skipped */
    if (over_mtu(o, o->to_core, w.mtu)) {
        count_drop(w.port, L2PT_DP_DROP_OVER_MTU);
        return 0;
    }
    send_pending(skb, o);
    if (o->broken || convert(skb, o, o->to_core)) {
        o->broken = 1;
        count_drop(w.port, L2PT_DP_DROP_SEND_FAILED);
        return 0;
    }
    o->pending = w;
    o->has_pending = 1;
    return 0;
}

/* The index of w's lowest set bit (w not 0), without branches: the bits below it, counted. */
static __always_inline __u32 lowest_bit(__u32 w) {
    __u32 v = (w & -w) - 1;
    v = v - ((v >> 1) & 0x55555555);
    v = (v & 0x33333333) + ((v >> 2) & 0x33333333);
    v = (v + (v >> 4)) & 0x0F0F0F0F;
    return (v * 0x01010101) >> 24;
}

/* bpf_loop callback: the next member of the word being walked. */
static long flood_bit(__u32 i, void* ctx) {
    struct frame* f = ctx;
    __u32 w = f->bits;
    if (!w)
        return 1;
    f->bits = w & (w - 1);
    flood_to(f->skb, &f->o, f->word * WORD_BITS + lowest_bit(w));
    return 0;
}

/* bpf_loop callback: the members of one word of the VLAN's bitmaps in the group walked now. */
static long flood_word(__u32 i, void* ctx) {
    struct frame* f = ctx;
    if (i >= L2PT_LPORT_WORDS)
        return 1;
    __u32 core = f->vlan->core[i];
    __u32 w = f->vlan->members[i] & (f->o.to_core ? core : ~core);
    if (f->lport / WORD_BITS == i)
        w &= ~(1u << (f->lport % WORD_BITS));
    if (w) {
        f->word = i;
        f->bits = w;
        bpf_loop(32, flood_bit, f, 0);
    }
    return 0;
}

/* Every member but the one it came from, ascending within each group: first those that take
 * the frame's present form, then, converted once, the others. */
static __always_inline int flood(struct frame* f) {
    const __u8 first = f->o.provider;
    f->o.to_core = first;
    bpf_loop(L2PT_LPORT_WORDS, flood_word, f, 0);
    f->o.to_core = !first;
    bpf_loop(L2PT_LPORT_WORDS, flood_word, f, 0);
    if (!f->o.has_pending) {
        if (f->o.copies)
            f->st->forwarded += 1;
        trace(f, L2PT_VERDICT_FLOODED, 0);
        return TC_ACT_SHOT;
    }
    count_copy(&f->o, &f->o.pending);
    f->st->forwarded += 1;
    trace(f, L2PT_VERDICT_FLOODED, 0);
    return bpf_redirect(f->o.pending.ifindex, 0);
}

/* ---- Trap ---- */

/* Fills bucket b up to now, to at most cap tokens; d: KBPS_PER_TOKEN_NS or FPS_PER_TOKEN_NS.
 * Under the lock of the value that holds b. */
static __always_inline void refill(struct l2pt_bucket* b, __u64 now, __u64 cap, __u64 d) {
    __u64 rate = b->rate;
    if (!b->started) {
        b->started = 1;
        b->tokens = cap;
        b->last_ns = now;
    } else if (now > b->last_ns) {
        __u64 elapsed = now - b->last_ns;
        __u64 room = cap > b->tokens ? cap - b->tokens : 0;
        /* the tokens earned reach the room left: decided without overflow */
        if (elapsed > room * d / rate)
            b->tokens = cap;
        else
            b->tokens += elapsed * rate / d;
        b->last_ns = now;
    }
    if (b->tokens > cap)
        b->tokens = cap;
}

static __always_inline __u64 byte_cap(__u64 kbps) {
    __u64 cap = kbps * L2PT_BYTES_PER_KBIT;
    return (cap < L2PT_MIN_BURST_BYTES ? L2PT_MIN_BURST_BYTES : cap) * L2PT_TOKEN_SCALE;
}

/* Whether a frame of len bytes may pass the byte bucket b and the frame bucket fb (either not
 * policing when its rate is 0); a frame that passes is charged to both. Under their lock. */
static __always_inline int take(struct l2pt_bucket* b, struct l2pt_bucket* fb, __u64 now,
                                __u32 len) {
    const __u64 cost = (__u64)len * L2PT_TOKEN_SCALE;
    int pass = 1;
    if (b && b->rate) {
        refill(b, now, byte_cap(b->rate), KBPS_PER_TOKEN_NS);
        pass = b->tokens >= cost;
    }
    if (fb && fb->rate) {
        refill(fb, now, (__u64)fb->rate * L2PT_FRAME_TOKENS, FPS_PER_TOKEN_NS);
        pass &= fb->tokens >= L2PT_FRAME_TOKENS;
    }
    if (!pass)
        return 0;
    if (b && b->rate)
        b->tokens -= cost;
    if (fb && fb->rate)
        fb->tokens -= L2PT_FRAME_TOKENS;
    return 1;
}

/* The entry's policer: 1 when the frame may pass. */
static __always_inline int police(struct l2pt_trap* t, __u64 now, __u32 len) {
    bpf_spin_lock(&t->lock);
    int pass = take(&t->bucket, 0, now, len);
    bpf_spin_unlock(&t->lock);
    return pass;
}

/* The port policers below are global functions, each verified once: inlined, their branches
 * would multiply the paths the verifier walks after them past what it allows a loader without
 * CAP_PERFMON. */

/* The port's PDU rate: 1 when a trapped frame may go on to the task. */
__noinline int l2pt_pdu_rate(__u32 port, __u64 now) {
    struct l2pt_police* p = bpf_map_lookup_elem(&l2pt_police, &port);
    if (!p)
        return 1;
    bpf_spin_lock(&p->lock);
    int pass = take(0, &p->pdu, now, 0);
    bpf_spin_unlock(&p->lock);
    return pass;
}

/* The port's share of the task's ring (abi.h): 1 when a record of rec bytes may go in while the
 * port may hold share bytes of it (no limit: U64_MAX). prod and cons: the ring's positions,
 * read by the caller (a global function takes no map). */
__noinline int l2pt_ring_share(__u32 port, __u64 share, __u64 rec, __u64 prod, __u64 cons) {
    struct l2pt_police* p = bpf_map_lookup_elem(&l2pt_police, &port);
    if (!p)
        return 1;
    int pass = 1;
    bpf_spin_lock(&p->lock);
    if (cons >= p->share_mark || prod < p->share_mark) {
        /* Everything before the mark is read (or the ring is a new one). */
        p->share_older = prod < p->share_mark ? 0 : p->share_newer;
        p->share_newer = 0;
        p->share_mark = prod;
    }
    if (p->share_older + p->share_newer + rec > share)
        pass = 0;
    else
        p->share_newer += rec;
    bpf_spin_unlock(&p->lock);
    return pass;
}

#define NO_SHARE_LIMIT (~0ull)

static __always_inline int ring_share(struct frame* f, void* ring, __u64 rec) {
    const __u32 ports = f->g->pdu_ports;
    /* A port alone may fill the ring: then the task is behind. */
    if (ports < 2)
        return 1;
    const __u64 unread = bpf_ringbuf_query(ring, BPF_RB_AVAIL_DATA);
    const __u64 share = unread > L2PT_SHARE_FROM ? L2PT_RING_BYTES / ports : NO_SHARE_LIMIT;
    return l2pt_ring_share(f->port, share, rec, bpf_ringbuf_query(ring, BPF_RB_PROD_POS),
                           bpf_ringbuf_query(ring, BPF_RB_CONS_POS));
}

/* Storm control: 1 when the port's limit for the class of a flooded frame of len bytes lets it
 * pass; a frame refused is counted by its class. */
__noinline int l2pt_storm(__u32 port, __u32 cls, __u64 now, __u32 len) {
    struct l2pt_police* p = bpf_map_lookup_elem(&l2pt_police, &port);
    if (!p)
        return 1;
    int pass = 1;
    bpf_spin_lock(&p->lock);
    /* Each class's buckets by a constant index (see vlan_role). */
#pragma unroll
    for (__u32 i = 0; i < L2PT_STORM_CLASSES; i++) {
        if (i == cls)
            pass = take(&p->storm_kbps[i], &p->storm_fps[i], now, len);
    }
    bpf_spin_unlock(&p->lock);
    if (!pass)
        l2pt_count_storm(port, cls);
    return pass;
}

/* Room for the frame in a trap record of the smaller sizes: records are no longer than the
 * frame needs, so that the ring holds many small PDUs on few pages. */
#define TRAP_ROOM_SMALL 128
#define TRAP_ROOM_MEDIUM 512
#define TRAP_REC_BYTES(room) (__builtin_offsetof(struct l2pt_trap_rec, frame) + (room))

/* A record's bytes in the ring: its header, rounded up to 8 as the ring does. */
#define RING_REC_BYTES(room) ((TRAP_REC_BYTES(room) + L2PT_RING_REC_HDR + 7) & ~7ull)

/* Writes the trapped frame (len bytes once tagged) into a record with room bytes for it. */
static __always_inline int trap_record(struct frame* f, struct l2pt_trap* t, void* ring, __u32 len,
                                       int add_tag, const __u32 room) {
    if (!ring_share(f, ring, RING_REC_BYTES(room)))
        return drop(f, L2PT_DP_DROP_PDU_SHARE);
    struct l2pt_trap_rec* rec = bpf_ringbuf_reserve(ring, TRAP_REC_BYTES(room), 0);
    if (!rec)
        return drop(f, L2PT_DP_DROP_TASK_BEHIND);

    __u32 rx_if = f->in->chassis_if;
    if (f->lport != f->port) {
        struct l2pt_lport* lag = bpf_map_lookup_elem(&l2pt_lports, &f->lport);
        if (lag)
            rx_if = lag->chassis_if;
    }
    rec->rx_if = rx_if;
    rec->port_if = f->in->chassis_if;
    rec->socket = t->socket;
    rec->len = len;
    rec->pad = 0;
    rec->tstamp_ns = f->now;
    long err;
    if (add_tag) {
        __u64 rest = (__u64)f->len - L2PT_OFF_TYPE;
        __builtin_memcpy(rec->frame, f->hdr, 2 * L2PT_ETH_ALEN);
        put_tag(&rec->frame[L2PT_OFF_TYPE], L2PT_TPID_8021Q, f->in->pvid & L2PT_VID_MASK);
        /* A destination pointer of its own in each branch: one offset chosen between the two
         * would be pointer arithmetic with a register (see vlan_role). */
        __u8* to = &rec->frame[L2PT_OFF_TYPE + L2PT_TAG_LEN];
        barrier_var(to);
        barrier_var(rest);
        if (rest < 1 || rest > room - L2PT_OFF_TYPE - L2PT_TAG_LEN)
            err = -1;
        else
            err = bpf_skb_load_bytes(f->skb, L2PT_OFF_TYPE, to, rest);
    } else {
        __u8* to = rec->frame;
        barrier_var(to);
        __u64 whole = f->len;
        barrier_var(whole);
        if (whole < 1 || whole > room)
            err = -1;
        else
            err = bpf_skb_load_bytes(f->skb, 0, to, whole);
    }
    if (err) {
        bpf_ringbuf_discard(rec, 0);
        return drop(f, L2PT_DP_DROP_SEND_FAILED);
    }
    const __u32 socket = t->socket;
    bpf_ringbuf_submit(rec, 0);
    f->st->trapped += 1;
    if (add_tag)
        f->o.vid = f->in->pvid & L2PT_VID_MASK;
    trace(f, L2PT_VERDICT_TRAPPED, socket);
    return TC_ACT_SHOT;
}

static __always_inline int trap(struct frame* f, struct l2pt_trap* t) {
    __sync_fetch_and_add(&t->hits, 1);
    if (!police(t, f->now, f->len)) {
        __sync_fetch_and_add(&t->policed, 1);
        return drop(f, L2PT_DP_DROP_POLICED);
    }
    if (!l2pt_pdu_rate(f->port, f->now))
        return drop(f, L2PT_DP_DROP_PDU_SHARE);
    /* An untagged frame is handed over in its port's VLAN. */
    const int add_tag = !is_tag(be16_at(&f->hdr[L2PT_OFF_TYPE]), f->g->tpid);
    const __u32 len = f->len + (add_tag ? L2PT_TAG_LEN : 0);
    if (len > L2PT_TRAP_MAX_LEN)
        return drop(f, L2PT_DP_DROP_TRAP_TOO_LONG);
    __u32 zero = 0;
    void* ring = bpf_map_lookup_elem(&l2pt_rings, &zero);
    if (!ring)
        return drop(f, L2PT_DP_DROP_NO_SOCKET);
    if (len <= TRAP_ROOM_SMALL)
        return trap_record(f, t, ring, len, add_tag, TRAP_ROOM_SMALL);
    if (len <= TRAP_ROOM_MEDIUM)
        return trap_record(f, t, ring, len, add_tag, TRAP_ROOM_MEDIUM);
    return trap_record(f, t, ring, len, add_tag, L2PT_TRAP_MAX_LEN);
}

static __always_inline struct l2pt_trap* trap_entry(struct frame* f) {
    struct l2pt_trap_key key = {.owner = f->in->chassis_if};
    __builtin_memcpy(key.mac, &f->hdr[L2PT_OFF_DST], L2PT_ETH_ALEN);
    struct l2pt_trap* t = bpf_map_lookup_elem(&l2pt_traps, &key);
    if (t)
        return t;
    key.owner = L2PT_TRAP_SLOT_KEY(f->in->slot);
    return bpf_map_lookup_elem(&l2pt_traps, &key);
}

/* ---- Bridging ---- */

/* Takes the frame into a VLAN: a provider frame of a core port, or a customer frame of an
 * access port in its port's VLAN. -1, or why it cannot. */
static __always_inline int classify(struct frame* f) {
    __u32 tags = 0, outer = 0, outer_vid = 0;
    for (int i = 0; i < TAGS_READ; i++) {
        __u32 off = L2PT_OFF_TYPE + i * L2PT_TAG_LEN;
        if (off + L2PT_TAG_LEN > f->hlen || off + L2PT_TAG_LEN > HDR_BYTES)
            break;
        __u32 tpid = be16_at(&f->hdr[off]);
        if (!is_tag(tpid, f->g->tpid))
            break;
        if (i == 0) {
            outer = tpid;
            outer_vid = be16_at(&f->hdr[off + 2]) & L2PT_VID_MASK;
        }
        tags++;
    }
    if (tags && outer == f->g->tpid) {
        struct l2pt_vlan* v = bpf_map_lookup_elem(&l2pt_vlans, &outer_vid);
        if (v && vlan_role(v, f->lport) == ROLE_CORE) {
            f->vlan = v;
            f->o.vid = outer_vid;
            f->o.provider = 1;
            f->o.len_provider = f->len;
            f->o.len_customer = f->len - L2PT_TAG_LEN;
            f->tags = tags;
            return tags > L2PT_MAX_TAGS ? L2PT_DP_DROP_TAG_STACK : -1;
        }
    }
    __u32 pvid = f->in->pvid & L2PT_VID_MASK;
    struct l2pt_vlan* v = bpf_map_lookup_elem(&l2pt_vlans, &pvid);
    if (!v || vlan_role(v, f->lport) != ROLE_ACCESS)
        return L2PT_DP_DROP_NO_VLAN;
    f->vlan = v;
    f->o.vid = pvid;
    f->o.provider = 0;
    f->o.len_customer = f->len;
    f->o.len_provider = f->len + L2PT_TAG_LEN;
    f->tags = tags;
    return tags > L2PT_MAX_CUSTOMER_TAGS ? L2PT_DP_DROP_TAG_STACK : -1;
}

static __always_inline int is_tunnel_mac(const struct l2pt_globals* g, const __u8* mac) {
    int same = 1;
#pragma unroll
    for (int i = 0; i < L2PT_ETH_ALEN; i++)
        same &= mac[i] == g->tunnel_mac[i];
    return same;
}

/* The action configured for reserved address index of the frame's lport: its row in the
 * frame's VLAN, else its own row; L2PT_L2CP_DEFAULT where neither says. */
static __always_inline __u32 l2cp_action(struct frame* f, __u32 index) {
    struct l2pt_l2cp_key key = {.lport = (__u16)f->lport, .vid = L2PT_L2CP_ANY_VLAN};
    __u32 action = L2PT_L2CP_DEFAULT;
    if (f->vlan) {
        key.vid = f->o.vid;
        __u64* row = bpf_map_lookup_elem(&l2pt_l2cp, &key);
        if (row)
            action = l2pt_l2cp_action_of(*row, index);
        key.vid = L2PT_L2CP_ANY_VLAN;
    }
    if (action == L2PT_L2CP_DEFAULT) {
        __u64* row = bpf_map_lookup_elem(&l2pt_l2cp, &key);
        if (row)
            action = l2pt_l2cp_action_of(*row, index);
    }
    return action;
}

static __always_inline int is_unicast(const __u8* mac) {
    return !(mac[0] & 1);
}

static __always_inline struct l2pt_learn* learning_of(__u32 slot) {
    return bpf_map_lookup_elem(&l2pt_learning, &slot);
}

static __always_inline void count_less(__u32 slot) {
    struct l2pt_learn* l = learning_of(slot);
    if (l)
        __sync_fetch_and_add(&l->count, -1);
}

static __always_inline int has_room(const struct l2pt_learn* l) {
    return l->count < (__s64)l->limit;
}

/* A new source the frame's port may not learn: counted; -1, or the drop when the port says so. */
static __always_inline int not_learned(struct l2pt_port_stats* st, const struct l2pt_learn* port) {
    st->not_learned += 1;
    return port->flags & L2PT_L_DROP ? L2PT_DP_DROP_LEARN_LIMIT : -1;
}

/* Learns source mac (its six bytes in the low bits, the first the highest) in VLAN vid on lport,
 * which port brought, within the lport's and the VLAN's limits. -1, or why the frame is
 * dropped. A global function, verified once: inlined, its branches multiplied the paths the
 * verifier walks after it past its limit for a loader without CAP_PERFMON. */
__noinline int l2pt_learn(__u32 port, __u32 lport, __u32 vid, __u64 mac, __u64 now) {
    struct l2pt_port_stats* st = stats_of(port);
    struct l2pt_learn* lp = learning_of(lport);
    struct l2pt_learn* vlan = learning_of(L2PT_LEARN_VLAN + (vid & L2PT_VID_MASK));
    if (!st || !lp || !vlan)
        return -1;
    struct l2pt_fdb_key key = {.vid = (__u16)(vid & L2PT_VID_MASK)};
#pragma unroll
    for (int i = 0; i < L2PT_ETH_ALEN; i++)
        key.mac[i] = (__u8)(mac >> (8 * (L2PT_ETH_ALEN - 1 - i)));
    struct l2pt_fdb_entry* e = bpf_map_lookup_elem(&l2pt_fdb, &key);
    if (e) {
        int moved = 0;
        bpf_spin_lock(&e->lock);
        const __u32 was = e->lport;
        if (was != lport && has_room(lp)) {
            e->lport = lport;
            moved = 1;
        }
        e->seen_ns = now;
        bpf_spin_unlock(&e->lock);
        if (was == lport)
            return -1;
        if (moved) {
            __sync_fetch_and_add(&lp->count, 1);
            count_less(was);
            st->learn_moves += 1;
            return -1;
        }
        /* A move past the limit: the stale entry goes, so that the MAC floods. */
        if (bpf_map_delete_elem(&l2pt_fdb, &key) == 0) {
            count_less(was);
            __sync_fetch_and_add(&vlan->count, -1);
        }
        return not_learned(st, lp);
    }
    if (!has_room(lp) || !has_room(vlan))
        return not_learned(st, lp);
    __sync_fetch_and_add(&lp->count, 1);
    __sync_fetch_and_add(&vlan->count, 1);
    struct l2pt_fdb_entry fresh = {.lport = lport, .seen_ns = now};
    const long err = bpf_map_update_elem(&l2pt_fdb, &key, &fresh, BPF_NOEXIST);
    if (err) {
        __sync_fetch_and_add(&lp->count, -1);
        __sync_fetch_and_add(&vlan->count, -1);
        /* Another CPU learned it meanwhile, or the table is full. */
        if (err != -EEXIST)
            st->not_learned += 1;
    }
    return -1;
}

static __always_inline int learn(struct frame* f) {
    const __u8* src = &f->hdr[L2PT_OFF_SRC];
    if (!is_unicast(src) || !(src[0] | src[1] | src[2] | src[3] | src[4] | src[5]))
        return -1;
    __u64 mac = 0;
#pragma unroll
    for (int i = 0; i < L2PT_ETH_ALEN; i++)
        mac = mac << 8 | src[i];
    return l2pt_learn(f->port, f->lport, f->o.vid, mac, f->now);
}

/* The lport a known unicast destination was learned on (its role in the VLAN in *role), or
 * L2PT_LPORT_NONE. */
static __always_inline __u32 known(struct frame* f, int* role) {
    const __u8* dst = &f->hdr[L2PT_OFF_DST];
    if (!is_unicast(dst))
        return L2PT_LPORT_NONE;
    struct l2pt_fdb_key key = {.vid = f->o.vid};
    __builtin_memcpy(key.mac, dst, L2PT_ETH_ALEN);
    struct l2pt_fdb_entry* e = bpf_map_lookup_elem(&l2pt_fdb, &key);
    if (!e || (__s64)(f->now - e->seen_ns) >= (__s64)f->g->ageing_ns)
        return L2PT_LPORT_NONE;
    __u32 x = e->lport;
    *role = vlan_role(f->vlan, x);
    return *role != ROLE_NONE ? x : L2PT_LPORT_NONE;
}

static __always_inline int no_port(struct __sk_buff* skb) {
    count_drop(L2PT_STATS_NO_PORT, L2PT_DP_DROP_NO_PORT);
    __u32 zero = 0;
    struct l2pt_globals* g = bpf_map_lookup_elem(&l2pt_globals, &zero);
    if (g && (g->flags & L2PT_G_TRACE)) {
        struct l2pt_event ev = {
            .verdict = L2PT_VERDICT_DROPPED, .reason = L2PT_DP_DROP_NO_PORT, .len = skb->len};
        bpf_ringbuf_output(&l2pt_events, &ev, sizeof(ev), 0);
    }
    return TC_ACT_SHOT;
}

#define ETHERTYPE_IPV4 0x0800
#define ETHERTYPE_IPV6 0x86DD
#define IP_PROTO_TCP 6
#define IP_PROTO_UDP 17
#define IPV4_IHL_MASK 0x0F
#define IPV6_HLEN 40
#define IPV6_NEXT 6  /* the next header's offset in an IPv6 header */
#define IPV4_PROTO 9 /* the protocol's offset in an IPv4 header */
#define TCP_DOFF 12  /* the data offset's byte in a TCP header */
#define UDP_HLEN 8
#define WORD_BYTES 4 /* IHL and the data offset count 32-bit words */

/* The bytes in front of a segmentation-offloaded frame's payload: every header each of its
 * segments repeats. The MACs, tags and EtherType, then IPv4 or IPv6 and TCP or UDP; where those
 * cannot be read, the Ethernet headers alone; 0 when not even those. A global function,
 * verified once: inlined, its branches would multiply the paths the verifier walks after it. */
__noinline __u32 l2pt_segment_headers(struct __sk_buff* skb, __u32 tags) {
    if (tags > L2PT_MAX_TAGS)
        return 0;
    __u32 l3 = L2PT_OFF_TYPE + tags * L2PT_TAG_LEN;
    __u8 type[TPID_LEN] = {}, first = 0, proto = 0, doff = 0;
    if (bpf_skb_load_bytes(skb, l3, type, sizeof(type)))
        return 0;
    l3 += TPID_LEN;
    __u32 l4 = 0;
    if (be16_at(type) == ETHERTYPE_IPV4) {
        if (bpf_skb_load_bytes(skb, l3, &first, 1) ||
            bpf_skb_load_bytes(skb, l3 + IPV4_PROTO, &proto, 1))
            return l3;
        l4 = l3 + (first & IPV4_IHL_MASK) * WORD_BYTES;
    } else if (be16_at(type) == ETHERTYPE_IPV6) {
        if (bpf_skb_load_bytes(skb, l3 + IPV6_NEXT, &proto, 1))
            return l3;
        l4 = l3 + IPV6_HLEN;
    } else {
        return l3;
    }
    if (proto == IP_PROTO_UDP)
        return l4 + UDP_HLEN;
    if (proto != IP_PROTO_TCP || bpf_skb_load_bytes(skb, l4 + TCP_DOFF, &doff, 1))
        return l3;
    return l4 + (doff >> 4) * WORD_BYTES;
}

/* A segmentation-offloaded frame leaves as segments of gso payload bytes, each with its
 * headers, and with the provider tag once pushed: those are what a way out's MTU must take. */
static __always_inline void segment_lengths(struct frame* f, __u32 gso) {
    const __u32 headers = l2pt_segment_headers(f->skb, f->tags);
    if (!headers || headers + gso >= f->len)
        return;
    const __u32 seg = headers + gso;
    f->o.len_customer = f->o.provider ? seg - L2PT_TAG_LEN : seg;
    f->o.len_provider = f->o.provider ? seg : seg + L2PT_TAG_LEN;
}

SEC("tc")
int l2pt_ingress(struct __sk_buff* skb) {
    struct frame f = {.skb = skb};
    __u32 ifindex = skb->ifindex;
    __u32* port = bpf_map_lookup_elem(&l2pt_by_ifindex, &ifindex);
    if (!port || *port >= L2PT_MAX_PORTS)
        return no_port(skb);
    f.port = *port;
    __u32 zero = 0;
    f.g = bpf_map_lookup_elem(&l2pt_globals, &zero);
    f.in = bpf_map_lookup_elem(&l2pt_lports, &f.port);
    f.st = stats_of(f.port);
    if (!f.g || !f.in || !f.st)
        return TC_ACT_SHOT;
    f.lport = f.in->lag < L2PT_MAX_LPORTS ? f.in->lag : f.port;
    f.now = bpf_ktime_get_ns();
    f.st->rx += 1;

    int why = restore_tags(skb);
    f.len = skb->len;
    if (why >= 0)
        return drop(&f, why);
    if (f.len < L2PT_ETH_HLEN)
        return drop(&f, L2PT_DP_DROP_RUNT);
    if (!(f.in->flags & L2PT_P_PRESENT))
        return drop(&f, L2PT_DP_DROP_CARD_ABSENT);
    f.hlen = f.len < HDR_BYTES ? f.len : HDR_BYTES;
    if (f.hlen < L2PT_ETH_HLEN || f.hlen > HDR_BYTES || bpf_skb_load_bytes(skb, 0, f.hdr, f.hlen))
        return drop(&f, L2PT_DP_DROP_RUNT);

    /* Classified before anything else: the tunnel MAC and the reserved addresses need to know
     * the frame's VLAN and whether it is provider traffic. What it says against bridging the
     * frame (why) counts only once no entry traps it. */
    why = classify(&f);
    const __u8* dst = &f.hdr[L2PT_OFF_DST];
    if (is_tunnel_mac(f.g, dst) && !f.o.provider)
        return drop(&f, L2PT_DP_DROP_TUNNEL_MAC);
    const int l2cp = l2pt_l2cp_index(dst);
    __u32 action = L2PT_L2CP_DEFAULT;
    if (l2cp >= 0)
        action = l2cp_action(&f, (__u32)l2cp);
    if (action == L2PT_L2CP_DEFAULT || action == L2PT_L2CP_TUNNEL) {
        struct l2pt_trap* t = trap_entry(&f);
        if (t) {
            if (l2cp >= 0)
                l2pt_count_l2cp(f.port, L2PT_L2CP_COUNTED_TUNNELLED, (__u32)l2cp);
            f.o.vid = 0; /* a trapped frame's event names the tag it was given */
            return trap(&f, t);
        }
    }
    if (l2cp >= 0) {
        if (l2pt_l2cp_untrapped(action, (__u32)l2cp) == L2PT_L2CP_DISCARD) {
            l2pt_count_l2cp(f.port, L2PT_L2CP_COUNTED_DISCARDED, (__u32)l2cp);
            return drop(&f, L2PT_DP_DROP_L2CP);
        }
        l2pt_count_l2cp(f.port, L2PT_L2CP_COUNTED_FORWARDED, (__u32)l2cp);
    }
    if (why >= 0)
        return drop(&f, why);
    why = learn(&f);
    if (why >= 0)
        return drop(&f, why);
    f.o.tpid = f.g->tpid;
    f.o.tracing = (f.g->flags & L2PT_G_TRACE) != 0;
    if (skb->gso_size)
        segment_lengths(&f, skb->gso_size);
    __builtin_memcpy(f.o.macs, f.hdr, sizeof(f.o.macs));
    /* What the pipeline forwards carries its mark to the egress programs, never a task's. */
    skb->mark = L2PT_PIPELINE_MARK;
    int role = ROLE_NONE;
    __u32 to = known(&f, &role);
    if (to == f.lport)
        return drop(&f, L2PT_DP_DROP_FILTERED);
    if (to != L2PT_LPORT_NONE)
        return unicast(&f, to, role);
    if (!l2pt_storm(f.port, l2pt_storm_class(&f.hdr[L2PT_OFF_DST]), f.now, f.len))
        return drop(&f, L2PT_DP_DROP_STORM);
    return flood(&f);
}

static __always_inline __u32 be32_at(const __u8* p) {
    return (__u32)p[0] << 24 | (__u32)p[1] << 16 | (__u32)p[2] << 8 | p[3];
}

/* A task PDU that could not leave by port: counted, and traced while tracing is on. */
static __always_inline void task_tx_failed(struct l2pt_globals* g, __u32 slot, __u32 why,
                                           __u32 len) {
    count_drop(slot, why);
    if (!(g->flags & L2PT_G_TRACE))
        return;
    __u32 chassis_if = 0;
    struct l2pt_lport* rec = bpf_map_lookup_elem(&l2pt_lports, &slot);
    if (rec && slot != L2PT_STATS_NO_PORT)
        chassis_if = rec->chassis_if;
    struct l2pt_event ev = {.port_if = chassis_if,
                            .verdict = L2PT_VERDICT_DROPPED,
                            .reason = why,
                            .len = len,
                            .outbound = 1};
    bpf_ringbuf_output(&l2pt_events, &ev, sizeof(ev), 0);
}

/* The trailer's count of ports, their interfaces in ifs, or 0 when it is none. */
static __always_inline __u32 task_trailer(struct __sk_buff* skb, __u32 ifs[L2PT_TX_PORTS_MAX]) {
    __u32 len = skb->len;
    __u8 tail[L2PT_TX_TAIL];
    if (len < L2PT_ETH_HLEN + L2PT_TX_TAIL ||
        len > L2PT_TRAP_MAX_LEN + L2PT_TAG_LEN + L2PT_TX_TRAILER_MAX)
        return 0;
    if (bpf_skb_load_bytes(skb, len - L2PT_TX_TAIL, tail, sizeof(tail)))
        return 0;
    __u32 n = be16_at(tail);
    if (be16_at(&tail[2]) != L2PT_TX_MAGIC || n < 1 || n > L2PT_TX_PORTS_MAX)
        return 0;
    __u32 trailer = L2PT_TX_TAIL + n * L2PT_TX_IF_LEN;
    if (len < L2PT_ETH_HLEN + trailer)
        return 0;
    __u32 at = len - trailer;
#pragma unroll
    for (__u32 i = 0; i < L2PT_TX_PORTS_MAX; i++) {
        __u8 b[L2PT_TX_IF_LEN];
        if (i >= n)
            break;
        if (bpf_skb_load_bytes(skb, at + i * L2PT_TX_IF_LEN, b, sizeof(b)))
            return 0;
        ifs[i] = be32_at(b);
    }
    if (bpf_skb_change_tail(skb, at, 0))
        return 0;
    return n;
}

/* At our end of the task's link: every frame the task sends. Only the task in its role now is
 * heard, and only the switch's own ports are reached: the trailer is the task's word, not the
 * daemon's. Each port gets a copy (its egress counts it): a clone, the last one the frame. */
SEC("tc")
int l2pt_task_tx(struct __sk_buff* skb) {
    __u32 zero = 0, len = skb->len;
    struct l2pt_globals* g = bpf_map_lookup_elem(&l2pt_globals, &zero);
    if (!g)
        return TC_ACT_SHOT;
    if (!g->task_mark || skb->ifindex != g->task_if) {
        task_tx_failed(g, L2PT_STATS_NO_PORT, L2PT_DP_DROP_FENCED, len);
        return TC_ACT_SHOT;
    }
    __u32 ifs[L2PT_TX_PORTS_MAX] = {};
    const __u32 n = task_trailer(skb, ifs);
    if (!n) {
        task_tx_failed(g, L2PT_STATS_NO_PORT, L2PT_DP_DROP_SEND_FAILED, len);
        return TC_ACT_SHOT;
    }
    len = skb->len;
    /* A tag the kernel took off on the way in counts towards the length as it leaves. */
    const __u32 wire_len = len + (skb->vlan_present ? L2PT_TAG_LEN : 0);
    skb->mark = g->task_mark;
    /* Every port but the last gets a clone; the last the frame itself. */
    __u32 last = 0, last_slot = 0;
#pragma unroll
    for (__u32 i = 0; i < L2PT_TX_PORTS_MAX; i++) {
        if (i >= n)
            break;
        __u32 to = ifs[i];
        __u32* port = bpf_map_lookup_elem(&l2pt_by_ifindex, &to);
        if (!port || *port >= L2PT_MAX_PORTS) {
            task_tx_failed(g, L2PT_STATS_NO_PORT, L2PT_DP_DROP_NO_PORT, len);
            continue;
        }
        __u32 slot = *port;
        struct l2pt_lport* rec = bpf_map_lookup_elem(&l2pt_lports, &slot);
        if (!rec)
            continue;
        if (!(rec->flags & L2PT_P_UP)) {
            task_tx_failed(g, slot, L2PT_DP_DROP_PORT_DOWN, len);
            continue;
        }
        if (wire_len > rec->mtu + MTU_SLACK) {
            task_tx_failed(g, slot, L2PT_DP_DROP_OVER_MTU, len);
            continue;
        }
        if (last && bpf_clone_redirect(skb, last, 0) < 0)
            task_tx_failed(g, last_slot, L2PT_DP_DROP_SEND_FAILED, len);
        last = to;
        last_slot = slot;
    }
    return last ? bpf_redirect(last, 0) : TC_ACT_SHOT;
}

/* At every port's way out: the frames the ingress program forwarded (counted there) pass; the
 * task's PDUs pass while they carry the mark of the task in its role, and are counted here;
 * anything else, the host's own frames, is dropped. */
SEC("tc")
int l2pt_egress(struct __sk_buff* skb) {
    __u32 mark = skb->mark;
    if (mark == L2PT_PIPELINE_MARK)
        return TC_ACT_OK;
    __u32 zero = 0, ifindex = skb->ifindex, slot = L2PT_STATS_NO_PORT;
    struct l2pt_globals* g = bpf_map_lookup_elem(&l2pt_globals, &zero);
    __u32* port = bpf_map_lookup_elem(&l2pt_by_ifindex, &ifindex);
    if (port && *port < L2PT_MAX_PORTS)
        slot = *port;
    struct l2pt_port_stats* st = stats_of(slot);
    if (!g || !st)
        return TC_ACT_SHOT;
    __u32 why = L2PT_DP_DROP_REASONS;
    if ((mark & L2PT_TASK_MARK_MASK) != L2PT_TASK_MARK_BASE)
        why = L2PT_DP_DROP_HOST_TX;
    else if (!g->task_mark || mark != g->task_mark)
        why = L2PT_DP_DROP_FENCED; /* marked by l2pt_task_tx in an earlier role */
    const int dropped = why < L2PT_DP_DROP_REASONS;
    if (dropped)
        count_drop(slot, why);
    else {
        st->tx += 1;
        st->pdu_tx += 1;
    }
    if (g->flags & L2PT_G_TRACE) {
        __u32 chassis_if = 0;
        struct l2pt_lport* rec = bpf_map_lookup_elem(&l2pt_lports, &slot);
        if (rec && slot != L2PT_STATS_NO_PORT)
            chassis_if = rec->chassis_if;
        struct l2pt_event ev = {
            .port_if = chassis_if,
            .verdict = dropped ? L2PT_VERDICT_DROPPED : L2PT_VERDICT_FORWARDED,
            .reason = dropped ? why : 0,
            .len = skb->len,
            .outbound = 1,
        };
        bpf_ringbuf_output(&l2pt_events, &ev, sizeof(ev), 0);
    }
    return dropped ? TC_ACT_SHOT : TC_ACT_OK;
}
