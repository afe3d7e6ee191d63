/* H.323: call signalling over TCP in TPKT frames, either a Q.931 message
 * (discriminator 8) or an H.245 message carrying the H.225 object
 * identifier 00 08 81 75; and RAS on UDP port 1719, whose messages carry
 * the identifier 00 08 91 4A. A TPKT cut by the segments is read whole
 * from the stream. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_utils.h"
#include "protocols/framing.h"

namespace {


/* After the 4-byte TPKT header: a Q.931 message (protocol discriminator 8,
 * the call reference's length byte) or an H.245 message whose object
 * identifier tag comes at 7 and the identifier at 8. RAS over UDP: the
 * identifier's tag at 4 and the identifier at 5. */
constexpr size_t Q931_DISCRIMINATOR = 4, Q931_CALL_REFERENCE = 5, H245_OID_TAG = 7, H245_OID = 8, RAS_OID_TAG = 4,
                 RAS_OID = 5, H323_MIN = 21;
constexpr uint8_t Q931_PROTOCOL = 8, OID_TAG = 6;
constexpr uint16_t RAS_PORT = 1719;

/* p: the view's first TPKT. */
bool call_signalling(const oxlo_reader &p)
{
    if (p.length < H323_MIN)
        return false;
    return (oxlo_rd_peek8(&p, H245_OID_TAG) == OID_TAG && oxlo_rd_peek32(&p, H245_OID) == 0x00088175) ||
           (oxlo_rd_peek8(&p, Q931_DISCRIMINATOR) == Q931_PROTOCOL && (oxlo_rd_peek8(&p, Q931_CALL_REFERENCE) & 0x0C) == 0);
}

bool ras(const oxlo_packet_view &pkt)
{
    const oxlo_reader &p = pkt.payload;
    return (pkt.src_port == RAS_PORT || pkt.dst_port == RAS_PORT) && p.length >= H323_MIN &&
           oxlo_rd_peek8(&p, RAS_OID_TAG) == OID_TAG && oxlo_rd_peek32(&p, RAS_OID) == 0x0008914A;
}

void search_h323(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader tpkt = pkt.payload;
    const oxlo_framing::first_end first =
        pkt.l4 == OXLO_L4_TCP ? oxlo_framing::first(m, f, pkt, oxlo_framing::TPKT_HEADER, oxlo_framing::tpkt_size, &tpkt)
                              : oxlo_framing::FIRST_NONE;
    if (first == oxlo_framing::FIRST_WAITING)
        return;
    const bool ok = pkt.l4 == OXLO_L4_TCP ? first == oxlo_framing::FIRST_WHOLE && call_signalling(tpkt)
                                          : pkt.l4 == OXLO_L4_UDP && ras(pkt);
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_H323, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_H323};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_h323 = {
    "H323", search_h323,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search_h323 starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_h323 = H323_MIN;
} // extern "C"
