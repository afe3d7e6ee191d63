/* Oxlo fingerprints of a flow.
 *
 * The TCP fingerprint a client's SYN gives is looked up in a map from
 * fingerprint texts to operating systems, filled at finalization from a
 * built-in list and optionally from a file of "text,id" lines (ids 0
 * Unknown, 1 Windows, 2 macOS, 3 iOS/iPad, 4 Android, 5 Linux, 6 FreeBSD).
 *
 * The flow fingerprint of an encrypted flow joins the TCP fingerprint, the
 * client and server application fingerprints and a digest of the flow's
 * first TLS blocks into one text and keeps the first 16 bytes of its
 * SHA-256 as 32 lower-case hexadecimal digits; "oxlofp:" rules of the custom
 * protocols file classify flows by it. */
#ifndef OXLO_FINGERPRINTS_H
#define OXLO_FINGERPRINTS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "oxlo_api.h"
#include "oxlo_string_map.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OXLO_OS_UNKNOWN 0
#define OXLO_OS_WINDOWS 1
#define OXLO_OS_MACOS 2
#define OXLO_OS_IOS 3
#define OXLO_OS_ANDROID 4
#define OXLO_OS_LINUX 5
#define OXLO_OS_FREEBSD 6

/* Longest fingerprint text a file line may carry. */
#define OXLO_OS_FINGERPRINT_TEXT_MAX 126

void oxlo_os_fingerprints_load_builtin(oxlo_module *module);
/* 0 added, -1 already present (the stored id stays), -2 bad argument or the
 * map could not take it. */
int oxlo_os_fingerprint_add(oxlo_module *module, const char *text, int os_id);
/* The stored OS id; 0 for a null text, no map or an unknown text. */
int oxlo_os_fingerprint_lookup(oxlo_module *module, const char *text);
/* Pairs added from the lines of an open file, or -1 (null module or file,
 * no map). Lines that are too long or not "text,id" with an id of 0 to 6 are
 * skipped with a message naming the line. */
int oxlo_os_fingerprints_load_stream(oxlo_module *module, FILE *in);
/* As the stream loader, for a path; -1 when it cannot be opened. */
int oxlo_os_fingerprints_load_file(oxlo_module *module, const char *path);

/* The flow's fingerprint (computed once, kept in the flow) or null when the
 * flow is not an encrypted one, the knob "metadata.oxlo_fingerprint" is off
 * or the flow has neither a TCP nor a client application fingerprint. A hit
 * among the "oxlofp:" rules classifies the flow. */
const char *oxlo_flow_fingerprint_compute(oxlo_module *module, oxlo_flow_state *flow);
/* The text the flow fingerprint hashes, into buffer (at most 127
 * characters); its length, or 0 when the flow gets no fingerprint. */
size_t oxlo_flow_fingerprint_text(oxlo_module *module, const oxlo_flow_state *flow, char *buffer,
                                  size_t size);
/* A rule's protocol refined by the TLS blocks of its candidates: the
 * nearest candidate sequence under distance 4.0 wins. */
uint16_t oxlo_fingerprint_match_tls_blocks(oxlo_module *module, const oxlo_flow_state *flow,
                                           const string_map_value_node *candidates, uint16_t protocol_id);

/* The flow's TCP fingerprint text ("" when none), its OS id, and its flow
 * fingerprint ("" when none). */
const char *oxlo_flow_tcp_fingerprint(const oxlo_flow_state *flow);
/* The raw TCP options text of the flow's SYN ("" when none: the knob
 * "metadata.tcp_fingerprint_raw" is off by default). */
const char *oxlo_flow_tcp_fingerprint_raw(const oxlo_flow_state *flow);
int oxlo_flow_os_guess(const oxlo_flow_state *flow);
const char *oxlo_flow_fingerprint(const oxlo_flow_state *flow);

#ifdef __cplusplus
}
#endif

#endif
