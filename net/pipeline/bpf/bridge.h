/* Provider bridging: the frame's form on a way out, the ways out of a port or LAG, unicast and
 * flooding, learning and the known destinations. */
#ifndef L2PT_NET_PIPELINE_BPF_BRIDGE_H
#define L2PT_NET_PIPELINE_BPF_BRIDGE_H

#include "net/pipeline/bpf/count.h"

/* The kernel's own length check on a way out: the MTU, the Ethernet header and one tag. */
#define MTU_SLACK (L2PT_ETH_HLEN + L2PT_TAG_LEN)
_Static_assert((L2PT_LAG_MAX_LIVE & (L2PT_LAG_MAX_LIVE - 1)) == 0, "a power of two");

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
 * the way out puts back on the wire; one the frame ends within (or its EtherType) cannot
 * follow: the last pop fails with the metadata empty, and the tag stays in the data. */
static __always_inline int pop_provider(struct __sk_buff* skb, struct out* o) {
    __u8 tag[L2PT_TAG_LEN];
    put_tag(tag, L2PT_TPID_8021Q, 0);
    if (bpf_skb_store_bytes(skb, L2PT_OFF_TYPE, tag, TPID_LEN, 0) ||
        bpf_skb_vlan_push(skb, bpf_htons(L2PT_TPID_8021Q), 0) ||
        bpf_skb_vlan_push(skb, bpf_htons(L2PT_TPID_8021Q), 0) || bpf_skb_vlan_pop(skb) ||
        bpf_skb_vlan_pop(skb))
        return -1;
    if (bpf_skb_vlan_pop(skb) && skb->vlan_present)
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

/* ---- Bridging ---- */

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

/* With a VLAN id to l2pt_learn: the frame is provider traffic. */
#define LEARN_PROVIDER (1u << 16)

/* Learns source mac (its six bytes in the low bits, the first the highest) in VLAN vid on lport,
 * which port brought, within the VLAN's limit and, for a customer's frame, the lport's: every
 * customer's far sites arrive on a core port, and one of them must not fill it for the others.
 * -1, or why the frame is dropped. A global function, verified once: inlined, its branches
 * multiplied the paths the verifier walks after it past its limit for a loader without
 * CAP_PERFMON. */
__noinline int l2pt_learn(__u32 port, __u32 lport, __u32 vid, __u64 mac, __u64 now) {
    struct l2pt_port_stats* st = stats_of(port);
    struct l2pt_learn* lp = learning_of(lport);
    struct l2pt_learn* vlan = learning_of(L2PT_LEARN_VLAN + (vid & L2PT_VID_MASK));
    if (!st || !lp || !vlan)
        return -1;
    const int port_room = (vid & LEARN_PROVIDER) || has_room(lp);
    struct l2pt_fdb_key key = {.vid = (__u16)(vid & L2PT_VID_MASK)};
#pragma unroll
    for (int i = 0; i < L2PT_ETH_ALEN; i++)
        key.mac[i] = (__u8)(mac >> (8 * (L2PT_ETH_ALEN - 1 - i)));
    struct l2pt_fdb_entry* e = bpf_map_lookup_elem(&l2pt_fdb, &key);
    if (e) {
        int moved = 0;
        bpf_spin_lock(&e->lock);
        const __u32 was = e->lport;
        if (was != lport && was != L2PT_LPORT_NONE) {
            /* A move past the limit takes the entry off its lport here, under the lock, so that
             * nothing else moves it or takes its counts off while it goes. */
            moved = port_room;
            e->lport = moved ? lport : L2PT_LPORT_NONE;
        }
        e->seen_ns = now;
        bpf_spin_unlock(&e->lock);
        if (was == lport || was == L2PT_LPORT_NONE)
            return -1; /* known here, or going */
        count_less(was);
        if (moved) {
            __sync_fetch_and_add(&lp->count, 1);
            st->learn_moves += 1;
            return -1;
        }
        /* A move past the limit: the stale entry goes, so that the MAC floods. */
        __sync_fetch_and_add(&vlan->count, -1);
        bpf_map_delete_elem(&l2pt_fdb, &key);
        return not_learned(st, lp);
    }
    if (!port_room || !has_room(vlan))
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
    /* A source known on this lport and seen lately costs one lookup and no lock: its time is
     * refreshed at most every sixteenth of the ageing time (a second at most), so a MAC that
     * falls silent is forgotten that much early at the most. */
    struct l2pt_fdb_key key = {.vid = (__u16)(f->o.vid & L2PT_VID_MASK)};
    __builtin_memcpy(key.mac, src, L2PT_ETH_ALEN);
    const struct l2pt_fdb_entry* e = bpf_map_lookup_elem(&l2pt_fdb, &key);
    if (e && e->lport == f->lport) {
        __u64 refresh = f->g->ageing_ns >> L2PT_SEEN_REFRESH_SHIFT;
        if (refresh > L2PT_SEEN_REFRESH_MAX_NS)
            refresh = L2PT_SEEN_REFRESH_MAX_NS;
        if ((__s64)(f->now - e->seen_ns) < (__s64)refresh)
            return -1;
    }
    __u64 mac = 0;
#pragma unroll
    for (int i = 0; i < L2PT_ETH_ALEN; i++)
        mac = mac << 8 | src[i];
    return l2pt_learn(f->port, f->lport, f->o.vid | (f->o.provider ? LEARN_PROVIDER : 0), mac,
                      f->now);
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

#endif
