/* PostgreSQL. The client opens with a length-prefixed message (SSLRequest,
 * GSSENCRequest or the startup message with its protocol version); the
 * server answers an encryption request with one byte and a startup with an
 * authentication request ('R'). Both are read whole from the stream: a
 * client may write the length apart from the message. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

enum : uint8_t { NONE, SSL_ASKED, GSS_ASKED, STARTUP_SENT };

struct postgres_state {
    uint8_t stage;
    uint8_t direction; /* of the request */
};

/* Authentication codes: 0 ok ... 10 SASL (SCRAM, what current servers ask
 * for), 11 SASL continue, 12 SASL final. */
constexpr uint32_t AUTH_CODE_MAX = 12;
/* The server refuses startup messages over 10,000 bytes; SASL requests
 * list a few mechanism names. */
constexpr uint32_t STARTUP_MAX = 10000, AUTH_MAX = 1024;

void search_postgres(oxlo_module *m, oxlo_flow_state *f)
{
    postgres_state *s = static_cast<postgres_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (s->stage == NONE) {
        uint32_t length = 0, code = 0;
        const bool sized = oxlo_rd_u32_at(&p, 0, &length);
        if (sized ? length > 7 && length <= STARTUP_MAX && oxlo_framing::wait_for(m, f, pkt, length)
                  : oxlo_framing::wait_for(m, f, pkt, 8))
            return;
        if (p.length <= 7 || !sized || length != p.length || !oxlo_rd_u32_at(&p, 4, &code)) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        if (code == 0x04D2162F)
            s->stage = SSL_ASKED;
        else if (code == 0x04D21630)
            s->stage = GSS_ASKED;
        else if (code <= 0x3FFFF)
            s->stage = STARTUP_SENT;
        else {
            OXLO_EXCLUDE(m, f);
            return;
        }
        s->direction = pkt.direction;
        return;
    }
    if (pkt.direction == s->direction)
        return;
    uint8_t first = 0;
    oxlo_rd_u8_at(&p, 0, &first);
    bool ok = false;
    if (s->stage == SSL_ASKED)
        ok = p.length == 1 && (first == 'S' || first == 'N');
    else if (s->stage == GSS_ASKED)
        ok = p.length == 1 && (first == 'G' || first == 'N');
    else {
        uint32_t length = 0, code = 99;
        if (first == 'R' && (oxlo_rd_u32_at(&p, 1, &length) ? length >= 8 && length <= AUTH_MAX &&
                                                                  oxlo_framing::wait_for(m, f, pkt, uint64_t(length) + 1)
                                                            : oxlo_framing::wait_for(m, f, pkt, 9)))
            return;
        ok = first == 'R' && oxlo_rd_u32_at(&p, 1, &length) && oxlo_rd_u32_at(&p, 5, &code) &&
             ((p.length > 8 && uint64_t(length) + 1 == p.length && code <= AUTH_CODE_MAX) ||
              (length == 8 && code == 0));
    }
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_POSTGRESQL, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_POSTGRESQL};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_postgres = {
    "PostgreSQL", search_postgres, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, sizeof(postgres_state), nullptr, nullptr,
};

} // extern "C"
