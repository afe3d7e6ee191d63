/* Vesk policy library: the C-callable facade.
 *
 * The firewall reaches the policy library only through these functions: it
 * creates one rule manager per queue and per rules-file load, loads the file
 * into it, asks it for the marker of every completed flow and destroys it.
 * Markers: 1 pass, 2 drop, any other value is set as the packet mark. */
#ifndef VESK_POLICY_H
#define VESK_POLICY_H

#include <stdint.h>

#include "oxlo_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle of one rule manager. */
typedef struct vesk_rule_manager vesk_rule_manager;

/* Engine types used by value or by pointer; their full definitions come
 * from the engine headers. */
struct oxlo_classification;

/* ---- rule managers ------------------------------------------------------ */

/* A new, empty rule manager bound to a detection module (NULL: the manager
 * makes and owns one); NULL when memory runs out. Never throws. */
vesk_rule_manager *rule_manager_create(oxlo_module *module, uint32_t policy_limit,
                                       uint32_t pool_limit);

/* Destroys a manager; NULL is ignored. */
void rule_manager_destroy(vesk_rule_manager *manager);

/* Loads a rules file of JSON lines. 0 when the file was read, at least one
 * rule line was taken and every line was (each bad line is logged with its
 * number); -1 for no manager, or when the file could not be opened or read;
 * -2 when a line could not be taken (not JSON, a missing or unknown key, a
 * duplicate id, a pool or policy that does not resolve) or none could (empty,
 * only comments); -3 when the file is larger than the limit (4 MiB). On any
 * result but 0 the caller must keep the rules it has in force: a file caught
 * half-written must not replace them with its first lines. */
int rule_manager_load_rules(vesk_rule_manager *manager, const char *path);

/* 1 when the manager holds a default policy (id 0), else 0 (NULL: 0). A
 * manager without one passes every flow no pool covers. */
int rule_manager_has_default_policy(const vesk_rule_manager *manager);

/* The marker of a classified flow. MACs are 6 bytes; addresses 16 bytes:
 * IPv4 in network byte order in the first four bytes and zero after, IPv6 as
 * its 16 bytes. A NULL manager gives 1 (pass). */
uint16_t rule_manager_match_flow(vesk_rule_manager *manager, const uint8_t *src_mac,
                                 const uint8_t *dst_mac, const uint8_t *src_addr,
                                 const uint8_t *dst_addr, oxlo_flow_state *flow,
                                 struct oxlo_classification classification);

/* The marker for a packet the firewall cannot classify (it cannot be parsed
 * as a flow, or no flow can be made for it): the default marker of the policy
 * its MACs or addresses fall under, as for a flow the engine gave up on; 2
 * (drop) when no policy covers it, not even a default one, and for a NULL
 * manager. Any argument but the manager may be NULL (not known); addresses
 * in the form above, ip_version 4 or 6 (0: no address known). */
uint16_t rule_manager_fallback_marker(vesk_rule_manager *manager, const uint8_t *src_mac,
                                      const uint8_t *dst_mac, const uint8_t *src_addr,
                                      const uint8_t *dst_addr, int ip_version);

/* Non-zero when one of the manager's blacklists covers the address (16 bytes
 * in the form above; ip_version 4 or 6). */
int rule_manager_is_blacklisted(vesk_rule_manager *manager, const uint8_t *address,
                                int ip_version);

/* The blacklist downloads of one load ("blacklists" lines). They run on a
 * thread of their own from the end of the load; until every one has ended
 * the manager's blacklists cover nothing. A manager holds its downloads; a
 * handle from rule_manager_blacklists holds them too, until released. */
typedef struct vesk_blacklists vesk_blacklists;

/* The manager's downloads with a reference for the caller (NULL: none). */
vesk_blacklists *rule_manager_blacklists(const vesk_rule_manager *manager);
/* Before a load: when its "blacklists" lines name the same URLs, the
 * manager takes these downloads instead of starting its own (so a reload of
 * several queues downloads once). */
void rule_manager_share_blacklists(vesk_rule_manager *manager, const vesk_blacklists *blacklists);
/* 1 once every download has ended, waiting at most timeout_ms; else 0. */
int blacklists_wait(vesk_blacklists *blacklists, uint32_t timeout_ms);
/* Drops the reference; the last one stops a download still running. */
void blacklists_release(vesk_blacklists *blacklists);

/* Raises the library's trace level to 9 (when its log object exists). */
void rule_manager_set_debug(void);

/* Engine data a rules file names ("custom_protocols", "category_file").
 * They are never loaded into a module that is already finalized and in use
 * by a queue thread; whoever builds the next module hands these paths to
 * the engine's loaders before finalizing it. NULL / 0 when none. */
const char *rule_manager_custom_protocols_path(const vesk_rule_manager *manager);
uint32_t rule_manager_category_file_count(const vesk_rule_manager *manager);
/* Path of category file i (in file order) and the tag (its base name) to
 * load it under; NULL past the end. The texts live as long as the manager. */
const char *rule_manager_category_file_path(const vesk_rule_manager *manager, uint32_t i);
const char *rule_manager_category_file_tag(const vesk_rule_manager *manager, uint32_t i);

/* A manager that holds only the engine data of a rules file (no pools,
 * policies or blacklists), read with the four calls above, so that the next
 * module can be built before the rules are loaded against it. Keep it as
 * long as that module: the category tags are its texts. NULL when the file
 * cannot be read or memory runs out. */
vesk_rule_manager *rule_manager_scan_engine_data(oxlo_module *module, const char *path);

/* ---- post-quantum key exchange ------------------------------------------ */

/* Checks a flow's key exchange for a post-quantum method: TLS, DTLS and
 * QUIC by the groups the client offered, SSH by the negotiated key exchange
 * and the two sides' lists (they need the knob "ssh.metadata.ssh_data"),
 * IPsec by the responder's IKE proposal (not read by this engine, so an
 * IPsec flow is always flagged). A flow is checked when its application or
 * its master protocol is one of these. 1 when it raised risk 58 (non-PQC)
 * with its message, else 0 (also for no module or no flow). */
int flow_check_non_pqc_risk(oxlo_module *module, oxlo_flow_state *flow);

/* ---- text helpers ------------------------------------------------------- */

/* MAC key: the six bytes as a little-endian 48-bit number. parseMacKey reads
 * "%02X:%02X:%02X:%02X:%02X:%02X" (either case) and gives 0 when the text
 * does not parse. */
uint64_t parseMacKey(const char *text);
uint64_t macKey(const uint8_t *mac);
/* First letter * 256 + second letter; 0 for texts longer than two. */
uint16_t countryKey(const char *text);
/* 1 Africa, 2 Asia, 3 Europe (and other A- names), 4 North, 5 South, 0 else. */
uint8_t continentId(const char *text);
/* Dotted text of a host-order IPv4 value; standard text of 16 IPv6 bytes
 * (empty on failure). Both return the buffer. */
char *ipv4Text(uint32_t host_order_address, char *buffer, uint32_t size);
char *ipv6Text(const uint8_t *address, char *buffer, uint32_t size);

/* ---- socket monitors and host description -------------------------------- */

/* Opaque handle of a socket monitor: it learns which process owns each local
 * socket and can be asked about one. */
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

/* Who owns a local socket. `address` is a host-order IPv4 value (0x7F000001
 * is 127.0.0.1) or 16 IPv6 bytes; `port` host order; `udp` non-zero for UDP.
 * 0 when found, with the outputs filled: names and packages point to texts
 * the library keeps (valid until the monitor is destroyed; packages until
 * the program ends), paths, command line and container id are copied into
 * the caller's buffers (always terminated). -1 when not known or no
 * monitor. The package outputs are set to "" and the container id emptied
 * first in every case. Any output pointer may be NULL. */
int socket_monitor_find_ipv4_owner(vesk_socket_monitor *monitor, uint32_t address, uint16_t port,
                                   int udp, uint32_t *uid, const char **user_name, uint32_t *pid,
                                   uint32_t *parent_pid, uint32_t *parent_uid,
                                   const char **parent_user_name, char *path, uint32_t path_size,
                                   char *cmdline, uint32_t cmdline_size, const char **package,
                                   char *parent_path, uint32_t parent_path_size,
                                   const char **parent_package, char *container,
                                   uint32_t container_size, float *latency_ms);
int socket_monitor_find_ipv6_owner(vesk_socket_monitor *monitor, const uint8_t *address,
                                   uint16_t port, int udp, uint32_t *uid, const char **user_name,
                                   uint32_t *pid, uint32_t *parent_pid, uint32_t *parent_uid,
                                   const char **parent_user_name, char *path, uint32_t path_size,
                                   char *cmdline, uint32_t cmdline_size, const char **package,
                                   char *parent_path, uint32_t parent_path_size,
                                   const char **parent_package, char *container,
                                   uint32_t container_size, float *latency_ms);
/* As rule_manager_set_debug; at that level monitors print every event as
 * JSON on standard output. */
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
 * CAP_NET_ADMIN). Free it with vesk_policy_free. */
char *host_info_json(const char *instance_name);

/* Frees a text the library handed out. */
void vesk_policy_free(void *text);

#ifdef __cplusplus
}
#endif

#endif
