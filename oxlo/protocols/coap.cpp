/* CoAP on its ports: version 1 in byte 0 with a token of up to eight bytes,
 * and a request method, response or signalling code in byte 1. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The header: version, type and token length in byte 0, the code, the
 * message id. */
constexpr size_t COAP_VERSION_TYPE_TKL = 0, COAP_CODE = 1, COAP_HEADER = 4;
constexpr uint16_t COAP_PORT = 5683;

/* Version 1, any type, token length 0-8 (eight-byte tokens are common);
 * codes: empty and methods 0.00-0.05, 2.01-2.05, 4.00-4.06, 4.12-4.15 and
 * 5.00-5.05. */
bool known(uint8_t b0, uint8_t code)
{
    if (b0 < 0x40 || b0 > 0x7F || (b0 & 0x0F) > 8)
        return false;
    return code <= 5 || (code >= 65 && code <= 69) || (code >= 128 && code <= 134) || (code >= 140 && code <= 143) ||
           (code >= 160 && code <= 165);
}

void search_coap(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    const bool port = pkt.src_port == COAP_PORT || pkt.dst_port == COAP_PORT ||
                      (pkt.src_port >= 61616 && pkt.src_port <= 61631) || (pkt.dst_port >= 61616 && pkt.dst_port <= 61631);
    if (!(port && p.length >= COAP_HEADER &&
          known(oxlo_rd_peek8(&p, COAP_VERSION_TYPE_TKL), oxlo_rd_peek8(&p, COAP_CODE)))) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_COAP, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_COAP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_coap = {
    "COAP", search_coap, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
