/* HTTP/2 over cleartext TCP with prior knowledge: the client opens with the
 * 24-byte connection preface "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n". (Over TLS
 * it is negotiated by ALPN and seen by the TLS dissector instead.) */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

const char preface[] = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

/* A server may send its SETTINGS frame before the client's preface
 * arrives: what the server sends before the client's first bytes is passed
 * over, in however many segments it comes. */
void search_http2(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const uint8_t client_dir = pkt.from_client ? pkt.direction : uint8_t(pkt.direction ^ 1);
    if (!pkt.from_client && pkt.payload_packets_dir[client_dir] == 0)
        return;
    /* The preface cut by the segments is read whole. */
    if (pkt.from_client && oxlo_framing::wait_for_prefix(m, f, pkt, preface, sizeof(preface) - 1))
        return;
    const oxlo_reader &p = pkt.payload;
    if (p.length >= 24 && oxlo_rd_match(&p, 0, preface, 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_HTTP2, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_HTTP2};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_http2 = {
    "HTTP2", search_http2, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
