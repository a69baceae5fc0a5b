/* Trapping: the entry a frame's destination finds, its record in the task's ring, the tunnel
 * MAC and the actions for the reserved addresses. */
#ifndef L2PT_NET_PIPELINE_BPF_TRAP_H
#define L2PT_NET_PIPELINE_BPF_TRAP_H

#include "net/pipeline/bpf/police.h"

/* ---- Trap ---- */

/* Room for the frame in a trap record of the smaller sizes: records are no longer than the
 * frame needs, so that the ring holds many small PDUs on few pages. */
#define TRAP_ROOM_SMALL 128
#define TRAP_ROOM_MEDIUM 512
#define TRAP_REC_BYTES(room) (__builtin_offsetof(struct l2pt_trap_rec, frame) + (room))

/* A record's bytes in the ring: its header, rounded up to 8 as the ring does. */
#define RING_REC_BYTES(room) ((TRAP_REC_BYTES(room) + L2PT_RING_REC_HDR + 7) & ~7ull)

/* Writes the trapped frame (len bytes once tagged) into a record with room bytes for it. */
static __always_inline int trap_record(struct frame* f, struct l2pt_trap* t, void* ring, __u32 len,
                                       int add_tag, const __u32 room, __u32 who) {
    if (!ring_share(f, ring, RING_REC_BYTES(room), who))
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

/* who: whose PDU the port policers count it as (POLICE_VLAN). */
static __always_inline int trap(struct frame* f, struct l2pt_trap* t, __u32 who) {
    __sync_fetch_and_add(&t->hits, 1);
    if (!police(t, f->now, f->len)) {
        __sync_fetch_and_add(&t->policed, 1);
        return drop(f, L2PT_DP_DROP_POLICED);
    }
    if (!l2pt_pdu_rate(f->port, who, f->now))
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
        return trap_record(f, t, ring, len, add_tag, TRAP_ROOM_SMALL, who);
    if (len <= TRAP_ROOM_MEDIUM)
        return trap_record(f, t, ring, len, add_tag, TRAP_ROOM_MEDIUM, who);
    return trap_record(f, t, ring, len, add_tag, L2PT_TRAP_MAX_LEN, who);
}

static __always_inline struct l2pt_trap* trap_entry(struct frame* f) {
    if (f->g->trap_none & (1u << l2pt_trap_bucket(&f->hdr[L2PT_OFF_DST])))
        return 0;
    struct l2pt_trap_key key = {.owner = f->in->chassis_if};
    __builtin_memcpy(key.mac, &f->hdr[L2PT_OFF_DST], L2PT_ETH_ALEN);
    struct l2pt_trap* t = bpf_map_lookup_elem(&l2pt_traps, &key);
    if (t)
        return t;
    key.owner = L2PT_TRAP_SLOT_KEY(f->in->slot);
    return bpf_map_lookup_elem(&l2pt_traps, &key);
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

#endif
