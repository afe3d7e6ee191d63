/* POP3. Commands are four letters (USER, PASS, STAT, RETR ...) and every
 * reply starts "+OK" or "-ERR". The dissector collects the commands and
 * replies it sees, takes USER/PASS credentials, and after a successful STLS
 * hands the flow to TLS as POPS. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risks.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"
#include "protocols/mail_private.h"
#include "protocols/tls/tls_private.h"
#include "protocols/framing.h"

namespace {

constexpr uint16_t CMD_USER = 0x004, CMD_PASS = 0x008, CMD_STLS = 0x400;

struct pop_state {
    uint16_t commands; /* one bit per command seen */
    uint8_t replies;   /* "+OK" / "-ERR" replies, modulo 4 */
    uint8_t stls;
    mail_credentials credentials;
    oxlo_framing::turns turns;
};

/* Longest line waited for. */
constexpr size_t LINE_MAX = 1024;

const char *const commands[] = {"AUTH", "APOP", "USER", "PASS", "CAPA", "LIST",
                                "STAT", "UIDL", "RETR", "DELE", "STLS"};

pop_state *state_of(oxlo_module *m, oxlo_flow_state *f)
{
    return static_cast<pop_state *>(oxlo_dissector_state_of(m, f, OXLO_PROTOCOL_POP3, 1));
}

/* The argument of a command line: from offset 5 to the line's end. */
oxlo_reader argument(const oxlo_reader &p)
{
    oxlo_reader rest = oxlo_rd_from(&p, 5), line = rest;
    oxlo_reader cursor = rest;
    if (oxlo_rd_line(&cursor, &line))
        return line;
    return rest;
}

int bits(uint16_t v)
{
    int n = 0;
    for (; v; v &= uint16_t(v - 1))
        n++;
    return n;
}

int extra_pop(oxlo_module *m, oxlo_flow_state *f);

/* The first line of a message (a command, or a reply with whatever data
 * follows it); false when the dissector gave up. */
bool read_line(oxlo_module *m, oxlo_flow_state *f, pop_state *s, const oxlo_reader &p)
{
    if (oxlo_rd_match(&p, 0, "+OK", 0)) {
        s->replies = uint8_t((s->replies + 1) & 3);
        if (s->stls) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_POPS, OXLO_PROTOCOL_UNKNOWN);
            if (m->cfg.pop_tls_dissection)
                tls_take_over_extra_dissection(m, f);
            return true;
        }
    } else if (oxlo_rd_match(&p, 0, "-ERR", 0)) {
        s->replies = uint8_t((s->replies + 1) & 3);
        s->stls = 0;
        if (s->credentials.password[0])
            s->credentials.auth_failed = 1;
    } else {
        int which = -1;
        /* A command is its four letters and then a blank or the line end:
         * "User-Agent:" of a waiting HTTP request is no USER. */
        uint8_t after = 0;
        const bool word = oxlo_rd_u8_at(&p, 4, &after) && (after == ' ' || after == '\r');
        for (int i = 0; word && i < int(sizeof(commands) / sizeof(commands[0])); i++)
            if (oxlo_rd_match(&p, 0, commands[i], 1)) {
                which = i;
                break;
            }
        if (which < 0) {
            const bool keep = (mail_ends_crlf(&p) || s->commands || s->replies) && s->turns.count < 12;
            if (!keep)
                OXLO_EXCLUDE(m, f);
            return keep;
        }
        const uint16_t bit = uint16_t(1u << which);
        s->commands |= bit;
        const oxlo_reader arg = argument(p);
        if (bit == CMD_USER) {
            mail_copy(s->credentials.user, sizeof(s->credentials.user), arg.data, arg.length);
            oxlo_dissector_risk(m, f, OXLO_CLEAR_TEXT_CREDENTIALS, "Found username (%s)", s->credentials.user);
        } else if (bit == CMD_PASS) {
            mail_copy(s->credentials.password, sizeof(s->credentials.password), arg.data, arg.length);
            oxlo_dissector_risk(m, f, OXLO_CLEAR_TEXT_CREDENTIALS, "Found password");
        } else if (bit == CMD_STLS) {
            s->stls = 1;
        }
    }
    if (mail_ends_crlf(&p) && bits(s->commands) + s->replies > 2 && s->replies > 0 &&
        (s->credentials.password[0] || s->replies == 3) && !f->app) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_POP3, OXLO_PROTOCOL_UNKNOWN);
        if (!s->credentials.password[0])
            oxlo_dissector_extra(f, extra_pop, 7);
    }
    return true;
}

/* The view's lines: the first of each message is read, the rest of a
 * message (a reply's data) is not. */
void read_view(oxlo_module *m, oxlo_flow_state *f, pop_state *s)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader lines;
    if (oxlo_framing::lines(m, f, pkt, LINE_MAX, oxlo_framing::line_text(pkt.payload), &lines))
        return;
    if (!oxlo_framing::new_turn(&s->turns, pkt))
        return;
    oxlo_reader line = lines;
    size_t at = 0;
    oxlo_framing::next_line(lines, &at, &line);
    read_line(m, f, s, line);
}

void search_pop(oxlo_module *m, oxlo_flow_state *f)
{
    pop_state *s = state_of(m, f);
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    read_view(m, f, s);
}

/* Classified before the password: read on until it comes. */
int extra_pop(oxlo_module *m, oxlo_flow_state *f)
{
    pop_state *s = state_of(m, f);
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (!s)
        return 0;
    if (pkt.payload.length == 0 || pkt.retransmission)
        return 1;
    read_view(m, f, s);
    if (!oxlo_dissector_extra_active(f, extra_pop))
        return oxlo_dissector_extra_active(f, nullptr); /* handed over to TLS */
    return s->credentials.password[0] ? 0 : 1;
}

int pop_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    static const pop_state empty = {};
    const void *st = oxlo_flow_slot_state(f, OXLO_DISSECTOR_mail_pop);
    return mail_json_block(out, "pop", st ? &static_cast<const pop_state *>(st)->credentials : &empty.credentials);
}

const uint16_t pop_protocols[] = {OXLO_PROTOCOL_POP3};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_mail_pop = {
    "MAIL_POP",
    search_pop,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    pop_protocols,
    1,
    sizeof(pop_state),
    nullptr,
    pop_json,
};

} // extern "C"
