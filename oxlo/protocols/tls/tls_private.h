/* Shared by the files of the TLS family (the dissector, its fingerprints
 * and its certificate reader): the per-flow TLS state and the calls between
 * the three. */
#ifndef OXLO_TLS_PRIVATE_H
#define OXLO_TLS_PRIVATE_H

#include "oxlo_private.h"
#include "oxlo_dissector.h"

#include "oxlo_utils.h"

/* Bytes of one direction being put back together: a handshake message
 * spanning TLS records, or a fragmented DTLS handshake message. */
typedef struct tls_reassembly_buffer {
    uint8_t *buffer;       /* owned */
    uint32_t capacity;
    uint32_t used;
    uint32_t next_seq;     /* DTLS: next expected fragment offset, 0 = none yet */
    uint32_t total;        /* DTLS: length of the message being rebuilt */
} tls_reassembly_buffer;

/* Largest DTLS handshake message rebuilt from fragments. */
#define OXLO_DTLS_REASSEMBLY_MAX 65536u
/* Entries kept per list of a hello for the fingerprints. */
#define OXLO_TLS_LIST_MAX 128
/* Supported groups of the client kept with the flow (the first ones). */
#define OXLO_TLS_GROUPS_KEPT 32

typedef struct oxlo_tls_flow {
    tls_reassembly_buffer dtls_reassembly[2];
    tls_reassembly_buffer handshake[2]; /* a handshake message spanning records */
    /* TCP, per direction: the bytes still to come of a record whose body is
     * not read (application data, encrypted handshake), and its type. The
     * records themselves are read from the engine's stream view. */
    uint32_t record_skip[2];
    uint8_t record_skip_type[2];
    uint8_t name_pending;  /* the engine was told that a server name is still to come */
    /* A TLS 1.3 hello may be answered with a HelloRetryRequest, after which
     * the client sends a second hello (another name, maybe): 1 while the
     * server's answer to the first is awaited, 2 after a retry request
     * while the second hello is, 3 once neither can come any more. */
    uint8_t retry;
    uint64_t retry_since_ms; /* when the wait began */
    uint8_t hello_flags;   /* 0x01 CH seen, 0x02 client direction, 0x04 by name,
                              0x08 SH seen, 0x10 cert SHA-1, 0x20 DTLS-SRTP,
                              0x40 TLS 1.3 offered */
    uint8_t state_flags;   /* 0x01 both CCS/data, 0x02 CCS initiator side,
                              0x04 CCS responder side, 0x08 STARTTLS, 0x20 alert */
    uint8_t done;          /* bit 0: nothing more of the handshake is read */
    uint8_t ccs_seen[2];
    uint8_t browser_flags;
    uint8_t fingerprints_done; /* 0x01 JA4, 0x02 JA4 raw, 0x04 JA3S, 0x08 server fp,
                                  0x10 ja_data client, 0x20 ja_data server */
    uint16_t version;
    uint16_t server_cipher;
    int32_t cipher_safety;
    uint16_t ech_extension;
    char *alpn_offered;
    char *alpn_negotiated;
    char *versions_offered;
    tls_block *blocks;
    uint16_t block_count;  /* up to the knob's maximum (256) */
    uint64_t last_block_ms;
    char ja4_client[37];
    char client_app_fingerprint[37];
    char *ja4_client_raw;
    char ja3_server[33];
    char *server_fingerprint;
    uint8_t *ja_data_client;
    uint32_t ja_data_client_length;
    uint8_t *ja_data_server;
    uint32_t ja_data_server_length;
    uint8_t cert_sha1[20];
    char *cert_issuer_dn;
    char *cert_subject_dn;
    char *cert_server_names;
    uint16_t cert_server_names_length;
    uint32_t cert_not_before;
    uint32_t cert_not_after;
    uint16_t groups_offered[OXLO_TLS_GROUPS_KEPT]; /* client's supported groups */
    uint8_t groups_offered_count;
    struct tls_heuristic_state *heuristic; /* the obfuscated-TLS heuristic, owned */
} oxlo_tls_flow;


/* The lists of one hello as collected for the fingerprints (GREASE values
 * left out of the client's ciphers, extensions and groups). */
typedef struct tls_hello_lists {
    uint16_t legacy_version;
    uint16_t cipher;                  /* ServerHello: the selected cipher */
    uint16_t ciphers[OXLO_TLS_LIST_MAX];
    uint16_t extensions[OXLO_TLS_LIST_MAX];
    uint16_t groups[OXLO_TLS_LIST_MAX];
    uint16_t point_formats[OXLO_TLS_LIST_MAX];
    uint16_t signature_algorithms[64];
    uint16_t versions[OXLO_TLS_LIST_MAX];
    uint16_t key_share_groups[OXLO_TLS_LIST_MAX];
    uint16_t cipher_count, extension_count, group_count, point_format_count;
    uint16_t signature_algorithm_count, version_count, key_share_count;
    char alpn_first, alpn_last;       /* of the client's first ALPN name, '0' none */
    uint8_t overflow;                 /* client fingerprints suppressed */
} tls_hello_lists;

#ifdef __cplusplus
extern "C" {
#endif
/* Frees what the TLS part of a flow owns (flow release calls it). */
void oxlo_tls_flow_release(oxlo_flow_state *flow);
/* Hello parser: one handshake message (header first); QUIC passes its
 * decrypted messages with is_quic 1. */
void tls_process_hello(oxlo_module *module, oxlo_flow_state *flow, const oxlo_reader *message, int is_quic);
/* 1 when the flow is DTLS: UDP packet (not QUIC) or a DTLS-marked flow. */
int tls_flow_is_dtls(const oxlo_module *module, const oxlo_flow_state *flow);
/* Fingerprints (oxlo_tls_fingerprints.cpp). */
void tls_version_chars(char out[2], uint16_t version);
int tls_fingerprint_ignores_extension(const oxlo_module *module, uint16_t id);
void tls_client_fingerprints(oxlo_module *module, oxlo_flow_state *flow,
                             const tls_hello_lists *lists, int is_quic);
void tls_server_fingerprints(oxlo_module *module, oxlo_flow_state *flow,
                             const tls_hello_lists *lists, int is_quic);
void tls_check_client_fingerprint(oxlo_module *module, oxlo_flow_state *flow);
void tls_copy_ja_data(oxlo_module *module, oxlo_flow_state *flow, const tls_hello_lists *lists,
                      int client);
/* Browser heuristics over the raw cipher list and signature algorithm list
 * (big-endian 16-bit ids, `length` bytes each). */
void tls_browser_cipher_step(oxlo_flow_state *flow, const uint8_t *list, size_t length,
                             int overran);
void tls_browser_signature_step(oxlo_flow_state *flow, const uint8_t *list, size_t length);
/* Certificates (oxlo_tls_certificates.cpp). */
int tls_process_certificate_message(oxlo_module *module, oxlo_flow_state *flow, const oxlo_reader *message);
void tls_process_certificate(oxlo_module *module, oxlo_flow_state *flow, const uint8_t *start,
                             size_t length);
void tls_cert_cache_lookup(oxlo_module *module, oxlo_flow_state *flow, int is_client_hello);
/* 1 when `name` (a certificate name, possibly "*.rest") covers `server`. */
int tls_cert_name_matches(const char *name, const char *server);
#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
extern "C" {
#endif
#ifdef __cplusplus
}
/* The TLS state inside the family's own code. It runs only after the search
 * routine or a hand-over created the state; should that have failed (no
 * memory), reads see an empty state and writes land in a scratch copy. */
oxlo_tls_flow &tls_of(oxlo_flow_state *flow);
const oxlo_tls_flow &tls_of(const oxlo_flow_state *flow);
extern "C" {
#endif
/* STARTTLS: the TLS dissector reads the rest of a flow that another
 * dissector classified (its extra dissection takes over). */
void tls_take_over_extra_dissection(oxlo_module *module, oxlo_flow_state *flow);
/* The TLS record reader over TCP for a flow handed over; 1 while it wants
 * more packets. */
int tls_search_tcp(oxlo_module *module, oxlo_flow_state *flow);

/* The obfuscated-TLS heuristic (tls_obfuscated.cpp): start takes over the
 * flow's follow-up reading (1, or 0 without memory); search_again reads one
 * packet (1 more, 0 done). bursts_match answers 1 when the four burst sizes
 * fit one of the handshake models; model_distance is model 0..2's distance. */
int tls_obfuscated_heur_start(oxlo_module *module, oxlo_flow_state *flow);
int tls_obfuscated_heur_search_again(oxlo_module *module, oxlo_flow_state *flow);
int tls_bursts_match(const uint32_t bytes[4]);
float tls_model_distance(int model, const uint32_t bytes[4]);
void tls_heuristic_free(oxlo_tls_flow *t);
/* The flow's TLS state, or NULL when the TLS dissector has none for it
 * (create: allocate it, for a hand-over from another dissector). */
oxlo_tls_flow *oxlo_tls_state(oxlo_module *module, oxlo_flow_state *flow, int create);
const oxlo_tls_flow *oxlo_tls_state_find(const oxlo_flow_state *flow);
/* Runs the TLS/DTLS reader on the packet in process for a flow another
 * dissector found (STUN's media), its buffers emptied first when reset. */
void tls_reset_and_search(oxlo_module *module, oxlo_flow_state *flow, int reset);
/* 1 when the bytes start with a DTLS record header (its length written). */
int dtls_record_header_check(const uint8_t *record, size_t length, uint16_t *record_length);
#ifdef __cplusplus
}
#endif

#endif
