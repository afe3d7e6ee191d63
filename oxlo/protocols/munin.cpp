/* Munin: the node greets with "# munin node at HOSTNAME\n". */
#include "oxlo_dissector.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* Longest greeting line waited for. */
constexpr size_t LINE_MAX = 512;

void search_munin(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    static const char greeting[] = "# munin node at ";
    /* The greeting line is read whole however the node cut its write: a
     * start of it waits for the LF that ends the host name. */
    const size_t have = pkt.payload.length < 16 ? pkt.payload.length : 16;
    oxlo_reader lines;
    if (oxlo_framing::lines(m, f, pkt, LINE_MAX, oxlo_rd_match_n(&pkt.payload, 0, greeting, have, 0) != 0, &lines))
        return;
    /* The greeting is its first line (what the node wrote behind it is
     * no part of the host name). */
    size_t at = 0;
    oxlo_reader p = lines;
    oxlo_framing::next_line(lines, &at, &p);
    if (p.length < 16 || !oxlo_rd_match(&p, 0, greeting, 0)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MUNIN, OXLO_PROTOCOL_UNKNOWN);
    uint8_t last = 0;
    if (oxlo_rd_u8_at(&p, p.length - 1, &last) && last == '\n' && p.length != 17) {
        const oxlo_reader host = oxlo_rd_sub_at(&p, 16, p.length - 17);
        oxlo_flow_store_host_name(f, reinterpret_cast<const char *>(host.data), host.length,
                                  OXLO_HOST_LOWER | OXLO_HOST_PRINTABLE | OXLO_HOST_STRIP_SPACES);
    } else {
        oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET, "Missing Munin Hostname");
    }
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MUNIN};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_munin = {
    "Munin", search_munin, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION, protocols, sizeof(protocols) / sizeof(protocols[0]), 0, nullptr, nullptr,
};

} // extern "C"
