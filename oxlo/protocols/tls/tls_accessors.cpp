/* Read-only views of what the TLS dissector kept about a flow, for the
 * flow-to-JSON writer and other readers outside the dissector. */
#include "oxlo_tls_dns.h"
#include "tls_private.h"

extern "C" {

uint16_t oxlo_flow_tls_blocks(const oxlo_flow_state *flow, const tls_block **blocks)
{
    const oxlo_tls_flow *t = flow ? oxlo_tls_state_find(flow) : nullptr;
    if (blocks)
        *blocks = t ? t->blocks : nullptr;
    return t && t->blocks ? t->block_count : 0;
}

static const tls_hello_lists *kept_hello(const oxlo_flow_state *flow, int server)
{
    const oxlo_tls_flow *t = flow ? oxlo_tls_state_find(flow) : nullptr;
    if (!t)
        return nullptr;
    const uint8_t *kept = server ? t->ja_data_server : t->ja_data_client;
    const uint32_t length = server ? t->ja_data_server_length : t->ja_data_client_length;
    return kept && length == sizeof(tls_hello_lists) ? reinterpret_cast<const tls_hello_lists *>(kept) : nullptr;
}

int oxlo_flow_tls_hello_kept(const oxlo_flow_state *flow, int server) { return kept_hello(flow, server) ? 1 : 0; }

uint16_t oxlo_flow_tls_hello_list(const oxlo_flow_state *flow, int server, oxlo_tls_hello_list which,
                                  const uint16_t **ids)
{
    if (ids)
        *ids = nullptr;
    const tls_hello_lists *h = kept_hello(flow, server);
    if (!ids || !h)
        return 0;
    const uint16_t *list = nullptr;
    uint16_t count = 0, room = OXLO_TLS_LIST_MAX;
    switch (which) {
    case OXLO_TLS_HELLO_CIPHERS:
        list = h->ciphers;
        count = h->cipher_count;
        if (server && count == 0 && h->cipher) { // a ServerHello's list is its one choice
            list = &h->cipher;
            count = 1;
        }
        break;
    case OXLO_TLS_HELLO_EXTENSIONS: list = h->extensions; count = h->extension_count; break;
    case OXLO_TLS_HELLO_GROUPS: list = h->groups; count = h->group_count; break;
    case OXLO_TLS_HELLO_POINT_FORMATS: list = h->point_formats; count = h->point_format_count; break;
    case OXLO_TLS_HELLO_SIGNATURE_ALGORITHMS:
        list = h->signature_algorithms;
        count = h->signature_algorithm_count;
        room = (uint16_t)(sizeof(h->signature_algorithms) / sizeof(h->signature_algorithms[0]));
        break;
    case OXLO_TLS_HELLO_KEY_SHARE_GROUPS: list = h->key_share_groups; count = h->key_share_count; break;
    case OXLO_TLS_HELLO_SUPPORTED_VERSIONS: list = h->versions; count = h->version_count; break;
    default: return 0;
    }
    *ids = list;
    return count < room ? count : room;
}

} // extern "C"
