/* Simple Binary Encoding over a framing header: a 32-bit length, then the
 * encoding type 0xEB50 (little-endian messages) or 0x50EB (big-endian), and
 * the message header whose block length must fit. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The framing header: the message length and the encoding type (0xEB50 in
 * either byte order); the SBE message header then starts with its block
 * length. Both headers take 14 bytes. */
constexpr size_t SOFH_LENGTH = 0, SOFH_ENCODING = 4, SBE_BLOCK_LENGTH = 6, SBE_HEADERS = 14;

void search_sbe(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint32_t length = 0;
    uint16_t block = 0;
    const bool little = oxlo_rd_match_n(&p, SOFH_ENCODING, "\xEB\x50", 2, 0),
               big = oxlo_rd_match_n(&p, SOFH_ENCODING, "\x50\xEB", 2, 0);
    bool ok = p.length >= SBE_HEADERS && (little || big) && oxlo_rd_u32_at(&p, SOFH_LENGTH, &length) &&
              (pkt.l4 == OXLO_L4_UDP ? length == p.length : length >= p.length) &&
              (little ? oxlo_rd_le16_at(&p, SBE_BLOCK_LENGTH, &block) : oxlo_rd_u16_at(&p, SBE_BLOCK_LENGTH, &block)) &&
              p.length >= size_t(block) + SBE_HEADERS;
    if (!ok) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (oxlo_flow_app_protocol(f))
        oxlo_flow_refine_protocol(m, f, OXLO_PROTOCOL_SIMPLEBINARYENCODING, OXLO_CONFIDENCE_DPI);
    else
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SIMPLEBINARYENCODING, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SIMPLEBINARYENCODING};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_sbe = {
    "SimpleBinaryEncoding", search_sbe,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_sbe starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_sbe = SBE_HEADERS;
} // extern "C"
