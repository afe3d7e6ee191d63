/* Vesk policy library: rules and blacklists, the C-callable facade.
 *
 * The firewall reaches the rules only through these functions: it creates
 * one rule manager per queue and per rules-file load, loads the file into
 * it, asks it for the marker of every completed flow and destroys it.
 * Markers: 1 pass, 2 drop, any other value is set as the packet mark. */
#ifndef VESK_RULES_H
#define VESK_RULES_H

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
/* The marker of a flow the engine could not finish (a stream bound hit
 * before its name was read, the flow table full, no room for its state):
 * the strictest its policy could still give it, drop when the policy holds
 * a drop for a host name, protocol, category or risk, else the policy's
 * default marker; otherwise as rule_manager_fallback_marker. */
uint16_t rule_manager_exception_marker(vesk_rule_manager *manager, const uint8_t *src_mac,
                                       const uint8_t *dst_mac, const uint8_t *src_addr,
                                       const uint8_t *dst_addr, int ip_version);

/* Non-zero when one of the manager's blacklists covers the address (16 bytes
 * in the form above; ip_version 4 or 6). */
int rule_manager_is_blacklisted(vesk_rule_manager *manager, const uint8_t *address, int ip_version);

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

/* Raises the process log's level to 9 (when the log exists). */
void rule_manager_set_debug(void);

/* 1 when the flow's key exchange is not post-quantum and risk 58 was raised
 * on it (TLS, DTLS and QUIC by the client's groups, IPsec by the
 * responder's IKE proposal, SSH by the key-exchange lists); 0 otherwise or
 * for no module or flow. */
int flow_check_non_pqc_risk(oxlo_module *module, oxlo_flow_state *flow);

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

#ifdef __cplusplus
}
#endif

#endif
