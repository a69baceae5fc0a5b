/* At every port's tc egress: the fence. Built into pipeline.bpf.c's one object. */
#include "net/pipeline/bpf/count.h"

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
