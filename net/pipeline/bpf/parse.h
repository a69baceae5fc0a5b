/* The frame in hand: what the ingress program reads of its front and keeps of it, its tags, the
 * VLAN it is taken into, and the headers a segmentation-offloaded frame repeats. */
#ifndef L2PT_NET_PIPELINE_BPF_PARSE_H
#define L2PT_NET_PIPELINE_BPF_PARSE_H

#include "net/pipeline/bpf/maps.h"

/* What the program reads of a frame's front: the MACs, four tags, the EtherType. */
#define HDR_BYTES (L2PT_ETH_HLEN + 4 * L2PT_TAG_LEN)
#define TAGS_READ 4
/* Tags the kernel takes off one by one into the skb's metadata (defs.h). */
#define META_TAGS L2PT_LEADING_TAGS_MAX
#define TPID_LEN 2 /* the first half of a tag */
/* Bits of a word of the VLANs' lport bitmaps. */
#define WORD_BITS 32

/* A way out: the port a copy leaves by. */
struct way {
    __u32 port;
    __u32 ifindex;
    __u32 mtu;
    __u32 chassis_if;
};

/* The frame's form and its ways out, in scalars only, so that flood_to, a function the
 * verifier checks once on its own, can take it. */
struct out {
    __u32 tpid;                       /* the provider TPID in force */
    __u32 len_customer, len_provider; /* on the wire in either form (a segmentation-offloaded
                                         frame: each of its segments, the last at most) */
    __u32 hash;
    __u32 copies;
    __u32 ways[L2PT_EVENT_WAYS]; /* the ports the first copies left by, for the event */
    struct way pending;          /* flooding: the copy not yet sent */
    __u16 vid;
    __u8 hashed;
    __u8 provider; /* the frame is in its provider form now */
    __u8 to_core;  /* flooding: the members walked are core ports */
    __u8 broken;   /* flooding: the frame could not be converted */
    __u8 has_pending;
    __u8 tracing; /* the event wants ways[] */
    __u8 macs[2 * L2PT_ETH_ALEN];
};

/* Everything the ingress program knows of the frame in hand. */
struct frame {
    struct __sk_buff* skb;
    struct l2pt_globals* g;
    struct l2pt_lport* in; /* the port P it entered */
    struct l2pt_port_stats* st;
    struct l2pt_vlan* vlan;
    __u64 now;
    __u32 port;       /* P */
    __u32 lport;      /* L: P, or its LAG */
    __u32 len;        /* as it entered, every tag in the data */
    __u32 hlen;       /* bytes of hdr[] read */
    __u32 word, bits; /* flooding: the bitmap word walked and its members left */
    __u32 tags;       /* tags in the data at its front */
    struct out o;
    __u8 hdr[HDR_BYTES];
};

static __always_inline __u32 be16_at(const __u8* p) {
    return (__u32)p[0] << 8 | p[1];
}

static __always_inline int is_tag(__u32 tpid, __u32 in_force) {
    return tpid == L2PT_TPID_8021Q || tpid == L2PT_TPID_QINQ || tpid == L2PT_TPID_VMAN ||
           tpid == in_force;
}

#define ROLE_NONE 0
#define ROLE_ACCESS 1
#define ROLE_CORE 2

/* The lport a port's frames belong to in the VLANs: its LAG's, or its own. */
static __always_inline __u32 lport_of(const struct l2pt_lport* rec, __u32 port) {
    return rec->lag < L2PT_MAX_LPORTS ? rec->lag : port;
}

/* What lport is in VLAN v: ROLE_NONE, ROLE_ACCESS or ROLE_CORE. Both bitmaps are read at one
 * index, checked in the register it is used in: a loader without CAP_PERFMON is refused pointer
 * arithmetic whose bounds it cannot see or that differs between the paths to it, as it is a
 * stack access at a variable offset (hence the unrolled loops elsewhere). */
static __always_inline int vlan_role(const struct l2pt_vlan* v, __u32 lport) {
    __u64 at = lport / WORD_BITS;
    barrier_var(at);
    if (at >= L2PT_LPORT_WORDS)
        return ROLE_NONE;
    const __u32 bit = 1u << (lport % WORD_BITS);
    if (!(v->members[at] & bit))
        return ROLE_NONE;
    return v->core[at] & bit ? ROLE_CORE : ROLE_ACCESS;
}

/* ---- Tags ---- */

/* A tag as it lies in a frame: TPID, then PCP, DEI and VID, big-endian. */
static __always_inline void put_tag(__u8* at, __u32 tpid, __u32 tci) {
    at[0] = tpid >> 8;
    at[1] = tpid;
    at[2] = tci >> 8;
    at[3] = tci;
}

/* Puts the tags the kernel took off into the skb's metadata back into the data, in their order,
 * so that every tag is in the data from here on. Taking the metadata tag off moves the next
 * 802.1Q/802.1ad tag of the data into the metadata, so they come off one at a time. -1, or why
 * it could not. */
static __always_inline int restore_tags(struct __sk_buff* skb) {
    __u8 buf[L2PT_OFF_TYPE + META_TAGS * L2PT_TAG_LEN];
    __u32 n = 0;

#pragma unroll
    for (int i = 0; i < META_TAGS; i++) {
        if (!skb->vlan_present)
            break;
        put_tag(&buf[L2PT_OFF_TYPE + i * L2PT_TAG_LEN], bpf_ntohs((__u16)skb->vlan_proto),
                skb->vlan_tci);
        const long err = bpf_skb_vlan_pop(skb);
        if (err && skb->vlan_present)
            return L2PT_DP_DROP_SEND_FAILED;
        n++;
        /* The metadata tag is off, but the next tag could not follow it out of the data (the
         * frame ends within it or the EtherType after it): it stays in the data, in place. */
        if (err)
            break;
    }
    if (skb->vlan_present)
        return L2PT_DP_DROP_TAG_STACK;
    if (n == 0)
        return -1;
    __u32 grow = n * L2PT_TAG_LEN;
    if (grow > META_TAGS * L2PT_TAG_LEN || bpf_skb_change_head(skb, grow, 0) ||
        bpf_skb_load_bytes(skb, grow, buf, 2 * L2PT_ETH_ALEN) ||
        bpf_skb_store_bytes(skb, 0, buf, L2PT_OFF_TYPE + grow, 0))
        return L2PT_DP_DROP_SEND_FAILED;
    return -1;
}

/* Takes the frame into a VLAN: a customer frame of an access port in its port's VLAN, or a
 * provider frame of a core port. A port that is access in its own VLAN faces a customer, and
 * everything it receives is that customer's, whatever its tags: were it also core in another
 * VLAN, its customer could otherwise send into that VLAN as the provider. -1, or why not. */
static __always_inline int classify(struct frame* f) {
    __u32 tags = 0, outer = 0, outer_vid = 0;
    for (int i = 0; i < TAGS_READ; i++) {
        __u32 off = L2PT_OFF_TYPE + i * L2PT_TAG_LEN;
        if (off + L2PT_TAG_LEN > f->hlen || off + L2PT_TAG_LEN > HDR_BYTES)
            break;
        __u32 tpid = be16_at(&f->hdr[off]);
        if (!is_tag(tpid, f->g->tpid))
            break;
        if (i == 0) {
            outer = tpid;
            outer_vid = be16_at(&f->hdr[off + 2]) & L2PT_VID_MASK;
        }
        tags++;
    }
    f->tags = tags;
    __u32 pvid = f->in->pvid & L2PT_VID_MASK;
    struct l2pt_vlan* v = bpf_map_lookup_elem(&l2pt_vlans, &pvid);
    if (v && vlan_role(v, f->lport) == ROLE_ACCESS) {
        f->vlan = v;
        f->o.vid = pvid;
        f->o.provider = 0;
        f->o.len_customer = f->len;
        f->o.len_provider = f->len + L2PT_TAG_LEN;
        return tags > L2PT_MAX_CUSTOMER_TAGS ? L2PT_DP_DROP_TAG_STACK : -1;
    }
    if (!tags || outer != f->g->tpid)
        return L2PT_DP_DROP_NO_VLAN;
    v = bpf_map_lookup_elem(&l2pt_vlans, &outer_vid);
    if (!v || vlan_role(v, f->lport) != ROLE_CORE)
        return L2PT_DP_DROP_NO_VLAN;
    f->vlan = v;
    f->o.vid = outer_vid;
    f->o.provider = 1;
    f->o.len_provider = f->len;
    f->o.len_customer = f->len - L2PT_TAG_LEN;
    /* Without its tag, no more than a header: nothing an access port may be sent. */
    if (f->len < L2PT_ETH_HLEN + L2PT_TAG_LEN)
        return L2PT_DP_DROP_RUNT;
    return tags > L2PT_MAX_TAGS ? L2PT_DP_DROP_TAG_STACK : -1;
}

#define ETHERTYPE_IPV4 0x0800
#define ETHERTYPE_IPV6 0x86DD
#define IP_PROTO_TCP 6
#define IP_PROTO_UDP 17
#define IPV4_IHL_MASK 0x0F
#define IPV6_HLEN 40
#define IPV6_NEXT 6  /* the next header's offset in an IPv6 header */
#define IPV4_PROTO 9 /* the protocol's offset in an IPv4 header */
#define TCP_DOFF 12  /* the data offset's byte in a TCP header */
#define UDP_HLEN 8
#define WORD_BYTES 4 /* IHL and the data offset count 32-bit words */
#define IPV6_HOP_BY_HOP 0
#define IPV6_ROUTING 43
#define IPV6_DEST_OPTS 60
#define IPV6_EXT_UNIT 8 /* an extension header's length: 8-byte units after its first */
#define IPV6_EXT_MAX 4  /* extension headers walked before TCP or UDP */

/* The bytes in front of a segmentation-offloaded frame's payload: every header each of its
 * segments repeats. The MACs, tags and EtherType, then IPv4 or IPv6 (with the hop-by-hop,
 * routing and destination-options headers GRO merges over) and TCP or UDP; where those cannot
 * be read, the Ethernet headers alone; 0 when not even those. A global function, verified
 * once: inlined, its branches would multiply the paths the verifier walks after it. */
__noinline __u32 l2pt_segment_headers(struct __sk_buff* skb, __u32 tags) {
    if (tags > L2PT_MAX_TAGS)
        return 0;
    __u32 l3 = L2PT_OFF_TYPE + tags * L2PT_TAG_LEN;
    __u8 type[TPID_LEN] = {}, first = 0, proto = 0, doff = 0;
    if (bpf_skb_load_bytes(skb, l3, type, sizeof(type)))
        return 0;
    l3 += TPID_LEN;
    __u32 l4 = 0;
    if (be16_at(type) == ETHERTYPE_IPV4) {
        if (bpf_skb_load_bytes(skb, l3, &first, 1) ||
            bpf_skb_load_bytes(skb, l3 + IPV4_PROTO, &proto, 1))
            return l3;
        l4 = l3 + (first & IPV4_IHL_MASK) * WORD_BYTES;
    } else if (be16_at(type) == ETHERTYPE_IPV6) {
        if (bpf_skb_load_bytes(skb, l3 + IPV6_NEXT, &proto, 1))
            return l3;
        l4 = l3 + IPV6_HLEN;
#pragma unroll
        for (int i = 0; i < IPV6_EXT_MAX; i++) {
            __u8 ext[2]; /* its next header and its length */
            if (proto != IPV6_HOP_BY_HOP && proto != IPV6_ROUTING && proto != IPV6_DEST_OPTS)
                break;
            if (bpf_skb_load_bytes(skb, l4, ext, sizeof(ext)))
                return l3;
            proto = ext[0];
            l4 += (ext[1] + 1u) * IPV6_EXT_UNIT;
        }
    } else {
        return l3;
    }
    if (proto == IP_PROTO_UDP)
        return l4 + UDP_HLEN;
    if (proto != IP_PROTO_TCP || bpf_skb_load_bytes(skb, l4 + TCP_DOFF, &doff, 1))
        return l3;
    return l4 + (doff >> 4) * WORD_BYTES;
}

/* A segmentation-offloaded frame leaves as segments of gso payload bytes, each with its
 * headers, and with the provider tag once pushed: those are what a way out's MTU must take.
 * The headers each segment repeats, 0 when they cannot be told. */
static __always_inline __u32 segment_lengths(struct frame* f, __u32 gso) {
    const __u32 headers = l2pt_segment_headers(f->skb, f->tags);
    if (!headers || headers + gso >= f->len)
        return 0;
    const __u32 seg = headers + gso;
    f->o.len_customer = f->o.provider ? seg - L2PT_TAG_LEN : seg;
    f->o.len_provider = f->o.provider ? seg : seg + L2PT_TAG_LEN;
    return headers;
}

#endif
