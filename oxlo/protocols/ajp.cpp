/* AJP/1.3, the web-server-to-servlet-container protocol: packets start
 * with the magic 12 34 towards the container or "AB" from it, a 16-bit
 * length and a prefix code naming the message. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* A packet: the magic (12 34 towards the container, "AB" from it), the
 * length of what follows, then the prefix code. */
constexpr size_t AJP_MAGIC = 0, AJP_LENGTH = 2, AJP_PREFIX_CODE = 4, AJP_MIN = 5;
constexpr uint16_t AJP_TO_CONTAINER = 0x1234, AJP_FROM_CONTAINER = 0x4142;

bool to_container(uint8_t code) { return code == 2 || code == 7 || code == 8 || code == 10; }
bool from_container(uint8_t code) { return (code >= 3 && code <= 6) || code == 9; }

const uint8_t magic_to[2] = {0x12, 0x34}, magic_from[2] = {0x41, 0x42};

void search_ajp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    /* A header the segments cut after (a part of) its magic is read whole. */
    if (p.length < AJP_MIN &&
        ((p.length < 2 && p.length && (oxlo_rd_peek8(&p, 0) == magic_to[0] || oxlo_rd_peek8(&p, 0) == magic_from[0])) ||
         (p.length >= 2 && (oxlo_rd_match_n(&p, 0, reinterpret_cast<const char *>(magic_to), 2, 0) ||
                            oxlo_rd_match_n(&p, 0, reinterpret_cast<const char *>(magic_from), 2, 0)))) &&
        oxlo_framing::wait_for(m, f, pkt, AJP_MIN))
        return;
    uint16_t magic = 0, length = 0;
    uint8_t code = 0;
    const bool framed = p.length >= AJP_MIN && oxlo_rd_u16_at(&p, AJP_MAGIC, &magic) &&
                        oxlo_rd_u16_at(&p, AJP_LENGTH, &length) && length != 0 &&
                        oxlo_rd_u8_at(&p, AJP_PREFIX_CODE, &code);
    if (framed && ((magic == AJP_TO_CONTAINER && to_container(code)) ||
                   (magic == AJP_FROM_CONTAINER && from_container(code)))) {
        if (!oxlo_flow_app_protocol(f))
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_AJP, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_AJP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_ajp = {
    "AJP", search_ajp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
