/* The cloud agent's TCP frames: a 4-byte magic and a 32-bit body length. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* A frame: the magic CE FA BE BA, the body length, the body. */
constexpr size_t ALI_MAGIC = 0, ALI_LENGTH = 4, ALI_HEADER = 8;


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ALICLOUD, OXLO_PROTOCOL_UNKNOWN);
}

void search_alicloud(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (p.length < ALI_HEADER) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (oxlo_rd_match_n(&p, ALI_MAGIC, "\xCE\xFA\xBE\xBA", 4, 0) &&
        (p.length == oxlo_rd_peek32(&p, ALI_LENGTH) + ALI_HEADER ||
         (p.length == ALI_HEADER && oxlo_rd_peek32(&p, ALI_LENGTH) != 0)))
        found(m, f);
    else if (v.payload_packets > 3)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ALICLOUD};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_alicloud = {
    "AliCloud", search_alicloud, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
