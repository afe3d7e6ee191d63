/* SMPP, the short-message peer protocol: PDUs of a 16-byte header (length,
 * command id, status, sequence number) and a body whose least size depends
 * on the command. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

constexpr uint32_t RESPONSE = 0x80000000u;
/* The PDU header: command length (the whole PDU), command id, command
 * status, sequence number. */
constexpr size_t SMPP_LENGTH = 0, SMPP_COMMAND_ID = 4, SMPP_STATUS = 8, SMPP_HEADER = 16;

/* 1 when a request PDU of this id and length classifies, 0 when not. */
bool request_ok(uint32_t id, uint32_t length)
{
    switch (id) {
    case 0: return true;                        /* generic_nack */
    case 1: case 2: case 9: return length >= 26; /* bind_* */
    case 3: case 11: return length >= 20;       /* query_sm, outbind */
    case 4: case 5: case 33: return length >= 33; /* submit_sm, deliver_sm, submit_multi */
    case 6: case 21: return length == 16;       /* unbind, enquire_link */
    case 7: return length >= 25;                /* replace_sm */
    case 8: return length >= 24;                /* cancel_sm */
    case 0x102: return length >= 22;            /* alert_notification */
    case 0x103: return length >= 26;            /* data_sm */
    default: return false;
    }
}

bool response_ok(uint32_t id, uint32_t length, uint32_t status)
{
    switch (id & ~RESPONSE) {
    case 0: case 6: case 7: case 8: case 21: return length != 17;
    case 1: case 2: case 9: return length > 17;
    case 3: return length >= 21;
    case 4: return length > 17 || (length == 16 && status != 0);
    case 5: return length >= 17;
    case 33: return length >= 26;
    case 0x103: return length > 17;
    default: return id > 0x80000021u;
    }
}

void search_smpp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (oxlo_flow_app_protocol(f) == OXLO_PROTOCOL_SMPP)
        return;
    uint32_t length = 0, id = 0, status = 1;
    if (p.length < SMPP_HEADER && pkt.payload_packets <= 3 && oxlo_framing::wait_for(m, f, pkt, SMPP_HEADER))
        return; /* the header's rest is asked for from the stream */
    if (p.length < SMPP_HEADER || pkt.payload_packets > 3 || !oxlo_rd_u32_at(&p, SMPP_LENGTH, &length)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    /* One PDU, or several that chain exactly to the payload's end (and,
     * when the sender's write goes on, into the next PDU's header). */
    size_t at = 0;
    unsigned pdus = 0;
    while (at < p.length) {
        uint32_t n = 0;
        if (!oxlo_rd_u32_at(&p, at + SMPP_LENGTH, &n) || n == 0) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        if (n > p.length - at) {
            /* The rest is asked for from the stream (a PDU sent as its
             * header and its body); without it, the next segment decides. */
            oxlo_framing::wait_for(m, f, pkt, uint64_t(at) + n);
            return;
        }
        at += n;
        ++pdus;
    }
    if (oxlo_framing::wait_behind(m, f, pkt, SMPP_HEADER, pdus == 1))
        return;
    oxlo_rd_u32_at(&p, SMPP_COMMAND_ID, &id);
    oxlo_rd_u32_at(&p, SMPP_STATUS, &status);
    if ((id >> 24) != 0x00 && (id >> 24) != 0x80) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const bool ok = (id & RESPONSE) ? response_ok(id, length, status) : (status == 0 && request_ok(id, length));
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SMPP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SMPP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_smpp = {
    "SMPP", search_smpp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
