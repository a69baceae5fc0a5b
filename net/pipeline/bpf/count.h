/* The counters of the ports' statistics and the trace events: what became of a frame, and
 * why. */
#ifndef L2PT_NET_PIPELINE_BPF_COUNT_H
#define L2PT_NET_PIPELINE_BPF_COUNT_H

#include "net/pipeline/bpf/parse.h"

/* An event's length field: a segmentation-offloaded frame may be longer. */
#define EVENT_LEN_MAX 0xFFFF

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

#endif
