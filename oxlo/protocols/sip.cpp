/* SIP: text requests ("INVITE sip:...", "OPTIONS sip:...") and responses
 * ("SIP/2.0 200 OK") over UDP or TCP, sometimes behind a 4-byte frame whose
 * last two bytes give the length of the text; a bare "hello" is a keep-alive.
 * Once the flow is SIP, the From and To header values are kept (and the IMSI
 * when the user part of a sip: URI is one), each under its own knob. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_flow_json.h"
#include "oxlo_private.h"
#include "oxlo_utils.h"

namespace {

constexpr uint16_t max_packets = 7;
/* Packets the header capture reads after the classifying one when a header
 * it wants has not come yet (keep-alives, framed heads). */
constexpr uint8_t header_packets = 8;
constexpr size_t imsi_max = 15;

struct sip_state {
    char *from, *to;
    char from_imsi[imsi_max + 1], to_imsi[imsi_max + 1];
};

void release_sip(void *state)
{
    sip_state *s = static_cast<sip_state *>(state);
    oxlo_heap_free(s->from);
    oxlo_heap_free(s->to);
    s->from = s->to = nullptr;
}

/* Request methods and the response version by first letter; a request
 * names its URI scheme right after the method. */
const char *const requests[][3] = {
    /* A */ {"Ack sip", "Ack tel", nullptr},
    /* B */ {"Bye sip", nullptr, nullptr},
    /* C */ {"Cancel sip", "Cancel tel", nullptr},
    /* I */ {"Invite sip", "Info sip", nullptr},
    /* M */ {"Message sip", nullptr, nullptr},
    /* N */ {"Notify sip", nullptr, nullptr},
    /* O */ {"Options sip", "Options tel", nullptr},
    /* P */ {"Publish sip", "Prack sip", nullptr},
    /* R */ {"Register sip", "Refer sip", nullptr},
    /* S */ {"Subscribe sip", "SIP/2.0", nullptr},
};
const char first_letters[] = "abcimnoprs";

bool known_start(const oxlo_reader &t)
{
    uint8_t c = 0;
    if (!oxlo_rd_u8_at(&t, 0, &c))
        return false;
    const char *at = strchr(first_letters, oxlo_rd_lower(c));
    if (!at || !*at)
        return false;
    for (const char *entry : requests[at - first_letters]) {
        if (!entry)
            break;
        const size_t n = strlen(entry);
        if (n < t.length && oxlo_rd_match_n(&t, 0, entry, n, 1))
            return true;
    }
    return false;
}

/* The user part of "<sip:USER@" in value when it is an IMSI (14 or 15
 * digits); empty otherwise. */
void copy_imsi(const char *value, char out[imsi_max + 1])
{
    const oxlo_reader v = oxlo_reader_make(value, strlen(value));
    const ptrdiff_t open = oxlo_rd_find(&v, 0, "<sip:", 0);
    if (open < 0)
        return;
    const size_t user = size_t(open) + 5;
    const ptrdiff_t at = oxlo_rd_find_byte(&v, user, '@');
    if (at < 0)
        return;
    const size_t n = size_t(at) - user;
    if (n < 14 || n > imsi_max)
        return;
    for (size_t i = 0; i < n; i++)
        if (value[user + i] < '0' || value[user + i] > '9')
            return;
    memcpy(out, value + user, n);
    out[n] = '\0';
}

/* The header's value trimmed of blanks, as an owned text; NULL when empty
 * or out of memory. */
char *header_copy(const oxlo_payload_line &line, size_t name_length)
{
    size_t n = line.len - name_length;
    const char *v = oxlo_trim_spaces(reinterpret_cast<const char *>(line.ptr) + name_length, &n);
    return v ? oxlo_copy_bytes_as_string(v, n) : nullptr;
}

bool header_capture_on(const oxlo_module *m)
{
    return m->cfg.sip_attribute_from || m->cfg.sip_attribute_from_imsi || m->cfg.sip_attribute_to ||
           m->cfg.sip_attribute_to_imsi;
}

/* True once every header the knobs ask for is kept. */
bool headers_done(const oxlo_module *m, const sip_state *s)
{
    return (s->from || !m->cfg.sip_attribute_from) && (s->to || !m->cfg.sip_attribute_to);
}

void capture_headers(oxlo_module *m, oxlo_flow_state *f, sip_state *s)
{
    oxlo_parse_payload_lines(m, f);
    uint16_t line_count = 0;
    const oxlo_line_table &lines = *oxlo_dissector_lines(m, &line_count);
    for (uint16_t i = 0; i < line_count && i < OXLO_MAX_PAYLOAD_LINES; i++) {
        const oxlo_payload_line &l = lines.line[i];
        if (!l.ptr)
            continue;
        const oxlo_reader line = oxlo_reader_make(l.ptr, l.len);
        if (!s->from && m->cfg.sip_attribute_from && line.length > 4 && oxlo_rd_match(&line, 0, "From:", 0)) {
            s->from = header_copy(l, 5);
            if (s->from && m->cfg.sip_attribute_from_imsi)
                copy_imsi(s->from, s->from_imsi);
        } else if (!s->to && m->cfg.sip_attribute_to && line.length > 2 && oxlo_rd_match(&line, 0, "To:", 0)) {
            s->to = header_copy(l, 3);
            if (s->to && m->cfg.sip_attribute_to_imsi)
                copy_imsi(s->to, s->to_imsi);
        }
    }
}

sip_state *state_of(oxlo_module *m, oxlo_flow_state *f)
{
    return static_cast<sip_state *>(oxlo_dissector_state_of(m, f, OXLO_PROTOCOL_SIP, 0));
}

/* Later packets of a SIP flow, until the wanted headers came or the budget
 * ran out. */
int extra_sip(oxlo_module *m, oxlo_flow_state *f)
{
    sip_state *s = state_of(m, f);
    if (!s)
        return 0;
    if (oxlo_dissector_packet(m, f).segment.length)
        capture_headers(m, f, s);
    return headers_done(m, s) ? 0 : 1;
}

/* The state is made only here: a flow that is still waiting (most flows
 * SIP looks at never are SIP) holds nothing of it. */
void classify_sip(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SIP, OXLO_PROTOCOL_UNKNOWN);
    if (!header_capture_on(m))
        return;
    sip_state *s = static_cast<sip_state *>(oxlo_dissector_state(m, f));
    if (!s)
        return; /* no memory: the flow is SIP without its headers */
    capture_headers(m, f, s);
    if (!headers_done(m, s))
        oxlo_dissector_extra(f, extra_sip, header_packets);
}

void search_sip(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (pkt.payload_packets > max_packets) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.payload.length < 5)
        return;
    oxlo_reader t = pkt.payload;
    uint16_t framed = 0;
    if (oxlo_rd_u16_at(&t, 2, &framed) && size_t(framed) + 4 == t.length)
        t = oxlo_rd_from(&t, 4);
    uint8_t first = 0;
    if (!oxlo_rd_u8_at(&t, 0, &first) || first < 0x20 || first > 0x7E) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (t.length == 5) {
        if (oxlo_rd_equals(&t, "hello", 0))
            classify_sip(m, f);
        return;
    }
    if (t.length < 30)
        return;
    if (known_start(t))
        classify_sip(m, f);
}

int sip_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const sip_state *s = static_cast<const sip_state *>(oxlo_flow_slot_state(f, OXLO_DISSECTOR_sip));
    int rc = oxlo_recbuf_open_block(out, "sip");
    if (s && s->from)
        rc |= oxlo_recbuf_put_text(out, "from", s->from);
    if (s && s->from_imsi[0])
        rc |= oxlo_recbuf_put_text(out, "from_imsi", s->from_imsi);
    if (s && s->to)
        rc |= oxlo_recbuf_put_text(out, "to", s->to);
    if (s && s->to_imsi[0])
        rc |= oxlo_recbuf_put_text(out, "to_imsi", s->to_imsi);
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SIP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_sip = {
    "SIP", search_sip, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, sizeof(sip_state), release_sip, sip_json,
};

} // extern "C"
