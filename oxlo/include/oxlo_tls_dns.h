/* What the TLS and DNS dissectors learnt about a flow, for tools and export.
 * Texts are owned by the flow ("" when not seen); NULL flows answer 0 / "". */
#ifndef OXLO_TLS_DNS_H
#define OXLO_TLS_DNS_H

#include <stddef.h>
#include <stdint.h>

#include "oxlo_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Negotiated version (the ClientHello's until a ServerHello arrives). */
uint16_t oxlo_flow_tls_version(const oxlo_flow_state *flow);
uint16_t oxlo_flow_tls_cipher(const oxlo_flow_state *flow);
const char *oxlo_flow_tls_alpn_offered(const oxlo_flow_state *flow);
const char *oxlo_flow_tls_alpn_negotiated(const oxlo_flow_state *flow);
const char *oxlo_flow_tls_versions_offered(const oxlo_flow_state *flow);
const char *oxlo_flow_tls_ja4(const oxlo_flow_state *flow);
const char *oxlo_flow_tls_ja4_raw(const oxlo_flow_state *flow);
const char *oxlo_flow_tls_ja3s(const oxlo_flow_state *flow);
const char *oxlo_flow_tls_server_fingerprint(const oxlo_flow_state *flow);
const char *oxlo_flow_tls_cert_issuer(const oxlo_flow_state *flow);
const char *oxlo_flow_tls_cert_subject(const oxlo_flow_state *flow);
const char *oxlo_flow_tls_cert_server_names(const oxlo_flow_state *flow);
/* Validity in seconds since 1970 (0 when not read); 1 when the certificate's
 * SHA-1 was taken (written to sha1). */
int oxlo_flow_tls_cert_validity(const oxlo_flow_state *flow, uint32_t *not_before, uint32_t *not_after);
int oxlo_flow_tls_cert_sha1(const oxlo_flow_state *flow, uint8_t sha1[20]);
/* 1 once the flow's TLS client hello was read. */
int oxlo_flow_tls_client_hello_seen(const oxlo_flow_state *flow);

/* DNS: query type of the first question, response code (-1 before a
 * response), the PTR target and the answer addresses (16 bytes each, IPv4
 * in the first four; index below the count). */
uint16_t oxlo_flow_dns_query_type(const oxlo_flow_state *flow);
int oxlo_flow_dns_response_code(const oxlo_flow_state *flow);
const char *oxlo_flow_dns_ptr_name(const oxlo_flow_state *flow);
uint8_t oxlo_flow_dns_address_count(const oxlo_flow_state *flow);
int oxlo_flow_dns_address(const oxlo_flow_state *flow, uint8_t index, uint8_t address[16], int *is_ipv6,
                          uint32_t *ttl);

/* SSH: the banners and HASSH fingerprints of either side (client 1, server
 * 0; "" until seen), and with ssh.metadata.ssh_data the key-exchange lists
 * and the negotiated key exchange. */
const char *oxlo_flow_ssh_banner(const oxlo_flow_state *flow, int client);
const char *oxlo_flow_ssh_hassh(const oxlo_flow_state *flow, int client);
const char *oxlo_flow_ssh_kex_list(const oxlo_flow_state *flow, int client);
const char *oxlo_flow_ssh_negotiated_kex(const oxlo_flow_state *flow);

#ifdef __cplusplus
}
#endif

#endif
