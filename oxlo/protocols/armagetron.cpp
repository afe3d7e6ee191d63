/* Armagetron Advanced: a message id, the length in 16-bit words and a
 * zero trailer. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* A message: its id (16 bits, the high byte zero), a zero 16-bit field,
 * the length in 16-bit words, ...; a zero trailer ends the datagram. */
constexpr size_t ARMA_ID = 0, ARMA_LENGTH_WORDS = 4, ARMA_FIXED = 8, ARMA_TRAILER_SIZE = 2;

void search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    uint16_t words = 0;
    ok = p.length >= ARMA_FIXED &&
         (oxlo_rd_match_n(&p, ARMA_ID, "\x00\x0B\x00\x00", 4, 0) || oxlo_rd_match_n(&p, ARMA_ID, "\x00\x33\x00\x00", 4, 0) ||
          oxlo_rd_match_n(&p, ARMA_ID, "\x00\x35\x00\x00", 4, 0)) &&
         oxlo_rd_u16_at(&p, ARMA_LENGTH_WORDS, &words) && 2 * size_t(words) + ARMA_FIXED == p.length &&
         oxlo_rd_match_n(&p, p.length - ARMA_TRAILER_SIZE, "\x00\x00", 2, 0);
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ARMAGETRON, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ARMAGETRON};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_armagetron = {
    "Armagetron", search, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
