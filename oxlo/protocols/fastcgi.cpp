/* FastCGI between a web server and an application server: records of an
 * 8-byte header (version 1, type, request id, content length, padding
 * length) and their content. A request is BEGIN_REQUEST, PARAMS records
 * holding the CGI variables as name-value pairs, an empty PARAMS record
 * and STDIN; web servers write them together, so one payload holds several
 * records. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_discovery.h"
#include "oxlo_private.h"
#include "oxlo_risks.h"
#include "oxlo_utils.h"
#include "oxlo_automaton.h"
#include "protocols/framing.h"

namespace {

constexpr uint8_t PARAMS = 4;
constexpr size_t HEADER = 8;
/* Records a request is read over before it is named without its
 * variables (the ones that open it and the next). */
constexpr unsigned wait_records = 2;
/* The most records walked, and the most bytes of a request waited for. */
constexpr unsigned max_records = 64;
constexpr uint64_t REQUEST_MAX = 16384;

struct fastcgi_state {
    char method[16];
    char url[64];
    char user_agent[32];
};

/* A pair length: one byte below 128, else four bytes with the top bit
 * set (long values such as user agents and cookies use those). */
uint32_t pair_length(oxlo_reader &r)
{
    uint8_t first = 0;
    if (!oxlo_rd_u8_at(&r, r.pos, &first))
        return oxlo_rd_u8(&r);
    return first < 0x80 ? oxlo_rd_u8(&r) : oxlo_rd_be32(&r) & 0x7FFFFFFFu;
}

struct params {
    oxlo_reader host{}, method{}, url{}, agent{};
};

/* The pairs of one PARAMS record; false when they do not end exactly at
 * the record's end. */
bool read_pairs(oxlo_reader r, params &out)
{
    while (oxlo_rd_left(&r) > 0) {
        const uint32_t name_length = pair_length(r), value_length = pair_length(r);
        const oxlo_reader name = oxlo_rd_field(&r, name_length), value = oxlo_rd_field(&r, value_length);
        if (r.error)
            return false;
        if (oxlo_rd_equals(&name, "HTTP_HOST", 0))
            out.host = value;
        else if (oxlo_rd_equals(&name, "REQUEST_METHOD", 0))
            out.method = value;
        else if (oxlo_rd_equals(&name, "SCRIPT_URL", 0))
            out.url = value;
        else if (oxlo_rd_equals(&name, "HTTP_USER_AGENT", 0))
            out.agent = value;
    }
    return true;
}

/* Stores what the pairs name; returns the protocol of the service the host
 * belongs to, 0 when none. */
uint16_t store(oxlo_module *m, oxlo_flow_state *f, fastcgi_state *s, const params &p)
{
    oxlo_rd_text(&p.method, s->method, sizeof(s->method));
    oxlo_rd_text(&p.url, s->url, sizeof(s->url));
    oxlo_rd_text(&p.agent, s->user_agent, sizeof(s->user_agent));
    if (p.agent.length)
        oxlo_flow_store_user_agent(f, reinterpret_cast<const char *>(p.agent.data), p.agent.length);
    if (!p.host.length)
        return 0;
    const char *host = reinterpret_cast<const char *>(p.host.data);
    const char *stored = oxlo_flow_store_host_name(f, host, p.host.length,
                                                   OXLO_HOST_LOWER | OXLO_HOST_PRINTABLE | OXLO_HOST_STRIP_SPACES);
    if (!stored || !*stored)
        return 0;
    automaton_match match;
    const uint16_t service =
        oxlo_host_name_lookup(m, f, stored, strlen(stored), &match, OXLO_PROTOCOL_FASTCGI, 0) == 1
            ? uint16_t(match.data.id)
            : 0;
    oxlo_flow_host_name_looked_up(f);
    oxlo_host_name_dga_test(m, f, stored, 1, 1, 0);
    if (!oxlo_is_valid_dns_name(stored, strlen(stored))) {
        oxlo_dissector_risk(m, f, OXLO_INVALID_CHARACTERS, "Invalid host %s", stored);
        oxlo_dissector_risk(m, f, OXLO_POSSIBLE_EXPLOIT, "Suspicious hostname: attack ?");
    }
    return service;
}

/* Whether the payload's whole records hold the empty PARAMS record that
 * closes a request's variables. */
bool holds_params_end(const oxlo_reader &payload)
{
    oxlo_reader r = payload;
    while (oxlo_rd_left(&r) >= 8) {
        const uint8_t version = oxlo_rd_u8(&r), type = oxlo_rd_u8(&r);
        oxlo_rd_skip(&r, 2);
        const uint16_t content = oxlo_rd_be16(&r);
        const uint8_t padding = oxlo_rd_u8(&r);
        oxlo_rd_skip(&r, 1);
        if (version != 1)
            return false;
        if (type == PARAMS && content == 0)
            return true;
        oxlo_rd_skip(&r, size_t(content) + padding);
        if (r.error)
            return false;
    }
    return false;
}

/* The size of the record at the start of r: 0 when it is none (version,
 * type), -1 before its header is whole. */
int64_t record_size(const oxlo_reader &r)
{
    uint8_t version = 0, type = 0, padding = 0;
    uint16_t content = 0;
    if ((oxlo_rd_u8_at(&r, 0, &version) && version != 1) || (oxlo_rd_u8_at(&r, 1, &type) && (type < 1 || type > 11)))
        return 0;
    if (!oxlo_rd_u16_at(&r, 4, &content) || !oxlo_rd_u8_at(&r, 6, &padding) || r.length < HEADER)
        return -1;
    return int64_t(HEADER) + content + padding;
}

/* The records of the view, a record the segments cut asked for whole.
 * True while waiting. */
bool wait_for_records(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt, unsigned *count)
{
    uint64_t total = 0;
    const oxlo_framing::walk_end end = oxlo_framing::walk(pkt.payload, HEADER, max_records, record_size, count, &total);
    return end == oxlo_framing::WALK_SHORT && total <= REQUEST_MAX && oxlo_framing::wait_for(m, f, pkt, total);
}

/* The follow-up ends with the request's variables. */
int follow(oxlo_module *m, oxlo_flow_state *f)
{
    unsigned count = 0;
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (wait_for_records(m, f, pkt, &count))
        return 1;
    return holds_params_end(pkt.payload) ? 0 : 1;
}

void search_fastcgi(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    fastcgi_state *s = static_cast<fastcgi_state *>(oxlo_dissector_state(m, f));
    /* Records are read whole from the stream, however the server cut them. */
    unsigned whole_records = 0;
    if (s && wait_for_records(m, f, pkt, &whole_records))
        return;
    oxlo_reader r = pkt.payload;
    bool saw_params = false, pairs_ok = true;
    params found;
    unsigned records = 0;
    while (s && oxlo_rd_left(&r) > 0) {
        const uint8_t version = oxlo_rd_u8(&r), type = oxlo_rd_u8(&r);
        oxlo_rd_skip(&r, 2);
        const uint16_t content = oxlo_rd_be16(&r);
        const uint8_t padding = oxlo_rd_u8(&r);
        oxlo_rd_skip(&r, 1);
        const oxlo_reader body = oxlo_rd_field(&r, content);
        oxlo_rd_skip(&r, padding);
        if (r.error || version != 1 || type < 1 || type > 11)
            break;
        records++;
        if (type == PARAMS && content > 0) {
            saw_params = true;
            pairs_ok = pairs_ok && read_pairs(body, found);
        }
    }
    if (!s || r.error || records == 0 || oxlo_rd_left(&r) > 0) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    /* Records without variables: the next record is waited for (the
     * variables follow the record that begins a request). */
    if (!saw_params && records < wait_records && oxlo_framing::wait_for(m, f, pkt, uint64_t(pkt.payload.length) + HEADER))
        return;
    uint16_t service = 0;
    if (saw_params && !pairs_ok)
        oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET, "Invalid FastCGI PARAMS header");
    else if (saw_params)
        service = store(m, f, s, found);
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_FASTCGI, service);
    /* A request whose variables are all here needs no follow-up. */
    if (!holds_params_end(pkt.payload))
        oxlo_dissector_extra(f, follow, 5);
}

const fastcgi_state *state_of(const oxlo_flow_state *f)
{
    return f ? static_cast<const fastcgi_state *>(oxlo_flow_slot_state(f, OXLO_DISSECTOR_fastcgi)) : nullptr;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_FASTCGI};

} // namespace

extern "C" {

const char *oxlo_flow_fastcgi_field(const oxlo_flow_state *flow, const char *name)
{
    const fastcgi_state *s = state_of(flow);
    if (!s || !name)
        return "";
    if (strcmp(name, "method") == 0)
        return s->method;
    if (strcmp(name, "url") == 0)
        return s->url;
    return strcmp(name, "user_agent") == 0 ? s->user_agent : "";
}

extern const oxlo_dissector_def oxlo_dissector_def_fastcgi = {
    "FastCGI", search_fastcgi, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, sizeof(fastcgi_state), nullptr, nullptr,
};

} // extern "C"
