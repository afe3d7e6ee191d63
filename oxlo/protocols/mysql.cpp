/* MySQL and MariaDB: the server's greeting (protocol 10) carries the server
 * version and ends with the name of its authentication plugin. It is read
 * whole from the stream: a 24-bit length and a sequence byte lead it. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

const char *const plugins[] = {"_password", "_kerberos", "_windows", "_simple", "_gssapi", "_pam"};

constexpr uint32_t GREETING_MIN = 67, GREETING_MAX = 115; /* without the 4-byte header */
/* A packet: its 24-bit length (little-endian) and sequence id; the
 * greeting then opens with the protocol version and the server's version
 * text. */
constexpr size_t PACKET_LENGTH = 0, PACKET_HEADER = 4, GREETING_PROTOCOL = 4, GREETING_SERVER_VERSION = 5;
constexpr uint8_t PROTOCOL_10 = 10;

/* The view starts a greeting it does not hold whole (its length, and the
 * protocol byte once there, fit one): asks for the rest. */
bool wait_for_greeting(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt)
{
    const oxlo_reader &p = pkt.payload;
    uint32_t length = 0;
    uint8_t protocol = 10;
    oxlo_rd_u8_at(&p, GREETING_PROTOCOL, &protocol);
    if (p.length < 3)
        return oxlo_framing::wait_for(m, f, pkt, GREETING_PROTOCOL + 1);
    return oxlo_rd_le24_at(&p, PACKET_LENGTH, &length) && length >= GREETING_MIN && length <= GREETING_MAX &&
           protocol == PROTOCOL_10 && oxlo_framing::wait_for(m, f, pkt, uint64_t(length) + PACKET_HEADER);
}

void search_mysql(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (wait_for_greeting(m, f, pkt))
        return;
    const oxlo_reader p = pkt.payload;
    uint32_t length = 0;
    uint8_t protocol = 0, digit = 0;
    bool ok = p.length >= GREETING_MIN + PACKET_HEADER && p.length <= GREETING_MAX + PACKET_HEADER &&
              oxlo_rd_le24_at(&p, PACKET_LENGTH, &length) && length + PACKET_HEADER == p.length &&
              oxlo_rd_u8_at(&p, GREETING_PROTOCOL, &protocol) && protocol == PROTOCOL_10 &&
              oxlo_rd_u8_at(&p, GREETING_SERVER_VERSION, &digit) &&
              (oxlo_rd_match(&p, GREETING_SERVER_VERSION, "5.5.5-", 0) || (digit >= '4' && digit <= '8'));
    if (ok) {
        /* The plugin name is NUL-terminated: compare before the last byte. */
        const oxlo_reader body = oxlo_rd_upto(&p, p.length - 1);
        ok = false;
        for (const char *s : plugins)
            ok = ok || oxlo_rd_ends(&body, s);
    }
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MYSQL, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MYSQL};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_mysql = {
    "MySQL", search_mysql, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
