/* Xiaomi's push protocol over TCP: a 12-byte header C2 FE 00 05, a length
 * covering the rest and 00 02 00 16; on the push port 5222 the fields from
 * offset 16 name the client's user agent and the host it talks to. */
#include "oxlo_api.h"
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* The header: magic C2 FE 00 05, the length of what follows the 12-byte
 * header, then 00 02 00 16; the tag-value fields start at 16. */
constexpr size_t XM_MAGIC = 0, XM_LENGTH = 4, XM_KIND = 8, XM_HEADER = 12, XM_FIELDS = 16;
constexpr uint16_t XM_PUSH_PORT = 5222;

/* Tag-value fields from offset 16: tags 0x08 and 0x28 take one value byte,
 * the others a length byte and that many bytes; the walk stops at the
 * first field that does not fit the payload. */
void read_fields(oxlo_flow_state *f, const oxlo_reader &p)
{
    size_t off = XM_FIELDS;
    while (off < p.length) {
        uint8_t tag = 0, length = 0;
        oxlo_rd_u8_at(&p, off, &tag);
        if (tag == 0x08 || tag == 0x28) {
            off += 2;
            continue;
        }
        if (!oxlo_rd_u8_at(&p, off + 1, &length) || !oxlo_rd_has(&p, off + 2, length))
            return;
        const char *value = reinterpret_cast<const char *>(oxlo_rd_bytes_at(&p, off + 2, length));
        if (tag == 0x12 && length) {
            oxlo_flow_store_user_agent(f, value, length);
        } else if (tag == 0x3A && length) {
            const oxlo_reader v = oxlo_rd_sub_at(&p, off + 2, length);
            const ptrdiff_t colon = oxlo_rd_find_byte(&v, 0, ':');
            oxlo_flow_store_host_name(f, value, colon < 0 ? length : size_t(colon), 7);
        }
        off += 2 + size_t(length);
    }
}

void search_xiaomi(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Messages (C2 FE 00 05, a length of what follows the 12-byte header)
     * are read whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint32_t n = 0;
        if (!oxlo_rd_match_n(&r, XM_MAGIC, "\xC2\xFE\x00\x05", r.length < 4 ? r.length : 4, 0))
            return 0;
        if (!oxlo_rd_u32_at(&r, XM_LENGTH, &n) || r.length < XM_HEADER)
            return -1;
        return n <= 65536 ? int64_t(n) + XM_HEADER : 0;
    };
    if (oxlo_framing::whole(m, f, pkt, XM_HEADER, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    uint32_t length = 0;
    if (p.length < XM_HEADER || !oxlo_rd_match_n(&p, XM_MAGIC, "\xC2\xFE\x00\x05", 4, 0) ||
        !oxlo_rd_u32_at(&p, XM_LENGTH, &length) || uint64_t(length) + XM_HEADER != p.length ||
        !oxlo_rd_match_n(&p, XM_KIND, "\x00\x02\x00\x16", 4, 0)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if ((pkt.from_client ? pkt.dst_port : pkt.src_port) == XM_PUSH_PORT)
        read_fields(f, p);
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_XIAOMI, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_XIAOMI};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_xiaomi = {
    "Xiaomi", search_xiaomi, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
