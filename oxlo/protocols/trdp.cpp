/* TRDP (train real-time data): process data over UDP with a 40-byte header,
 * message data over TCP or UDP with a 116-byte one; both carry the dataset
 * length at 20 and a CRC-32 of the header before it (little-endian). */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_crc.h"

namespace {

/* Both headers: sequence counter, protocol version, the message type (two
 * letters, 'P' for process data, 'M' for message data first), com id,
 * topography counters, then the dataset length. Process data goes on with
 * a reserved word, the reply com id and address and the header's CRC;
 * message data has more fields before its CRC. */
constexpr size_t TRDP_MSG_TYPE = 6, TRDP_DATASET_LENGTH = 20, TRDP_PD_RESERVED = 24, TRDP_PD_HEADER_FCS = 36,
                 TRDP_PD_HEADER = 40, TRDP_MD_HEADER_FCS = 112, TRDP_MD_HEADER = 116;
constexpr size_t TRDP_FCS_SIZE = 4;

bool header_crc(const oxlo_reader &p, size_t covered)
{
    const uint8_t *h = oxlo_rd_bytes_at(&p, 0, covered);
    return h && oxlo_rd_has(&p, covered, TRDP_FCS_SIZE) && crc32_update(h, covered, 0) == oxlo_rd_peekle32(&p, covered);
}

void search_trdp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    const uint64_t dataset = oxlo_rd_peek32(&p, TRDP_DATASET_LENGTH);
    bool ok = false;
    if (pkt.l4 == OXLO_L4_UDP && p.length >= TRDP_PD_HEADER && oxlo_rd_peek8(&p, TRDP_MSG_TYPE) == 'P')
        ok = dataset + TRDP_PD_HEADER == p.length && oxlo_rd_peek32(&p, TRDP_PD_RESERVED) == 0 &&
             header_crc(p, TRDP_PD_HEADER_FCS);
    else if (p.length >= TRDP_MD_HEADER && oxlo_rd_peek8(&p, TRDP_MSG_TYPE) == 'M')
        /* the dataset is padded to a multiple of four */
        ok = (dataset + TRDP_MD_HEADER == p.length || ((dataset + 3) & ~uint64_t(3)) + TRDP_MD_HEADER == p.length) &&
             header_crc(p, TRDP_MD_HEADER_FCS);
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TRDP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_TRDP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_trdp = {
    "TRDP", search_trdp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_trdp starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_trdp = TRDP_PD_HEADER;
} // extern "C"
