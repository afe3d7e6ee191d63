/* Radmin: fixed-size messages of its handshake with fixed bytes. */
#include "oxlo_dissector.h"
#include "oxlo_risks.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"

namespace {

struct radmin_state {
    uint8_t mark;
};

void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RADMIN, OXLO_PROTOCOL_UNKNOWN);
    oxlo_dissector_risk(m, f, OXLO_DESKTOP_OR_FILE_SHARING_SESSION, "Found Radmin");
}

void search_radmin(oxlo_module *m, oxlo_flow_state *f)
{
    radmin_state *s = static_cast<radmin_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.from_client && p.length == 10 && oxlo_rd_match_n(&p, 0, "\x01\x00\x00\x00\x01", 5, 0) &&
        oxlo_rd_match_n(&p, 8, "\x08\x08", 2, 0)) {
        s->mark = 1;
        return;
    }
    if (!pkt.from_client && p.length == 46 && s->mark && oxlo_rd_match_n(&p, 0, "\x01\x00\x00\x00\x25", 5, 0) &&
        oxlo_rd_match_n(&p, 7, "\x02\x12\x08\x02", 4, 0) && oxlo_rd_match_n(&p, 13, "\x0A", 1, 0)) {
        found(m, f);
        return;
    }
    if (p.length == 14 && oxlo_rd_match_n(&p, 0, "\x01\x00\x00\x00\x05", 5, 0) && oxlo_rd_match_n(&p, 8, "\x27\x27", 2, 0)) {
        if (s->mark)
            found(m, f);
        else
            s->mark = 1;
        return;
    }
    OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RADMIN};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_radmin = {
    "Radmin", search_radmin, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, sizeof(radmin_state), nullptr, nullptr,
};
} // extern "C"
