/* Zoom's media over UDP: to its servers (ports 8801-8810) a small header
 * names the packet kind, media packets (kind 5) wrap a media header whose
 * type tells audio, video or screen sharing apart and which is followed by
 * RTP or RTCP; between two clients (peer-to-peer) the packets carry a
 * framing of their own with two 32-bit lengths. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_module.h"
#include "protocols/media_private.h"

namespace {

constexpr uint16_t P_ZOOM = OXLO_PROTOCOL_ZOOM, P_SRTP = OXLO_PROTOCOL_SRTP;

struct zoom_state {
    uint8_t flags; /* bit 0 peer-to-peer */
};

bool rtp_at(const oxlo_reader &d, size_t offset, int kind)
{
    const oxlo_reader r = oxlo_rd_from(&d, offset);
    return offset <= d.length && rtp_or_rtcp_check(&r, nullptr) == kind;
}

int media_check(oxlo_flow_state *f, const oxlo_reader &d)
{
    uint8_t type = 0;
    const size_t n = d.length;
    if (n <= 15 || !oxlo_rd_u8_at(&d, 0, &type))
        return 0;
    switch (type) {
    case 13:
        if (n <= 27)
            return 0;
        if (rtp_at(d, 27, 1))
            f->media_types |= OXLO_MEDIA_SCREEN_SHARING;
        return 1;
    case 15:
        if (n >= 20 && rtp_at(d, 19, 1)) {
            f->media_types |= OXLO_MEDIA_AUDIO;
            return 1;
        }
        return 0;
    case 16:
        if (n >= 25 && rtp_at(d, 24, 1)) {
            f->media_types |= OXLO_MEDIA_VIDEO;
            return 1;
        }
        return 0;
    case 30:
        if (n > 20 && rtp_at(d, 20, 1)) {
            f->media_types |= OXLO_MEDIA_SCREEN_SHARING;
            return 1;
        }
        return 0;
    case 33:
    case 34:
    case 35:
        return n != 16 && rtp_at(d, 16, 2) ? 1 : 0;
    default:
        return 0;
    }
}

/* The peer-to-peer framing: B at offset 24 locates a second length L, and
 * the datagram is exactly B + L + 36 bytes. Both lengths come from the
 * packet, so the sums are done in 64 bits: a B near 2^32 must not wrap
 * into a small offset. */
bool p2p_frame(const oxlo_reader &p)
{
    const size_t n = p.length;
    uint32_t b = 0, l = 0, tail = 1;
    if (n < 37 || !oxlo_rd_match_n(&p, 0, "\x1F\x02\x01\x00", 4, 0) || !oxlo_rd_u32_at(&p, n - 4, &tail) || tail)
        return false;
    if (!oxlo_rd_u32_at(&p, 24, &b) || uint64_t(b) + 32 >= n)
        return false;
    if (!oxlo_rd_u32_at(&p, size_t(b) + 28, &l))
        return false;
    return uint64_t(n) == uint64_t(b) + l + 36;
}

bool server_port(uint16_t p) { return p >= 8801 && p <= 8810; }

int zoom_extra(oxlo_module *m, oxlo_flow_state *f);

void set_zoom(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_flow_set_protocol(m, f, P_ZOOM, f->media_types ? P_SRTP : uint16_t(OXLO_PROTOCOL_UNKNOWN), OXLO_CONFIDENCE_DPI);
}

int zoom_extra(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const zoom_state *s = static_cast<const zoom_state *>(oxlo_dissector_state_of(m, f, P_ZOOM, 0));
    const oxlo_reader &p = pkt.payload;
    bool hit = false;
    if (s && (s->flags & 1)) {
        hit = media_check(f, p);
    } else {
        uint8_t b0 = 0;
        hit = oxlo_rd_u8_at(&p, 0, &b0) && b0 == 5 && p.length >= 24 && media_check(f, oxlo_rd_from(&p, 8));
    }
    if (hit)
        set_zoom(m, f);
    return f->master ? 0 : 1;
}

void search_zoom(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    zoom_state *s = static_cast<zoom_state *>(oxlo_dissector_state(m, f));
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const oxlo_reader &p = pkt.payload;
    if (server_port(pkt.src_port) || server_port(pkt.dst_port)) {
        uint8_t b0 = 0, b1 = 1, b2 = 0;
        if (p.length < 9 || !oxlo_rd_u8_at(&p, 0, &b0) || !oxlo_rd_u8_at(&p, 1, &b1) || !oxlo_rd_u8_at(&p, 2, &b2)) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        if ((b0 == 1 || b0 == 2) && b1 == 0 && (b2 == 2 || b2 == 3)) {
            /* a server handshake */
        } else if (b0 == 3 || b0 == 4) {
            if (pkt.payload_packets < 4)
                return;
        } else if (!(b0 == 5 && p.length >= 24 && media_check(f, oxlo_rd_from(&p, 8)))) {
            OXLO_EXCLUDE(m, f);
            return;
        }
    } else if (p2p_frame(p)) {
        s->flags |= 1;
    } else {
        OXLO_EXCLUDE(m, f);
        return;
    }
    set_zoom(m, f);
    if (!oxlo_dissector_extra_active(f, nullptr) && !f->master && m->cfg.zoom_max_packets_extra_dissection > 0)
        oxlo_dissector_extra(f, zoom_extra, uint8_t(m->cfg.zoom_max_packets_extra_dissection));
}

const uint16_t protocols[] = {P_ZOOM};

} // namespace

extern "C" {

int zoom_media_check(oxlo_module *, oxlo_flow_state *flow, const uint8_t *data, size_t length)
{
    return media_check(flow, oxlo_reader_make(data, length));
}

extern const oxlo_dissector_def oxlo_dissector_def_zoom = {
    "Zoom", search_zoom, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, sizeof(zoom_state), nullptr, nullptr,
};

} // extern "C"
