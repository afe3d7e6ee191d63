/* The post-quantum key-exchange check: which flows negotiated (or offered)
 * a key exchange that resists a quantum computer, and which did not. */
#include <cstring>

#include "oxlo_protocol_ids.h"
#include "oxlo_risk_ids.h"
#include "oxlo_risks.h"
#include "oxlo_tls_dns.h"

namespace {

/* Post-quantum TLS groups: the ML-KEM hybrids and their drafts, the Kyber
 * drafts and the experimental range. */
bool pq_tls_group(uint16_t g)
{
    return g == 0x11EC || g == 0x11ED || (g >= 0x2001 && g <= 0x2010) || g == 0x6399 ||
           g == 0x639A || (g >= 0xFE30 && g <= 0xFE37);
}

constexpr const char ssh_mlkem[] = "mlkem768x25519-sha256";
constexpr const char ssh_sntrup[] = "sntrup761x25519-sha512";

/* A name list (or a single name) whose first entry is post-quantum. */
bool pq_ssh_method(const char *name)
{
    return name && (strncmp(name, ssh_mlkem, sizeof(ssh_mlkem) - 1) == 0 ||
                    strncmp(name, ssh_sntrup, sizeof(ssh_sntrup) - 1) == 0);
}

/* Which protocol of the flow the check is about: its application when that
 * is one of the checked ones, else its master (a TLS flow to a named service
 * has the service as application and TLS as master). */
uint16_t checked_protocol(const oxlo_flow_state *flow)
{
    static const uint16_t checked[] = {OXLO_PROTOCOL_DTLS, OXLO_PROTOCOL_TLS, OXLO_PROTOCOL_QUIC,
                                       OXLO_PROTOCOL_IPSEC, OXLO_PROTOCOL_SSH};
    const uint16_t ids[2] = {oxlo_flow_app_protocol(flow), oxlo_flow_master_protocol(flow)};
    for (uint16_t id : ids)
        for (uint16_t c : checked)
            if (id != 0 && id == c)
                return id;
    return 0;
}

const char *ssh_message(const oxlo_flow_state *flow, const char *client)
{
    if (pq_ssh_method(oxlo_flow_ssh_negotiated_kex(flow)))
        return nullptr;
    /* A side whose list is not known is not blamed; with neither list known
     * the client is named, as for TLS without details. */
    const char *client_list = oxlo_flow_ssh_kex_list(flow, 1);
    const char *server_list = oxlo_flow_ssh_kex_list(flow, 0);
    const bool client_old = client_list[0] && !pq_ssh_method(client_list);
    const bool server_old = server_list[0] && !pq_ssh_method(server_list);
    if (client_old && server_old)
        return "Both Obsolete non-PQC client and server";
    if (server_old)
        return "Obsolete non-PQC server";
    return client;
}

} // namespace

extern "C" int oxlo_flow_non_pqc_risk_check(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!module || !flow)
        return 0;
    const uint16_t proto = checked_protocol(flow);
    if (proto == 0)
        return 0;
    const char *client = "Obsolete non-PQC client";
    const char *message = client;
    if (proto == OXLO_PROTOCOL_SSH) {
        message = ssh_message(flow, client);
    } else if (proto == OXLO_PROTOCOL_IPSEC) {
        /* The responder's choice: no separate integrity (or a SHA-2 one)
         * with a 256-bit key, or ChaCha20-Poly1305 (encryption 28). */
        uint16_t encryption = 0, key_bits = 0, integrity = 0;
        if (oxlo_flow_ike_responder_proposal(flow, &encryption, &key_bits, &integrity) &&
            (integrity == 0 || (integrity >= 11 && integrity <= 14)) && (key_bits >= 256 || encryption == 28))
            return 0;
    } else {
        /* The others go by the groups the client offered. */
        uint16_t groups[64];
        const size_t n = oxlo_flow_tls_groups_offered(flow, groups, 64);
        for (size_t i = 0; i < n; i++)
            if (pq_tls_group(groups[i]))
                return 0;
    }
    if (!message)
        return 0;
    oxlo_flow_risk_raise(module, flow, OXLO_NON_PQC, message);
    return 1;
}
