/* IRIS's native protocol on port 1972: a little-endian length (the 14-byte
 * header excluded) and a two-letter message code at offset 12. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* The header: the length of what follows the 14-byte header (little-endian),
 * ..., the two-letter message code at 12. */
constexpr size_t IRIS_LENGTH = 0, IRIS_CODE = 12, IRIS_HEADER = 14;
constexpr uint16_t IRIS_PORT = 1972;

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
        if (!oxlo_rd_le32_at(&r, IRIS_LENGTH, &n) || r.length < IRIS_HEADER)
            return -1;
        return n <= 1048576 ? int64_t(n) + IRIS_HEADER : 0;
    };
    if ((pkt.src_port == IRIS_PORT || pkt.dst_port == IRIS_PORT) &&
        oxlo_framing::whole(m, f, pkt, IRIS_HEADER, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    uint32_t length = 0;
    uint16_t client_port = 0, server_port = 0;
    uint8_t client[16], server[16];
    oxlo_flow_endpoints(f, client, &client_port, server, &server_port);
    client_port = uint16_t(client_port >> 8 | client_port << 8);
    server_port = uint16_t(server_port >> 8 | server_port << 8);
    const uint8_t *code = oxlo_rd_bytes_at(&p, IRIS_CODE, 2);
    const bool framed = (client_port == IRIS_PORT || server_port == IRIS_PORT) && p.length > IRIS_HEADER &&
                        oxlo_rd_le32_at(&p, IRIS_LENGTH, &length) && uint64_t(length) + IRIS_HEADER == p.length;
    if (framed && (client_port == IRIS_PORT || (code && known_code(code))))
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
