/* Microsoft SQL Server's TDS: an 8-byte header (type, status, length,
 * channel, packet id, window) before every packet. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_kit.h"

namespace {

void search_tds(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint8_t type = 0, status = 0xFF, id = 0, window = 1;
    uint16_t length = 0;
    bool ok = p.length >= 8 && pkt.dst_port != 102 && oxlo_rd_u8_at(&p, 0, &type) && oxlo_rd_u8_at(&p, 1, &status) &&
              oxlo_rd_u16_at(&p, 2, &length) && oxlo_rd_u8_at(&p, 6, &id) && oxlo_rd_u8_at(&p, 7, &window);
    ok = ok && ((type >= 1 && type <= 8 && id != 0) || (type >= 14 && type <= 18));
    ok = ok && (status == 0 || status == 1 || status == 2 || status == 4 || status == 8 || status == 9 || status == 16);
    ok = ok && length == p.length && window == 0;
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MSSQL_TDS, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MSSQL_TDS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_mssql_tds = {
    "MsSQL_TDS", search_tds, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
