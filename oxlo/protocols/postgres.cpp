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
/* The client's first message: its length (itself included) and the
 * protocol version or request code. */
constexpr size_t STARTUP_LENGTH = 0, STARTUP_CODE = 4, STARTUP_HEADER = 8;
constexpr uint32_t SSL_REQUEST = 0x04D2162F, GSSENC_REQUEST = 0x04D21630, PROTOCOL_VERSION_MAX = 0x3FFFF;
/* The server's answer: the message type ('R'), its length (itself
 * included) and the authentication code. */
constexpr size_t MESSAGE_TYPE = 0, MESSAGE_LENGTH = 1, AUTH_CODE = 5, AUTH_HEADER = 9;
constexpr uint32_t AUTH_LENGTH_MIN = 8;

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
        const bool sized = oxlo_rd_u32_at(&p, STARTUP_LENGTH, &length);
        if (sized ? length >= STARTUP_HEADER && length <= STARTUP_MAX && oxlo_framing::wait_for(m, f, pkt, length)
                  : oxlo_framing::wait_for(m, f, pkt, STARTUP_HEADER))
            return;
        if (p.length < STARTUP_HEADER || !sized || length != p.length || !oxlo_rd_u32_at(&p, STARTUP_CODE, &code)) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        if (code == SSL_REQUEST)
            s->stage = SSL_ASKED;
        else if (code == GSSENC_REQUEST)
            s->stage = GSS_ASKED;
        else if (code <= PROTOCOL_VERSION_MAX)
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
    oxlo_rd_u8_at(&p, MESSAGE_TYPE, &first);
    bool ok = false;
    if (s->stage == SSL_ASKED)
        ok = p.length == 1 && (first == 'S' || first == 'N');
    else if (s->stage == GSS_ASKED)
        ok = p.length == 1 && (first == 'G' || first == 'N');
    else {
        uint32_t length = 0, code = 99;
        /* The length counts all but the type byte. */
        if (first == 'R' &&
            (oxlo_rd_u32_at(&p, MESSAGE_LENGTH, &length)
                 ? length >= AUTH_LENGTH_MIN && length <= AUTH_MAX &&
                       oxlo_framing::wait_for(m, f, pkt, uint64_t(length) + MESSAGE_LENGTH)
                 : oxlo_framing::wait_for(m, f, pkt, AUTH_HEADER)))
            return;
        ok = first == 'R' && oxlo_rd_u32_at(&p, MESSAGE_LENGTH, &length) && oxlo_rd_u32_at(&p, AUTH_CODE, &code) &&
             ((p.length >= AUTH_HEADER && uint64_t(length) + MESSAGE_LENGTH == p.length && code <= AUTH_CODE_MAX) ||
              (length == AUTH_LENGTH_MIN && code == 0));
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
