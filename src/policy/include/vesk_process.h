/* Vesk policy library: process attribution, the C-callable facade.
 *
 * Socket monitors learn which process owns each local socket and answer
 * for one socket at a time; the local socket list and the host description
 * are one-off JSON texts. */
#ifndef VESK_PROCESS_H
#define VESK_PROCESS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* An address with its family: IPv4 in network byte order in the first four
 * bytes (the rest zero), IPv6 as its 16 bytes. */
typedef struct vesk_address {
  uint8_t family; /* 4 or 6 */
  uint8_t bytes[16];
} vesk_address;

#define VESK_OWNER_PATH_SIZE 4096
#define VESK_OWNER_CMDLINE_SIZE 4096
#define VESK_OWNER_CONTAINER_SIZE 64

/* The process that owns a local socket, and its parent. The names point to
 * texts the library keeps (valid until the monitor is destroyed; packages
 * until the program ends, "" when the file belongs to none); paths, command
 * line and container id are copies, always terminated (cut to their size). */
typedef struct vesk_socket_owner {
  uint32_t pid, uid;
  const char *user_name;
  const char *package;
  char path[VESK_OWNER_PATH_SIZE];
  char cmdline[VESK_OWNER_CMDLINE_SIZE];
  uint32_t parent_pid, parent_uid;
  const char *parent_user_name;
  const char *parent_package;
  char parent_path[VESK_OWNER_PATH_SIZE];
  char container[VESK_OWNER_CONTAINER_SIZE]; /* "" outside a container */
  float latency_ms; /* from the kernel event to its record */
} vesk_socket_owner;

/* Opaque handle of a socket monitor. */
typedef struct vesk_socket_monitor vesk_socket_monitor;

/* A monitor fed by the library's BPF program; events on interfaces other
 * than `ifname` (and "eth0") are ignored, NULL keeps every interface. NULL
 * when the program cannot be loaded (not root, no BPF, no BTF). */
vesk_socket_monitor *ebpf_socket_monitor_create(const char *ifname);
/* NULL is ignored. */
void socket_monitor_destroy(vesk_socket_monitor *monitor);
/* A descriptor to wait on; -1 for none (the BPF monitor has none: poll it
 * on your own schedule). */
int socket_monitor_fd(vesk_socket_monitor *monitor);
/* Handles the waiting kernel events without blocking; 0 for NULL. */
int socket_monitor_poll(vesk_socket_monitor *monitor);

/* Who owns the local socket at `address` and `port` (host order); `udp`
 * non-zero for UDP, else TCP. 0 when found, with *owner filled; -1 when not
 * known, for no monitor, an address of another family than 4 or 6, or no
 * owner to fill. The owner is cleared first in every case (texts "",
 * numbers 0). */
int socket_monitor_find_owner(vesk_socket_monitor *monitor, const vesk_address *address,
                              uint16_t port, int udp, vesk_socket_owner *owner);

/* The same lookup by family, the owner's facts in separate outputs: the
 * local address (IPv4 as a 32-bit value in host byte order, IPv6 as its 16
 * bytes), the local port, non-zero `udp` for UDP; then uid, user name, pid,
 * parent pid, parent uid, parent user name, process path, command line,
 * package of the path, parent path, package of the parent path, container
 * id and latency. The package outputs are set to "" and the container id
 * emptied first; the rest is filled only when found. 0 when the monitor
 * knows the socket; -1 when not, for no monitor, or for a monitor without
 * owner lookups. Any output may be NULL (a buffer with its size 0). */
int socket_monitor_find_ipv4_owner(vesk_socket_monitor *monitor, uint32_t address, uint16_t port, int udp,
                                   uint32_t *uid, const char **user_name, uint32_t *pid,
                                   uint32_t *parent_pid, uint32_t *parent_uid, const char **parent_user_name,
                                   char *path, size_t path_size, char *cmdline, size_t cmdline_size,
                                   const char **package, char *parent_path, size_t parent_path_size,
                                   const char **parent_package, char *container, size_t container_size,
                                   float *latency_ms);
int socket_monitor_find_ipv6_owner(vesk_socket_monitor *monitor, const uint8_t address[16], uint16_t port,
                                   int udp, uint32_t *uid, const char **user_name, uint32_t *pid,
                                   uint32_t *parent_pid, uint32_t *parent_uid, const char **parent_user_name,
                                   char *path, size_t path_size, char *cmdline, size_t cmdline_size,
                                   const char **package, char *parent_path, size_t parent_path_size,
                                   const char **parent_package, char *container, size_t container_size,
                                   float *latency_ms);

/* Raises the process log's level to 9 (when the log exists); at
 * that level monitors print every event as JSON on standard output. */
void socket_monitor_set_debug(void);

/* For the superuser only (real uid 0): the machine's UDP sockets and
 * listening TCP sockets with their owners, as a JSON array of
 * {"ip_version","l4_proto","user_name","user_id","local_ip","local_port",
 * "pid","proc_name","proc_pkg"}. NULL for other users or on failure.
 * Free it with vesk_policy_free. */
char *local_sockets_json(void);

/* {"instance-name":...,"ip-addresses":[...],"listening-ports":{"tcp4":[...],
 * "tcp6":[...],"udp4":[...],"udp6":[...]}}, each port record {"port","proc",
 * "pkg"}; NULL when the process-event connector cannot be joined (it needs
 * CAP_NET_ADMIN, and exists only in the initial network namespace). Free it
 * with vesk_policy_free. */
char *host_info_json(const char *instance_name);

/* Frees a text the library handed out. */
void vesk_policy_free(void *text);

#ifdef __cplusplus
}
#endif

#endif
