/* WhatsApp's chat connection over TCP. The client opens either with
 * "WA" 01 05 or with an 8-byte prologue ("ED" 00 01, then 00 00 04 08 or
 * 00 00 02 08), which may arrive split over the first packets. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

struct whatsapp_state {
    uint8_t matched; /* bytes of the prologue seen so far */
};

constexpr uint16_t PACKETS = 3;
constexpr size_t PROLOGUE = 8;
/* The two prologues differ in byte 6 alone, so the bytes after it are the
 * same whichever one the flow follows and the matched length is enough to
 * go on. */
const char prologue_v4[PROLOGUE] = {0x45, 0x44, 0x00, 0x01, 0x00, 0x00, 0x04, 0x08};
const char prologue_v2[PROLOGUE] = {0x45, 0x44, 0x00, 0x01, 0x00, 0x00, 0x02, 0x08};

bool continues(const oxlo_reader &p, size_t matched, size_t n)
{
    const oxlo_reader part = oxlo_rd_upto(&p, n);
    return oxlo_rd_match_n(&part, 0, prologue_v4 + matched, n, 0) ||
           oxlo_rd_match_n(&part, 0, prologue_v2 + matched, n, 0);
}

void search_whatsapp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    whatsapp_state *s = static_cast<whatsapp_state *>(oxlo_dissector_state(m, f));
    if (!s || pkt.payload_packets > PACKETS) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.payload_packets == 1 && p.length > 4 && oxlo_rd_match_n(&p, 0, "WA\x01\x05", 4, 0)) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_WHATSAPP, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    const size_t want = PROLOGUE - s->matched;
    const size_t n = p.length < want ? p.length : want;
    if (n == 0 || !continues(p, s->matched, n)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    s->matched = uint8_t(s->matched + n);
    if (s->matched == PROLOGUE)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_WHATSAPP, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_WHATSAPP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_whatsapp = {
    "WhatsApp", search_whatsapp,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, sizeof(whatsapp_state), nullptr, nullptr,
};
} // extern "C"
