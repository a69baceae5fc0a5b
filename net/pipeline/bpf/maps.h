/* The pipeline's maps, one set shared by its three programs, and the headers every part of the
 * object builds on. */
#ifndef L2PT_NET_PIPELINE_BPF_MAPS_H
#define L2PT_NET_PIPELINE_BPF_MAPS_H

#include <asm-generic/errno-base.h>
#include <linux/bpf.h>
#include <linux/pkt_cls.h>

#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "dataplane/abi.h"

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(map_flags, BPF_F_MMAPABLE);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct l2pt_globals);
} l2pt_globals SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(map_flags, BPF_F_MMAPABLE);
    __uint(max_entries, L2PT_MAX_LPORTS);
    __type(key, __u32);
    __type(value, struct l2pt_lport);
} l2pt_lports SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(map_flags, BPF_F_MMAPABLE);
    __uint(max_entries, L2PT_VLANS);
    __type(key, __u32);
    __type(value, struct l2pt_vlan);
} l2pt_vlans SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, L2PT_MAX_PORTS);
    __type(key, __u32);
    __type(value, __u32);
} l2pt_by_ifindex SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, L2PT_TRAP_ENTRIES);
    __type(key, struct l2pt_trap_key);
    __type(value, struct l2pt_trap);
} l2pt_traps SEC(".maps");

/* Rows are few and written by the daemon alone: allocated as they come. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, L2PT_L2CP_ROWS);
    __type(key, struct l2pt_l2cp_key);
    __type(value, __u64);
} l2pt_l2cp SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, L2PT_MAX_PORTS);
    __type(key, __u32);
    __type(value, struct l2pt_police);
} l2pt_police SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, L2PT_VLANS);
    __type(key, __u32);
    __type(value, struct l2pt_vlan_police);
} l2pt_vlan_police SEC(".maps");

/* Not preallocated: an entry the daemon deletes stays valid for a program that found it. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, L2PT_FDB_ENTRIES_DEFAULT);
    __type(key, struct l2pt_fdb_key);
    __type(value, struct l2pt_fdb_entry);
} l2pt_fdb SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(map_flags, BPF_F_MMAPABLE);
    __uint(max_entries, L2PT_LEARN_SLOTS);
    __type(key, __u32);
    __type(value, struct l2pt_learn);
} l2pt_learning SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, L2PT_STATS_SLOTS);
    __type(key, __u32);
    __type(value, struct l2pt_port_stats);
} l2pt_stats SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY_OF_MAPS);
    __uint(max_entries, 1);
    __type(key, __u32);
    __array(
        values, struct {
            __uint(type, BPF_MAP_TYPE_RINGBUF);
            __uint(max_entries, L2PT_RING_BYTES);
        });
} l2pt_rings SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, L2PT_MAX_PORTS);
    __type(key, __u32);
    __type(value, struct l2pt_l2cp_stats);
} l2pt_l2cp_stats SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, L2PT_EVENT_RING_BYTES);
} l2pt_events SEC(".maps");

#endif
