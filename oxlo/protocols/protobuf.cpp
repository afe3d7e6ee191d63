/* Protocol Buffers sent bare: a payload that reads as a sequence of
 * key/value fields (varint keys with a field number and a wire type). A
 * loose test, which is why it sits late in the registration order. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

constexpr int MAX_FIELDS = 32;

/* A varint of at most max bytes at *at; false when it does not end in time. */
bool varint(const oxlo_reader &p, size_t *at, int max, uint64_t *value)
{
    uint64_t v = 0;
    for (int i = 0; i < max; i++) {
        uint8_t b = 0;
        if (!oxlo_rd_u8_at(&p, *at, &b))
            return false;
        (*at)++;
        v |= uint64_t(b & 0x7F) << (7 * i);
        if (!(b & 0x80)) {
            *value = v;
            return true;
        }
    }
    return false;
}

/* Walks the fields; -1 when the payload is not protobuf. */
int walk(const oxlo_reader &p, int *delimited)
{
    size_t at = 0;
    int fields = 0;
    *delimited = 0;
    while (at < p.length && fields < MAX_FIELDS) {
        uint64_t key = 0;
        if (!varint(p, &at, 9, &key) || (key >> 3) == 0)
            return -1;
        uint64_t skip = 0;
        switch (key & 7) {
        case 0:
            if (!varint(p, &at, 10, &skip))
                return -1;
            skip = 0;
            break;
        case 1:
            skip = 8;
            break;
        case 2:
            if (!varint(p, &at, 5, &skip) || skip < 1 || skip > 0x7FFFFFFF)
                return -1;
            (*delimited)++;
            break;
        case 5:
            skip = 4;
            break;
        default:
            return -1;
        }
        if (skip > p.length - at)
            return -1;
        at += size_t(skip);
        fields++;
    }
    return fields;
}

void search_protobuf(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    int delimited = 0;
    const int fields = walk(pkt.payload, &delimited);
    if (fields < 0) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    /* A UDP flow's first packet could also be media: the RTP dissector has
     * had no packets to count yet, so this one waits for the second. */
    if (delimited > 0 && (fields > 7 || fields == MAX_FIELDS)) {
        if (pkt.payload_packets > 1 || pkt.l4 == OXLO_L4_TCP)
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_PROTOBUF, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    if (pkt.payload_packets > 3) {
        if (fields > 1)
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_PROTOBUF, OXLO_PROTOCOL_UNKNOWN);
        else if (pkt.payload_packets > 8)
            OXLO_EXCLUDE(m, f);
        return;
    }
    if (fields == 0)
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_PROTOBUF};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_protobuf = {
    "Protobuf", search_protobuf, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP_OR_UDP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
