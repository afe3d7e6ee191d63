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
/* 1 once the flow's ClientHello was read. */
int oxlo_flow_tls_client_hello_seen(const oxlo_flow_state *flow);
/* The TLS records and handshake messages recorded for the flow (when the
 * knob "tls" "max_num_blocks_to_analyze" is above 0): their count, with
 * *blocks pointing at them (owned by the flow). */
struct tls_block;
uint16_t oxlo_flow_tls_blocks(const oxlo_flow_state *flow, const struct tls_block **blocks);
/* The lists of the ClientHello (server 0) or ServerHello (server 1), kept
 * when the knob "tls" "metadata.ja_data" is on. */
typedef enum oxlo_tls_hello_list {
    OXLO_TLS_HELLO_CIPHERS = 0,
    OXLO_TLS_HELLO_EXTENSIONS,
    OXLO_TLS_HELLO_GROUPS,
    OXLO_TLS_HELLO_POINT_FORMATS,
    OXLO_TLS_HELLO_SIGNATURE_ALGORITHMS,
    OXLO_TLS_HELLO_KEY_SHARE_GROUPS,
    OXLO_TLS_HELLO_SUPPORTED_VERSIONS
} oxlo_tls_hello_list;
/* 1 when that hello's lists were kept. */
int oxlo_flow_tls_hello_kept(const oxlo_flow_state *flow, int server);
/* The number of ids in one list of a kept hello, with *ids pointing at them
 * (owned by the flow); 0 and NULL when the hello was not kept. A
 * ServerHello's cipher list is the one cipher it chose. */
uint16_t oxlo_flow_tls_hello_list(const oxlo_flow_state *flow, int server, oxlo_tls_hello_list which,
                                  const uint16_t **ids);
/* The supported groups the client offered (GREASE left out, the first 32
 * kept), in its order: copies at most max and returns the number copied. */
size_t oxlo_flow_tls_groups_offered(const oxlo_flow_state *flow, uint16_t *groups, size_t max);

/* DNS: query type of the first question, response code (-1 before a
 * response), the PTR target and the answer addresses (16 bytes each, IPv4
 * in the first four; index below the count). */
uint16_t oxlo_flow_dns_query_type(const oxlo_flow_state *flow);
int oxlo_flow_dns_response_code(const oxlo_flow_state *flow);
const char *oxlo_flow_dns_ptr_name(const oxlo_flow_state *flow);
uint8_t oxlo_flow_dns_address_count(const oxlo_flow_state *flow);
/* Question count and the sum of answer, authority and additional record
 * counts of the response (0 before one), and the type of the last answer
 * record examined. */
uint8_t oxlo_flow_dns_question_count(const oxlo_flow_state *flow);
uint8_t oxlo_flow_dns_record_count(const oxlo_flow_state *flow);
uint16_t oxlo_flow_dns_answer_type(const oxlo_flow_state *flow);
int oxlo_flow_dns_address(const oxlo_flow_state *flow, uint8_t index, uint8_t address[16], int *is_ipv6,
                          uint32_t *ttl);

/* The flow's QUIC version as its label ("V-1", "Draft-29", "Unknown (709A50C4)")
 * into buffer; NULL when the QUIC dissector kept nothing for the flow. */
const char *oxlo_flow_quic_version(const oxlo_flow_state *flow, char *buffer, size_t size);

/* SSH: the banners and HASSH fingerprints of either side (client 1, server
 * 0; "" until seen), and with ssh.metadata.ssh_data the key-exchange lists
 * and the negotiated key exchange. */
const char *oxlo_flow_ssh_banner(const oxlo_flow_state *flow, int client);
const char *oxlo_flow_ssh_hassh(const oxlo_flow_state *flow, int client);
const char *oxlo_flow_ssh_kex_list(const oxlo_flow_state *flow, int client);
const char *oxlo_flow_ssh_negotiated_kex(const oxlo_flow_state *flow);
/* Mining: the currency the pool login named ("" when none). */
const char *oxlo_flow_mining_currency(const oxlo_flow_state *flow);

#ifdef __cplusplus
}
#endif

#endif
