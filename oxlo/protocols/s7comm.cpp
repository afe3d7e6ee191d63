/* S7 communication over ISO transport (TPKT + COTP) on port 102. A session
 * opens with the COTP connection exchange, then carries S7 PDUs (protocol id
 * 0x32) or S7comm-plus ones (0x72) in COTP data. With monitoring on, the
 * flow's PDUs are counted by kind and job function. The TPKTs are read
 * whole from the stream, several of one segment each in turn. */
#include "oxlo_api.h"
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_serializer.h"
#include "oxlo_utils.h"
#include "protocols/framing.h"

namespace {

enum : uint8_t { JOB = 1, ACK = 2, ACK_DATA = 3, USERDATA = 7 };
enum : uint8_t { COTP_CR = 0xE0, COTP_CC = 0xD0 };
/* The COTP PDU type after the TPKT header and COTP's length byte; the S7
 * PDU after the 3-byte COTP data header. */
constexpr size_t COTP_PDU_TYPE = 5, S7_PDU = 7;
/* The S7 header: protocol id, ROSCTR (the PDU kind), reserved, PDU
 * reference, parameter and data lengths; acknowledgements add an error
 * class and code. A job's parameters (its function first) follow at 10. */
constexpr size_t S7_PROTOCOL_ID = 0, S7_ROSCTR = 1, S7_RESERVED = 2, S7_PARAMETER_LENGTH = 6, S7_JOB_FUNCTION = 10,
                 S7_ACK_HEADER = 12;
constexpr uint8_t S7_ID = 0x32, S7_PLUS_ID = 0x72;
/* The shortest TPKT taken for S7: headers and a few bytes of parameters. */
constexpr size_t S7_TPKT_MIN = 18;
/* The connection exchange may take a few segments; not more than these. */
constexpr uint16_t SETUP_BUDGET = 8;
constexpr unsigned TPKTS_PER_VIEW = 32;

struct s7_state {
    uint16_t jobs, ack_data;
    uint8_t acks, userdata;
    uint8_t read_var, write_var, request_download, download_block, pi_service, plc_stop, setup_comm, other;
};

void bump(uint8_t &c) { c = uint8_t(c == 255 ? c : c + 1); }
void bump16(uint16_t &c) { c = uint16_t(c == 65535 ? c : c + 1); }

/* Counts one S7 PDU (starting at S7_PDU of the segment). */
void count_pdu(s7_state *s, const oxlo_reader &p)
{
    const oxlo_reader pdu = oxlo_rd_from(&p, S7_PDU);
    uint8_t rosctr = 0, function = 0;
    uint16_t parameters = 0;
    oxlo_rd_u8_at(&pdu, S7_ROSCTR, &rosctr);
    switch (rosctr) {
    case JOB:
        bump16(s->jobs);
        oxlo_rd_u16_at(&pdu, S7_PARAMETER_LENGTH, &parameters);
        if (parameters && pdu.length > S7_JOB_FUNCTION && oxlo_rd_u8_at(&pdu, S7_JOB_FUNCTION, &function)) {
            switch (function) {
            case 0x04: bump(s->read_var); break;
            case 0x05: bump(s->write_var); break;
            case 0x1A: bump(s->request_download); break;
            case 0x1B: bump(s->download_block); break;
            case 0x28: bump(s->pi_service); break;
            case 0x29: bump(s->plc_stop); break;
            case 0xF0: bump(s->setup_comm); break;
            default: bump(s->other); break;
            }
        }
        break;
    case ACK:
        if (pdu.length >= S7_ACK_HEADER)
            bump(s->acks);
        break;
    case ACK_DATA:
        if (pdu.length >= S7_ACK_HEADER)
            bump16(s->ack_data);
        break;
    case USERDATA:
        bump(s->userdata);
        break;
    default:
        break;
    }
}

bool s7_pdu(const oxlo_reader &tpkt)
{
    uint8_t id = 0;
    return tpkt.length >= S7_TPKT_MIN && oxlo_rd_u8_at(&tpkt, S7_PDU + S7_PROTOCOL_ID, &id) && id == S7_ID;
}

/* Counts the S7 PDUs of every whole TPKT of the view; a cut one is kept
 * for the next view. */
int extra_s7comm(oxlo_module *m, oxlo_flow_state *f)
{
    s7_state *s = static_cast<s7_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (!s || pkt.l4 != OXLO_L4_TCP)
        return 1;
    size_t off = 0;
    for (unsigned i = 0; i < TPKTS_PER_VIEW && off < p.length; i++) {
        const oxlo_reader rest = oxlo_rd_from(&p, off);
        const int64_t n = oxlo_framing::tpkt_size(rest);
        if (n == 0)
            return 1; /* not ISO transport any more: the rest of the view is dropped */
        if (n < 0 || uint64_t(n) > rest.length) {
            oxlo_dissector_consume(m, f, off);
            oxlo_dissector_need(m, f, size_t(n < 0 ? oxlo_framing::TPKT_HEADER : uint64_t(n)));
            return 1;
        }
        const oxlo_reader tpkt = oxlo_rd_upto(&rest, size_t(n));
        if (s7_pdu(tpkt))
            count_pdu(s, tpkt);
        off += size_t(n);
    }
    return 1;
}

void search_s7comm(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    const oxlo_framing::first_end first =
        pkt.src_port != 102 && pkt.dst_port != 102
            ? oxlo_framing::FIRST_NONE
            : oxlo_framing::first(m, f, pkt, oxlo_framing::TPKT_HEADER, oxlo_framing::tpkt_size, &p);
    if (first == oxlo_framing::FIRST_WAITING)
        return;
    if (first == oxlo_framing::FIRST_NONE) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    uint8_t cotp = 0, id = 0, rosctr = 0, tail = 0;
    uint16_t reserved = 1;
    oxlo_rd_u8_at(&p, COTP_PDU_TYPE, &cotp);
    /* Every session starts with the COTP connection request and confirm:
     * wait for the data that follows them. */
    if (cotp == COTP_CR || cotp == COTP_CC) {
        if (pkt.payload_packets > SETUP_BUDGET)
            OXLO_EXCLUDE(m, f);
        else
            oxlo_dissector_consume(m, f, p.length); /* a TPKT behind it comes first next time */
        return;
    }
    if (p.length < S7_TPKT_MIN || !oxlo_rd_u8_at(&p, S7_PDU + S7_PROTOCOL_ID, &id)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    /* S7comm-plus closes its PDU with a trailer that repeats the id. */
    if (id == S7_PLUS_ID && oxlo_rd_u8_at(&p, p.length - 4, &tail) && tail == S7_PLUS_ID) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_S7COMMPLUS, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    oxlo_rd_u8_at(&p, S7_PDU + S7_ROSCTR, &rosctr);
    oxlo_rd_u16_at(&p, S7_PDU + S7_RESERVED, &reserved);
    if (id != S7_ID || !(rosctr == JOB || rosctr == ACK || rosctr == ACK_DATA || rosctr == USERDATA) || reserved != 0) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_S7COMM, OXLO_PROTOCOL_UNKNOWN);
    if (oxlo_protocol_monitoring_enabled(m, OXLO_PROTOCOL_S7COMM)) {
        s7_state *s = static_cast<s7_state *>(oxlo_dissector_state(m, f));
        if (s) {
            count_pdu(s, p);
            oxlo_dissector_extra(f, extra_s7comm, 255);
        }
    }
}

const uint16_t protocols[] = {OXLO_PROTOCOL_S7COMM, OXLO_PROTOCOL_S7COMMPLUS};

} // namespace

extern "C" {

/* The S7 counters of a monitored flow, or NULL when none were kept. */
int oxlo_flow_s7comm_counts(const oxlo_flow_state *flow, uint16_t *jobs, uint16_t *ack_data, uint8_t *read_var,
                            uint8_t *write_var)
{
    const s7_state *s = static_cast<const s7_state *>(oxlo_flow_slot_state(flow, OXLO_DISSECTOR_s7comm));
    if (!s)
        return -1;
    *jobs = s->jobs;
    *ack_data = s->ack_data;
    *read_var = s->read_var;
    *write_var = s->write_var;
    return 0;
}

extern const oxlo_dissector_def oxlo_dissector_def_s7comm = {
    "S7Comm", search_s7comm, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 2, sizeof(s7_state), nullptr, nullptr,
};

} // extern "C"
