/* NetFlow (versions 1, 5, 7, 9) and IPFIX export datagrams: a version, a
 * record count (IPFIX: the message length) and the exporter's clock. The
 * fixed-size versions must hold exactly their records; the export time must
 * lie between the end of 1999 and the packet's own time. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_netflow(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint16_t version = 0, count = 0;
    uint32_t when = 0;
    if (p.length <= 23 || !oxlo_rd_u16_at(&p, 0, &version) || !oxlo_rd_u16_at(&p, 2, &count)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    bool ok = false;
    switch (version) {
    case 1:
    case 5:
    case 7:
    case 9: {
        const size_t record = version == 7 ? 52 : 48, header = version == 1 ? 16 : 24;
        ok = count >= 1 && count <= 30 && (version == 9 || p.length == header + record * count);
        oxlo_rd_u32_at(&p, 8, &when);
        if (ok && version == 1 && when == 0) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NETFLOW, OXLO_PROTOCOL_UNKNOWN);
            return;
        }
        break;
    }
    case 10:
        ok = count == p.length;
        oxlo_rd_u32_at(&p, 4, &when);
        break;
    default: break;
    }
    if (!ok) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (when > 946684799u && uint64_t(when) <= pkt.time_ms / 1000)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NETFLOW, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_NETFLOW};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_netflow = {
    "NetFlow", search_netflow, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
