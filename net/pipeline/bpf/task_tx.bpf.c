/* At our end of the task's link: the task's PDUs to the ports its trailer names. Built into
 * pipeline.bpf.c's one object. */
#include "net/pipeline/bpf/bridge.h"
#include "net/pipeline/bpf/trap.h"

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

/* What the trailer asks: the frame as it came to ifs[0, n), then, retagged (its destination MAC
 * replaced and a tag pushed, or its outer tag popped), to ifs[n, n + m). */
struct task_out {
    __u32 ifs[L2PT_TX_PORTS_MAX];
    __u32 n, m;
    __u8 retag[L2PT_TX_RETAG_LEN];
};

/* Reads the trailer into t and takes it off: 0, or -1 when it is none. */
static __always_inline int task_trailer(struct __sk_buff* skb, struct task_out* t) {
    __u32 len = skb->len;
    __u8 tail[L2PT_TX_TAIL];
    if (len < L2PT_ETH_HLEN + L2PT_TX_TAIL ||
        len > L2PT_TRAP_MAX_LEN + L2PT_TAG_LEN + L2PT_TX_TRAILER_MAX)
        return -1;
    if (bpf_skb_load_bytes(skb, len - L2PT_TX_TAIL, tail, sizeof(tail)))
        return -1;
    __u32 trailer = L2PT_TX_TAIL;
    t->n = be16_at(tail);
    t->m = 0;
    if (be16_at(&tail[2]) == L2PT_TX_MAGIC_RETAG) {
        trailer += L2PT_TX_RETAG_LEN;
        if (len < L2PT_ETH_HLEN + trailer ||
            bpf_skb_load_bytes(skb, len - trailer, t->retag, sizeof(t->retag)))
            return -1;
        t->m = be16_at(&t->retag[L2PT_TX_RETAG_LEN - 2]);
        if (t->m < 1)
            return -1;
    } else if (be16_at(&tail[2]) != L2PT_TX_MAGIC) {
        return -1;
    }
    const __u32 ports = t->n + t->m;
    if (t->n < 1 || ports > L2PT_TX_PORTS_MAX)
        return -1;
    trailer += ports * L2PT_TX_IF_LEN;
    if (len < L2PT_ETH_HLEN + trailer)
        return -1;
    __u32 at = len - trailer;
#pragma unroll
    for (__u32 i = 0; i < L2PT_TX_PORTS_MAX; i++) {
        __u8 b[L2PT_TX_IF_LEN];
        if (i >= ports)
            break;
        if (bpf_skb_load_bytes(skb, at + i * L2PT_TX_IF_LEN, b, sizeof(b)))
            return -1;
        t->ifs[i] = be32_at(b);
    }
    return bpf_skb_change_tail(skb, at, 0) ? -1 : 0;
}

/* The frame made what the task sent to the trailer's second ports: the destination MAC
 * replaced, and the tag given pushed after the MACs, or, given none, the outer tag popped.
 * Every tag is put back in the data first, so that the pushed one goes outside them. */
__noinline int task_retag(struct __sk_buff* skb, const struct task_out* t) {
    if (!t)
        return -1;
    const __u8* retag = t->retag;
    if (skb->vlan_present && restore_tags(skb) >= 0)
        return -1;
    __u8 head[L2PT_OFF_TYPE + L2PT_TAG_LEN];
    if (bpf_skb_load_bytes(skb, 0, head, L2PT_OFF_TYPE))
        return -1;
    __builtin_memcpy(head, retag, L2PT_ETH_ALEN);
    const __u8* tag = &retag[L2PT_ETH_ALEN];
    if (tag[0] | tag[1]) {
        __builtin_memcpy(&head[L2PT_OFF_TYPE], tag, L2PT_TAG_LEN);
        return bpf_skb_change_head(skb, L2PT_TAG_LEN, 0) ||
                       bpf_skb_store_bytes(skb, 0, head, sizeof(head), 0)
                   ? -1
                   : 0;
    }
    struct out o = {};
    return bpf_skb_store_bytes(skb, 0, head, L2PT_ETH_ALEN, 0) || pop_provider(skb, &o) ? -1 : 0;
}

/* What a copy of the task's frame is, read once for each of its forms. */
struct task_form {
    __u32 tpid, vid;  /* its outer tag's; tpid 0 without one */
    __u8 to_tunnel;   /* to the tunnel MAC in force */
    __u8 to_protocol; /* to a protocol's address */
};

static __always_inline int task_form_of(struct __sk_buff* skb, const struct l2pt_globals* g,
                                        struct task_form* f) {
    __u8 h[L2PT_ETH_HLEN + L2PT_TAG_LEN] = {};
    const __u32 have = skb->len < sizeof(h) ? L2PT_ETH_HLEN : sizeof(h);
    if (bpf_skb_load_bytes(skb, 0, h, have))
        return -1;
    f->to_tunnel = is_tunnel_mac(g, h);
    f->to_protocol = l2pt_is_protocol_mac(h);
    if (skb->vlan_present) {
        f->tpid = bpf_ntohs((__u16)skb->vlan_proto);
        f->vid = skb->vlan_tci & L2PT_VID_MASK;
    } else {
        f->tpid = have == sizeof(h) ? be16_at(&h[L2PT_OFF_TYPE]) : 0;
        f->vid = be16_at(&h[L2PT_OFF_TYPE + 2]) & L2PT_VID_MASK;
    }
    return 0;
}

/* Whether a port takes the copy as a PDU of the task's: a core port of the VLAN of its provider
 * tag, to the tunnel MAC or a protocol's address; or an access port in its own VLAN, to a
 * protocol's address (a customer's PDU, or one de-tunnelled). A task that a customer's PDU took
 * over sends nothing else: no data to a customer's host, nothing under the provider's tag into
 * a VLAN the port does not carry. A global function, verified once. */
__noinline int task_may_send(const struct task_form* f, __u32 lport, __u32 pvid, __u32 tpid) {
    if (!f)
        return 0;
    if ((f->to_tunnel || f->to_protocol) && f->tpid == tpid) {
        __u32 vid = f->vid;
        const struct l2pt_vlan* v = bpf_map_lookup_elem(&l2pt_vlans, &vid);
        if (v && vlan_role(v, lport) == ROLE_CORE)
            return 1;
    }
    if (!f->to_protocol)
        return 0;
    pvid &= L2PT_VID_MASK;
    const struct l2pt_vlan* v = bpf_map_lookup_elem(&l2pt_vlans, &pvid);
    return v && vlan_role(v, lport) == ROLE_ACCESS;
}

/* A frame the program counted and let go. Stolen, not shot: at our end's egress the task's
 * send would fail with it (and stop its batch), where a frame dropped on a wire never comes
 * back to its sender. */
#define TASK_TX_DROPPED TC_ACT_STOLEN

/* At our end of the task's link (both hooks): every frame the task sends. Only the task in its
 * role now is heard, and only the switch's own ports are reached: the trailer is the task's
 * word, not the daemon's. Each port gets a copy (its egress counts it): a clone, the last one
 * the frame. */
SEC("tc")
int l2pt_task_tx(struct __sk_buff* skb) {
    __u32 zero = 0, len = skb->len;
    struct l2pt_globals* g = bpf_map_lookup_elem(&l2pt_globals, &zero);
    if (!g)
        return TASK_TX_DROPPED;
    if (!g->task_mark || skb->ifindex != g->task_if) {
        task_tx_failed(g, L2PT_STATS_NO_PORT, L2PT_DP_DROP_FENCED, len);
        return TASK_TX_DROPPED;
    }
    struct task_out t = {};
    if (task_trailer(skb, &t)) {
        task_tx_failed(g, L2PT_STATS_NO_PORT, L2PT_DP_DROP_SEND_FAILED, len);
        return TASK_TX_DROPPED;
    }
    len = skb->len;
    struct task_form form = {};
    if (task_form_of(skb, g, &form)) {
        task_tx_failed(g, L2PT_STATS_NO_PORT, L2PT_DP_DROP_SEND_FAILED, len);
        return TASK_TX_DROPPED;
    }
    skb->mark = g->task_mark;
    /* Every port but the last gets a clone; the last the frame itself. */
    __u32 last = 0, last_slot = 0, broken = 0;
#pragma unroll
    for (__u32 i = 0; i < L2PT_TX_PORTS_MAX; i++) {
        if (i >= t.n + t.m)
            break;
        if (i == t.n) {
            /* The frame as it came has gone to its last port: now the retagged one. */
            if (last != 0 && bpf_clone_redirect(skb, last, 0) < 0)
                task_tx_failed(g, last_slot, L2PT_DP_DROP_SEND_FAILED, len);
            last = 0;
            broken = task_retag(skb, &t) || task_form_of(skb, g, &form);
            len = skb->len; /* the retagged frame's own */
        }
        __u32 to = t.ifs[i];
        __u32* port = bpf_map_lookup_elem(&l2pt_by_ifindex, &to);
        if (!port || *port >= L2PT_MAX_PORTS) {
            task_tx_failed(g, L2PT_STATS_NO_PORT, L2PT_DP_DROP_NO_PORT, len);
            continue;
        }
        __u32 slot = *port;
        struct l2pt_lport* rec = bpf_map_lookup_elem(&l2pt_lports, &slot);
        if (!rec)
            continue;
        if (!(rec->flags & L2PT_P_PRESENT)) {
            task_tx_failed(g, slot, L2PT_DP_DROP_CARD_ABSENT, len);
            continue;
        }
        if (!(rec->flags & L2PT_P_UP)) {
            task_tx_failed(g, slot, L2PT_DP_DROP_PORT_DOWN, len);
            continue;
        }
        /* A tag the kernel took off on the way in counts towards the length as it leaves. */
        if (len + (skb->vlan_present ? L2PT_TAG_LEN : 0) > rec->mtu + MTU_SLACK) {
            task_tx_failed(g, slot, L2PT_DP_DROP_OVER_MTU, len);
            continue;
        }
        if (broken) {
            task_tx_failed(g, slot, L2PT_DP_DROP_SEND_FAILED, len);
            continue;
        }
        const __u32 lport = lport_of(rec, slot);
        if (!task_may_send(&form, lport, rec->pvid, g->tpid)) {
            task_tx_failed(g, slot, L2PT_DP_DROP_TASK_FORM, len);
            continue;
        }
        if (last && bpf_clone_redirect(skb, last, 0) < 0)
            task_tx_failed(g, last_slot, L2PT_DP_DROP_SEND_FAILED, len);
        last = to;
        last_slot = slot;
    }
    return last ? bpf_redirect(last, 0) : TASK_TX_DROPPED;
}
