/* Oxlo name tables: the numbers met on the wire turned into the texts written
 * into flow metadata, risk messages and logs. Every function returns a
 * constant text or the caller's buffer; none allocates, and none writes
 * outside [buffer, buffer + size). */
#ifndef OXLO_NAMES_H
#define OXLO_NAMES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum oxlo_http_verb {
  OXLO_HTTP_METHOD_UNKNOWN = 0,
  OXLO_HTTP_METHOD_OPTIONS,
  OXLO_HTTP_METHOD_GET,
  OXLO_HTTP_METHOD_HEAD,
  OXLO_HTTP_METHOD_PATCH,
  OXLO_HTTP_METHOD_POST,
  OXLO_HTTP_METHOD_PUT,
  OXLO_HTTP_METHOD_DELETE,
  OXLO_HTTP_METHOD_TRACE,
  OXLO_HTTP_METHOD_CONNECT,
  OXLO_HTTP_METHOD_RPC_CONNECT,
  OXLO_HTTP_METHOD_RPC_IN_DATA,
  OXLO_HTTP_METHOD_RPC_OUT_DATA,
  OXLO_HTTP_METHOD_MKCOL,
  OXLO_HTTP_METHOD_MOVE,
  OXLO_HTTP_METHOD_COPY,
  OXLO_HTTP_METHOD_LOCK,
  OXLO_HTTP_METHOD_UNLOCK,
  OXLO_HTTP_METHOD_PROPFIND,
  OXLO_HTTP_METHOD_PROPPATCH
} oxlo_http_verb;

/* Kinds of TLS-block entries (record content type, or handshake type). */
typedef enum tls_block_kind {
  TLS_BLOCK_UNKNOWN = 0,
  TLS_BLOCK_CHANGE_CIPHER = 1,
  TLS_BLOCK_ALERT = 2,
  TLS_BLOCK_HS_ENCRYPTED = 3,
  TLS_BLOCK_HS_CLIENT_HELLO = 4,
  TLS_BLOCK_HS_SERVER_HELLO = 5,
  TLS_BLOCK_HS_NEW_SESSION_TICKET = 6,
  TLS_BLOCK_HS_ENCRYPTED_EXTENSIONS = 7,
  TLS_BLOCK_HS_CERTIFICATE = 8,
  TLS_BLOCK_HS_SERVER_KEY_EXCHANGE = 9,
  TLS_BLOCK_HS_CERTIFICATE_REQUEST = 10,
  TLS_BLOCK_HS_SERVER_HELLO_DONE = 11,
  TLS_BLOCK_HS_CERTIFICATE_VERIFY = 12,
  TLS_BLOCK_HS_CLIENT_KEY_EXCHANGE = 13,
  TLS_BLOCK_HS_FINISHED = 14,
  TLS_BLOCK_APPLICATION_DATA = 15,
  TLS_BLOCK_HEARTBEAT = 16
} tls_block_kind;

/* Cipher-suite safety. */
#define OXLO_CIPHER_SAFE 0
#define OXLO_CIPHER_WEAK 1
#define OXLO_CIPHER_INSECURE 2

/* Room every numeric fallback ("0X%04X", "TLS (%04X)") needs. */
#define OXLO_NAME_BUFFER_MIN 16

char *oxlo_ip_protocol_name(uint16_t protocol, char *buffer, size_t size);
const char *oxlo_tunnel_name(int tunnel);
const char *oxlo_http_verb_name(oxlo_http_verb verb);
oxlo_http_verb oxlo_http_verb_parse(const char *text, size_t length);
const char *oxlo_os_name(int os_hint);
const char *oxlo_lru_cache_kind_name(int kind);
char *oxlo_stream_content_text(uint8_t bits, char *buffer, size_t size);

/* unknown (optional) is set to 1 when the version has no name, else 0. */
const char *oxlo_tls_version_name(uint16_t version, char *buffer, size_t size, uint8_t *unknown);
const char *oxlo_tls_cipher_name(uint16_t cipher, char *buffer, size_t size);
int oxlo_tls_cipher_safety(uint16_t cipher);
const char *oxlo_tls_extension_name(uint16_t extension, char *buffer, size_t size);
const char *oxlo_tls_group_name(uint16_t group, char *buffer, size_t size);
const char *oxlo_tls_group_table_name(uint16_t group, char *buffer, size_t size);
const char *oxlo_tls_key_share_group_name(uint16_t group, char *buffer, size_t size);
const char *oxlo_tls_signature_name(uint16_t scheme, char *buffer, size_t size);
const char *oxlo_tls_supported_version_name(uint16_t version, char *buffer, size_t size);
tls_block_kind oxlo_tls_block_kind_of(uint8_t content_type, uint8_t handshake_type);
const char *oxlo_tls_block_kind_name(int kind, int short_form);

const char *oxlo_ike_encryption_name(uint16_t id);
const char *oxlo_ike_prf_name(uint16_t id);
const char *oxlo_ike_integrity_name(uint16_t id);
const char *oxlo_ike_dh_group_name(uint16_t id);

const char *oxlo_rtp_payload_type_name(uint8_t payload_type, uint16_t payload_size);

#ifdef __cplusplus
}
#endif

#endif
