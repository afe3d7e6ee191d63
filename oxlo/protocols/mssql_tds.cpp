/* Microsoft SQL Server's TDS: an 8-byte header (type, status, length,
 * channel, packet id, window) before every packet. The first packet is
 * read whole from the stream. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

constexpr size_t TDS_TYPE = 0, TDS_STATUS = 1, TDS_LENGTH = 2, TDS_PACKET_ID = 6, TDS_WINDOW = 7, HEADER = 8;
/* TPKT (ISO transport over TCP) shares the look of a TDS header. */
constexpr uint16_t TPKT_PORT = 102;

bool known_type(uint8_t type, bool id_known, uint8_t id)
{
    return (type >= 1 && type <= 8 && (!id_known || id != 0)) || (type >= 14 && type <= 18);
}
bool known_status(uint8_t status)
{
    return status == 0 || status == 1 || status == 2 || status == 4 || status == 8 || status == 9 || status == 16;
}

/* The header bytes at hand fit a TDS packet of some size: asks for the
 * rest of it (the header first when it is cut). */
bool wait_for_packet(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt)
{
    const oxlo_reader &p = pkt.payload;
    uint8_t type = 0, status = 0, id = 0, window = 0;
    uint16_t length = 0;
    if (!oxlo_rd_u8_at(&p, TDS_TYPE, &type))
        return false;
    const bool id_known = oxlo_rd_u8_at(&p, TDS_PACKET_ID, &id);
    if (!known_type(type, id_known, id) || (oxlo_rd_u8_at(&p, TDS_STATUS, &status) && !known_status(status)) ||
        (oxlo_rd_u8_at(&p, TDS_WINDOW, &window) && window))
        return false;
    if (!oxlo_rd_u16_at(&p, TDS_LENGTH, &length))
        return oxlo_framing::wait_for(m, f, pkt, HEADER);
    return length >= HEADER && oxlo_framing::wait_for(m, f, pkt, p.length < HEADER ? HEADER : length);
}

void search_tds(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (pkt.dst_port != TPKT_PORT && wait_for_packet(m, f, pkt))
        return;
    uint8_t type = 0, status = 0xFF, id = 0, window = 1;
    uint16_t length = 0;
    bool ok = p.length >= HEADER && pkt.dst_port != TPKT_PORT && oxlo_rd_u8_at(&p, TDS_TYPE, &type) &&
              oxlo_rd_u8_at(&p, TDS_STATUS, &status) && oxlo_rd_u16_at(&p, TDS_LENGTH, &length) && oxlo_rd_u8_at(&p, TDS_PACKET_ID, &id) &&
              oxlo_rd_u8_at(&p, TDS_WINDOW, &window);
    ok = ok && known_type(type, true, id) && known_status(status);
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
