/* SMTP. Replies are three digits and a space or dash ("220 ", "250-"),
 * commands are words (EHLO, MAIL, RCPT, AUTH, STARTTLS ...). The dissector
 * collects the replies and commands it sees, names the server from its
 * greeting, decodes AUTH PLAIN and AUTH LOGIN credentials, and after
 * STARTTLS and the server's 220 hands the flow to TLS as SMTPS. */
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

enum : uint16_t {
    R220 = 0x0001, R250 = 0x0002, R235 = 0x0004, R334 = 0x0008, R354 = 0x0010, C_HELO = 0x0020,
    C_MAIL = 0x0040, C_RCPT = 0x0080, C_AUTH_LOGIN = 0x0100, C_STARTTLS = 0x0200, C_DATA = 0x0400,
    C_NOOP = 0x0800, C_RSET = 0x1000, C_AUTH_PLAIN = 0x4000,
};
enum : uint8_t { AUTH_RUNNING = 0x01, TLS_STARTED = 0x04, TLS_PLAIN = 0x08, TLS_MASK = 0x0C };
constexpr uint8_t EXTRA_PACKETS = 12;
constexpr int MAX_LINES = 63;
/* Longest line waited for. */
constexpr size_t LINE_MAX = 1024;

struct smtp_state {
    uint16_t seen;
    uint8_t auth;
    uint8_t too_many; /* the message in process has more than MAX_LINES lines */
    uint16_t lines;   /* lines of the message in process */
    mail_credentials credentials;
    oxlo_framing::turns turns;
};

smtp_state *state_of(oxlo_module *m, oxlo_flow_state *f, int create)
{
    return static_cast<smtp_state *>(oxlo_dissector_state_of(m, f, OXLO_PROTOCOL_SMTP, create));
}

int bits(uint16_t v)
{
    int n = 0;
    for (; v; v &= uint16_t(v - 1))
        n++;
    return n;
}

/* Decodes base64 text into a buffer sized from it; NULL when it is not
 * base64. The caller frees. */
uint8_t *decode(const oxlo_reader &text, size_t *length)
{
    return oxlo_decode_base64(reinterpret_cast<const char *>(text.data), text.length, length);
}

void auth_plain(oxlo_module *m, oxlo_flow_state *f, smtp_state *s, const oxlo_reader &line)
{
    if (line.length <= 11)
        return;
    size_t n = 0;
    uint8_t *plain = decode(oxlo_rd_from(&line, 11), &n);
    if (!plain)
        return;
    /* authorization-id NUL user NUL password */
    const oxlo_reader r = oxlo_reader_make(plain, n);
    const ptrdiff_t first = oxlo_rd_find_byte(&r, 0, 0);
    const ptrdiff_t second = first < 0 ? -1 : oxlo_rd_find_byte(&r, size_t(first) + 1, 0);
    if (second > first) {
        mail_copy(s->credentials.user, sizeof(s->credentials.user), plain + first + 1, size_t(second - first - 1));
        mail_copy(s->credentials.password, sizeof(s->credentials.password), plain + second + 1,
                  n - size_t(second) - 1);
        oxlo_dissector_risk(m, f, OXLO_CLEAR_TEXT_CREDENTIALS, "Found username (%s)", s->credentials.user);
    }
    oxlo_heap_free(plain);
}

/* A line of an AUTH LOGIN exchange: the user name, then the password.
 * Returns false when both were already taken (the exchange is over). */
bool auth_login(oxlo_module *m, oxlo_flow_state *f, smtp_state *s, const oxlo_reader &line)
{
    mail_credentials &c = s->credentials;
    if (c.user[0] && c.password[0])
        return false;
    size_t n = 0;
    uint8_t *plain = decode(line, &n);
    if (!plain)
        return true;
    if (!c.user[0]) {
        mail_copy(c.user, sizeof(c.user), plain, n);
        oxlo_dissector_risk(m, f, OXLO_CLEAR_TEXT_CREDENTIALS, "Found SMTP username (%s)", c.user);
    } else {
        mail_copy(c.password, sizeof(c.password), plain, n);
        oxlo_dissector_risk(m, f, OXLO_CLEAR_TEXT_CREDENTIALS, "Found password");
    }
    oxlo_heap_free(plain);
    return true;
}

int extra_smtp(oxlo_module *m, oxlo_flow_state *f);

void greeting_host(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader &line)
{
    uint8_t c4 = 0;
    if (oxlo_flow_host(f)[0] || line.length < 5 || (oxlo_rd_u8_at(&line, 4, &c4) && c4 == '('))
        return;
    const oxlo_reader rest = oxlo_rd_from(&line, 4);
    const ptrdiff_t space = oxlo_rd_find_byte(&rest, 0, ' ');
    const size_t n = space < 0 ? rest.length : size_t(space);
    oxlo_flow_store_host_name(f, reinterpret_cast<const char *>(rest.data), n,
                              OXLO_HOST_LOWER | OXLO_HOST_PRINTABLE | OXLO_HOST_STRIP_SPACES);
    oxlo_host_name_classify(m, f, OXLO_PROTOCOL_SMTP, oxlo_flow_host(f), strlen(oxlo_flow_host(f)));
    if (f->app && !oxlo_dissector_extra_active(f, nullptr))
        oxlo_dissector_extra(f, extra_smtp, EXTRA_PACKETS);
}

/* One line; false when the dissector must stop. */
bool read_line(oxlo_module *m, oxlo_flow_state *f, smtp_state *s, const oxlo_reader &line)
{
    if (line.length < 3)
        return true;
    auto at0 = [&](const char *t) { return oxlo_rd_match(&line, 0, t, 1) != 0; };
    static const struct {
        const char *code;
        uint16_t bit;
    } replies[] = {{"220", R220}, {"250", R250}, {"235", R235}, {"334", R334}, {"354", R354}};
    for (const auto &r : replies)
        if (at0(r.code)) {
            if (r.bit == R220 && !(s->seen & R220))
                greeting_host(m, f, line);
            s->seen |= r.bit;
        }
    if (line.length > 4) {
        if (at0("HELO ") || at0("EHLO ")) {
            s->seen |= C_HELO;
            s->auth &= uint8_t(~AUTH_RUNNING);
        } else if (at0("MAIL ") || at0("RCPT ")) {
            s->seen |= at0("MAIL ") ? C_MAIL : C_RCPT;
            s->auth = uint8_t((s->auth & ~TLS_MASK) | TLS_PLAIN);
        } else if (at0("AUTH ")) {
            s->auth |= AUTH_RUNNING;
            uint8_t c = 0;
            oxlo_rd_u8_at(&line, 5, &c);
            if (c == 'L' || c == 'l') {
                s->seen |= C_AUTH_LOGIN;
            } else if (c == 'P' || c == 'p') {
                s->seen |= C_AUTH_PLAIN;
                auth_plain(m, f, s, line);
                s->auth = uint8_t((s->auth & ~TLS_MASK) | TLS_PLAIN);
            }
        }
    }
    /* The base64 lines of an AUTH LOGIN exchange: "Ym9i" ("bob") is only
     * four bytes long, so these are read whatever their length. */
    uint8_t c3 = 0;
    const bool reply = oxlo_rd_u8_at(&line, 3, &c3) && (c3 == ' ' || c3 == '-');
    if (!reply && !at0("AUTH ") && (s->seen & C_AUTH_LOGIN) && (s->auth & AUTH_RUNNING) && (s->seen & R220)) {
        if (!auth_login(m, f, s, line)) {
            /* A third line after user and password is no AUTH LOGIN
             * exchange: neither is the name the greeting gave. */
            oxlo_flow_host_clear(f);
            OXLO_EXCLUDE(m, f);
            return false;
        }
        if (s->credentials.password[0])
            s->auth = uint8_t((s->auth & ~TLS_MASK) | TLS_PLAIN);
    }
    if (line.length >= 8 && (at0("STARTTLS") || (line.length > 13 && at0("X-AnonymousTLS")))) {
        s->seen |= C_STARTTLS;
        s->auth = uint8_t((s->auth & ~TLS_MASK) | TLS_STARTED);
    }
    if (line.length >= 4) {
        if (at0("DATA"))
            s->seen |= C_DATA;
        else if (at0("NOOP"))
            s->seen |= C_NOOP;
        else if (at0("RSET"))
            s->seen |= C_RSET;
    }
    return true;
}

/* The view's whole lines, read from the stream: a message (the lines one
 * side writes before the other answers) is read however many segments
 * carried it, and the packet budgets count messages. */
void read_packet(oxlo_module *m, oxlo_flow_state *f, smtp_state *s)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p;
    if (oxlo_framing::lines(m, f, pkt, LINE_MAX, oxlo_framing::line_text(pkt.payload), &p))
        return;
    const bool opens = oxlo_framing::new_turn(&s->turns, pkt);
    if (opens) {
        s->lines = 0;
        s->too_many = 0;
    }
    if (p.length > 2 && mail_ends_crlf(&p)) {
        oxlo_reader r = p, line = p;
        while (!s->too_many && oxlo_rd_line(&r, &line)) {
            if (++s->lines > MAX_LINES) {
                s->too_many = 1;
                break;
            }
            if (!read_line(m, f, s, line))
                return;
        }
    }
    /* More lines of the message in process cost its follow-up nothing,
     * up to the message's line cap. */
    if (!opens && !s->too_many)
        oxlo_dissector_extra_uncharged(m);
    const int n = s->too_many ? 0 : bits(s->seen);
    if (n > 2) {
        if (!f->app)
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SMTP, OXLO_PROTOCOL_UNKNOWN);
        if (!oxlo_dissector_extra_active(f, nullptr))
            oxlo_dissector_extra(f, extra_smtp, EXTRA_PACKETS);
        return;
    }
    if (n > 0) {
        if (s->turns.count >= 12)
            OXLO_EXCLUDE(m, f);
        return;
    }
    const bool opening = mail_ends_crlf(&p) && (oxlo_rd_match(&p, 0, "220", 0) || oxlo_rd_match(&p, 0, "EHLO", 1));
    if (!(s->turns.count <= 4 && (opening || !opens)) && !oxlo_dissector_extra_active(f, nullptr))
        OXLO_EXCLUDE(m, f);
}

void search_smtp(oxlo_module *m, oxlo_flow_state *f)
{
    smtp_state *s = state_of(m, f, 1);
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    read_packet(m, f, s);
}

/* The rest of a classified session: credentials, then, after STARTTLS, the
 * server's 220 before TLS begins. */
int extra_smtp(oxlo_module *m, oxlo_flow_state *f)
{
    smtp_state *s = state_of(m, f, 0);
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (!s)
        return 0;
    if (pkt.payload.length == 0 || pkt.retransmission)
        return 1;
    if ((s->auth & TLS_MASK) != TLS_STARTED) {
        read_packet(m, f, s);
        return !s->credentials.password[0] && (s->auth & TLS_MASK) != TLS_PLAIN ? 1 : 0;
    }
    if (!m->cfg.smtp_tls_dissection)
        return 0;
    oxlo_reader p;
    if (oxlo_framing::lines(m, f, pkt, LINE_MAX, oxlo_rd_match_n(&pkt.payload, 0, "220", pkt.payload.length < 3 ? pkt.payload.length : 3, 0), &p))
        return 1;
    if (!oxlo_rd_match(&p, 0, "220", 0))
        return 0;
    if (f->app && f->app != OXLO_PROTOCOL_SMTP)
        oxlo_flow_set_protocol(m, f, f->app, OXLO_PROTOCOL_SMTPS, OXLO_CONFIDENCE_DPI);
    else
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SMTPS, OXLO_PROTOCOL_UNKNOWN);
    tls_take_over_extra_dissection(m, f);
    return 1;
}

int smtp_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    static const smtp_state empty = {};
    const void *st = oxlo_flow_slot_state(f, OXLO_DISSECTOR_mail_smtp);
    return mail_json_block(out, "smtp", st ? &static_cast<const smtp_state *>(st)->credentials : &empty.credentials);
}

const uint16_t smtp_protocols[] = {OXLO_PROTOCOL_SMTP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_mail_smtp = {
    "MAIL_SMTP",
    search_smtp,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    smtp_protocols,
    1,
    sizeof(smtp_state),
    nullptr,
    smtp_json,
};

} // extern "C"
