/* RTP and RTCP (version 2) over UDP, and over TCP with the 2-byte length
 * framing of interleaved media.
 *
 * Neither carries a signature beyond the version bits and a plausible
 * payload type, so RTP is claimed only on the third packet, after the
 * sequence numbers showed it moves, and RTCP alone only on the fourth. The
 * payload type gives the media kind (audio or video); the call services
 * that use dynamic types have tables of their own. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_module.h"
#include "protocols/media_private.h"
#include "protocols/tls/tls_private.h"

#include <cstring>
#include "protocols/framing.h"

namespace {

constexpr uint16_t P_RTP = OXLO_PROTOCOL_RTP, P_RTCP = OXLO_PROTOCOL_RTCP;

/* RTP: version, padding, extension and CSRC count in byte 0, marker and
 * payload type in byte 1, then the sequence number, timestamp and SSRC;
 * 4 bytes per CSRC follow. RTCP: its packet type in byte 1 and its length
 * in 32-bit words less one. */
constexpr size_t RTP_FLAGS = 0, RTP_PAYLOAD_TYPE = 1, RTP_SEQUENCE = 2, RTP_HEADER = 12, RTP_CSRC = 4;
constexpr size_t RTCP_PACKET_TYPE = 1, RTCP_LENGTH = 2, RTCP_HEADER = 8;
/* An extension header: profile data, then its length in 32-bit words. */
constexpr size_t RTP_EXTENSION_LENGTH = 2, RTP_EXTENSION_HEADER = 4;
/* Interleaved media over TCP: each packet behind a 2-byte length. */
constexpr size_t RTP_TCP_FRAMING = 2;

struct rtp_state {
    uint8_t counters;       /* bits 0-1 RTCP packets, bits 2-3 RTP packets */
    uint16_t first_seq[2];  /* per direction */
    uint8_t seq_set[2];
    uint8_t pt[2];          /* per side: 0 client, 1 server */
    uint8_t pt_set[2];
    uint32_t frame_code[2];
};

uint8_t rtcp_count(const rtp_state *s) { return s->counters & 3; }
uint8_t rtp_count(const rtp_state *s) { return (s->counters >> 2) & 3; }

/* Frame codes of the AMR-WB IO / EVS packet sizes (header included). */
uint32_t frame_code(const oxlo_reader &p, bool *set)
{
    static const uint16_t sizes[] = {18, 29, 30, 32, 35, 36, 44, 45, 48, 52, 53,
                                     58, 62, 70, 72, 73, 92, 132, 172, 252, 332};
    const size_t n = p.length;
    *set = true;
    for (uint16_t x : sizes)
        if (x == n)
            return uint32_t(n - RTP_HEADER) * 8;
    /* The codec's table of contents follows the fixed header. */
    uint8_t b12 = 0, b13 = 0;
    oxlo_rd_u8_at(&p, RTP_HEADER, &b12);
    if (n == 19) {
        if ((b12 & 0x80) && oxlo_rd_u8_at(&p, RTP_HEADER + 1, &b13))
            return b13 & 0x0F;
        return b12 & 0x0F;
    }
    if (b12 & 0x80)
        return uint32_t(b12 & 0x0F) + 30;
    *set = false;
    return 0;
}

bool rtp_classified(const oxlo_flow_state *f) { return f->app == P_RTP || f->app == P_RTCP; }

int rtp_search(oxlo_module *m, oxlo_flow_state *f);

void after_classification(oxlo_module *m, oxlo_flow_state *f, bool tcp)
{
    rtp_state *s = static_cast<rtp_state *>(oxlo_dissector_state_of(m, f, P_RTP, 0));
    if (m->cfg.rtp_search_for_stun) {
        if (!(tcp && oxlo_flow_handshake_complete(f)))
            stun_extra_dissection_start(m, f, 1);
        return;
    }
    if (f->app == P_RTP && !oxlo_dissector_extra_active(f, nullptr) && s && !(s->pt_set[0] && s->pt_set[1]) &&
        m->cfg.rtp_max_packets_extra_dissection > 0)
        oxlo_dissector_extra(f, rtp_search, uint8_t(m->cfg.rtp_max_packets_extra_dissection));
}

/* The common step; as extra dissection it returns 1 while a side's payload
 * type is still missing. */
int rtp_search(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const bool extra = rtp_classified(f);
    oxlo_reader p = pkt.payload;
    if (p.length == 0 || pkt.retransmission)
        return extra;
    const bool tcp = pkt.l4 == OXLO_L4_TCP;
    if (tcp) {
        if (p.length == 1) {
            if (!extra)
                OXLO_EXCLUDE(m, f);
            return 0;
        }
        p = oxlo_rd_from(&p, RTP_TCP_FRAMING);
    }
    uint16_t seq = 0;
    const int kind = rtp_or_rtcp_check(&p, &seq);
    /* The state exists once counting started: other dissectors (RakNet)
     * read its presence as "media counting has begun". */
    rtp_state *s = static_cast<rtp_state *>(oxlo_dissector_state_of(m, f, P_RTP, !extra && kind != 0));
    if (!s) {
        if (extra)
            return 0;
        if (kind != 0 || pkt.payload_packets > 3)
            OXLO_EXCLUDE(m, f); /* no memory, or three packets without media */
        return 0;
    }
    if (!extra && pkt.payload_packets > 3 && s->counters == 0) {
        OXLO_EXCLUDE(m, f);
        return 0;
    }
    const int side = pkt.from_client ? 0 : 1;
    if (extra) {
        uint8_t b1 = 0;
        if (kind == 1 && !s->pt_set[side] && oxlo_rd_u8_at(&p, RTP_PAYLOAD_TYPE, &b1)) {
            s->pt[side] = b1 & 0x7F;
            s->pt_set[side] = 1;
            rtp_media_type_by_payload_type(s->pt[side], &f->media_types, 0);
        }
        return !(s->pt_set[0] && s->pt_set[1]);
    }
    if (kind == 1) {
        if (rtp_count(s) < 2) {
            if (rtp_count(s) == 0) {
                s->first_seq[pkt.direction] = seq;
                s->seq_set[pkt.direction] = 1;
            }
            s->counters = uint8_t((s->counters & 3) | ((rtp_count(s) + 1) << 2));
            return 0;
        }
        /* An Epic Games session still being followed is left to that
         * dissector: its opening can look like RTP. So is a LINE call whose
         * sequence byte already held up both ways: its packets can too. */
        if (!tcp && (oxlo_flow_slot_state(f, OXLO_DISSECTOR_epicgames) || line_sequence_followed_both_ways(f)))
            return 0;
        if (s->seq_set[pkt.direction] && s->first_seq[pkt.direction] == seq) {
            s->counters = 0;
            OXLO_EXCLUDE(m, f);
            return 0;
        }
        uint8_t b1 = 0;
        oxlo_rd_u8_at(&p, RTP_PAYLOAD_TYPE, &b1);
        const uint8_t pt = b1 & 0x7F;
        if (!s->pt_set[side]) {
            s->pt[side] = pt;
            s->pt_set[side] = 1;
        }
        if ((pt == 126 || pt == 127) && p.length > RTP_HEADER) {
            f->media_types |= OXLO_MEDIA_AUDIO;
            bool set = false;
            const uint32_t code = frame_code(p, &set);
            if (set)
                s->frame_code[side] = code;
        }
        rtp_media_type_by_payload_type(pt, &f->media_types, 0);
        oxlo_dissector_classify(m, f, P_RTP, OXLO_PROTOCOL_UNKNOWN);
        after_classification(m, f, tcp);
        return 0;
    }
    if (kind == 2) {
        if (rtp_count(s))
            return 0;
        if (rtcp_count(s) == 3) {
            oxlo_dissector_classify(m, f, P_RTCP, OXLO_PROTOCOL_UNKNOWN);
            after_classification(m, f, tcp);
            return 0;
        }
        s->counters = uint8_t((s->counters & ~3) | (rtcp_count(s) + 1));
        return 0;
    }
    if (s->counters == 0)
        return 0;
    uint16_t record = 0;
    if (stun_parse_message(m, f, &p, nullptr, nullptr, 0) == 0 || dtls_record_header_check(p.data, p.length, &record))
        return 0;
    s->counters = 0;
    OXLO_EXCLUDE(m, f);
    return 0;
}

void search_rtp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (pkt.l4 == OXLO_L4_TCP) {
        /* Each packet behind its 2-byte length, read whole from the stream;
         * a view of several must end with a whole one. */
        auto size = [](const oxlo_reader &r) -> int64_t {
            uint16_t framed = 0;
            if (!oxlo_rd_u16_at(&r, 0, &framed))
                return -1;
            return framed >= RTP_TCP_FRAMING ? int64_t(framed) + RTP_TCP_FRAMING : 0;
        };
        oxlo_reader first = pkt.payload;
        const oxlo_framing::first_end end = oxlo_framing::whole(m, f, pkt, RTP_TCP_FRAMING, 16, size, &first);
        if (end == oxlo_framing::FIRST_WAITING)
            return;
        if (end != oxlo_framing::FIRST_WHOLE) {
            OXLO_EXCLUDE(m, f);
            return;
        }
    } else {
        const uint16_t s = pkt.src_port, d = pkt.dst_port;
        if (s == 30303 || d == 30303 || d == 5353 || d == 5355 || d == 9600 || d <= 1023) {
            OXLO_EXCLUDE(m, f);
            return;
        }
    }
    rtp_search(m, f);
}

const uint16_t protocols[] = {P_RTP, P_RTCP};

} // namespace

extern "C" {

int rtp_counting_started(const oxlo_flow_state *flow)
{
    const rtp_state *s = static_cast<const rtp_state *>(oxlo_flow_slot_state(flow, OXLO_DISSECTOR_rtp));
    return s && s->counters != 0;
}

int rtp_payload_type_check(uint8_t payload_type)
{
    const uint8_t pt = payload_type & 0x7F;
    return pt <= 34 || pt >= 96;
}

int rtp_or_rtcp_check(const oxlo_reader *data, uint16_t *sequence)
{
    uint8_t b0 = 0, b1 = 0;
    if (!data || data->length <= 1 || !oxlo_rd_u8_at(data, RTP_FLAGS, &b0) || b0 < 0x80 || b0 > 0xBF)
        return 0;
    oxlo_rd_u8_at(data, RTP_PAYLOAD_TYPE, &b1);
    static_assert(RTCP_PACKET_TYPE == RTP_PAYLOAD_TYPE, "one byte read for both");
    const size_t n = data->length;
    if (n < RTP_HEADER || !rtp_payload_type_check(b1 & 0x7F)) {
        uint16_t words = 0;
        if (b1 >= 192 && b1 <= 213 && n >= RTCP_HEADER && oxlo_rd_u16_at(data, RTCP_LENGTH, &words) &&
            n >= size_t(words) * 4 + 4)
            return 2;
        return 0;
    }
    size_t header = RTP_HEADER + RTP_CSRC * size_t(b0 & 0x0F);
    if (b0 & 0x10) {
        uint16_t words = 0;
        if (!oxlo_rd_u16_at(data, header + RTP_EXTENSION_LENGTH, &words))
            return 0;
        header += RTP_EXTENSION_HEADER + 4 * size_t(words);
    }
    if (n < header)
        return 0;
    if (sequence)
        oxlo_rd_u16_at(data, RTP_SEQUENCE, sequence);
    return 1;
}

int rtp_media_type_by_payload_type(uint8_t payload_type, uint8_t *media, uint16_t application)
{
    const uint8_t pt = payload_type & 0x7F;
    uint8_t bit = 0;
    if (pt <= 34) {
        if (pt == 0 || (pt >= 3 && pt <= 18))
            bit = OXLO_MEDIA_AUDIO;
        else if (pt == 25 || pt == 26 || pt == 28 || pt == 31 || pt == 32 || pt == 34)
            bit = OXLO_MEDIA_VIDEO;
    } else {
        struct dynamic {
            uint16_t app;
            uint8_t audio[10];
            uint8_t video[3];
        };
        static const dynamic table[] = {
            {OXLO_PROTOCOL_TEAMSCALL, {103, 104, 106, 111, 112, 114, 115, 116, 117, 118}, {121, 122, 123}},
            {OXLO_PROTOCOL_WHATSAPPCALL, {120}, {97, 102}},
            {OXLO_PROTOCOL_FACEBOOKVOIP, {96, 97, 101, 109}, {127}},
            {OXLO_PROTOCOL_TELEGRAMVOIP, {111}, {106}},
            {OXLO_PROTOCOL_GOOGLECALL, {111}, {96, 100}},
            {OXLO_PROTOCOL_SIGNALVOIP, {102}, {108, 120}},
        };
        for (const dynamic &d : table) {
            if (d.app != application)
                continue;
            for (uint8_t a : d.audio)
                if (a && a == pt)
                    bit = OXLO_MEDIA_AUDIO;
            for (uint8_t v : d.video)
                if (v && v == pt)
                    bit = OXLO_MEDIA_VIDEO;
        }
    }
    if (bit && media)
        *media |= bit;
    return bit ? 1 : 0;
}

extern const oxlo_dissector_def oxlo_dissector_def_rtp = {
    "RT(C)P", search_rtp,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 2, sizeof(rtp_state), nullptr, nullptr,
};

} // extern "C"
