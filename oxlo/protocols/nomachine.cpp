/* NoMachine (NX): a short "NXSH-"/"NXD-" banner over TCP, or its UDP frame
 * header (type 1, the datagram's length, a zero word). */
#include "oxlo_dissector.h"
#include "oxlo_risks.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"

namespace {

/* A UDP message: ..., its type (1) at 2 and its length at 4 (little-endian),
 * a zero 16-bit field at 8. */
constexpr size_t NX_TYPE = 2, NX_LENGTH = 4, NX_ZERO = 8, NX_MIN = 10;

void search_nomachine(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok;
    if (pkt.l4 == OXLO_L4_TCP) {
        ok = p.length >= 11 && p.length <= 14 && (oxlo_rd_match(&p, 0, "NXSH-", 0) || oxlo_rd_match(&p, 0, "NXD-", 0));
    } else {
        uint16_t type = 0, length = 0, zero = 1;
        ok = p.length >= NX_MIN && oxlo_rd_le16_at(&p, NX_TYPE, &type) && type == 1 &&
             oxlo_rd_le16_at(&p, NX_LENGTH, &length) && length == p.length && oxlo_rd_u16_at(&p, NX_ZERO, &zero) &&
             zero == 0;
    }
    if (ok) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NOMACHINE, OXLO_PROTOCOL_UNKNOWN);
        oxlo_dissector_risk(m, f, OXLO_DESKTOP_OR_FILE_SHARING_SESSION, "Found NoMachine");
    } else {
        OXLO_EXCLUDE(m, f);
    }
}

const uint16_t protocols[] = {OXLO_PROTOCOL_NOMACHINE};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_nomachine = {
    "NoMachine", search_nomachine, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP,
    protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search_nomachine starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_nomachine = NX_MIN;
} // extern "C"
