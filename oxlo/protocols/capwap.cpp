/* CAPWAP between wireless access points and their controller: the control
 * channel on 5246 (plain, or behind a 1-byte DTLS preamble) and the data
 * channel on 5247; discovery goes to the multicast group or broadcast. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {

enum : uint16_t { CONTROL = 5246, DATA = 5247 };

/* The destination is 224.0.1.140, ff0X::18C or 255.255.255.255. */
bool to_group(const oxlo_packet_view &v, const uint8_t *to)
{
    if (!v.ipv6)
        return (to[0] == 224 && to[1] == 0 && to[2] == 1 && to[3] == 140) ||
               (to[0] & to[1] & to[2] & to[3]) == 0xFF;
    if (to[0] != 0xFF || (to[1] & 0xF0) != 0)
        return false;
    for (size_t i = 2; i < 14; i++)
        if (to[i])
            return false;
    return to[14] == 0x01 && to[15] == 0x8C;
}

bool matches(const oxlo_packet_view &v, const uint8_t *to)
{
    const oxlo_reader &p = v.payload;
    const size_t len = p.length;
    if (v.src_port == CONTROL || v.dst_port == CONTROL) {
        if (oxlo_rd_peek8(&p, 0) == 0 && len >= 15 && len == oxlo_rd_peek16(&p, 13) + 13)
            return true;
        if (oxlo_rd_peek8(&p, 0) == 1 && len >= 17 && len == oxlo_rd_peek16(&p, 15) + 17)
            return true;
        if (v.dst_port == CONTROL && to_group(v, to) && len > 15 && oxlo_rd_peek8(&p, 0) == 0 && oxlo_rd_peek8(&p, 8) == 6)
            return true;
    }
    if ((v.src_port == DATA || v.dst_port == DATA) && len >= 16 && oxlo_rd_peek8(&p, 0) == 0) {
        if (v.src_port == DATA && ((oxlo_rd_peek8(&p, 9) >> 2) & 3) == 2)
            return true;
        const uint8_t wbid = oxlo_rd_peek8(&p, 8);
        if (v.dst_port == DATA && !to_group(v, to) && (wbid == 1 || wbid == 4 || wbid == 6))
            return true;
        if (len == oxlo_rd_peek16(&p, 13) + 15)
            return true;
    }
    return false;
}

void search_capwap(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    if (matches(v, v.from_client ? f->server_address : f->client_address))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CAPWAP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CAPWAP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_capwap = {
    "CAPWAP", search_capwap, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
