/* The messaging client's TCP login frame: a fixed 16-byte prefix. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_DINGTALK, OXLO_PROTOCOL_UNKNOWN);
}

void search_dingtalk(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (p.length > 90 && oxlo_rd_peek8(&p, 0) == 0x10 &&
        oxlo_rd_match_n(&p, 2, "\x87\x80\x01\x00\x01\x00\x02\x00\x02\x64\x6B\x03\x00\x20", 14, 0))
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_DINGTALK};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_dingtalk = {
    "DingTalk", search_dingtalk, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
