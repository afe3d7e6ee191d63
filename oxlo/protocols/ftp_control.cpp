/* FTP control. The client sends four-letter commands (USER, PASS, RETR ...),
 * the server answers each with a three-digit code. The dissector takes the
 * credentials, classifies on the reply to a login (230 to USER alone, or any
 * reply once a password was sent) or on an error reply, and
 * hands a session secured with AUTH (code 234) to TLS as FTPS. Commands
 * and replies are read from the stream once their lines are complete, so a
 * reply of many lines in as many segments counts as one. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"
#include "protocols/mail_private.h"
#include "protocols/tls/tls_private.h"

#include <cctype>

namespace {

/* USER_SENT: the last command read was USER; LOGGED_IN: it was answered
 * 230 (an anonymous login that asks for no password never sends PASS). */
enum : uint8_t { AUTH_ASKED = 0x01, ERROR_REPLY = 0x02, TLS_ACCEPTED = 0x04, USER_SENT = 0x08, LOGGED_IN = 0x10 };
/* Longest command line and reply waited for; longer ones are read as they
 * come. Lines read from one view at most. */
constexpr size_t COMMAND_MAX = 512, REPLY_MAX = 4096;
constexpr unsigned LINES_PER_VIEW = 16;

struct ftp_state {
    mail_credentials credentials;
    uint8_t flags;
    uint8_t pending; /* 0 none, else the command's direction + 1 */
    /* Packets that only carried part of a line: not counted in the budget,
     * so a reply of one line per segment costs one packet. */
    uint16_t partial;
};

const char *const commands[] = {
    "ABOR", "ACCT", "ADAT", "ALLO", "APPE", "CCC", "CDUP", "CONF", "CWD", "DELE", "ENC", "EPRT", "EPSV", "FEAT",
    "HELP", "HOST", "LANG", "LIST", "LPRT", "LPSV", "MDTM", "MIC", "MKD", "MLSD", "MLST", "MODE", "NLST", "NOOP",
    "OPTS", "PASV", "PBSZ", "PORT", "PROT", "PWD", "QUIT", "REIN", "REST", "RETR", "RMD", "RNFR", "RNTO", "SITE",
    "SIZE", "SMNT", "STAT", "STOR", "STOU", "STRU", "SYST", "TYPE", "XCUP", "XMKD", "XPWD", "XRCP", "XRMD", "XRSQ",
    "XSEM", "XSEN"};

/* The payload is the command alone or the command and a blank. */
bool is_command(const oxlo_reader &p, const char *word)
{
    const size_t n = strlen(word);
    if (!oxlo_rd_match_n(&p, 0, word, n, 1))
        return false;
    uint8_t next = 0;
    return !oxlo_rd_u8_at(&p, n, &next) || next == ' ' || next == '\t' || next == '\r' || next == '\n';
}

/* The view begins a command whose line is not complete: a command word, or
 * the first letters of one. */
bool command_start(const oxlo_reader &p)
{
    if (oxlo_rd_find_byte(&p, 0, '\n') >= 0)
        return false;
    for (const char *cmd : commands) {
        const size_t n = strlen(cmd);
        if (p.length < n ? oxlo_rd_match_n(&p, 0, cmd, p.length, 1) : is_command(p, cmd))
            return true;
    }
    return is_command(p, "USER") || is_command(p, "PASS") || is_command(p, "AUTH") ||
           (p.length < 4 && (oxlo_rd_match_n(&p, 0, "USER", p.length, 1) || oxlo_rd_match_n(&p, 0, "PASS", p.length, 1) ||
                             oxlo_rd_match_n(&p, 0, "AUTH", p.length, 1)));
}

/* The length of the reply at the start of p (its last line included):
 * one line "ddd text", or lines from "ddd-text" to "ddd text". 0 when the
 * reply is not complete in p, or when p does not start with a code. */
size_t reply_length(const oxlo_reader &p, bool *started)
{
    const uint8_t *code = oxlo_rd_bytes_at(&p, 0, 3);
    *started = code && isdigit(code[0]) && isdigit(code[1]) && isdigit(code[2]);
    if (!*started)
        return 0;
    uint8_t mark = ' ';
    oxlo_rd_u8_at(&p, 3, &mark);
    size_t at = 0;
    for (;;) {
        const ptrdiff_t lf = oxlo_rd_find_byte(&p, at, '\n');
        if (lf < 0)
            return 0;
        uint8_t next = 0;
        const bool last = at == 0 ? mark != '-'
                                  : oxlo_rd_match_n(&p, at, reinterpret_cast<const char *>(code), 3, 0) &&
                                        (!oxlo_rd_u8_at(&p, at + 3, &next) || next != '-');
        at = size_t(lf) + 1;
        if (last)
            return at;
    }
}

/* The view is the first digits of a reply code, nothing more. */
bool reply_start(const oxlo_reader &p)
{
    if (!p.length || p.length >= 3)
        return false;
    for (size_t i = 0; i < p.length; i++)
        if (!isdigit(oxlo_rd_peek8(&p, i)))
            return false;
    return true;
}

void copy_argument(const oxlo_reader &p, char *out, size_t size)
{
    oxlo_copy_payload_text(p.data, p.length, 5, out, size);
}

bool read_command(oxlo_module *m, oxlo_flow_state *f, ftp_state *s, const oxlo_packet_view &pkt,
                  const oxlo_reader &p)
{
    mail_credentials &c = s->credentials;
    s->flags &= uint8_t(~USER_SENT);
    if (is_command(p, "USER")) {
        s->flags |= USER_SENT;
        copy_argument(p, c.user, sizeof(c.user));
        if (pkt.src_port == 21 || pkt.dst_port == 21 || f->app == OXLO_PROTOCOL_FTP_CONTROL)
            oxlo_dissector_risk(m, f, OXLO_CLEAR_TEXT_CREDENTIALS, "Found FTP username (%.45s)", c.user);
        return true;
    }
    if (is_command(p, "PASS")) {
        copy_argument(p, c.password, sizeof(c.password));
        return true;
    }
    if (is_command(p, "AUTH")) {
        s->flags |= AUTH_ASKED;
        return true;
    }
    for (const char *cmd : commands)
        if (is_command(p, cmd))
            return true;
    return false;
}

/* The command lines of the view (a client may send several at once); the
 * last one recognised leaves its reply pending. */
void read_commands(oxlo_module *m, oxlo_flow_state *f, ftp_state *s, const oxlo_packet_view &pkt)
{
    const oxlo_reader &p = pkt.payload;
    if (p.length <= 2)
        return;
    size_t at = 0;
    for (unsigned i = 0; i < LINES_PER_VIEW && at < p.length; i++) {
        const ptrdiff_t lf = oxlo_rd_find_byte(&p, at, '\n');
        const size_t end = lf < 0 ? p.length : size_t(lf) + 1;
        if (!read_command(m, f, s, pkt, oxlo_rd_sub_at(&p, at, end - at)))
            return;
        s->pending = uint8_t(pkt.direction + 1);
        at = end;
    }
}

void read_reply(oxlo_module *m, oxlo_flow_state *f, ftp_state *s, const oxlo_reader &p)
{
    uint8_t d[3];
    const uint8_t *b = oxlo_rd_bytes_at(&p, 0, 3);
    if (p.length <= 2 || !b)
        return;
    memcpy(d, b, 3);
    if (!isdigit(d[0]) || !isdigit(d[1]) || !isdigit(d[2]))
        return;
    const int code = (d[0] - '0') * 100 + (d[1] - '0') * 10 + (d[2] - '0');
    if (code < 100 || code > 599)
        return;
    if ((code == 234 || code == 334) && (s->flags & AUTH_ASKED))
        s->flags |= TLS_ACCEPTED;
    if (code == 230 && (s->flags & USER_SENT))
        s->flags |= LOGGED_IN;
    if (code >= 400) {
        s->flags |= ERROR_REPLY;
        if (s->credentials.user[0])
            s->credentials.auth_failed = code == 530;
    }
    if ((s->flags & TLS_ACCEPTED) && m->cfg.ftp_tls_dissection) {
        oxlo_flow_host_clear(f);
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_FTPS, OXLO_PROTOCOL_UNKNOWN);
        tls_take_over_extra_dissection(m, f);
    } else if ((s->flags & (ERROR_REPLY | LOGGED_IN)) || s->credentials.password[0]) {
        oxlo_flow_host_clear(f);
        if (!f->app)
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_FTP_CONTROL, OXLO_PROTOCOL_UNKNOWN);
    }
}

/* Keeps the view and asks for the next bytes of a line; the packet that
 * brings them is not charged to the budget when it still ends mid-line. */
bool wait_for_line(oxlo_module *m, oxlo_flow_state *f, ftp_state *s, const oxlo_reader &p)
{
    if (oxlo_dissector_need(m, f, p.length + 1) != 0)
        return false;
    if (s->partial < 0xFFFF)
        s->partial++;
    return true;
}

void search_ftp(oxlo_module *m, oxlo_flow_state *f)
{
    ftp_state *s = static_cast<ftp_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    /* Mail servers greet and answer in the same three-digit way. Packets
     * with payload count, so the handshake does not use up the budget. */
    if (!s || pkt.src_port == 25 || pkt.dst_port == 25 || pkt.src_port == 110 || pkt.dst_port == 110 ||
        (pkt.payload_packets > s->partial ? pkt.payload_packets - s->partial : 0) > 8) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const oxlo_reader &p = pkt.payload;
    bool started = false;
    if (!s->pending) {
        /* A greeting (or a reply to a command sent before the flow was
         * picked up) cut short waits as a command does. */
        if (p.length < COMMAND_MAX && command_start(p) && wait_for_line(m, f, s, p))
            return;
        if ((reply_start(p) || (!reply_length(p, &started) && started)) && p.length < REPLY_MAX &&
            wait_for_line(m, f, s, p))
            return;
        read_commands(m, f, s, pkt);
        return;
    }
    if (s->pending == pkt.direction + 1)
        return;
    size_t n = reply_length(p, &started);
    if (((started && !n) || reply_start(p)) && p.length < REPLY_MAX && wait_for_line(m, f, s, p))
        return;
    read_reply(m, f, s, p);
    s->pending = 0;
    /* Replies to commands sent together: each in turn. */
    for (unsigned i = 1; n && n < p.length && i < LINES_PER_VIEW && !f->app; i++) {
        const oxlo_reader rest = oxlo_rd_from(&p, n);
        const size_t more = reply_length(rest, &started);
        if (!more)
            break;
        read_reply(m, f, s, rest);
        n += more;
    }
}

int ftp_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    static const ftp_state empty = {};
    const void *st = oxlo_flow_slot_state(f, OXLO_DISSECTOR_ftp_control);
    return mail_json_block(out, "ftp", st ? &static_cast<const ftp_state *>(st)->credentials : &empty.credentials);
}

const uint16_t ftp_protocols[] = {OXLO_PROTOCOL_FTP_CONTROL, OXLO_PROTOCOL_FTPS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_ftp_control = {
    "FTP_CONTROL",
    search_ftp,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    ftp_protocols,
    2,
    sizeof(ftp_state),
    nullptr,
    ftp_json,
};

} // extern "C"
