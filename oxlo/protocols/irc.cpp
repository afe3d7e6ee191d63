/* IRC: text lines ending in LF, client commands (NICK, USER, JOIN ...) and
 * server messages led by ":prefix". Three matching packets classify. */
#include "oxlo_dissector.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"

namespace {

struct irc_state {
    uint8_t matches;
};

const char *const commands[] = {"USER ", "NICK ", "PASS ", "PONG ", "HELLO ", "YOURIP ", "PING ",
                                "JOIN ", "MODE ", "NOTICE ", "PRIVMSG ", "VERSION "};

bool ends_in_lf(const oxlo_reader &p)
{
    uint8_t last = 0, before = 0;
    oxlo_rd_u8_at(&p, p.length - 1, &last);
    oxlo_rd_u8_at(&p, p.length - 2, &before);
    return last == '\n' || (last == 0 && before == '\n');
}

void search_irc(oxlo_module *m, oxlo_flow_state *f)
{
    irc_state *s = static_cast<irc_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (!s || p.length <= 7 || !ends_in_lf(p)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    bool known = false;
    for (const char *c : commands)
        known = known || oxlo_rd_match(&p, 0, c, 0);
    if (!known && oxlo_rd_match(&p, 0, ":", 0)) {
        known = oxlo_rd_contains(&p, "NOTICE", 0) || oxlo_rd_contains(&p, "PRIVMSG", 0);
        /* A server's numeric replies (":irc.host 001 nick :Welcome") are
         * IRC too: they neither count nor end the search. */
        if (!known) {
            if (pkt.payload_packets > 16)
                OXLO_EXCLUDE(m, f);
            return;
        }
    }
    if (!known) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const ptrdiff_t user = oxlo_rd_find(&p, 0, "USER ", 0);
    if (user >= 0) {
        char name[32];
        size_t n = 0;
        for (size_t i = size_t(user) + 5; i < p.length && n < sizeof(name) - 1; i++) {
            const uint8_t c = oxlo_rd_peek8(&p, i);
            if (c == ' ' || c == '\r' || c == '\n')
                break;
            name[n++] = c >= 0x20 && c < 0x7F ? char(c) : '.';
        }
        name[n] = '\0';
        oxlo_dissector_risk(m, f, OXLO_CLEAR_TEXT_CREDENTIALS, "Found IRC username (%.45s)", name);
    }
    if (++s->matches >= 3)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_IRC, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_IRC};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_irc = {
    "IRC", search_irc, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, sizeof(irc_state), nullptr, nullptr,
};

} // extern "C"
