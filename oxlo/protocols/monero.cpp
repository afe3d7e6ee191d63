/* Monero's peer protocol (Levin): every message opens with its 8-byte
 * signature. Peers found are remembered for the mining dissector. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/p2p_private.h"
#include "protocols/framing.h"

namespace {

constexpr char SIGNATURE[] = "\x01\x21\x01\x01\x01\x01\x01\x01";
constexpr size_t SIGNATURE_SIZE = 8;

void search_monero(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    /* A signature cut short waits for its rest while its bytes so far fit. */
    if (p.length && p.length < SIGNATURE_SIZE && oxlo_rd_match_n(&p, 0, SIGNATURE, p.length, 0) &&
        oxlo_framing::wait_for(m, f, pkt, SIGNATURE_SIZE))
        return;
    if (p.length >= SIGNATURE_SIZE && oxlo_rd_match_n(&p, 0, SIGNATURE, SIGNATURE_SIZE, 0)) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MONERO, OXLO_PROTOCOL_UNKNOWN);
        mining_cache_add(m, f, OXLO_PROTOCOL_MONERO);
    } else {
        OXLO_EXCLUDE(m, f);
    }
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MONERO};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_monero = {
    "Monero", search_monero, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
