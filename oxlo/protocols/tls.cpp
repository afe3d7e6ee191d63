/* TLS over TCP and DTLS over UDP. */
#include "oxlo_private.h"

#include <cstring>

extern "C" {

void oxlo_tls_flow_release(oxlo_flow_state *flow)
{
    if (!flow)
        return;
    oxlo_tls_flow *t = &flow->tls;
    for (int d = 0; d < 2; d++) {
        oxlo_heap_free(t->reassembly[d].buffer);
        oxlo_heap_free(t->dtls_reassembly[d].buffer);
    }
    oxlo_heap_free(t->alpn_offered);
    oxlo_heap_free(t->alpn_negotiated);
    oxlo_heap_free(t->versions_offered);
    oxlo_heap_free(t->blocks);
    oxlo_heap_free(t->ja4_client_raw);
    oxlo_heap_free(t->server_fingerprint);
    oxlo_heap_free(t->ja_data_client);
    oxlo_heap_free(t->ja_data_server);
    oxlo_heap_free(t->cert_issuer_dn);
    oxlo_heap_free(t->cert_subject_dn);
    oxlo_heap_free(t->cert_server_names);
    memset(t, 0, sizeof(*t));
}

} // extern "C"
