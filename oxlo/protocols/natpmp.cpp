/* NAT-PMP over UDP 5351: version 0, an opcode, and a message whose size the
 * opcode fixes (external-address and port-mapping requests, their answers
 * with the opcode's top bit set). Answers that contradict themselves are
 * worth a risk. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_serializer.h"

#include <cstdio>

namespace {

/* Version and opcode; answers then carry the result code and the seconds
 * since the mapping table started, and either the external address or the
 * two ports and the lifetime. Requests for a mapping: a reserved field, the
 * two ports and the lifetime. */
constexpr size_t NATPMP_VERSION = 0, NATPMP_OPCODE = 1, NATPMP_RESULT = 2, NATPMP_ANSWER_ADDRESS = 8,
                 NATPMP_ANSWER_INTERNAL_PORT = 8, NATPMP_ANSWER_EXTERNAL_PORT = 10, NATPMP_REQUEST_RESERVED = 2,
                 NATPMP_REQUEST_INTERNAL_PORT = 4, NATPMP_REQUEST_EXTERNAL_PORT = 6;
constexpr size_t NATPMP_ADDRESS_REQUEST_SIZE = 2, NATPMP_MAPPING_REQUEST_SIZE = 12, NATPMP_ADDRESS_ANSWER_SIZE = 12,
                 NATPMP_MAPPING_ANSWER_SIZE = 16;
enum : uint8_t {
    OP_ADDRESS = 0,
    OP_MAP_UDP = 1,
    OP_MAP_TCP = 2,
    OP_ADDRESS_ANSWER = 128,
    OP_MAP_UDP_ANSWER = 129,
    OP_MAP_TCP_ANSWER = 130,
};
constexpr uint16_t NATPMP_PORT = 5351;
constexpr uint8_t EXTRA_PACKETS = 5;

struct natpmp_state {
    uint16_t result, internal_port, external_port;
    uint32_t external_address;
};

bool valid(const oxlo_reader &p, uint8_t *opcode)
{
    uint8_t version = 1;
    uint16_t field = 0xFFFF;
    if (p.length < 2 || !oxlo_rd_u8_at(&p, NATPMP_VERSION, &version) || version != 0 ||
        !oxlo_rd_u8_at(&p, NATPMP_OPCODE, opcode))
        return false;
    /* The reserved field of a request, the result code of an answer. */
    static_assert(NATPMP_REQUEST_RESERVED == NATPMP_RESULT, "one field read for both");
    oxlo_rd_u16_at(&p, NATPMP_RESULT, &field);
    switch (*opcode) {
    case OP_ADDRESS: return p.length == NATPMP_ADDRESS_REQUEST_SIZE;
    case OP_MAP_UDP:
    case OP_MAP_TCP: return p.length == NATPMP_MAPPING_REQUEST_SIZE && field == 0;
    case OP_ADDRESS_ANSWER: return p.length == NATPMP_ADDRESS_ANSWER_SIZE && field < 6;
    case OP_MAP_UDP_ANSWER:
    case OP_MAP_TCP_ANSWER: return p.length == NATPMP_MAPPING_ANSWER_SIZE && field < 6;
    default: return false;
    }
}

natpmp_state *state_of(oxlo_module *m, oxlo_flow_state *f)
{
    return static_cast<natpmp_state *>(oxlo_dissector_state_of(m, f, OXLO_PROTOCOL_NAT_PMP, 1));
}

int extra_natpmp(oxlo_module *m, oxlo_flow_state *f)
{
    natpmp_state *s = state_of(m, f);
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    if (!s)
        return 0;
    uint8_t opcode = 0;
    if (!valid(p, &opcode)) {
        oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET, "Invalid NATPMP Header");
        return 0;
    }
    switch (opcode) {
    case OP_ADDRESS_ANSWER:
        oxlo_rd_u16_at(&p, NATPMP_RESULT, &s->result);
        oxlo_rd_u32_at(&p, NATPMP_ANSWER_ADDRESS, &s->external_address);
        if (s->result && s->external_address)
            oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET,
                                "Address Response: Result code indicates an error, but External IPv4 Address is set");
        break;
    case OP_MAP_UDP_ANSWER:
    case OP_MAP_TCP_ANSWER:
        oxlo_rd_u16_at(&p, NATPMP_RESULT, &s->result);
        oxlo_rd_u16_at(&p, NATPMP_ANSWER_INTERNAL_PORT, &s->internal_port);
        oxlo_rd_u16_at(&p, NATPMP_ANSWER_EXTERNAL_PORT, &s->external_port);
        if (!s->internal_port || !s->external_port)
            oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET, "Port Mapping Response: Internal/External port must not 0");
        break;
    case OP_MAP_UDP:
    case OP_MAP_TCP:
        oxlo_rd_u16_at(&p, NATPMP_REQUEST_INTERNAL_PORT, &s->internal_port);
        oxlo_rd_u16_at(&p, NATPMP_REQUEST_EXTERNAL_PORT, &s->external_port);
        if (!s->internal_port)
            oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET, "Request Port Mapping: Internal port must not 0");
        break;
    default: break;
    }
    return 1;
}

void search_natpmp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    uint8_t opcode = 0;
    if (!valid(pkt.payload, &opcode) || !state_of(m, f)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if ((pkt.payload_packets <= 2 || opcode == OP_ADDRESS) && pkt.src_port != NATPMP_PORT && pkt.dst_port != NATPMP_PORT)
        return;
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NAT_PMP, OXLO_PROTOCOL_UNKNOWN);
    /* This message is read too: it may be the mapping request itself. */
    if (extra_natpmp(m, f))
        oxlo_dissector_extra(f, extra_natpmp, EXTRA_PACKETS);
}

int natpmp_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const natpmp_state *s = static_cast<const natpmp_state *>(oxlo_flow_slot_state(f, OXLO_DISSECTOR_natpmp));
    const natpmp_state empty{};
    if (!s)
        s = &empty;
    char address[16];
    const uint32_t a = s->external_address;
    snprintf(address, sizeof(address), "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
    int rc = oxlo_recbuf_open_block(out, "natpmp");
    rc |= oxlo_recbuf_put_u32(out, "result", s->result);
    rc |= oxlo_recbuf_put_u32(out, "internal_port", s->internal_port);
    rc |= oxlo_recbuf_put_u32(out, "external_port", s->external_port);
    rc |= oxlo_recbuf_put_text(out, "external_address", address);
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_NAT_PMP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_natpmp = {
    "NAT-PMP", search_natpmp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, sizeof(natpmp_state), nullptr, natpmp_json,
};

} // extern "C"
