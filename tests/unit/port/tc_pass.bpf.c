// Two tc programs for the port layer's tests: ours passes every frame; the other stands for
// somebody else's filter on the same interface.
#include <linux/bpf.h>
#include <linux/pkt_cls.h>
#include <bpf/bpf_helpers.h>

SEC("tc")
int pass(struct __sk_buff *skb) {
    (void)skb;
    return TC_ACT_OK;
}

SEC("tc")
int other(struct __sk_buff *skb) {
    (void)skb;
    return TC_ACT_UNSPEC;
}

char LICENSE[] SEC("license") = "GPL";
