/* WhatsApp's chat connection over TCP. The client opens either with
 * "WA" 01 05 or with an 8-byte prologue ("ED" 00 01, then 00 00 04 08 or
 * 00 00 02 08), which may arrive split over the first packets. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

constexpr uint16_t PACKETS = 3;
constexpr size_t PROLOGUE = 8;
/* The other opening: "WA" 01 05 and more bytes. */
constexpr char WA[] = "WA\x01\x05";
constexpr size_t WA_HEADER = 4;
/* The two prologues differ in byte 6 alone. */
const char prologue_v4[PROLOGUE] = {0x45, 0x44, 0x00, 0x01, 0x00, 0x00, 0x04, 0x08};
const char prologue_v2[PROLOGUE] = {0x45, 0x44, 0x00, 0x01, 0x00, 0x00, 0x02, 0x08};

bool continues(const oxlo_reader &p, size_t matched, size_t n)
{
    const oxlo_reader part = oxlo_rd_upto(&p, n);
    return oxlo_rd_match_n(&part, 0, prologue_v4 + matched, n, 0) ||
           oxlo_rd_match_n(&part, 0, prologue_v2 + matched, n, 0);
}

/* The opening is read from the client's stream: cut short, it waits for
 * its rest while its bytes so far fit either form. */
void search_whatsapp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (pkt.payload_packets > PACKETS) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (!pkt.from_client || !p.length)
        return; /* the opening is the client's */
    const size_t wa = p.length < WA_HEADER ? p.length : WA_HEADER;
    const size_t prologue = p.length < PROLOGUE ? p.length : PROLOGUE;
    if ((p.length > WA_HEADER && oxlo_rd_match_n(&p, 0, WA, WA_HEADER, 0)) ||
        (p.length >= PROLOGUE && continues(p, 0, PROLOGUE))) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_WHATSAPP, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    const bool wa_start = p.length <= WA_HEADER && oxlo_rd_match_n(&p, 0, WA, wa, 0);
    const bool prologue_start = p.length < PROLOGUE && continues(p, 0, prologue);
    if ((wa_start || prologue_start) &&
        oxlo_framing::wait_for(m, f, pkt, wa_start && !prologue_start ? WA_HEADER + 1 : PROLOGUE))
        return;
    OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_WHATSAPP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_whatsapp = {
    "WhatsApp", search_whatsapp,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
