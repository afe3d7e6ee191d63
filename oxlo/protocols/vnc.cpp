/* VNC (RFB): both sides open with a 12-byte version line "RFB 003.008\n". */
#include "oxlo_dissector.h"
#include "oxlo_risks.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

#include <cctype>
#include <initializer_list>

namespace {

struct vnc_state {
    uint8_t banner_side; /* 0 none, else the side's direction + 1 */
};

bool version_line(const oxlo_reader &p)
{
    if (p.length != 12 || !oxlo_rd_match(&p, 0, "RFB ", 0) || oxlo_rd_peek8(&p, 7) != '.' || oxlo_rd_peek8(&p, 11) != '\n')
        return false;
    for (size_t i : {4, 5, 6, 8, 9, 10})
        if (!isdigit(oxlo_rd_peek8(&p, i)))
            return false;
    return true;
}

/* The bytes, fewer than a version line's, may start one. */
bool version_start(const oxlo_reader &p)
{
    static const char pattern[] = "RFB 000.000\n"; /* 0: a digit */
    for (size_t i = 0; i < p.length && i < 12; i++) {
        const uint8_t c = oxlo_rd_peek8(&p, i);
        if (pattern[i] == '0' ? !isdigit(c) : c != uint8_t(pattern[i]))
            return false;
    }
    return p.length < 12;
}

void search_vnc(oxlo_module *m, oxlo_flow_state *f)
{
    vnc_state *s = static_cast<vnc_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    /* A version line is read whole however the side cut its write. */
    if (s && version_start(pkt.payload) && oxlo_framing::wait_for(m, f, pkt, 12))
        return;
    if (!s || !version_line(pkt.payload)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (!s->banner_side) {
        s->banner_side = uint8_t(pkt.direction + 1);
        return;
    }
    if (s->banner_side == pkt.direction + 1)
        return;
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_VNC, OXLO_PROTOCOL_UNKNOWN);
    oxlo_dissector_risk(m, f, OXLO_DESKTOP_OR_FILE_SHARING_SESSION, "Found VNC");
}

const uint16_t protocols[] = {OXLO_PROTOCOL_VNC};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_vnc = {
    "VNC", search_vnc, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, sizeof(vnc_state), nullptr, nullptr,
};
} // extern "C"
