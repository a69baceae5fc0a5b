/* Ways to take a provider tag off a frame, for pipeline_bench: each program pushes the tag (as
 * the pipeline does, growing the head) and, but the first, takes it off again. */
#include <linux/bpf.h>
#include <linux/pkt_cls.h>

#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

char LICENSE[] SEC("license") = "Dual BSD/GPL";

#define TPID 0x9100

static __always_inline int push(struct __sk_buff* skb) {
    __u8 buf[16];
    if (bpf_skb_load_bytes(skb, 0, buf, 12) || bpf_skb_change_head(skb, 4, 0))
        return -1;
    buf[12] = TPID >> 8;
    buf[13] = TPID & 0xFF;
    buf[14] = 0;
    buf[15] = 100;
    return bpf_skb_store_bytes(skb, 0, buf, sizeof(buf), 0) ? -1 : 0;
}

SEC("tc")
int push_only(struct __sk_buff* skb) {
    return push(skb) ? TC_ACT_OK : TC_ACT_SHOT;
}

/* Any protocol, any TPID: made 802.1Q, then two pushes and three pops. */
SEC("tc")
int pop_by_vlan_helpers(struct __sk_buff* skb) {
    const __u8 q[2] = {0x81, 0x00};
    if (push(skb) || bpf_skb_store_bytes(skb, 12, q, 2, 0) ||
        bpf_skb_vlan_push(skb, bpf_htons(0x8100), 0) ||
        bpf_skb_vlan_push(skb, bpf_htons(0x8100), 0) || bpf_skb_vlan_pop(skb) ||
        bpf_skb_vlan_pop(skb) || bpf_skb_vlan_pop(skb))
        return TC_ACT_OK;
    return TC_ACT_SHOT;
}

/* IP frames with one tag only: the EtherType and the first 4 bytes after it moved up over the
 * tag, then the 4 bytes at the end of the (18-byte) MAC header taken out. */
SEC("tc")
int pop_by_adjust_room(struct __sk_buff* skb) {
    __u8 shifted[6];
    if (push(skb) || bpf_skb_load_bytes(skb, 16, shifted, sizeof(shifted)) ||
        bpf_skb_store_bytes(skb, 12, shifted, sizeof(shifted), 0) ||
        bpf_skb_adjust_room(skb, -4, BPF_ADJ_ROOM_MAC, 0))
        return TC_ACT_OK;
    return TC_ACT_SHOT;
}
