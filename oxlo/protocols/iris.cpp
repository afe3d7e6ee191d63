/* IRIS's native protocol on port 1972: a little-endian length (the 14-byte
 * header excluded) and a two-letter message code at offset 12. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

const char codes[] = "P2Y9CATAEBGBPBSBCCDCFCPCRCSCTCUCVCDDFDMDPD2EOE2FAFCFSFCGGGPGCHCIEIGIIITIEKIKPKILSLSMANCNFNRNSN"
                     "COCPGPPPSPTPDQPQSQBRCRFRMRPRSRTRCSDSGSHSJSMSOSSSTSATITTTUTCUDUPURUSUCVDXEXFXSXSYSZ";

bool known_code(const uint8_t *c)
{
    for (size_t i = 0; i + 1 < sizeof(codes); i += 2)
        if (codes[i] == char(c[0]) && codes[i + 1] == char(c[1]))
            return true;
    return false;
}

void search_iris(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Messages (a 32-bit length of what follows the 14-byte header) are read
     * whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint32_t n = 0;
        if (!oxlo_rd_le32_at(&r, 0, &n) || r.length < 14)
            return -1;
        return n <= 1048576 ? int64_t(n) + 14 : 0;
    };
    if ((pkt.src_port == 1972 || pkt.dst_port == 1972) &&
        oxlo_framing::whole(m, f, pkt, 14, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    uint32_t length = 0;
    uint16_t client_port = 0, server_port = 0;
    uint8_t client[16], server[16];
    oxlo_flow_endpoints(f, client, &client_port, server, &server_port);
    client_port = uint16_t(client_port >> 8 | client_port << 8);
    server_port = uint16_t(server_port >> 8 | server_port << 8);
    const uint8_t *code = oxlo_rd_bytes_at(&p, 12, 2);
    const bool framed = (client_port == 1972 || server_port == 1972) && p.length > 14 &&
                        oxlo_rd_le32_at(&p, 0, &length) && uint64_t(length) + 14 == p.length;
    if (framed && (client_port == 1972 || (code && known_code(code))))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_IRIS, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_IRIS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_iris = {
    "iris", search_iris, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
