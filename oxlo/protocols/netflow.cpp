/* NetFlow (versions 1, 5, 7, 9) and IPFIX export datagrams: a version, a
 * record count (IPFIX: the message length) and the exporter's clock. The
 * fixed-size versions must hold exactly their records; the export time must
 * lie between the end of 1999 and the packet's own time. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* Versions 1 to 9: version, record count, system uptime, then the export
 * time in seconds. IPFIX (10): version, message length, export time. */
constexpr size_t NF_VERSION = 0, NF_COUNT = 2, NF_UNIX_SECS = 8, IPFIX_LENGTH = 2, IPFIX_EXPORT_TIME = 4;
constexpr size_t NF_V1_HEADER = 16, NF_HEADER = 24, NF_V7_RECORD = 52, NF_RECORD = 48;
constexpr uint16_t IPFIX_VERSION = 10;
/* 1999-12-31 23:59:59: export times before it are taken for uptimes. */
constexpr uint32_t EXPORT_TIME_MIN = 946684799u;

void search_netflow(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint16_t version = 0, count = 0;
    uint32_t when = 0;
    static_assert(NF_COUNT == IPFIX_LENGTH, "one field read for both");
    if (p.length < NF_HEADER || !oxlo_rd_u16_at(&p, NF_VERSION, &version) || !oxlo_rd_u16_at(&p, NF_COUNT, &count)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    bool ok = false;
    switch (version) {
    case 1:
    case 5:
    case 7:
    case 9: {
        const size_t record = version == 7 ? NF_V7_RECORD : NF_RECORD, header = version == 1 ? NF_V1_HEADER : NF_HEADER;
        ok = count >= 1 && count <= 30 && (version == 9 || p.length == header + record * count);
        oxlo_rd_u32_at(&p, NF_UNIX_SECS, &when);
        if (ok && version == 1 && when == 0) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NETFLOW, OXLO_PROTOCOL_UNKNOWN);
            return;
        }
        break;
    }
    case IPFIX_VERSION:
        ok = count == p.length;
        oxlo_rd_u32_at(&p, IPFIX_EXPORT_TIME, &when);
        break;
    default: break;
    }
    if (!ok) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (when > EXPORT_TIME_MIN && uint64_t(when) <= pkt.time_ms / 1000)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NETFLOW, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_NETFLOW};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_netflow = {
    "NetFlow", search_netflow, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_netflow starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_netflow = NF_HEADER;
} // extern "C"
