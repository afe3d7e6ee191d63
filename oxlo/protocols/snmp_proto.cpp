/* SNMP over UDP ports 161 and 162: one BER sequence holding the version,
 * the community (v1, v2c) and a PDU whose tag names its type. A response
 * carries an error status; a non-zero one is worth a risk. Every length is
 * checked against the bytes that are there. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_flow_json.h"
#include "oxlo_serializer.h"
#include "oxlo_utils.h"

namespace {

struct snmp_state {
    uint8_t version, primitive, error_status;
};

/* The BER element at the cursor: its tag and its content as a reader of its
 * own (error set when the length is bad or runs past the end). */
oxlo_reader element(oxlo_reader *r, uint8_t *tag)
{
    *tag = oxlo_rd_u8(r);
    size_t used = 0;
    const int64_t length = r->error ? -1 : oxlo_decode_ber_length(r->data + r->pos, oxlo_rd_left(r), &used);
    if (length < 0 || !oxlo_rd_skip(r, used)) {
        r->error = 1;
        return oxlo_rd_field(r, size_t(-1));
    }
    return oxlo_rd_field(r, size_t(length));
}

bool small_integer(oxlo_reader *r, uint32_t *value)
{
    uint8_t tag = 0;
    oxlo_reader v = element(r, &tag);
    if (r->error || tag != 0x02 || v.length == 0 || v.length > 4)
        return false;
    *value = 0;
    while (oxlo_rd_left(&v))
        *value = (*value << 8) | oxlo_rd_u8(&v);
    return true;
}

snmp_state *state_of(oxlo_module *m, oxlo_flow_state *f)
{
    return static_cast<snmp_state *>(oxlo_dissector_state_of(m, f, OXLO_PROTOCOL_SNMP, 1));
}

/* The PDU of a v1/v2c message: 1 to read on, 0 when done. */
int read_pdu(oxlo_module *m, oxlo_flow_state *f, snmp_state *s)
{
    oxlo_reader r = oxlo_dissector_packet(m, f).payload;
    uint8_t tag = 0;
    oxlo_reader message = element(&r, &tag);
    uint32_t version = 0;
    if (r.error || tag != 0x30 || !small_integer(&message, &version))
        return 1;
    element(&message, &tag); /* the community */
    if (message.error || tag != 0x04)
        return 1;
    oxlo_reader pdu = element(&message, &tag);
    if (message.error)
        return 1;
    s->primitive = tag & 0x0F;
    if (s->primitive != 2)
        return 1;
    uint32_t request_id = 0, status = 0;
    if (!small_integer(&pdu, &request_id) || !small_integer(&pdu, &status))
        return 0;
    if (status) {
        s->error_status = uint8_t(status > 255 ? 255 : status);
        oxlo_dissector_risk(m, f, OXLO_ERROR_CODE_DETECTED, "SNMP Error %d", int(status));
    }
    return 0;
}

int extra_snmp(oxlo_module *m, oxlo_flow_state *f)
{
    snmp_state *s = state_of(m, f);
    if (!s || oxlo_dissector_packet(m, f).payload.length == 0)
        return s ? 1 : 0;
    return read_pdu(m, f, s);
}

void search_snmp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    snmp_state *s = state_of(m, f);
    const bool port = pkt.src_port == 161 || pkt.dst_port == 161 || pkt.src_port == 162 || pkt.dst_port == 162;
    oxlo_reader r = pkt.payload;
    uint8_t tag = 0;
    size_t used = 0;
    const int64_t length = r.length > 1 ? oxlo_decode_ber_length(r.data + 1, r.length - 1, &used) : -1;
    uint32_t version = 99;
    bool ok = s && port && r.length > 16 && oxlo_rd_u8_at(&r, 0, &tag) && tag == 0x30 && length > 2 &&
              size_t(length) == r.length - 1 - used;
    if (ok) {
        oxlo_reader message = element(&r, &tag);
        ok = small_integer(&message, &version) && (version == 0 || version == 1 || version == 3);
    }
    if (!ok) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    s->version = uint8_t(version);
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SNMP, OXLO_PROTOCOL_UNKNOWN);
    if (version != 3 && read_pdu(m, f, s))
        oxlo_dissector_extra(f, extra_snmp, 8);
}

int snmp_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const snmp_state *s = static_cast<const snmp_state *>(oxlo_flow_slot_state(f, OXLO_DISSECTOR_snmp_proto));
    const snmp_state empty{};
    if (!s)
        s = &empty;
    int rc = oxlo_recbuf_open_block(out, "snmp");
    rc |= oxlo_recbuf_put_u32(out, "version", s->version);
    rc |= oxlo_recbuf_put_u32(out, "primitive", s->primitive);
    rc |= oxlo_recbuf_put_u32(out, "error_status", s->error_status);
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SNMP};

} // namespace

extern "C" {

int oxlo_flow_snmp_error_status(const oxlo_flow_state *flow)
{
    const void *st = oxlo_flow_slot_state(flow, OXLO_DISSECTOR_snmp_proto);
    return st ? static_cast<const snmp_state *>(st)->error_status : 0;
}

extern const oxlo_dissector_def oxlo_dissector_def_snmp_proto = {
    "SNMP", search_snmp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, sizeof(snmp_state), nullptr, snmp_json,
};

/* Shorter first datagrams fail the length test search_snmp starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_snmp_proto = 17;
} // extern "C"
