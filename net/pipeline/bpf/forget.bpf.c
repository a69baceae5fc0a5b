/* The daemon's forgetting of learned MACs, run on a frame of their keys (abi.h, l2pt_forget).
 * Each entry leaves its lport under its lock, as one the ingress program forgets at a move past
 * a limit, so that a frame moving it meanwhile leaves no count behind; then its counts go and it
 * is deleted. Built into pipeline.bpf.c's one object. */
#include "net/pipeline/bpf/bridge.h"

struct forget_run {
    struct __sk_buff* skb;
    __u32 gone;
};

/* bpf_loop callback: the i-th key of the frame. */
static long forget_key(__u32 i, void* ctx) {
    struct forget_run* r = ctx;
    struct l2pt_fdb_key key;
    if (bpf_skb_load_bytes(r->skb, L2PT_FORGET_HEAD + i * sizeof(key), &key, sizeof(key)))
        return 1;
    struct l2pt_fdb_entry* e = bpf_map_lookup_elem(&l2pt_fdb, &key);
    if (!e)
        return 0;
    bpf_spin_lock(&e->lock);
    const __u32 was = e->lport;
    e->lport = L2PT_LPORT_NONE;
    bpf_spin_unlock(&e->lock);
    if (was == L2PT_LPORT_NONE)
        return 0; /* another is deleting it */
    count_less(was);
    count_less(L2PT_LEARN_VLAN + (key.vid & L2PT_VID_MASK));
    bpf_map_delete_elem(&l2pt_fdb, &key);
    r->gone += 1;
    return 0;
}

SEC("tc")
int l2pt_forget(struct __sk_buff* skb) {
    struct forget_run r = {.skb = skb};
    if (skb->len < L2PT_FORGET_HEAD)
        return 0;
    __u32 keys = (skb->len - L2PT_FORGET_HEAD) / sizeof(struct l2pt_fdb_key);
    bpf_loop(keys < L2PT_FORGET_KEYS_MAX ? keys : L2PT_FORGET_KEYS_MAX, forget_key, &r, 0);
    return (int)r.gone;
}
