/* IMAP. Every line starts with a tag (the client's own, "*" for untagged
 * server data, "+" for a continuation) followed by a command or a status
 * word. The dissector counts recognised exchanges, takes the credentials of
 * a LOGIN, and after a successful STARTTLS hands the flow to TLS as IMAPS. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"
#include "protocols/mail_private.h"
#include "protocols/tls/tls_private.h"
#include "protocols/framing.h"

#include <cctype>

namespace {

struct imap_state {
    uint8_t count;    /* recognised exchanges, saturating at 7 */
    uint8_t starttls; /* a STARTTLS waits for its OK */
    mail_credentials credentials;
    oxlo_framing::turns turns;
};

/* Longest line waited for. */
constexpr size_t LINE_MAX = 2048;

bool tag_char(uint8_t c) { return isalnum(c) || c == '*' || c == '.'; }

/* Offset of the word after the line's tag (and after a message number
 * following it, as in "* 23 EXISTS"), or -1 when the line has no tag. */
ptrdiff_t word_after_tag(const oxlo_reader &line, bool check)
{
    size_t i = 0;
    if (check) {
        uint8_t c = 0;
        if (!oxlo_rd_u8_at(&line, 0, &c) || !(isalpha(c) || c == '*' || c == '+'))
            return -1;
        i = 1;
        while (i < line.length && i < 20 && tag_char(oxlo_rd_peek8(&line, i)))
            i++;
    } else {
        while (i < line.length && oxlo_rd_peek8(&line, i) != ' ')
            i++;
    }
    if (i >= line.length || oxlo_rd_peek8(&line, i) != ' ')
        return -1;
    i++;
    size_t digits = i;
    while (digits < line.length && isdigit(oxlo_rd_peek8(&line, digits)))
        digits++;
    if (digits > i && digits < line.length && oxlo_rd_peek8(&line, digits) == ' ')
        i = digits + 1;
    return ptrdiff_t(i);
}

void take_login(oxlo_module *m, oxlo_flow_state *f, imap_state *s, const oxlo_reader &rest)
{
    const size_t n = rest.length < 255 ? rest.length : 255;
    size_t token = 0, start = 0;
    for (size_t i = 0; i <= n && token < 2; i++) {
        const bool end = i == n || oxlo_rd_peek8(&rest, i) == ' ' || oxlo_rd_peek8(&rest, i) == '"' || oxlo_rd_peek8(&rest, i) == '\r' ||
                         oxlo_rd_peek8(&rest, i) == '\n';
        if (!end)
            continue;
        if (i > start) {
            if (token == 0) {
                mail_copy(s->credentials.user, sizeof(s->credentials.user), rest.data + start, i - start);
                oxlo_dissector_risk(m, f, OXLO_CLEAR_TEXT_CREDENTIALS, "Found IMAP username (%s)",
                                    s->credentials.user);
            } else {
                mail_copy(s->credentials.password, sizeof(s->credentials.password), rest.data + start, i - start);
            }
            token++;
        }
        start = i + 1;
    }
}

void count(imap_state *s)
{
    if (s->count < 7)
        s->count++;
}

/* The word of one line; returns true when the search is over for the packet. */
bool read_word(oxlo_module *m, oxlo_flow_state *f, imap_state *s, const oxlo_reader &line, size_t at, bool *counted)
{
    const oxlo_reader w = oxlo_rd_from(&line, at);
    auto is = [&](const char *word) { return oxlo_rd_match(&w, 0, word, 1); };
    if (is("OK ")) {
        count(s);
        *counted = true;
        if (s->starttls) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_IMAPS, OXLO_PROTOCOL_UNKNOWN);
            if (m->cfg.imap_tls_dissection)
                tls_take_over_extra_dissection(m, f);
            return true;
        }
        return false;
    }
    if (is("UID")) {
        count(s);
        *counted = true;
        return false;
    }
    if (is("NO "))
        return false;
    s->starttls = 0;
    count(s);
    *counted = true;
    if (is("STARTTLS")) {
        s->starttls = 1;
    } else if (is("LOGIN")) {
        take_login(m, f, s, oxlo_rd_from(&w, 5));
    } else if (is("AUTHENTICATE")) {
        /* A clear-text SASL exchange: still IMAP, only STARTTLS makes IMAPS. */
    } else if (is("LSUB") || is("LIST") || is("NOOP") || is("IDLE") || is("SELECT") || is("EXISTS") ||
               is("APPEND")) {
        if (s->count == 7) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_IMAP, OXLO_PROTOCOL_UNKNOWN);
            return true;
        }
    }
    return false;
}

void search_imap(oxlo_module *m, oxlo_flow_state *f)
{
    imap_state *s = static_cast<imap_state *>(oxlo_dissector_state_of(m, f, OXLO_PROTOCOL_IMAP, 1));
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    /* Lines are read whole from the stream, each as the server reads it,
     * however the sender cut its writes; the budget counts messages (the
     * lines one side writes before the other answers). */
    oxlo_reader lines;
    if (oxlo_framing::lines(m, f, pkt, LINE_MAX, oxlo_framing::line_text(pkt.payload), &lines))
        return;
    oxlo_framing::new_turn(&s->turns, pkt);
    size_t next = 0;
    oxlo_reader p = lines;
    while (oxlo_framing::next_line(lines, &next, &p)) {
        if (p.length <= 3 || !mail_ends_crlf(&p))
            continue;
        const oxlo_reader line = oxlo_rd_upto(&p, p.length - 2); /* without its CR LF */
        bool counted = false, tagged = true;
        if (p.length == 6 && oxlo_rd_match(&p, 0, "DONE", 1)) {
            counted = true;
        } else {
            const ptrdiff_t at = word_after_tag(line, s->count <= 4);
            if (at >= 0) {
                if (read_word(m, f, s, line, size_t(at), &counted))
                    return;
            } else {
                /* A line without a tag (a literal's data, a wrapped line)
                 * decides nothing: the message budget below does. */
                tagged = false;
            }
        }
        if (tagged && counted &&
            ((s->count == 3 || s->count == 5) ? s->credentials.user[0] != '\0' : s->count == 7)) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_IMAP, OXLO_PROTOCOL_UNKNOWN);
            return;
        }
        if (tagged && line.length > 0 && oxlo_rd_peek8(&line, line.length - 1) == ' ') {
            s->count = 4;
            return;
        }
    }
    if (mail_ends_crlf(&lines) && s->count > 0 && s->turns.count <= 7)
        return;
    OXLO_EXCLUDE(m, f);
}

int imap_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *s)
{
    const void *st = oxlo_flow_slot_state(f, OXLO_DISSECTOR_mail_imap);
    static const imap_state empty = {};
    return mail_json_block(s, "imap", st ? &static_cast<const imap_state *>(st)->credentials : &empty.credentials);
}

const uint16_t imap_protocols[] = {OXLO_PROTOCOL_IMAP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_mail_imap = {
    "MAIL_IMAP",
    search_imap,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    imap_protocols,
    1,
    sizeof(imap_state),
    nullptr,
    imap_json,
};

} // extern "C"
