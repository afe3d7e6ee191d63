/* rsh on port 514: the client sends its stderr port as decimal digits and a
 * NUL (the NUL alone when it wants no stderr connection), then three
 * NUL-terminated strings: local user, remote user and the command, in the
 * same segment or the next. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_serializer.h"
#include "oxlo_utils.h"

#include <cctype>

namespace {


struct rsh_state {
    char client_user[33], server_user[33], command[49];
};

/* The NUL-terminated string at *at (printable), copied cut to size. */
bool take_string(const oxlo_reader &p, size_t *at, char *out, size_t size)
{
    const ptrdiff_t nul = oxlo_rd_find_byte(&p, *at, 0);
    if (nul < 0)
        return false;
    const size_t n = size_t(nul) - *at;
    const uint8_t *text = oxlo_rd_bytes_at(&p, *at, n);
    if (!text || !oxlo_is_printable_text(reinterpret_cast<const char *>(text), n))
        return false;
    const size_t keep = n < size - 1 ? n : size - 1;
    memcpy(out, text, keep);
    out[keep] = '\0';
    *at = size_t(nul) + 1;
    return true;
}

/* Longest opening (port and the three strings) waited for. */
constexpr size_t OPENING_MAX = 1024;

/* The client's opening at the start of its stream: 1 when the three
 * strings are whole, 0 when the bytes are a plausible start cut short, -1 when they are no opening. *strings gets
 * the offset of the first string. Like the strings, the bytes at hand
 * end in a NUL. */
int opening(const oxlo_reader &p, size_t *strings)
{
    size_t digits = 0;
    while (digits < p.length && isdigit(oxlo_rd_peek8(&p, digits)))
        digits++;
    if (digits > 6)
        return -1;
    if (digits == p.length)
        return 0;
    /* No digits: the client wants no stderr connection (rcp). */
    if (digits == 1 || oxlo_rd_peek8(&p, digits) != 0)
        return -1;
    *strings = digits + 1;
    size_t at = *strings;
    for (int i = 0; i < 3; i++) {
        const ptrdiff_t nul = oxlo_rd_find_byte(&p, at, 0);
        const size_t end = nul < 0 ? p.length : size_t(nul);
        const uint8_t *text = oxlo_rd_bytes_at(&p, at, end - at);
        if (end > at && (!text || !oxlo_is_printable_text(reinterpret_cast<const char *>(text), end - at)))
            return -1;
        /* rcmd always names the local user: a NUL right behind the port's
         * is none. */
        if (i == 0 && nul >= 0 && end == at)
            return -1;
        if (nul < 0)
            return 0;
        at = end + 1;
    }
    return oxlo_rd_peek8(&p, p.length - 1) == 0 ? 1 : -1;
}

/* The opening is read from the client's stream, however it cut its
 * writes (rcmd writes the port and the strings at once, older clients the
 * port first): a start of it waits for the rest, bounded by bytes. */
void search_rsh(oxlo_module *m, oxlo_flow_state *f)
{
    rsh_state *s = static_cast<rsh_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (!s || (pkt.src_port != 514 && pkt.dst_port != 514)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    size_t at = 0;
    const int whole = pkt.dst_port == 514 ? opening(p, &at) : -1;
    if (whole == 0 && p.length < OPENING_MAX && pkt.l4 == OXLO_L4_TCP && oxlo_dissector_need(m, f, p.length + 1) == 0)
        return;
    char local[33];
    if (whole == 1 && take_string(p, &at, local, sizeof(local)) &&
        take_string(p, &at, s->server_user, sizeof(s->server_user)) &&
        take_string(p, &at, s->command, sizeof(s->command))) {
        memcpy(s->client_user, local, sizeof(local));
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RSH, OXLO_PROTOCOL_UNKNOWN);
        oxlo_dissector_risk(m, f, OXLO_CLEAR_TEXT_CREDENTIALS, "User '%s' executing '%s'", s->server_user, s->command);
        return;
    }
    uint8_t last = 0;
    if (pkt.payload_packets > 5 && pkt.dst_port != 514) {
        if (oxlo_rd_u8_at(&p, p.length - 1, &last) && last == '\n')
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_RSH, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    OXLO_EXCLUDE(m, f);
}

int rsh_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    static const rsh_state empty = {};
    const void *st = oxlo_flow_slot_state(f, OXLO_DISSECTOR_rsh);
    const rsh_state *s = st ? static_cast<const rsh_state *>(st) : &empty;
    int rc = oxlo_recbuf_open_block(out, "rsh");
    rc |= oxlo_recbuf_put_text(out, "client_username", s->client_user);
    rc |= oxlo_recbuf_put_text(out, "server_username", s->server_user);
    rc |= oxlo_recbuf_put_text(out, "command", s->command);
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_RSH};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_rsh = {
    "RSH", search_rsh, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, sizeof(rsh_state), nullptr, rsh_json,
};
} // extern "C"
