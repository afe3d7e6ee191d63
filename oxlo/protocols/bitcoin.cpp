/* The coin's peer protocol on 8333: messages open with the network's magic
 * (main, its older test networks, signet, regtest-like variants). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_BITCOIN, OXLO_PROTOCOL_UNKNOWN);
}

void search_bitcoin(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    static const char *const magics[] = {"\xF9\xBE\xB4\xD9", "\xF9\xBE\xB4\xFE", "\xFA\xBF\xB5\xDA",
                                         "\x0A\x03\xCF\x40", "\x0B\x11\x09\x07"};
    bool known = false;
    if (p.length > 3 && (v.src_port == 8333 || v.dst_port == 8333))
        for (const char *magic : magics)
            known = known || oxlo_rd_match_n(&p, 0, magic, 4, 0);
    if (known)
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_BITCOIN};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_bitcoin = {
    "Bitcoin", search_bitcoin, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
