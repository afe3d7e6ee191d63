// SPDX-License-Identifier: GPL-2.0
/* vontrel: kernel half of the socket monitor. It reports which process owns
 * a TCP connection (connect, accept, failed connect, retransmission, close)
 * and which process sends UDP datagrams, as 256-byte records in a ring
 * buffer (layout in vontrel_event.h).
 *
 * Two ways in for TCP:
 *  - kprobes on tcp_v4_connect / tcp_v6_connect / inet_csk_accept /
 *    tcp_set_state / tcp_retransmit_skb, for kernels built with kprobes;
 *  - the raw tracepoints sock:inet_sock_set_state and
 *    tcp:tcp_retransmit_skb, which every kernel with BPF has.
 * User space attaches the kprobes when it can and the tracepoints otherwise.
 *
 * The owner of a socket is only ever taken from the current task where the
 * kernel runs in the owner's own system call (connect, listen, accept).
 * State changes and retransmissions often run in softirq context, where
 * "current" is whatever task was interrupted; those events take the owner
 * recorded for the socket earlier, or are not sent at all. */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "vontrel_event.h"

char LICENSE[] SEC("license") = "GPL";

#define AF_INET 2
#define AF_INET6 10
#define ETH_P_IP 0x0800
#define ETH_P_IPV6 0x86DD
#define PROTO_TCP 6
#define PROTO_UDP 17

/* TCP states as the kernel numbers them. */
#define ST_ESTABLISHED 1
#define ST_SYN_SENT 2
#define ST_SYN_RECV 3
#define ST_CLOSE 7
#define ST_LISTEN 10

#define UDP_REPEAT_NS 1000000000ULL

struct sock_stats {
    __u64 sk;
    __u64 start_ns;
};

/* Sockets between the entry and the return of a connect call, keyed by the
 * whole pid/tgid word so that two threads of one process connecting at the
 * same time do not overwrite each other. LRU so a missed return can never
 * fill it up. */
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 10240);
    __type(key, __u64);
    __type(value, struct sock_stats);
} currsock SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 262144);
} ebpf_events SEC(".maps");

/* Time of the last event sent per UDP (addresses, ports, pid) sum. */
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 10240);
    __type(key, __u64);
    __type(value, __u64);
} udpmsglru SEC(".maps");

struct udp_info {
    struct vontrel_task proc;
    struct vontrel_task father;
    char container_id[64];
};

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 10240);
    __type(key, __u16);
    __type(value, struct udp_info);
} udpinfo SEC(".maps");

/* The owner of a socket, recorded in the owner's own context. */
struct sock_owner {
    __u64 start_ns;
    __u64 cgroup_id;
    struct vontrel_task proc;
    struct vontrel_task father;
};

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 10240);
    __type(key, __u64); /* socket address */
    __type(value, struct sock_owner);
} sockowner SEC(".maps");

struct listen_key {
    __u16 family;
    __u16 port;
};

/* Owners of listening sockets, so that a connection the kernel completes
 * in softirq context can be given to the process that listens. */
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 4096);
    __type(key, struct listen_key);
    __type(value, struct sock_owner);
} listeners SEC(".maps");

/* ---- filling ------------------------------------------------------------- */

static __always_inline void owner_from_current(struct sock_owner *o) {
    __u64 id = bpf_get_current_pid_tgid();
    __u64 ug = bpf_get_current_uid_gid();
    struct task_struct *task = (struct task_struct *)bpf_get_current_task();
    struct task_struct *parent = BPF_CORE_READ(task, real_parent);

    o->start_ns = bpf_ktime_get_ns();
    o->cgroup_id = bpf_get_current_cgroup_id();
    o->proc.pid = (__u32)id;
    o->proc.tid = id >> 32;
    o->proc.uid = (__u32)ug;
    o->proc.gid = ug >> 32;
    bpf_get_current_comm(o->proc.task, sizeof(o->proc.task));
    o->father.pid = BPF_CORE_READ(parent, tgid);
    o->father.tid = o->father.pid;
    o->father.uid = BPF_CORE_READ(parent, cred, uid.val);
    o->father.gid = BPF_CORE_READ(parent, cred, gid.val);
    bpf_probe_read_kernel_str(o->father.task, sizeof(o->father.task), &parent->comm);
}

static __always_inline void put_owner(struct vontrel_event *e, const struct sock_owner *o) {
    e->proc = o->proc;
    e->father = o->father;
    e->cgroup_id = o->cgroup_id;
}

static __always_inline int v4_mapped(const __u8 *a) {
    for (int i = 0; i < 10; i++)
        if (a[i]) return 0;
    return a[10] == 0xff && a[11] == 0xff;
}

/* Addresses, ports, interface and time from a socket; the local side is the
 * source unless `swap` (then the event reads as received). -1 for a family
 * other than IPv4 and IPv6. */
static __always_inline int fill_from_sock(struct vontrel_event *e, struct sock *sk, int swap) {
    __u16 family = BPF_CORE_READ(sk, __sk_common.skc_family);
    __u16 lport = BPF_CORE_READ(sk, __sk_common.skc_num);
    __u16 rport = bpf_ntohs(BPF_CORE_READ(sk, __sk_common.skc_dport));

    e->sent_packet = swap ? 0 : 1;
    e->proto = PROTO_TCP;
    if (family == AF_INET) {
        __u32 l = BPF_CORE_READ(sk, __sk_common.skc_rcv_saddr);
        __u32 r = BPF_CORE_READ(sk, __sk_common.skc_daddr);
        e->ip_version = 4;
        e->addr.v4.saddr = swap ? r : l;
        e->addr.v4.daddr = swap ? l : r;
    } else if (family == AF_INET6) {
        __u8 l[16], r[16];
        BPF_CORE_READ_INTO(&l, sk, __sk_common.skc_v6_rcv_saddr.in6_u.u6_addr8);
        BPF_CORE_READ_INTO(&r, sk, __sk_common.skc_v6_daddr.in6_u.u6_addr8);
        if (v4_mapped(l)) {
            __u32 l4, r4;
            __builtin_memcpy(&l4, &l[12], 4);
            __builtin_memcpy(&r4, &r[12], 4);
            e->ip_version = 4;
            e->addr.v4.saddr = swap ? r4 : l4;
            e->addr.v4.daddr = swap ? l4 : r4;
        } else {
            e->ip_version = 6;
            __builtin_memcpy(e->addr.v6.saddr, swap ? r : l, 16);
            __builtin_memcpy(e->addr.v6.daddr, swap ? l : r, 16);
        }
    } else {
        return -1;
    }
    e->sport = swap ? rport : lport;
    e->dport = swap ? lport : rport;

    struct net_device *dev = BPF_CORE_READ(sk, sk_dst_cache, dev);
    if (dev) bpf_probe_read_kernel_str(e->ifname, sizeof(e->ifname), &dev->name);
    e->ktime = bpf_ktime_get_ns();
    return 0;
}

/* Reserves, fills and submits one TCP event. */
static __always_inline void send_tcp(struct sock *sk, const struct sock_owner *o, __u16 etype,
                                     int swap, __u32 latency_usec, __u16 retrans) {
    struct vontrel_event *e = bpf_ringbuf_reserve(&ebpf_events, sizeof(*e), 0);
    if (!e) return;
    __builtin_memset(e, 0, sizeof(*e));
    if (fill_from_sock(e, sk, swap) < 0) {
        bpf_ringbuf_discard(e, 0);
        return;
    }
    put_owner(e, o);
    e->etype = etype;
    e->latency_usec = latency_usec;
    e->retransmissions = retrans;
    bpf_ringbuf_submit(e, 0);
}

static __always_inline void remember_owner(struct sock *sk, const struct sock_owner *o) {
    __u64 key = (__u64)sk;
    bpf_map_update_elem(&sockowner, &key, o, BPF_ANY);
}

/* A connect call returned: the owner is the caller. */
static __always_inline int connect_return(int ret) {
    __u64 id = bpf_get_current_pid_tgid();
    struct sock_stats *st = bpf_map_lookup_elem(&currsock, &id);
    if (!st) return 0;
    struct sock *sk = (struct sock *)st->sk;
    __u64 start = st->start_ns;
    bpf_map_delete_elem(&currsock, &id);
    if (ret != 0) return 0; /* the call failed: no connection under way */
    struct sock_owner o = {};
    owner_from_current(&o);
    o.start_ns = start;
    remember_owner(sk, &o);
    send_tcp(sk, &o, VONTREL_CONNECT, 0, (__u32)((bpf_ktime_get_ns() - start) / 1000), 0);
    return 0;
}

static __always_inline int connect_entry(struct sock *sk) {
    __u64 id = bpf_get_current_pid_tgid();
    struct sock_stats st = {.sk = (__u64)sk, .start_ns = bpf_ktime_get_ns()};
    bpf_map_update_elem(&currsock, &id, &st, BPF_ANY);
    return 0;
}

/* A retransmission: only for a socket whose owner is known. */
static __always_inline int retransmit(struct sock *sk) {
    if (!sk) return 0;
    __u64 key = (__u64)sk;
    struct sock_owner *o = bpf_map_lookup_elem(&sockowner, &key);
    if (o) send_tcp(sk, o, VONTREL_RETRANSMIT, 0, 0, 1);
    return 0;
}

/* ---- kprobe path ----------------------------------------------------------- */

SEC("kprobe/tcp_v4_connect")
int BPF_KPROBE(tcp_v4_connect, struct sock *sk) { return connect_entry(sk); }

SEC("kprobe/tcp_v6_connect")
int BPF_KPROBE(tcp_v6_connect, struct sock *sk) { return connect_entry(sk); }

SEC("kretprobe/tcp_v4_connect")
int BPF_KRETPROBE(tcp_v4_connect_exit, int ret) { return connect_return(ret); }

SEC("kretprobe/tcp_v6_connect")
int BPF_KRETPROBE(tcp_v6_connect_exit, int ret) { return connect_return(ret); }

SEC("kretprobe/inet_csk_accept")
int BPF_KRETPROBE(inet_csk_accept, struct sock *sk) {
    if (!sk) return 0;
    struct sock_owner o = {};
    owner_from_current(&o);
    remember_owner(sk, &o);
    send_tcp(sk, &o, VONTREL_ACCEPT, 1, 0, 0);
    return 0;
}

SEC("kprobe/tcp_set_state")
int BPF_KPROBE(trace_tcp_set_state, struct sock *sk, int state) {
    if (!sk || (state != ST_CLOSE && state != 115)) return 0;
    __u8 old = BPF_CORE_READ(sk, __sk_common.skc_state);
    __u64 key = (__u64)sk;
    struct sock_owner *o = bpf_map_lookup_elem(&sockowner, &key);
    if (!o) return 0;
    if (old == ST_SYN_SENT && state == ST_CLOSE) send_tcp(sk, o, VONTREL_CONNECT_FAILED, 0, 0, 0);
    if (state == ST_CLOSE) bpf_map_delete_elem(&sockowner, &key);
    return 0;
}

SEC("kprobe/tcp_retransmit_skb")
int BPF_KPROBE(trace_tcp_retransmit_skb, struct sock *sk) { return retransmit(sk); }

/* ---- tracepoint path for TCP ---------------------------------------------- */

SEC("raw_tp/inet_sock_set_state")
int BPF_PROG(trace_inet_sock_set_state, struct sock *sk, int oldstate, int newstate) {
    if (!sk || BPF_CORE_READ(sk, sk_protocol) != PROTO_TCP) return 0;
    __u64 key = (__u64)sk;

    if (oldstate == ST_CLOSE && newstate == ST_SYN_SENT) {
        /* Inside connect(): the caller owns the socket. */
        struct sock_owner o = {};
        owner_from_current(&o);
        remember_owner(sk, &o);
        return 0;
    }
    if (oldstate == ST_CLOSE && newstate == ST_LISTEN) {
        /* Inside listen(). */
        struct sock_owner o = {};
        owner_from_current(&o);
        struct listen_key lk = {.family = BPF_CORE_READ(sk, __sk_common.skc_family),
                                .port = BPF_CORE_READ(sk, __sk_common.skc_num)};
        bpf_map_update_elem(&listeners, &lk, &o, BPF_ANY);
        return 0;
    }
    if (oldstate == ST_SYN_RECV && newstate == ST_ESTABLISHED) {
        /* A connection to a listener completed (usually in softirq). */
        struct listen_key lk = {.family = BPF_CORE_READ(sk, __sk_common.skc_family),
                                .port = BPF_CORE_READ(sk, __sk_common.skc_num)};
        struct sock_owner *lo = bpf_map_lookup_elem(&listeners, &lk);
        if (!lo) return 0;
        struct sock_owner o = *lo;
        o.start_ns = bpf_ktime_get_ns();
        remember_owner(sk, &o);
        send_tcp(sk, &o, VONTREL_ACCEPT, 1, 0, 0);
        return 0;
    }

    struct sock_owner *o = bpf_map_lookup_elem(&sockowner, &key);
    if (oldstate == ST_LISTEN && newstate == ST_CLOSE) {
        struct listen_key lk = {.family = BPF_CORE_READ(sk, __sk_common.skc_family),
                                .port = BPF_CORE_READ(sk, __sk_common.skc_num)};
        bpf_map_delete_elem(&listeners, &lk);
        return 0;
    }
    if (!o) return 0;
    if (oldstate == ST_SYN_SENT && newstate == ST_ESTABLISHED) {
        __u32 latency = (__u32)((bpf_ktime_get_ns() - o->start_ns) / 1000);
        send_tcp(sk, o, VONTREL_CONNECT, 0, latency, 0);
    } else if (oldstate == ST_SYN_SENT && newstate == ST_CLOSE) {
        send_tcp(sk, o, VONTREL_CONNECT_FAILED, 0, 0, 0);
    } else if (newstate == ST_CLOSE) {
        send_tcp(sk, o, VONTREL_CLOSE, 0, 0, 0);
    }
    if (newstate == ST_CLOSE) bpf_map_delete_elem(&sockowner, &key);
    return 0;
}

SEC("raw_tp/tcp_retransmit_skb")
int BPF_PROG(trace_tcp_retransmit_tp, struct sock *sk) { return retransmit(sk); }

/* ---- UDP ------------------------------------------------------------------ */

/* One event per sent datagram's (addresses, ports, pid), at most one per
 * second. Received datagrams run in softirq context where the receiving
 * process is not known: they produce nothing. */
static __always_inline int udp_packet(struct sk_buff *skb, int sent) {
    if (!skb || !sent) return 0;
    __u64 id = bpf_get_current_pid_tgid();
    if ((__u32)id == 0) return 0;

    struct vontrel_event e = {};
    unsigned char *head = BPF_CORE_READ(skb, head);
    __u16 nh = BPF_CORE_READ(skb, network_header);
    __u16 l3 = bpf_ntohs(BPF_CORE_READ(skb, protocol));
    /* The network header offset (not the MAC header plus 14) so that
     * devices without an Ethernet header (tun, WireGuard) work too. */
    unsigned char *ip = head + nh;
    struct udphdr uh;

    if (l3 == ETH_P_IP) {
        struct iphdr h;
        if (bpf_probe_read_kernel(&h, sizeof(h), ip) < 0) return 0;
        if (h.version != 4 || h.protocol != PROTO_UDP || h.ihl < 5) return 0;
        if (bpf_probe_read_kernel(&uh, sizeof(uh), ip + h.ihl * 4) < 0) return 0;
        e.ip_version = 4;
        e.addr.v4.saddr = h.saddr;
        e.addr.v4.daddr = h.daddr;
    } else if (l3 == ETH_P_IPV6) {
        struct ipv6hdr h;
        if (bpf_probe_read_kernel(&h, sizeof(h), ip) < 0) return 0;
        if (h.nexthdr != PROTO_UDP) return 0;
        if (bpf_probe_read_kernel(&uh, sizeof(uh), ip + 40) < 0) return 0;
        e.ip_version = 6;
        __builtin_memcpy(e.addr.v6.saddr, &h.saddr, 16);
        __builtin_memcpy(e.addr.v6.daddr, &h.daddr, 16);
    } else {
        return 0;
    }
    e.sport = bpf_ntohs(uh.source);
    e.dport = bpf_ntohs(uh.dest);
    e.proto = PROTO_UDP;
    e.etype = VONTREL_RECV;
    e.sent_packet = 1;
    struct net_device *dev = BPF_CORE_READ(skb, dev);
    if (dev) bpf_probe_read_kernel_str(e.ifname, sizeof(e.ifname), &dev->name);
    e.ktime = bpf_ktime_get_ns();

    struct sock_owner o = {};
    owner_from_current(&o);
    put_owner(&e, &o);

    __u64 key = e.addr.v4.saddr + e.addr.v4.daddr + e.sport + e.dport + e.proc.pid;
    if (e.ip_version == 6) {
        __u64 w[4];
        __builtin_memcpy(w, e.addr.v6.saddr, 32);
        key = w[0] + w[1] + w[2] + w[3] + e.sport + e.dport + e.proc.pid;
    }
    __u64 *last = bpf_map_lookup_elem(&udpmsglru, &key);
    if (last && e.ktime - *last <= UDP_REPEAT_NS) return 0;
    bpf_map_update_elem(&udpmsglru, &key, &e.ktime, BPF_ANY);
    bpf_ringbuf_output(&ebpf_events, &e, sizeof(e), 0);
    return 0;
}

SEC("tracepoint/net/netif_receive_skb")
int handle_netif_receive_skb(struct trace_event_raw_net_dev_template *ctx) {
    return udp_packet((struct sk_buff *)ctx->skbaddr, 0);
}

SEC("tracepoint/net/net_dev_queue")
int trace_netif_tx_entry(struct trace_event_raw_net_dev_template *ctx) {
    return udp_packet((struct sk_buff *)ctx->skbaddr, 1);
}

/* The same two as raw tracepoints: they attach without tracefs mounted. */
SEC("raw_tp/netif_receive_skb")
int BPF_PROG(raw_netif_receive_skb, struct sk_buff *skb) { return udp_packet(skb, 0); }

SEC("raw_tp/net_dev_queue")
int BPF_PROG(raw_net_dev_queue, struct sk_buff *skb) { return udp_packet(skb, 1); }
