/* PROFINET IO context management rides on connectionless DCE/RPC: a flow
 * already named DCERPC whose interface UUID is the PROFINET device one
 * (DEA00000-6C97-11D1), read in the byte order of the data representation. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_api.h"

namespace {

constexpr uint16_t WAIT_FOR_DCERPC = 4;
/* The connectionless DCE/RPC header: its data representation, then the
 * object UUID (its first three fields in the sender's byte order). */
constexpr size_t DCERPC_DREP = 4, DCERPC_OBJECT_DATA1 = 8, DCERPC_OBJECT_DATA2 = 12, DCERPC_OBJECT_DATA3 = 14,
                 DCERPC_HEADER_MIN = 44;
/* The object UUID of a PROFINET IO device, DEA00000-6C97-11D1-... */
constexpr uint32_t PNIO_UUID_DATA1 = 0xDEA00000u;
constexpr uint16_t PNIO_UUID_DATA2 = 0x6C97, PNIO_UUID_DATA3 = 0x11D1;

void search_profinet_io(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    uint8_t drep = 0;
    if (oxlo_flow_app_protocol(f) != OXLO_PROTOCOL_DCERPC) {
        /* On its own ports this dissector is tried before DCE/RPC has named
         * the flow: wait for it a few packets instead of giving up. */
        if (pkt.payload_packets > WAIT_FOR_DCERPC)
            OXLO_EXCLUDE(m, f);
        return;
    }
    if (p.length < DCERPC_HEADER_MIN || !oxlo_rd_u8_at(&p, DCERPC_DREP, &drep)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    uint32_t d1 = 0;
    uint16_t d2 = 0, d3 = 0;
    if (drep > 15) {
        oxlo_rd_le32_at(&p, DCERPC_OBJECT_DATA1, &d1);
        oxlo_rd_le16_at(&p, DCERPC_OBJECT_DATA2, &d2);
        oxlo_rd_le16_at(&p, DCERPC_OBJECT_DATA3, &d3);
    } else {
        oxlo_rd_u32_at(&p, DCERPC_OBJECT_DATA1, &d1);
        oxlo_rd_u16_at(&p, DCERPC_OBJECT_DATA2, &d2);
        oxlo_rd_u16_at(&p, DCERPC_OBJECT_DATA3, &d3);
    }
    if (d1 == PNIO_UUID_DATA1 && d2 == PNIO_UUID_DATA2 && d3 == PNIO_UUID_DATA3)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_PROFINET_IO, OXLO_PROTOCOL_DCERPC);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_PROFINET_IO};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_profinet_io = {
    "PROFINET_IO", search_profinet_io, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
