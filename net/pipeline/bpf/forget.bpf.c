/* The daemon's forgetting of learned MACs, run on a frame of them as the daemon read them (abi.h,
 * l2pt_forget). An entry still as read leaves its lport under its lock, as one the ingress
 * program forgets at a move past a limit, so that a frame moving it meanwhile leaves no count
 * behind; then its counts go and it is deleted. One moved or seen again since it was read (its
 * owner took it back, it is not old) stays. Built into pipeline.bpf.c's one object. */
#include "net/pipeline/bpf/bridge.h"

struct forget_run {
    struct __sk_buff* skb;
    __u32 gone;
};

/* bpf_loop callback: the i-th record of the frame. */
static long forget_rec(__u32 i, void* ctx) {
    struct forget_run* r = ctx;
    struct l2pt_forget_rec rec;
    if (bpf_skb_load_bytes(r->skb, L2PT_RUN_HEAD + i * sizeof(rec), &rec, sizeof(rec)))
        return 1;
    struct l2pt_fdb_entry* e = bpf_map_lookup_elem(&l2pt_fdb, &rec.key);
    if (!e)
        return 0;
    bpf_spin_lock(&e->lock);
    const __u32 was = e->lport;
    /* Another deleting it has taken it off its lport already. */
    const int as_read = was != L2PT_LPORT_NONE && was == rec.lport && e->seen_ns == rec.seen_ns;
    if (as_read)
        e->lport = L2PT_LPORT_NONE;
    bpf_spin_unlock(&e->lock);
    if (!as_read)
        return 0;
    count_less(was);
    count_less(L2PT_LEARN_VLAN + (rec.key.vid & L2PT_VID_MASK));
    bpf_map_delete_elem(&l2pt_fdb, &rec.key);
    r->gone += 1;
    return 0;
}

SEC("tc")
int l2pt_forget(struct __sk_buff* skb) {
    struct forget_run r = {.skb = skb};
    if (skb->len < L2PT_RUN_HEAD)
        return 0;
    __u32 recs = (skb->len - L2PT_RUN_HEAD) / sizeof(struct l2pt_forget_rec);
    bpf_loop(recs < L2PT_FORGET_MAX ? recs : L2PT_FORGET_MAX, forget_rec, &r, 0);
    return (int)r.gone;
}
