/* IAX2 on port 4569: the first full frames of a call or registration (no
 * sequence numbers used yet) are control frames (type 6) with a small
 * subclass, followed by information elements (type, length, value) that
 * fill the datagram exactly. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

constexpr uint16_t IAX_PORT = 4569;
constexpr size_t HEADER = 12;
/* A full frame: the F bit and source call number, the R bit and
 * destination call number, timestamp, out and in sequence numbers, the
 * frame type (6, IAX control) and the subclass. Information elements
 * follow: an id, a length, the data. */
constexpr size_t IAX_SOURCE_CALL = 0, IAX_OUT_SEQUENCE = 8, IAX_IN_SEQUENCE = 9, IAX_FRAME_TYPE = 10,
                 IAX_SUBCLASS = 11, IE_LENGTH = 1, IE_HEADER = 2;
constexpr uint8_t IAX_FRAME_CONTROL = 6, IAX_SUBCLASS_LAST = 15;
constexpr int MAX_ELEMENTS = 14;

/* 1 when the elements after the header end exactly at the payload's end. */
bool elements_fill(const oxlo_reader &p)
{
    size_t at = HEADER;
    for (int n = 0; n < MAX_ELEMENTS && at < p.length; n++) {
        uint8_t length = 0;
        if (!oxlo_rd_u8_at(&p, at + IE_LENGTH, &length))
            return false;
        at += IE_HEADER + size_t(length);
    }
    return at == p.length;
}

void search_iax(oxlo_module *m, oxlo_flow_state *f)
{
    if (oxlo_flow_app_protocol(f))
        return;
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    const bool header = (pkt.src_port == IAX_PORT || pkt.dst_port == IAX_PORT) && p.length >= HEADER &&
                        (oxlo_rd_peek8(&p, IAX_SOURCE_CALL) & 0x80) && oxlo_rd_peek8(&p, IAX_OUT_SEQUENCE) == 0 &&
                        oxlo_rd_peek8(&p, IAX_IN_SEQUENCE) < 2 && oxlo_rd_peek8(&p, IAX_FRAME_TYPE) == IAX_FRAME_CONTROL &&
                        oxlo_rd_peek8(&p, IAX_SUBCLASS) <= IAX_SUBCLASS_LAST;
    if (header && (p.length == HEADER || elements_fill(p)))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_IAX, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_IAX};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_iax = {
    "IAX", search_iax, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search_iax starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_iax = HEADER;
} // extern "C"
