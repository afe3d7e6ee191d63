/* Telnet: sessions open with option negotiation (IAC, a command and an
 * option). After classification the dissector follows the login dialogue:
 * what the client types after the server's "login:" prompt is the user
 * name, after "Password:" the password. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risks.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"
#include "oxlo_serializer.h"

namespace {

constexpr uint8_t IAC = 0xFF;
constexpr uint8_t EXTRA_PACKETS = 64;

enum : uint8_t { NOTHING, USER_NEXT, PASSWORD_NEXT };

struct telnet_state {
    uint8_t expecting;
    uint8_t length; /* of the credential being typed */
    char username[32];
    char password[32];
};

/* Negotiation at the start of a payload: IAC, SB/WILL/WONT/DO/DONT and an
 * option, every later IAC group well formed. */
bool negotiation(const oxlo_reader &p)
{
    uint8_t c0 = 0, c1 = 0, c2 = 0xFF;
    if (!oxlo_rd_u8_at(&p, 0, &c0) || c0 != IAC || !oxlo_rd_u8_at(&p, 1, &c1) || c1 < 0xFA || c1 > 0xFE ||
        !oxlo_rd_u8_at(&p, 2, &c2) || c2 > 39)
        return false;
    for (size_t at = 3; at + 3 <= p.length; at += 3) {
        if (oxlo_rd_peek8(&p, at) != IAC)
            continue;
        const uint8_t cmd = oxlo_rd_peek8(&p, at + 1), option = oxlo_rd_peek8(&p, at + 2);
        if (cmd < 0xF0 || (cmd >= 0xFB && option > 40))
            return false;
    }
    return true;
}

/* A server prompt: a line or payload ending in "login:" or "password:"
 * (case-insensitive, trailing blanks allowed), as "<host> login: " is. */
bool prompt(const oxlo_reader &p, const char *word)
{
    size_t end = p.length;
    while (end > 0 && (oxlo_rd_peek8(&p, end - 1) == ' ' || oxlo_rd_peek8(&p, end - 1) == '\r' || oxlo_rd_peek8(&p, end - 1) == '\n'))
        end--;
    const size_t n = strlen(word);
    return end >= n && oxlo_rd_match_n(&p, end - n, word, n, 1);
}

telnet_state *state_of(oxlo_module *m, oxlo_flow_state *f, int create)
{
    return static_cast<telnet_state *>(oxlo_dissector_state_of(m, f, OXLO_PROTOCOL_TELNET, create));
}

int follow_login(oxlo_module *m, oxlo_flow_state *f)
{
    telnet_state *s = state_of(m, f, 0);
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (!s)
        return 0;
    uint8_t first = 0;
    if (p.length == 0 || pkt.retransmission || (oxlo_rd_u8_at(&p, 0, &first) && first == IAC))
        return 1;
    if (!pkt.from_client) {
        if (prompt(p, "login:")) {
            s->expecting = USER_NEXT;
            s->length = 0;
        } else if (prompt(p, "password:")) {
            s->expecting = PASSWORD_NEXT;
            s->length = 0;
        }
        return 1;
    }
    if (s->expecting == NOTHING)
        return 1;
    char *out = s->expecting == USER_NEXT ? s->username : s->password;
    for (size_t i = 0; i < p.length; i++) {
        const uint8_t c = oxlo_rd_peek8(&p, i);
        if (c == '\r' || c == '\n' || c == 0) {
            out[s->length] = '\0';
            if (s->expecting == USER_NEXT) {
                oxlo_dissector_risk(m, f, OXLO_CLEAR_TEXT_CREDENTIALS, "Found Telnet username (%s)", s->username);
                s->expecting = NOTHING;
            } else {
                oxlo_dissector_risk(m, f, OXLO_CLEAR_TEXT_CREDENTIALS, "Found password");
                s->expecting = NOTHING;
                return 0;
            }
            break;
        }
        if (s->length < 31)
            out[s->length++] = c >= 0x20 && c < 0x7F ? char(c) : '?';
    }
    return 1;
}

void search_telnet(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (!negotiation(pkt.payload) || !state_of(m, f, 1)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TELNET, OXLO_PROTOCOL_UNKNOWN);
    oxlo_dissector_extra(f, follow_login, EXTRA_PACKETS);
}

int telnet_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    static const telnet_state empty = {};
    const void *st = oxlo_flow_slot_state(f, OXLO_DISSECTOR_telnet);
    const telnet_state *s = st ? static_cast<const telnet_state *>(st) : &empty;
    int rc = oxlo_recbuf_open_block(out, "telnet");
    rc |= oxlo_recbuf_put_text(out, "username", s->username);
    rc |= oxlo_recbuf_put_text(out, "password", s->password);
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_TELNET};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_telnet = {
    "Telnet", search_telnet, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, sizeof(telnet_state), nullptr, telnet_json,
};
} // extern "C"
