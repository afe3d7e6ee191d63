/* NTP over UDP port 123: a 48-byte header (leap, version and mode in byte 0,
 * stratum, poll, precision, root delay and dispersion, the reference id and
 * four timestamps). The request and the reply are both kept. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"
#include "oxlo_serializer.h"
#include "oxlo_utils.h"

#include <cstdio>

namespace {

constexpr size_t NTP_FLAGS = 0, NTP_STRATUM = 1, NTP_POLL = 2, NTP_PRECISION = 3, NTP_ROOT_DELAY = 4,
                 NTP_ROOT_DISPERSION = 8, NTP_REFERENCE_ID = 12, NTP_REFERENCE_TIME = 16, NTP_ORIGIN_TIME = 24,
                 NTP_RECEIVE_TIME = 32, NTP_TRANSMIT_TIME = 40, NTP_HEADER = 48;
constexpr uint16_t NTP_PORT = 123;

struct ntp_record {
    uint8_t leap, version, mode, stratum, poll;
    int8_t precision;
    float root_delay, root_dispersion;
    char ref_id[20];
    uint64_t ref_time, org_time, rec_time, trans_time;
};

struct ntp_state {
    ntp_record records[2];
    uint8_t current;
};

/* A timestamp kept as its wire bytes, the form the time-text helper reads. */
uint64_t wire64_at(const oxlo_reader &p, size_t off)
{
    uint64_t v = 0;
    if (const uint8_t *b = oxlo_rd_bytes_at(&p, off, 8))
        memcpy(&v, b, 8);
    return v;
}

float fixed_16_16(const oxlo_reader &p, size_t off)
{
    uint32_t v = 0;
    oxlo_rd_u32_at(&p, off, &v);
    return float(v >> 16) + float(v & 0xFFFF) / 65536.0f;
}

void keep(const oxlo_packet_view &pkt, ntp_record *r)
{
    const oxlo_reader &p = pkt.payload;
    uint8_t b0 = 0, b[4] = {0, 0, 0, 0};
    oxlo_rd_u8_at(&p, NTP_FLAGS, &b0);
    r->leap = uint8_t(b0 >> 6);
    r->version = uint8_t((b0 >> 3) & 7);
    r->mode = uint8_t(b0 & 7);
    oxlo_rd_u8_at(&p, NTP_STRATUM, &r->stratum);
    oxlo_rd_u8_at(&p, NTP_POLL, &r->poll);
    uint8_t precision = 0;
    oxlo_rd_u8_at(&p, NTP_PRECISION, &precision);
    r->precision = int8_t(precision);
    r->root_delay = fixed_16_16(p, NTP_ROOT_DELAY);
    r->root_dispersion = fixed_16_16(p, NTP_ROOT_DISPERSION);
    for (size_t i = 0; i < 4; i++)
        oxlo_rd_u8_at(&p, NTP_REFERENCE_ID + i, &b[i]);
    if (r->stratum <= 1)
        snprintf(r->ref_id, sizeof(r->ref_id), "%c%c%c%c", b[0], b[1], b[2], b[3]);
    else if (!pkt.ipv6)
        snprintf(r->ref_id, sizeof(r->ref_id), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    else
        snprintf(r->ref_id, sizeof(r->ref_id), "%c:%c:%c:%c", b[0], b[1], b[2], b[3]);
    r->ref_time = wire64_at(p, NTP_REFERENCE_TIME);
    r->org_time = wire64_at(p, NTP_ORIGIN_TIME);
    r->rec_time = wire64_at(p, NTP_RECEIVE_TIME);
    r->trans_time = wire64_at(p, NTP_TRANSMIT_TIME);
}

ntp_state *state_of(oxlo_module *m, oxlo_flow_state *f)
{
    return static_cast<ntp_state *>(oxlo_dissector_state_of(m, f, OXLO_PROTOCOL_NTP, 1));
}

/* 1: NTP, 0: not NTP. */
int read_header(oxlo_module *m, oxlo_flow_state *f, ntp_state *s)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint8_t b0 = 0, stratum = 0xFF;
    if (p.length < NTP_HEADER || !oxlo_rd_u8_at(&p, NTP_FLAGS, &b0) || !oxlo_rd_u8_at(&p, NTP_STRATUM, &stratum))
        return 0;
    const uint8_t version = uint8_t((b0 >> 3) & 7);
    ntp_record *r = &s->records[s->current];
    if (version == 2) {
        if (m->cfg.ntp_metadata)
            r->version = version;
        return 1;
    }
    if (version > 4 || stratum > 16)
        return 0;
    if (m->cfg.ntp_metadata)
        keep(pkt, r);
    return 1;
}

int extra_ntp(oxlo_module *m, oxlo_flow_state *f)
{
    ntp_state *s = state_of(m, f);
    if (s)
        read_header(m, f, s);
    return 0;
}

void search_ntp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    ntp_state *s = state_of(m, f);
    if (!s || (pkt.src_port != NTP_PORT && pkt.dst_port != NTP_PORT) || !read_header(m, f, s)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    s->current = 1;
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NTP, OXLO_PROTOCOL_UNKNOWN);
    oxlo_dissector_extra(f, extra_ntp, 1);
}

int ntp_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const ntp_state *s = static_cast<const ntp_state *>(oxlo_flow_slot_state(f, OXLO_DISSECTOR_ntp));
    const ntp_state empty{};
    if (!s)
        s = &empty;
    int rc = oxlo_recbuf_open_block(out, "ntp");
    for (uint32_t i = 0; i < 2; i++) {
        const ntp_record &r = s->records[i];
        char t[64];
        rc |= oxlo_recbuf_open_block_id(out, i);
        rc |= oxlo_recbuf_put_u32(out, "leap_indicator", r.leap);
        rc |= oxlo_recbuf_put_u32(out, "version", r.version);
        rc |= oxlo_recbuf_put_u32(out, "mode", r.mode);
        rc |= oxlo_recbuf_put_u32(out, "stratum", r.stratum);
        rc |= oxlo_recbuf_put_u32(out, "ppol", r.poll);
        rc |= oxlo_recbuf_put_i32(out, "precision", r.precision);
        rc |= oxlo_recbuf_put_float(out, "root_delay", r.root_delay, "%f");
        rc |= oxlo_recbuf_put_float(out, "root_dispersion", r.root_dispersion, "%f");
        rc |= oxlo_recbuf_put_text(out, "ref_id", r.ref_id);
        rc |= oxlo_recbuf_put_text(out, "ref_time", oxlo_ntp_time_text(r.ref_time, t, sizeof(t)));
        rc |= oxlo_recbuf_put_text(out, "org_time", oxlo_ntp_time_text(r.org_time, t, sizeof(t)));
        rc |= oxlo_recbuf_put_text(out, "rec_time", oxlo_ntp_time_text(r.rec_time, t, sizeof(t)));
        rc |= oxlo_recbuf_put_text(out, "trans_time", oxlo_ntp_time_text(r.trans_time, t, sizeof(t)));
        rc |= oxlo_recbuf_close_block(out);
    }
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_NTP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_ntp = {
    "NTP", search_ntp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, sizeof(ntp_state), nullptr, ntp_json,
};

} // extern "C"
