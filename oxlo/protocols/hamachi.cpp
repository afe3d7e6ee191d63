/* Hamachi: over TCP a length-prefixed message with a fixed marker; over UDP
 * each side repeats its (session, sequence) pair. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

struct hamachi_state {
    uint32_t session[2];
    uint16_t sequence[2];
    uint8_t known[2];
};

void search_hamachi(oxlo_module *m, oxlo_flow_state *f)
{
    hamachi_state *s = static_cast<hamachi_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.l4 == OXLO_L4_TCP) {
        uint32_t length = 0;
        if (p.length > 300 && oxlo_rd_u32_at(&p, 0, &length) && uint64_t(length) + 4 == p.length &&
            oxlo_rd_match_n(&p, 12, "\x7B\x7A\x0D\xAD", 4, 0))
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_HAMACHI, OXLO_PROTOCOL_UNKNOWN);
        else
            OXLO_EXCLUDE(m, f);
        return;
    }
    const uint8_t zeros[8] = {0};
    if (pkt.payload_packets <= 2 && p.length == 76 && oxlo_rd_match_n(&p, 0, reinterpret_cast<const char *>(zeros), 8, 0) &&
        oxlo_rd_match_n(&p, 68, reinterpret_cast<const char *>(zeros), 8, 0))
        return;
    uint32_t session = 0, word = 0;
    uint16_t sequence = 0;
    if (p.length <= 45 || !oxlo_rd_u32_at(&p, 4, &word) || word < 1 || word > 65535 || !oxlo_rd_u32_at(&p, 0, &session) ||
        session < 1 || session == 0xFFFFFFFF || !oxlo_rd_u16_at(&p, 8, &sequence)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const int d = pkt.direction, o = 1 - d;
    if (!s->known[d]) {
        if (s->known[o] && (s->session[o] == session || s->sequence[o] == sequence)) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        s->session[d] = session;
        s->sequence[d] = sequence;
        s->known[d] = 1;
        return;
    }
    if (s->session[d] == session && s->sequence[d] == sequence && s->known[o])
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_HAMACHI, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_HAMACHI};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_hamachi = {
    "Hamachi", search_hamachi, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP,
    protocols, 1, sizeof(hamachi_state), nullptr, nullptr,
};
} // extern "C"
