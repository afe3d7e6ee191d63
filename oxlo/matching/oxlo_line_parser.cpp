/* Payload line parser: splits the current packet's payload into LF (or
 * CR LF) terminated lines once per packet and points one slot per known header name
 * at its value, so that every text-protocol dissector reads the request or
 * status line and the headers without scanning again. Only pointers into
 * the payload and lengths are stored; every read stays inside the payload. */
#include "oxlo_private.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_risks.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint16_t P_HTTP = OXLO_PROTOCOL_HTTP;
constexpr uint64_t SLOWLORIS_MS = 3000;

struct header_name {
    const char *name;
    size_t length;
    oxlo_payload_line oxlo_line_table::*slot;
};

#define H(text, member) {text, sizeof(text) - 1, &oxlo_line_table::member}
const header_name group_a[] = {H("Accept:", accept), H("Authorization:", authorization), {}};
const header_name group_b[] = {H("BOOTID.UPNP.ORG:", bootid), {}};
const header_name group_c[] = {H("Content-Disposition:", content_disposition), H("Content-type:", content_type),
                               H("CACHE-CONTROL:", cache_control), {}};
const header_name group_h[] = {H("Host:", host), {}};
const header_name group_l[] = {H("LOCATION:", location), {}};
const header_name group_m[] = {H("MAN:", man), H("MX:", mx), {}};
const header_name group_n[] = {H("NT:", nt), H("NTS:", nts), {}};
const header_name group_o[] = {H("Origin:", origin), {}};
const header_name group_r[] = {H("Referer:", referer), {}};
const header_name group_s[] = {H("Server:", server), H("SECURELOCATION.UPNP.ORG:", securelocation), H("ST:", st), {}};
const header_name group_u[] = {H("User-agent:", user_agent), H("Upgrade:", upgrade), H("USN:", usn), {}};
const header_name group_x[] = {H("X-Forwarded-For:", forwarded), {}};
#undef H

const header_name *group_of(uint8_t first)
{
    switch (tolower(first)) {
    case 'a': return group_a;
    case 'b': return group_b;
    case 'c': return group_c;
    case 'h': return group_h;
    case 'l': return group_l;
    case 'm': return group_m;
    case 'n': return group_n;
    case 'o': return group_o;
    case 'r': return group_r;
    case 's': return group_s;
    case 'u': return group_u;
    case 'x': return group_x;
    default: return nullptr;
    }
}

bool prefix_nocase(const uint8_t *p, size_t len, const char *name, size_t name_len)
{
    if (name_len >= len)
        return false;
    for (size_t i = 0; i < name_len; i++)
        if (tolower(p[i]) != tolower(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

bool blank(uint8_t c) { return c == ' ' || c == '\t'; }

/* The value after a header name, blanks and tabs trimmed on both sides. */
oxlo_payload_line header_value(const uint8_t *p, size_t len)
{
    size_t start = 0;
    while (start < len && blank(p[start]))
        start++;
    size_t end = len;
    while (end > start && blank(p[end - 1]))
        end--;
    oxlo_payload_line v{nullptr, 0};
    if (end > start) {
        v.ptr = p + start;
        v.len = uint16_t(end - start);
    }
    return v;
}

void cut_at(oxlo_payload_line *v, uint8_t c)
{
    if (!v->ptr)
        return;
    const void *at = memchr(v->ptr, c, v->len);
    if (at)
        v->len = uint16_t(static_cast<const uint8_t *>(at) - v->ptr);
}

bool is_status_line(const oxlo_payload_line *l)
{
    static const char version[] = "HTTP/1.";
    return l->len > 12 && prefix_nocase(l->ptr, l->len, version, sizeof(version) - 1) && l->ptr[9] >= '1' &&
           l->ptr[9] <= '5';
}

void slowloris_check(oxlo_module *module, oxlo_flow_state *flow, uint64_t now)
{
    const oxlo_flow_tcp *t = flow->tcp;
    if (!t || !t->syn_ms || !t->first_ack_ms)
        return;
    /* A request still arriving leaves the flow unclassified: it is the
     * slow request this check is for. */
    if (flow->app != P_HTTP && flow->master != P_HTTP && !oxlo_http_request_waiting(flow))
        return;
    const uint8_t conv = oxlo_http_conversation(flow);
    if (conv != 1 && conv != 2) /* a request seen, no response yet */
        return;
    if (now <= t->first_ack_ms || now - t->first_ack_ms <= SLOWLORIS_MS)
        return;
    if (oxlo_flow_risk_is_set(flow, OXLO_SLOW_DOS))
        return;
    char msg[64];
    snprintf(msg, sizeof(msg), "Slow HTTP Req. (Slowloris): %.1f sec", double(now - t->first_ack_ms) / 1000.0);
    oxlo_flow_risk_raise(module, flow, OXLO_SLOW_DOS, msg);
}

} // namespace

extern "C" {

/* Recognises the header of the line just closed. */
void split_payload_lines(oxlo_module *module)
{
    oxlo_packet_state *pkt = &module->det.packet;
    oxlo_line_table *t = &pkt->lines;
    const uint16_t index = pkt->line_count;
    if (index >= OXLO_MAX_PAYLOAD_LINES)
        return;
    const oxlo_payload_line *l = &t->line[index];
    if (l->len == 0 || !l->ptr)
        return;
    if (index == 0) {
        if (is_status_line(l)) {
            t->response_status.ptr = l->ptr + 9;
            t->response_status.len = uint16_t(l->len - 9);
            return;
        }
        if (!memchr(l->ptr, ':', l->len))
            return;
    }
    const header_name *group = group_of(l->ptr[0]);
    if (!group)
        return;
    for (const header_name *h = group; h->name; h++) {
        if (!prefix_nocase(l->ptr, l->len, h->name, h->length))
            continue;
        oxlo_payload_line *slot = &(t->*(h->slot));
        *slot = header_value(l->ptr + h->length, l->len - h->length);
        if (h->slot == &oxlo_line_table::content_type) {
            cut_at(slot, ';');
            cut_at(slot, '\r');
        }
        return;
    }
}

void oxlo_parse_payload_lines(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!module || !flow)
        return;
    oxlo_packet_state *pkt = &module->det.packet;
    if (pkt->flags & OXLO_PACKET_LINES_PARSED)
        return;
    oxlo_parse_lines_of(module, flow, pkt->payload, pkt->payload_length);
}

int oxlo_parse_lines_kept(oxlo_module *module, oxlo_flow_state *flow, const uint8_t *p, uint16_t n)
{
    if (!module || !flow)
        return -1;
    oxlo_detection_part &det = module->det;
    if (n > det.message_capacity) {
        uint8_t *grown = static_cast<uint8_t *>(oxlo_heap_alloc(n));
        if (!grown) {
            oxlo_parse_lines_of(module, flow, p, n);
            return -1;
        }
        oxlo_heap_free(det.message_copy);
        det.message_copy = grown;
        det.message_capacity = n;
    }
    if (n && p)
        memcpy(det.message_copy, p, n);
    oxlo_parse_lines_of(module, flow, p ? det.message_copy : nullptr, n);
    det.offered = p ? det.message_copy : nullptr;
    det.offered_length = n;
    return 0;
}

void oxlo_parse_lines_of(oxlo_module *module, oxlo_flow_state *flow, const uint8_t *p, uint16_t n)
{
    if (!module || !flow)
        return;
    oxlo_packet_state *pkt = &module->det.packet;
    oxlo_line_table *t = &pkt->lines;
    /* The table still points into an earlier packet's payload: a short
     * payload must not leave those pointers for the dissectors to read. */
    memset(t, 0, sizeof(*t));
    pkt->line_count = 0;
    /* However few bytes a segment of a slow request brings, it is the
     * request going on. */
    slowloris_check(module, flow, pkt->time_ms);
    if (!p || n < 3)
        return;
    pkt->flags |= OXLO_PACKET_LINES_PARSED;
    t->line[0].ptr = p;

    /* A line ends at LF, with or without the CR before it: servers take a
     * bare LF as a line end, so a request written that way must not hide
     * its headers from the table. */
    uint16_t start = 0;
    for (uint16_t i = 0; i < n; i++) {
        if (p[i] != '\n') {
            /* Straight to the next line end: binary payloads (every UDP
             * dissector that reads lines sees them) have few. */
            const void *nl = memchr(p + i, '\n', size_t(n - i));
            if (!nl)
                break;
            i = uint16_t(static_cast<const uint8_t *>(nl) - p);
        }
        flow->flags_a |= OXLO_FLOW_LINES_SEEN;
        const uint16_t end = i > start && p[i - 1] == '\r' ? uint16_t(i - 1) : i;
        t->line[pkt->line_count].ptr = p + start;
        t->line[pkt->line_count].len = uint16_t(end - start);
        split_payload_lines(module);
        /* The first empty line ends the header block; what follows it is
         * the body, whatever empty lines the body holds. */
        if (end == start && !t->headers_complete) {
            t->headers_complete = 1;
            t->header_end = start;
            if (i + 1 < n) {
                const uint16_t rest = uint16_t(n - (i + 1));
                flow->body_start_length = uint8_t(rest < 8 ? rest : 8);
                memcpy(flow->body_start, p + i + 1, flow->body_start_length);
            }
        }
        if (pkt->line_count == OXLO_MAX_PAYLOAD_LINES - 1)
            return;
        pkt->line_count++;
        start = uint16_t(i + 1);
        t->line[pkt->line_count].ptr = p + start;
    }
    if (pkt->line_count > 0 && start < n) {
        t->line[pkt->line_count].ptr = p + start;
        t->line[pkt->line_count].len = uint16_t(n - start);
        split_payload_lines(module);
        pkt->line_count++;
    }
}

} // extern "C"
