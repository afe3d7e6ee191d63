/* UFTP, multicast file transfer over UDP: a version byte (0x40 or 0x50),
 * the message type, and the type repeated at offset 16 after a zero byte. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The header: version, message type, ..., a zero byte at 15 and the
 * message's own type repeated at 16 (the start of the message body). */
constexpr size_t UFTP_VERSION = 0, UFTP_MESSAGE_TYPE = 1, UFTP_ZERO = 15, UFTP_BODY_TYPE = 16, UFTP_MIN = 24;
constexpr uint8_t UFTP_VERSION_4 = 0x40, UFTP_VERSION_5 = 0x50, UFTP_MESSAGE_TYPE_LAST = 21;

void search_uftp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    uint8_t version = 0, type = 0xFF, zero = 1, again = 0xFE;
    if (p.length >= UFTP_MIN && oxlo_rd_u8_at(&p, UFTP_VERSION, &version) &&
        (version == UFTP_VERSION_4 || version == UFTP_VERSION_5) && oxlo_rd_u8_at(&p, UFTP_MESSAGE_TYPE, &type) &&
        type <= UFTP_MESSAGE_TYPE_LAST && oxlo_rd_u8_at(&p, UFTP_ZERO, &zero) && zero == 0 &&
        oxlo_rd_u8_at(&p, UFTP_BODY_TYPE, &again) && again == type)
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

/* Shorter first datagrams fail the length test search_uftp starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_uftp = UFTP_MIN;
} // extern "C"
