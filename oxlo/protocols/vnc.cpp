/* VNC (RFB): both sides open with a 12-byte version line "RFB 003.008\n". */
#include "oxlo_dissector.h"
#include "oxlo_risks.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

#include <cctype>
#include <initializer_list>

namespace {

constexpr size_t VERSION_LINE = 12;

struct vnc_state {
    uint8_t banner_side; /* 0 none, else the side's direction + 1 */
};

bool version_line(const oxlo_reader &p)
{
    if (p.length != VERSION_LINE || !oxlo_rd_match(&p, 0, "RFB ", 0) || oxlo_rd_peek8(&p, 7) != '.' || oxlo_rd_peek8(&p, 11) != '\n')
        return false;
    for (size_t i : {4, 5, 6, 8, 9, 10})
        if (!isdigit(oxlo_rd_peek8(&p, i)))
            return false;
    return true;
}

void search_vnc(oxlo_module *m, oxlo_flow_state *f)
{
    vnc_state *s = static_cast<vnc_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    /* A version line cut short waits for its rest. */
    if (s && oxlo_framing::wait_magic(m, f, pkt, "RFB ", 4, VERSION_LINE))
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
