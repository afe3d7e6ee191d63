/* The 256-byte record the BPF program writes into its ring buffer and the
 * socket monitor reads. Shared by the BPF side (built against vmlinux.h) and
 * the user-space side (built against the C library); both check the layout
 * at compile time so the two halves cannot drift apart. */
#ifndef VONTREL_EVENT_H
#define VONTREL_EVENT_H

#ifdef __BPF__
typedef __u8 vt_u8;
typedef __u16 vt_u16;
typedef __u32 vt_u32;
typedef __u64 vt_u64;
#else
#include <stdint.h>
typedef uint8_t vt_u8;
typedef uint16_t vt_u16;
typedef uint32_t vt_u32;
typedef uint64_t vt_u64;
#endif

#define VONTREL_EVENT_SIZE 256
#define VONTREL_TASK_COMM_LEN 16

/* Event types. */
#define VONTREL_ACCEPT 100
#define VONTREL_CONNECT 101
#define VONTREL_RETRANSMIT 200
#define VONTREL_RECV 210
#define VONTREL_SEND 211
#define VONTREL_CLOSE 300
#define VONTREL_CONNECT_FAILED 500

struct vontrel_task {
    vt_u32 pid; /* low half of the kernel's pid/tgid word (the thread id) */
    vt_u32 tid; /* high half (the process id) */
    vt_u32 uid;
    vt_u32 gid;
    char task[VONTREL_TASK_COMM_LEN];
    /* Written by user space only (owned copies of path and command line);
     * always zero in what the kernel side sends. */
    vt_u64 full_task_path;
    vt_u64 cmdline;
};

struct vontrel_event {
    vt_u64 ktime;
    char ifname[16];
    char container_id[64];
    vt_u8 ip_version;
    vt_u8 sent_packet;
    vt_u16 etype;
    vt_u8 pad0[4];
    union {
        struct {
            vt_u64 saddr; /* IPv4 address, network order, in the low 32 bits */
            vt_u64 daddr;
        } v4;
        struct {
            vt_u8 saddr[16];
            vt_u8 daddr[16];
        } v6;
    } addr;
    vt_u8 proto;
    vt_u8 pad1;
    vt_u16 sport; /* host order */
    vt_u16 dport; /* host order */
    vt_u16 pad2;
    vt_u32 latency_usec;
    vt_u16 retransmissions;
    vt_u16 pad3;
    struct vontrel_task proc;
    struct vontrel_task father;
    vt_u64 cgroup_id;
    /* The fields above end at 248; the tail keeps the record at 256. */
    vt_u8 pad4[8];
};

#ifdef __cplusplus
#define VONTREL_CHECK(cond) static_assert(cond, #cond)
#else
#define VONTREL_CHECK(cond) _Static_assert(cond, #cond)
#endif
VONTREL_CHECK(sizeof(struct vontrel_task) == 48);
VONTREL_CHECK(sizeof(struct vontrel_event) == VONTREL_EVENT_SIZE);
VONTREL_CHECK(__builtin_offsetof(struct vontrel_event, ip_version) == 88);
VONTREL_CHECK(__builtin_offsetof(struct vontrel_event, etype) == 90);
VONTREL_CHECK(__builtin_offsetof(struct vontrel_event, addr) == 96);
VONTREL_CHECK(__builtin_offsetof(struct vontrel_event, proto) == 128);
VONTREL_CHECK(__builtin_offsetof(struct vontrel_event, sport) == 130);
VONTREL_CHECK(__builtin_offsetof(struct vontrel_event, latency_usec) == 136);
VONTREL_CHECK(__builtin_offsetof(struct vontrel_event, retransmissions) == 140);
VONTREL_CHECK(__builtin_offsetof(struct vontrel_event, proc) == 144);
VONTREL_CHECK(__builtin_offsetof(struct vontrel_event, father) == 192);
VONTREL_CHECK(__builtin_offsetof(struct vontrel_event, cgroup_id) == 240);
#undef VONTREL_CHECK

#endif
