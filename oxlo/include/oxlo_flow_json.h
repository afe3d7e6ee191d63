/* Oxlo flow metadata as JSON: what the engine learnt about one flow (risks,
 * confidence, protocol, host name, and the facts each dissector kept)
 * written as the block "oxlo" of a record buffer. It is the one way flow
 * metadata leaves the engine: the exporter sends it, the replay tool prints
 * it. Key names are the collector's vocabulary and are written exactly.
 *
 * Writers return 0, -1 on failure (no flow, or the buffer refused a member)
 * and -2 for null arguments, unless said otherwise. */
#ifndef OXLO_FLOW_JSON_H
#define OXLO_FLOW_JSON_H

#include <stddef.h>
#include <stdint.h>

#include "oxlo_api.h"
#include "oxlo_risks.h"
#include "oxlo_serializer.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The block "oxlo" for the flow and its classification. */
int oxlo_flow_info_serialize(oxlo_module *module, const oxlo_flow_state *flow, oxlo_recbuf *serializer,
                             oxlo_classification classification);

/* The addressing members ("vlan_id", "src_ip", "dest_ip", "src_port",
 * "dst_port", "ip", "proto"), then the block "oxlo". IPv4 addresses and the
 * ports in network order; the IPv6 ones are 16 bytes each (ignored for
 * IPv4 and may then be NULL). */
int oxlo_flow_header_serialize(oxlo_module *module, const oxlo_flow_state *flow, uint8_t ip_version,
                               uint8_t ip_protocol, uint16_t vlan_id, uint32_t src_ipv4, uint32_t dst_ipv4,
                               const uint8_t *src_ipv6, const uint8_t *dst_ipv6, uint16_t src_port,
                               uint16_t dst_port, oxlo_classification classification,
                               oxlo_recbuf *serializer);

/* "flow_risk", "confidence" and the protocol members. */
int oxlo_flow_protocol_fields_serialize(oxlo_module *module, oxlo_recbuf *serializer, oxlo_risk_mask risks,
                                        oxlo_confidence_level confidence, oxlo_classification classification);
/* The block "flow_risk": one block per set risk id; nothing for an empty mask. */
int oxlo_recbuf_put_risks(oxlo_recbuf *serializer, oxlo_risk_mask risks);
/* The block "risk_score" ("total", "client", "server"); nothing for an empty mask. */
int oxlo_recbuf_put_risk_score(oxlo_recbuf *serializer, oxlo_risk_mask risks);
/* The block "confidence" as {"<level>":"<name>"}; nothing for level 0. */
int oxlo_recbuf_put_confidence(oxlo_recbuf *serializer, oxlo_confidence_level confidence);
/* A list of the comma-separated names of `text`, without the "ext-info-*" ones. */
int oxlo_recbuf_put_algorithm_list(oxlo_recbuf *serializer, const char *text, const char *list_name);

/* The fingerprint members of a TLS or QUIC flow ("JA4r", "JA4", "sni",
 * "sni_domain") or of an SSH flow with a client HASSH ("hassh_client",
 * "client_signature", "hassh_server", "server_signature"): 1 when something
 * was written, 0 when nothing, < 0 on error. */
int oxlo_flow_fingerprint_serialize(oxlo_module *module, const oxlo_flow_state *flow,
                                    oxlo_recbuf *serializer);

/* The block "tls" (nothing when the flow's TLS version is not a known one)
 * and, inside it, the block-sequence and hello lists. */
int oxlo_flow_tls_serialize(oxlo_module *module, oxlo_recbuf *serializer, const oxlo_flow_state *flow);
int oxlo_flow_tls_details_serialize(oxlo_module *module, oxlo_recbuf *serializer,
                                    const oxlo_flow_state *flow);

/* An address and port as one record. */
#define OXLO_ENDPOINT_IPV6 0x01u
typedef struct oxlo_endpoint {
    uint8_t address[16]; /* IPv4 in the first four bytes */
    uint16_t port;       /* host order */
    uint8_t flags;       /* OXLO_ENDPOINT_IPV6 */
} oxlo_endpoint;

/* "a.b.c.d:port", or "[v6 text]:port" so that the port cannot be read as a
 * part of the address. Always NUL-terminated; an empty text when it does not
 * fit. Returns buffer. */
char *oxlo_endpoint_to_text(const oxlo_endpoint *endpoint, char *buffer, size_t size);

/* 1 when the packed protocol id (app << 16 | master) counts as encrypted. */
int oxlo_protocol_is_encrypted(const oxlo_module *module, uint32_t packed_id);

/* The DNS reply code, the SNMP error status or the HTTP response code of
 * the flow, by its protocol; else 0. */
int oxlo_flow_error_code(const oxlo_flow_state *flow);
/* The error status of the flow's SNMP response (0: none seen). */
int oxlo_flow_snmp_error_status(const oxlo_flow_state *flow);

/* A protocol's own block inside "oxlo". */
typedef int (*oxlo_flow_json_block_fn)(oxlo_module *module, const oxlo_flow_state *flow,
                                       struct oxlo_recbuf *serializer);
/* The block writer of a protocol id that no dissector's registration names
 * (a dissector declares its own block when it registers), or NULL. */
oxlo_flow_json_block_fn oxlo_flow_json_block_for(uint16_t protocol_id);

int oxlo_http_json_block(oxlo_module *module, const oxlo_flow_state *flow, struct oxlo_recbuf *serializer);
int oxlo_dns_json_block(oxlo_module *module, const oxlo_flow_state *flow, struct oxlo_recbuf *serializer);
int oxlo_mdns_json_block(oxlo_module *module, const oxlo_flow_state *flow, struct oxlo_recbuf *serializer);
int oxlo_tls_json_block(oxlo_module *module, const oxlo_flow_state *flow, struct oxlo_recbuf *serializer);
int oxlo_icmp_json_block(oxlo_module *module, const oxlo_flow_state *flow, struct oxlo_recbuf *serializer);

#ifdef __cplusplus
}
#endif

#endif
