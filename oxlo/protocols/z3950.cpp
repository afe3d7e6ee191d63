/* Z39.50, library search: BER-encoded PDUs with context tags from 20
 * (InitializeRequest) on. The dissector walks the elements of a PDU and
 * counts PDUs that look whole. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

struct z3950_state {
    uint8_t counted;
    uint8_t read; /* messages read whole (what a peer wrote at once, a PDU or more) */
};

/* The elements of a PDU from offset 2: their number when they end exactly
 * at the payload's end, else -1. Real PDUs (yaz's InitializeRequest, for
 * one) carry context tags above 30 in the multi-byte form (9F 6E ...) and
 * long-form lengths, so both are read. */
int walk(const oxlo_reader &p)
{
    size_t at = 2;
    int n = 0;
    while (at < p.length && n < 32) {
        uint8_t tag = 0, length = 0;
        if (!oxlo_rd_u8_at(&p, at++, &tag))
            return -1;
        if ((tag & 0x1F) == 0x1F) {
            uint8_t more = 0x80;
            for (int i = 0; i < 4 && (more & 0x80); i++)
                if (!oxlo_rd_u8_at(&p, at++, &more))
                    return -1;
            if (more & 0x80)
                return -1;
        }
        if (!oxlo_rd_u8_at(&p, at++, &length))
            return -1;
        size_t size = length;
        if (length & 0x80) {
            const int bytes = length & 0x7F;
            if (bytes == 0 || bytes > 3)
                return -1; /* indefinite or absurd */
            size = 0;
            for (int i = 0; i < bytes; i++) {
                uint8_t b = 0;
                if (!oxlo_rd_u8_at(&p, at++, &b))
                    return -1;
                size = size << 8 | b;
            }
        }
        if (size > p.length - at)
            return -1;
        at += size;
        n++;
    }
    return at == p.length ? n : -1;
}

void search_z3950(oxlo_module *m, oxlo_flow_state *f)
{
    z3950_state *s = static_cast<z3950_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    uint8_t first = 0, length = 0;
    /* A PDU is read whole however the peer cut its write: a start of one
     * (a context tag from 20 on, a short-form length) waits for the rest,
     * and one the next PDU's start follows is read alone (the rest is the
     * next view's). */
    if (s && oxlo_rd_u8_at(&p, 0, &first) && (first & 0x1F) >= 20 && (first & 0x1F) != 0x1F) {
        const bool sized = oxlo_rd_u8_at(&p, 1, &length);
        if ((!sized || length < 0x80) && oxlo_framing::wait_for(m, f, pkt, sized ? 2u + length : 2u))
            return;
        if (sized && length < 0x80 && pkt.l4 == OXLO_L4_TCP && 2u + length < p.length) {
            oxlo_dissector_consume(m, f, 2u + length);
            p = oxlo_rd_upto(&p, 2u + length);
        }
    }
    /* The budgets count the messages read, not the segments that carried
     * them. */
    if (!s || p.length <= 5 || s->read >= 8 || !oxlo_rd_u8_at(&p, 0, &first) || (first & 0x1F) < 20) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (s->read++ == 0 && oxlo_flow_handshake_complete(f) && (first & 0x1F) != 20 && (first & 0x1F) != 21) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const int n = walk(p);
    if (n < 0) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    /* A search or present exchange has PDUs of four elements. */
    if (n < 4)
        return;
    if (++s->counted < 4)
        return;
    if (pkt.payload_packets_dir[0] && pkt.payload_packets_dir[1])
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_Z3950, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_Z3950};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_z3950 = {
    "Z3950", search_z3950, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, sizeof(z3950_state), nullptr, nullptr,
};

} // extern "C"
