/* MMS over ISO transport: the client's TPKT with a COTP data PDU whose
 * session and presentation layers put the MMS initiate at a fixed place
 * from the end. The TPKT is read whole from the stream. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_utils.h"
#include "protocols/framing.h"

namespace {

/* After the 4-byte TPKT header: the COTP data header (02 F0 80), then the
 * session layer's SPDU type and length. */
constexpr size_t COTP_DATA = 4, SPDU_TYPE = 7, SPDU_LENGTH = 8, SPDU_BODY = 9, INITIATE_MIN = 61;
constexpr uint8_t SPDU_TYPE_LAST = 14;

bool initiate(const oxlo_reader &p)
{
    const size_t n = p.length;
    return n >= INITIATE_MIN && oxlo_rd_match_n(&p, COTP_DATA, "\x02\xF0\x80", 3, 0) &&
           oxlo_rd_peek8(&p, SPDU_TYPE) <= SPDU_TYPE_LAST && n == size_t(oxlo_rd_peek8(&p, SPDU_LENGTH)) + SPDU_BODY &&
           (oxlo_rd_match_n(&p, n - 37, "\x80\x02", 2, 0) || oxlo_rd_match_n(&p, n - 38, "\x80\x03", 2, 0) ||
            oxlo_rd_match_n(&p, n - 40, "\x80\x02", 2, 0));
}

void search_iso9506_1_mms(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader tpkt = pkt.payload;
    const oxlo_framing::first_end first =
        pkt.from_client ? oxlo_framing::first(m, f, pkt, oxlo_framing::TPKT_HEADER, oxlo_framing::tpkt_size, &tpkt)
                        : oxlo_framing::FIRST_NONE;
    if (first == oxlo_framing::FIRST_WAITING)
        return;
    if (first == oxlo_framing::FIRST_WHOLE && initiate(tpkt)) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ISO9506_1_MMS, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    if (pkt.payload_packets_dir[pkt.direction] > 2)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ISO9506_1_MMS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_iso9506_1_mms = {
    "ISO9506-1-MMS", search_iso9506_1_mms, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
