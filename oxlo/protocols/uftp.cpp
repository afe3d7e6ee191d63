/* UFTP, multicast file transfer over UDP: a version byte (0x40 or 0x50),
 * the message type, and the type repeated at offset 16 after a zero byte. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_uftp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    uint8_t version = 0, type = 0xFF, zero = 1, again = 0xFE;
    if (p.length > 23 && oxlo_rd_u8_at(&p, 0, &version) && (version == 0x40 || version == 0x50) &&
        oxlo_rd_u8_at(&p, 1, &type) && type <= 21 && oxlo_rd_u8_at(&p, 15, &zero) && zero == 0 &&
        oxlo_rd_u8_at(&p, 16, &again) && again == type)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_UFTP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_UFTP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_uftp = {
    "UFTP", search_uftp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
