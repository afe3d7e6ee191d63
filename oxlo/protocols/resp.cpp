/* RESP, the key-value store protocol: requests are arrays ('*'), bulk
 * strings ('$') or sets ('~') led by a short decimal count. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The bytes, ten or fewer, may start a request: the type, up to three
 * digits, then CR LF, as far as they go. */
bool request_start(const oxlo_reader &p)
{
    uint8_t first = 0;
    if (p.length > 9 || !oxlo_rd_u8_at(&p, 0, &first) || (first != '$' && first != '*' && first != '~'))
        return false;
    size_t i = 1;
    while (i < 4 && i < p.length && oxlo_rd_peek8(&p, i) >= '0' && oxlo_rd_peek8(&p, i) <= '9')
        i++;
    if (i == p.length)
        return true;
    return i > 1 && oxlo_rd_match_n(&p, i, "\r\n", p.length - i < 2 ? p.length - i : 2, 0);
}

void search_resp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    /* The length asked of a request is that of what the client wrote,
     * however it cut the write: a start of one waits for more. */
    if (request_start(p) && pkt.l4 == OXLO_L4_TCP && oxlo_dissector_need(m, f, 10) == 0)
        return;
    uint8_t first = 0;
    bool ok = p.length > 9 && oxlo_rd_u8_at(&p, 0, &first) && (first == '$' || first == '*' || first == '~');
    if (ok) {
        size_t i = 1;
        while (i < 4 && i < p.length && oxlo_rd_peek8(&p, i) >= '0' && oxlo_rd_peek8(&p, i) <= '9')
            i++;
        ok = i > 1 && oxlo_rd_match(&p, i, "\r\n", 0);
    }
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RESP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RESP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_resp = {
    "RESP", search_resp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
