/* The policers: token buckets, a trap entry's rate, a port's PDU rate and its share of the
 * task's ring, storm control. */
#ifndef L2PT_NET_PIPELINE_BPF_POLICE_H
#define L2PT_NET_PIPELINE_BPF_POLICE_H

#include "net/pipeline/bpf/count.h"

/* A rate of R Kbps earns R / 8 byte tokens a nanosecond, R frames a second R frame tokens
 * (abi.h). */
#define KBPS_PER_TOKEN_NS 8
#define FPS_PER_TOKEN_NS 1

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

/* Whether cost tokens may leave b, of capacity cap: a cost larger than the whole burst goes
 * from a full bucket. */
static __always_inline int holds(struct l2pt_bucket* b, __u64 cap, __u64 cost) {
    return b->tokens >= (cost < cap ? cost : cap);
}

/* Takes cost tokens from b; past what it holds, the rest is owed: it earns nothing until that
 * rest would have come in at its rate (last_ns moves past the clock). d as refill's. */
static __always_inline void charge(struct l2pt_bucket* b, __u64 cost, __u64 d) {
    if (b->tokens >= cost) {
        b->tokens -= cost;
        return;
    }
    b->last_ns += (cost - b->tokens) * d / b->rate;
    b->tokens = 0;
}

/* Whether len bytes in frames frames may pass the byte bucket b and the frame bucket fb (either
 * not policing when its rate is 0); what passes is charged to both. Under their lock. */
static __always_inline int take(struct l2pt_bucket* b, struct l2pt_bucket* fb, __u64 now, __u32 len,
                                __u32 frames) {
    const __u64 cost = (__u64)len * L2PT_TOKEN_SCALE;
    const __u64 frame_cost = (__u64)frames * L2PT_FRAME_TOKENS;
    int pass = 1;
    if (b && b->rate) {
        const __u64 cap = byte_cap(b->rate);
        refill(b, now, cap, KBPS_PER_TOKEN_NS);
        pass = holds(b, cap, cost);
    }
    if (fb && fb->rate) {
        const __u64 cap = (__u64)fb->rate * L2PT_FRAME_TOKENS;
        refill(fb, now, cap, FPS_PER_TOKEN_NS);
        pass &= holds(fb, cap, frame_cost);
    }
    if (!pass)
        return 0;
    if (b && b->rate)
        charge(b, cost, KBPS_PER_TOKEN_NS);
    if (fb && fb->rate)
        charge(fb, frame_cost, FPS_PER_TOKEN_NS);
    return 1;
}

/* The entry's policer: 1 when the frame may pass. */
static __always_inline int police(struct l2pt_trap* t, __u64 now, __u32 len) {
    bpf_spin_lock(&t->lock);
    int pass = take(&t->bucket, 0, now, len, 1);
    bpf_spin_unlock(&t->lock);
    return pass;
}

/* The port policers below are global functions, each verified once: inlined, their branches
 * would multiply the paths the verifier walks after them past what it allows a loader without
 * CAP_PERFMON. */

/* Whose PDU a port policer counts: the port's own (0), or, for a provider frame, its VLAN's
 * (POLICE_VLAN | the VLAN id): every customer's far sites arrive on a core port. */
#define POLICE_VLAN (1u << 16)

/* The record of the VLAN who names. */
static __always_inline struct l2pt_vlan_police* vlan_police(__u32 who) {
    __u32 vid = who & L2PT_VID_MASK;
    return bpf_map_lookup_elem(&l2pt_vlan_police, &vid);
}

/* The PDU rate of the port, or of its VLAN who: 1 when a trapped frame may go on to the task. */
__noinline int l2pt_pdu_rate(__u32 port, __u32 who, __u64 now) {
    struct l2pt_police* p = bpf_map_lookup_elem(&l2pt_police, &port);
    if (!p)
        return 1;
    int pass = 1;
    if (!(who & POLICE_VLAN)) {
        bpf_spin_lock(&p->lock);
        pass = take(0, &p->pdu, now, 0, 1);
        bpf_spin_unlock(&p->lock);
        return pass;
    }
    /* The rate of the port it arrives on, which the daemon writes whole. */
    const __u32 rate = p->pdu.rate;
    if (!rate)
        return 1;
    struct l2pt_vlan_police* v = vlan_police(who);
    if (!v)
        return 1;
    bpf_spin_lock(&v->lock);
    v->pdu.rate = rate;
    pass = take(0, &v->pdu, now, 0, 1);
    bpf_spin_unlock(&v->lock);
    return pass;
}

/* A share of the ring (the three positions of l2pt_police's): 1 when a record of rec bytes may
 * go in while share bytes may be held. Under the lock of the value that holds them. */
static __always_inline int share_take(__u64* mark, __u64* older, __u64* newer, __u64 share,
                                      __u64 rec, __u64 prod, __u64 cons) {
    if (cons >= *mark || prod < *mark) {
        /* Everything before the mark is read (or the ring is a new one). */
        *older = prod < *mark ? 0 : *newer;
        *newer = 0;
        *mark = prod;
    }
    if (*older + *newer + rec > share)
        return 0;
    *newer += rec;
    return 1;
}

/* The share of the task's ring (abi.h) of the port in whose low 32 bits, or of its VLAN in the
 * high ones (POLICE_VLAN | id): 1 when a record of rec bytes may go in while it may hold share
 * bytes (no limit: U64_MAX). prod and cons: the ring's positions, read by the caller (a global
 * function takes no map). */
__noinline int l2pt_ring_share(__u64 whose, __u64 share, __u64 rec, __u64 prod, __u64 cons) {
    __u32 port = (__u32)whose;
    const __u32 who = (__u32)(whose >> 32);
    int pass = 1;
    if (who & POLICE_VLAN) {
        struct l2pt_vlan_police* v = vlan_police(who);
        if (!v)
            return 1;
        bpf_spin_lock(&v->lock);
        pass = share_take(&v->share_mark, &v->share_older, &v->share_newer, share, rec, prod, cons);
        bpf_spin_unlock(&v->lock);
        return pass;
    }
    struct l2pt_police* p = bpf_map_lookup_elem(&l2pt_police, &port);
    if (!p)
        return 1;
    bpf_spin_lock(&p->lock);
    pass = share_take(&p->share_mark, &p->share_older, &p->share_newer, share, rec, prod, cons);
    bpf_spin_unlock(&p->lock);
    return pass;
}

#define NO_SHARE_LIMIT (~0ull)

static __always_inline int ring_share(struct frame* f, void* ring, __u64 rec, __u32 who) {
    const __u32 ports = f->g->pdu_ports;
    /* A port alone may fill the ring: then the task is behind. */
    if (ports < 2)
        return 1;
    const __u64 unread = bpf_ringbuf_query(ring, BPF_RB_AVAIL_DATA);
    const __u64 share = unread > L2PT_SHARE_FROM ? L2PT_RING_BYTES / ports : NO_SHARE_LIMIT;
    return l2pt_ring_share((__u64)who << 32 | f->port, share, rec,
                           bpf_ringbuf_query(ring, BPF_RB_PROD_POS),
                           bpf_ringbuf_query(ring, BPF_RB_CONS_POS));
}

/* Storm control: 1 when the port's limit for the class of a flooded frame of len bytes lets it
 * pass, as many frames as the segments it leaves in (a segmentation-offloaded one: more than
 * one); a frame refused is counted by its class. */
__noinline int l2pt_storm(__u32 port, __u32 cls, __u64 now, __u32 len, __u32 frames) {
    struct l2pt_police* p = bpf_map_lookup_elem(&l2pt_police, &port);
    if (!p)
        return 1;
    int pass = 1;
    bpf_spin_lock(&p->lock);
    /* Each class's buckets by a constant index (see vlan_role). */
#pragma unroll
    for (__u32 i = 0; i < L2PT_STORM_CLASSES; i++) {
        if (i == cls)
            pass = take(&p->storm_kbps[i], &p->storm_fps[i], now, len, frames);
    }
    bpf_spin_unlock(&p->lock);
    if (!pass)
        l2pt_count_storm(port, cls);
    return pass;
}

#endif
