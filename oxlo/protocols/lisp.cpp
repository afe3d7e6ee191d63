/* LISP: data (4341) and control (4342) datagrams between routers on the
 * same port, and the TCP map-server sessions on 4342, whose messages end in
 * a fixed trailer. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_lisp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    bool ok = false;
    if (pkt.l4 == OXLO_L4_UDP) {
        ok = (pkt.src_port == 4341 && pkt.dst_port == 4341) || (pkt.src_port == 4342 && pkt.dst_port == 4342);
    } else if (pkt.src_port == 4342 || pkt.dst_port == 4342) {
        uint16_t length = 0;
        uint32_t trailer = 0;
        ok = p.length > 7 && oxlo_rd_u16_at(&p, 2, &length) && length >= p.length &&
             oxlo_rd_u32_at(&p, p.length - 4, &trailer) && trailer == 0x9FACADE9u;
    }
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_LISP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_LISP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_lisp = {
    "LISP", search_lisp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION, protocols, sizeof(protocols) / sizeof(protocols[0]), 0, nullptr, nullptr,
};

} // extern "C"
