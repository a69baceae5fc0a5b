/* At every port's tc ingress: provider bridging and trapping. Built into pipeline.bpf.c's one
 * object. */
#include "net/pipeline/bpf/bridge.h"
#include "net/pipeline/bpf/trap.h"

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
    f.lport = lport_of(f.in, f.port);
    /* The tick's time: what learning, ageing and the buckets need, without reading the clock
     * source per frame (on a VM, a fifth of the program's time). */
    f.now = bpf_ktime_get_coarse_ns();
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
    /* The tunnel MAC is the provider's: a customer may neither send to it nor from it (the
     * provider's bridges would learn a unicast one behind this edge, and bring it alone the
     * other edges' PDUs). */
    if (!f.o.provider && (is_tunnel_mac(f.g, dst) || is_tunnel_mac(f.g, &f.hdr[L2PT_OFF_SRC])))
        return drop(&f, L2PT_DP_DROP_TUNNEL_MAC);
    const int l2cp = l2pt_l2cp_index(dst);
    __u32 action = L2PT_L2CP_DEFAULT;
    if (l2cp >= 0)
        action = l2cp_action(&f, (__u32)l2cp);
    if (action == L2PT_L2CP_DEFAULT || action == L2PT_L2CP_TUNNEL) {
        struct l2pt_trap* t = trap_entry(&f);
        if (t) {
            /* The task sends the tunnel socket's PDUs into the VLAN of their outer tag (an old
             * tunnel MAC's entries trap there too): provider traffic only. */
            if (t->socket == L2PT_SOCKET_TUNNEL && !f.o.provider)
                return drop(&f, L2PT_DP_DROP_TUNNEL_MAC);
            if (l2cp >= 0)
                l2pt_count_l2cp(f.port, L2PT_L2CP_COUNTED_TUNNELLED, (__u32)l2cp);
            /* A core port's PDUs are policed per VLAN: every customer's arrive there. */
            const __u32 who = f.o.provider ? POLICE_VLAN | f.o.vid : 0;
            f.o.vid = 0; /* a trapped frame's event names the tag it was given */
            return trap(&f, t, who);
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
    const __u32 headers = skb->gso_size ? segment_lengths(&f, skb->gso_size) : 0;
    __builtin_memcpy(f.o.macs, f.hdr, sizeof(f.o.macs));
    /* What the pipeline forwards carries its mark to the egress programs, never a task's. */
    skb->mark = L2PT_PIPELINE_MARK;
    int role = ROLE_NONE;
    __u32 to = known(&f, &role);
    if (to == f.lport)
        return drop(&f, L2PT_DP_DROP_FILTERED);
    if (to != L2PT_LPORT_NONE)
        return unicast(&f, to, role);
    /* A segmentation-offloaded frame is as many frames to storm control as it came as, and
     * as many bytes as they make with the headers each repeats. A sender the kernel does not
     * trust (a tap's virtio header) leaves the count of segments to be made: it comes from
     * the lengths then. */
    __u32 frames = skb->gso_size ? skb->gso_segs : 1;
    if (frames == 0) {
        const __u32 h = headers ? headers : L2PT_ETH_HLEN;
        frames = f.len > h ? (f.len - h + skb->gso_size - 1) / skb->gso_size : 1;
    }
    const __u32 bytes = f.len + (frames - 1) * headers;
    if (!l2pt_storm(f.port, l2pt_storm_class(&f.hdr[L2PT_OFF_DST]), f.now, bytes, frames))
        return drop(&f, L2PT_DP_DROP_STORM);
    return flood(&f);
}
