/* The daemon's change of a policer's rates (abi.h, l2pt_set_rates): under the record's lock, the
 * rates alone, so that nothing the programs charge or count beside them meanwhile is lost. Built
 * into pipeline.bpf.c's one object. */
#include "net/pipeline/bpf/police.h"

static __always_inline int set_port_rates(const struct l2pt_rates_req* r) {
    __u32 port = r->port;
    struct l2pt_police* p = bpf_map_lookup_elem(&l2pt_police, &port);
    if (!p)
        return 0;
    bpf_spin_lock(&p->lock);
#pragma unroll
    for (__u32 c = 0; c < L2PT_STORM_CLASSES; c++) {
        p->storm_fps[c].rate = r->storm_fps[c];
        p->storm_kbps[c].rate = r->storm_kbps[c];
    }
    p->pdu.rate = r->pdu_fps;
    bpf_spin_unlock(&p->lock);
    return 1;
}

static __always_inline int set_trap_rate(const struct l2pt_rates_req* r) {
    struct l2pt_trap_key key = r->trap;
    struct l2pt_trap* t = bpf_map_lookup_elem(&l2pt_traps, &key);
    if (!t || (r->socket != L2PT_RATES_ANY_SOCKET && t->socket != r->socket))
        return 0;
    bpf_spin_lock(&t->lock);
    t->bucket.rate = r->trap_kbps;
    bpf_spin_unlock(&t->lock);
    /* The programs count these without the lock. */
    __sync_fetch_and_add(&t->hits, r->add_hits);
    __sync_fetch_and_add(&t->policed, r->add_policed);
    return 1;
}

SEC("tc")
int l2pt_set_rates(struct __sk_buff* skb) {
    struct l2pt_rates_req r;
    if (bpf_skb_load_bytes(skb, L2PT_RUN_HEAD, &r, sizeof(r)))
        return 0;
    if (r.kind == L2PT_RATES_PORT)
        return set_port_rates(&r);
    if (r.kind == L2PT_RATES_TRAP)
        return set_trap_rate(&r);
    return 0;
}
