/* The Service Location Protocol (UDP or TCP 427). Version 1 has a 12-byte
 * header with a 16-bit message length, version 2 a 24-bit length, flags,
 * an extension offset, a transaction id and a language tag. Service
 * replies and registrations carry URL entries: reserved byte, lifetime,
 * URL length, URL and the authentication blocks. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

constexpr uint8_t SRV_RPLY = 2, SRV_REG = 3;
/* Both versions: version, function, then the message length (16 bits in
 * version 1, 24 in version 2). Version 2 goes on with flags, the next
 * extension's offset, the transaction id and the language tag (its length
 * and the tag). */
constexpr size_t SLP_VERSION = 0, SLP_FUNCTION = 1, SLP_LENGTH = 2, SLP_V2_TAG_LENGTH = 12, SLP_V2_TAG = 14;
constexpr size_t SLP_V1_HEADER = 12, SLP_V2_HEADER = 16;
constexpr size_t max_urls = 4;

struct slp_state {
    uint8_t url_count;
    char urls[max_urls][48];
};

/* One URL entry at the cursor; false when it passes the payload. */
bool url_entry(oxlo_reader &r, slp_state *s)
{
    oxlo_rd_skip(&r, 3); /* reserved, lifetime */
    const oxlo_reader url = oxlo_rd_lp16(&r);
    const uint8_t blocks = oxlo_rd_u8(&r);
    for (uint8_t i = 0; i < blocks && !r.error; i++) {
        oxlo_rd_skip(&r, 2); /* block structure descriptor */
        const uint16_t length = oxlo_rd_be16(&r);
        oxlo_rd_skip(&r, length >= 4 ? length - 4 : 0);
    }
    if (r.error)
        return false;
    if (s->url_count < max_urls && url.length)
        oxlo_rd_text(&url, s->urls[s->url_count++], sizeof(s->urls[0]));
    return true;
}

void read_urls(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader &p, uint8_t function)
{
    slp_state *s = static_cast<slp_state *>(oxlo_dissector_state(m, f));
    uint16_t tag_length = 0;
    if (!s || !oxlo_rd_u16_at(&p, SLP_V2_TAG_LENGTH, &tag_length))
        return;
    oxlo_reader r = oxlo_rd_from(&p, SLP_V2_TAG + size_t(tag_length));
    uint16_t entries = 1;
    if (function == SRV_RPLY) {
        oxlo_rd_skip(&r, 2); /* error code */
        entries = oxlo_rd_be16(&r);
        if (!r.error && entries == 0)
            return;
    }
    bool ok = !r.error;
    for (uint16_t i = 0; ok && i < entries; i++)
        ok = url_entry(r, s);
    if (!ok || s->url_count == 0)
        oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET, "Invalid URL entries");
}

void search_slp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Over TCP messages (version 1 with a 16-bit length, version 2 with a
     * 24-bit one, both of the whole) are read whole from the stream. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint8_t v = 0;
        uint16_t n16 = 0;
        uint32_t n24 = 0;
        if (!oxlo_rd_u8_at(&r, SLP_VERSION, &v) || (v != 1 && v != 2))
            return 0;
        if (v == 1)
            return oxlo_rd_u16_at(&r, SLP_LENGTH, &n16) ? (n16 >= SLP_V1_HEADER ? int64_t(n16) : 0) : -1;
        return oxlo_rd_u24_at(&r, SLP_LENGTH, &n24) ? (n24 >= SLP_V2_HEADER && n24 <= 65536 ? int64_t(n24) : 0) : -1;
    };
    /* Enough for the longer of the two length fields. */
    if (pkt.l4 == OXLO_L4_TCP &&
        oxlo_framing::whole(m, f, pkt, SLP_LENGTH + 3, 8, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    uint8_t version = 0, function = 0;
    uint16_t length16 = 0;
    uint32_t length24 = 0;
    oxlo_rd_u8_at(&p, SLP_VERSION, &version);
    oxlo_rd_u8_at(&p, SLP_FUNCTION, &function);
    const bool v1 = version == 1 && p.length >= SLP_V1_HEADER && oxlo_rd_u16_at(&p, SLP_LENGTH, &length16) &&
                    length16 == p.length;
    const bool v2 = version == 2 && p.length >= SLP_V2_HEADER && oxlo_rd_u24_at(&p, SLP_LENGTH, &length24) &&
                    length24 == p.length;
    if (!(v1 && function >= 1 && function <= 10) && !(v2 && function >= 1 && function <= 11)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SERVICE_LOCATION_PROTOCOL, OXLO_PROTOCOL_UNKNOWN);
    if (v2 && (function == SRV_RPLY || function == SRV_REG))
        read_urls(m, f, p, function);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SERVICE_LOCATION_PROTOCOL};

} // namespace

extern "C" {

const char *oxlo_flow_slp_url(const oxlo_flow_state *flow, unsigned index)
{
    const void *st = flow ? oxlo_flow_slot_state(flow, OXLO_DISSECTOR_slp) : nullptr;
    const slp_state *s = static_cast<const slp_state *>(st);
    return s && index < s->url_count ? s->urls[index] : nullptr;
}

extern const oxlo_dissector_def oxlo_dissector_def_slp = {
    "Service_Location_Protocol", search_slp,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, sizeof(slp_state), nullptr, nullptr,
};

} // extern "C"
