/* TeamViewer: its TCP messages start 17 24 (or 11 30 later on), its UDP
 * ones carry 17 24 at offset 11; several in a row, or one on its own port
 * 5938, classify. */
#include "oxlo_dissector.h"
#include "oxlo_risks.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"

namespace {

struct teamviewer_state {
    uint8_t count;
};

void search_teamviewer(oxlo_module *m, oxlo_flow_state *f)
{
    teamviewer_state *s = static_cast<teamviewer_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const bool own_port = pkt.src_port == 5938 || pkt.dst_port == 5938;
    bool counts;
    if (pkt.l4 == OXLO_L4_TCP) {
        counts = oxlo_rd_match_n(&p, 0, "\x17\x24", 2, 0) || (s->count > 0 && oxlo_rd_match_n(&p, 0, "\x11\x30", 2, 0));
        if (!counts && s->count > 0)
            return;
    } else {
        uint8_t b0 = 1;
        counts = p.length > 13 && oxlo_rd_u8_at(&p, 0, &b0) && b0 == 0 && oxlo_rd_match_n(&p, 11, "\x17\x24", 2, 0);
    }
    if (!counts) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    s->count++;
    if (s->count >= 4 || own_port) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TEAMVIEWER, OXLO_PROTOCOL_UNKNOWN);
        if (pkt.l4 == OXLO_L4_UDP)
            oxlo_dissector_risk(m, f, OXLO_DESKTOP_OR_FILE_SHARING_SESSION, "Found TeamViewer");
    }
}

const uint16_t protocols[] = {OXLO_PROTOCOL_TEAMVIEWER};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_teamviewer = {
    "TeamViewer", search_teamviewer, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP,
    protocols, 1, sizeof(teamviewer_state), nullptr, nullptr,
};
} // extern "C"
