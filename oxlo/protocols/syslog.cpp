/* Syslog over UDP or TCP: "<PRI>" (up to three digits) and then either a
 * version number (RFC 5424) or a time stamp or tag (RFC 3164), whose first
 * word ends in one of a few separators. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

bool alnum(uint8_t c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }

void search_syslog(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_reader r = oxlo_dissector_packet(m, f).payload;
    uint64_t priority = 0;
    if (r.length <= 20 || oxlo_rd_u8(&r) != '<' || !oxlo_rd_number(&r, 3, &priority) || oxlo_rd_u8(&r) != '>' ) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    uint8_t c = 0;
    if (oxlo_rd_u8_at(&r, r.pos, &c) && c == ' ')
        r.pos++;
    while (oxlo_rd_u8_at(&r, r.pos, &c) && alnum(c))
        r.pos++;
    uint8_t after = 0;
    const bool have = oxlo_rd_u8_at(&r, r.pos, &c);
    if (!have || (c != ' ' && c != '-' && c != ':' && c != '=' && c != '[') ||
        (c == ':' && (!oxlo_rd_u8_at(&r, r.pos + 1, &after) || after != ' '))) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SYSLOG, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SYSLOG};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_syslog = {
    "Syslog", search_syslog, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_syslog starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_syslog = 21;
} // extern "C"
