/* Ubiquiti device discovery on UDP 10001: a version and command byte, a
 * 16-bit length of what follows, then records of a type byte and a 16-bit
 * length; type 3 is the firmware text. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_serializer.h"

namespace {

/* The header: version and command, then the length of the TLVs behind the
 * 4-byte header (each a type, a 16-bit length and the value). */
constexpr size_t UBNT_VERSION_COMMAND = 0, UBNT_LENGTH = 2, UBNT_HEADER = 4;
constexpr uint16_t UBNT_V1_REQUEST = 0x0100, UBNT_V2_ANNOUNCE = 0x0206, UBNT_PORT = 10001;
constexpr uint8_t UBNT_TLV_FIRMWARE = 3;

struct ubntac2_state {
    char firmware[64];
};

void search_ubntac2(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    ubntac2_state *s = static_cast<ubntac2_state *>(oxlo_dissector_state(m, f));
    const oxlo_reader &p = pkt.payload;
    uint16_t head = 0, length = 0;
    if (!s || (pkt.src_port != UBNT_PORT && pkt.dst_port != UBNT_PORT) || p.length < UBNT_HEADER ||
        !oxlo_rd_u16_at(&p, UBNT_VERSION_COMMAND, &head) || (head != UBNT_V1_REQUEST && head != UBNT_V2_ANNOUNCE) ||
        !oxlo_rd_u16_at(&p, UBNT_LENGTH, &length) || size_t(length) + UBNT_HEADER != p.length) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_reader r = oxlo_rd_from(&p, UBNT_HEADER);
    while (oxlo_rd_left(&r) >= 3) {
        const uint8_t type = oxlo_rd_u8(&r);
        const oxlo_reader value = oxlo_rd_lp16(&r);
        if (r.error)
            break;
        if (type == UBNT_TLV_FIRMWARE)
            oxlo_rd_text(&value, s->firmware, sizeof(s->firmware));
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_UBNTAC2, OXLO_PROTOCOL_UNKNOWN);
}

int ubntac2_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const void *st = oxlo_flow_slot_state(f, OXLO_DISSECTOR_ubntac2);
    int rc = oxlo_recbuf_open_block(out, "ubntac2");
    rc |= oxlo_recbuf_put_text(out, "version", st ? static_cast<const ubntac2_state *>(st)->firmware : "");
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_UBNTAC2};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_ubntac2 = {
    "UBNTAC2", search_ubntac2, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, sizeof(ubntac2_state), nullptr, ubntac2_json,
};

} // extern "C"
