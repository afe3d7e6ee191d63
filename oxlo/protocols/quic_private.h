/* QUIC helpers other dissectors use (the TLS family reads QUIC transport
 * parameters with them), and the pieces of the Initial decryption the tests
 * check against published vectors. */
#ifndef OXLO_QUIC_PRIVATE_H
#define OXLO_QUIC_PRIVATE_H

#include <stddef.h>
#include <stdint.h>

#include "oxlo_dissector.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The search routine. */
void oxlo_search_quic(oxlo_module *module, oxlo_flow_state *flow);

/* 1 when a UDP payload has the shape of a client Initial whose protection
 * the dissector removes: at least 1200 bytes, a long header of an
 * encrypted version it supports, a Destination Connection ID of 1 to 20
 * bytes. The engine offers such a datagram to QUIC before the other UDP
 * dissectors. */
int quic_initial_shape(const uint8_t *payload, size_t length);

/* The version's label ("V-1", "Draft-29", "Q046", "Unknown (709A50C4)", ...)
 * into buffer (cut to size - 1); NULL for a null buffer or one under 2 bytes. */
char *quic_version_label(char *buffer, size_t size, uint32_t version);
/* One variable-length integer at bytes (the caller makes sure the length
 * quic_varint_extra_length announces is there); returns its length. */
unsigned quic_varint_decode(const uint8_t *bytes, uint64_t *out);
/* Bytes after the first of a variable-length integer: 0, 1, 3 or 7. */
unsigned quic_varint_extra_length(uint8_t first);
/* 1 for versions whose transport parameters use variable-length integers. */
int quic_version_has_varint_params(uint32_t version);

/* The client's Initial protection of a version: keys from the first
 * Destination Connection ID. 0, or -1 (no salt for the version, a
 * cipher-layer failure). */
typedef struct quic_initial_keys {
    uint8_t secret[32];
    uint8_t key[16];
    uint8_t iv[12];
    uint8_t hp[16];
} quic_initial_keys;
int quic_initial_keys_derive(uint32_t version, const uint8_t *dcid, size_t dcid_length, quic_initial_keys *out);

#ifdef __cplusplus
}
#endif

#endif
