/* A program the verifier refuses: it reads the packet without checking its length. */
#include <linux/bpf.h>

#include <bpf/bpf_helpers.h>

char LICENSE[] SEC("license") = "Dual BSD/GPL";

SEC("tc")
int l2pt_refused(struct __sk_buff* skb) {
    if (skb->mark == 7)  // a branch: its log runs past the lines a refusal quotes
        return skb->priority;
    return *(__u8*)(long)skb->data;
}
