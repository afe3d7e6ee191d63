/* The medical imaging protocol's association request over IPv4 TCP: PDU
 * type 1, a 32-bit length, protocol version 1. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* A-ASSOCIATE-RQ: PDU type, a reserved byte, the length of what follows
 * the 6-byte PDU header, then the protocol version and two reserved bytes. */
constexpr size_t PDU_TYPE = 0, PDU_RESERVED = 1, PDU_LENGTH = 2, PDU_HEADER = 6, ASSOCIATE_VERSION = 6,
                 ASSOCIATE_RESERVED = 8, ASSOCIATE_FIXED = 10;
constexpr uint8_t PDU_ASSOCIATE_RQ = 1;

void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_DICOM, OXLO_PROTOCOL_UNKNOWN);
}

void search_dicom(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    /* An A-ASSOCIATE header cut by the segments is asked for from the stream. */
    if (!v.ipv6 && p.length < ASSOCIATE_FIXED && oxlo_rd_peek8(&p, PDU_TYPE) == PDU_ASSOCIATE_RQ &&
        (p.length < 2 || oxlo_rd_peek8(&p, PDU_RESERVED) == 0) && oxlo_framing::wait_for(m, f, v, ASSOCIATE_FIXED))
        return;
    if (!v.ipv6 && p.length >= ASSOCIATE_FIXED && oxlo_rd_peek8(&p, PDU_TYPE) == PDU_ASSOCIATE_RQ &&
        oxlo_rd_peek8(&p, PDU_RESERVED) == 0 && oxlo_rd_peek32(&p, PDU_LENGTH) + PDU_HEADER >= p.length &&
        oxlo_rd_peek16(&p, ASSOCIATE_VERSION) == 1 && oxlo_rd_peek16(&p, ASSOCIATE_RESERVED) == 0)
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_DICOM};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_dicom = {
    "DICOM", search_dicom, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
