/* IRC: text lines ending in LF, client commands (NICK, USER, JOIN ...) and
 * server messages led by ":prefix". Lines are read from the stream whole,
 * however the sender cut its writes: three matching lines classify. */
#include "oxlo_dissector.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

struct irc_state {
    uint8_t matches;
    uint8_t neutral; /* server lines read that neither match nor refute */
};

const char *const commands[] = {"USER ", "NICK ", "PASS ", "PONG ", "HELLO ", "YOURIP ", "PING ",
                                "JOIN ", "MODE ", "NOTICE ", "PRIVMSG ", "VERSION "};

/* Longest line waited for (a message with tags stays below it). */
constexpr size_t LINE_MAX = 4096;
/* Server lines (numeric replies, a message of the day) read before a
 * matching one at most. */
constexpr uint8_t NEUTRAL_MAX = 64;

/* The bytes may start a line of one of the commands. */
bool plausible(oxlo_reader p)
{
    if (oxlo_rd_match_n(&p, 0, "\0", 1, 0))
        p = oxlo_rd_from(&p, 1);
    if (oxlo_rd_match(&p, 0, ":", 0))
        return true;
    for (const char *c : commands) {
        const size_t n = strlen(c);
        if (oxlo_rd_match_n(&p, 0, c, p.length < n ? p.length : n, 0))
            return true;
    }
    return false;
}

void take_user(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader &line)
{
    const ptrdiff_t user = oxlo_rd_find(&line, 0, "USER ", 0);
    if (user < 0)
        return;
    char name[32];
    size_t n = 0;
    for (size_t i = size_t(user) + 5; i < line.length && n < sizeof(name) - 1; i++) {
        const uint8_t c = oxlo_rd_peek8(&line, i);
        if (c == ' ' || c == '\r' || c == '\n')
            break;
        name[n++] = c >= 0x20 && c < 0x7F ? char(c) : '.';
    }
    name[n] = '\0';
    oxlo_dissector_risk(m, f, OXLO_CLEAR_TEXT_CREDENTIALS, "Found IRC username (%.45s)", name);
}

/* One line, LF included. -1: not IRC; 0: neither; 1: a matching line. */
int read_line(irc_state *s, const oxlo_reader &line)
{
    uint8_t last = 0;
    if (line.length <= 7 || !oxlo_rd_u8_at(&line, line.length - 1, &last) || last != '\n')
        return -1;
    for (const char *c : commands)
        if (oxlo_rd_match(&line, 0, c, 0))
            return 1;
    if (!oxlo_rd_match(&line, 0, ":", 0))
        return -1;
    if (oxlo_rd_contains(&line, "NOTICE", 0) || oxlo_rd_contains(&line, "PRIVMSG", 0))
        return 1;
    /* A server's numeric replies (":irc.host 001 nick :Welcome") are IRC
     * too: they neither count nor end the search, for a while. */
    return ++s->neutral > NEUTRAL_MAX ? -1 : 0;
}

void search_irc(oxlo_module *m, oxlo_flow_state *f)
{
    irc_state *s = static_cast<irc_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader lines = pkt.payload;
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (oxlo_framing::lines(m, f, pkt, LINE_MAX, plausible(pkt.payload), &lines))
        return;
    size_t at = 0;
    oxlo_reader line;
    while (oxlo_framing::next_line(lines, &at, &line)) {
        /* Some clients end a line with LF and a zero byte. */
        if (oxlo_rd_match_n(&line, 0, "\0", 1, 0)) {
            line = oxlo_rd_from(&line, 1);
            if (!line.length)
                continue;
        }
        const int r = read_line(s, line);
        if (r < 0) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        if (r == 0)
            continue;
        take_user(m, f, line);
        if (++s->matches >= 3) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_IRC, OXLO_PROTOCOL_UNKNOWN);
            return;
        }
    }
}

const uint16_t protocols[] = {OXLO_PROTOCOL_IRC};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_irc = {
    "IRC", search_irc, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, sizeof(irc_state), nullptr, nullptr,
};

} // extern "C"
