/* SSDP, the discovery part of UPnP: HTTP-like text over UDP (multicast
 * 239.255.255.250 or ff02::c, port 1900). Searches start "M-SEARCH *
 * HTTP/1.1", announcements "NOTIFY * HTTP/1.1" and answers "HTTP/1.1 200
 * OK". With ssdp.metadata the method and the values of the known header
 * lines are kept for the flow's record. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_discovery.h"
#include "oxlo_memory.h"
#include "oxlo_private.h"
#include "oxlo_serializer.h"
#include "oxlo_utils.h"

namespace {

/* Header names as written on the wire and as keys of the record, in the
 * record's order. */
struct header_name {
    const char *wire, *key;
};
const header_name headers[] = {
    {"CACHE-CONTROL", "CACHE-CONTROL"}, {"LOCATION", "LOCATION"}, {"NT", "NT"},   {"NTS", "NTS"},
    {"SERVER", "SERVER"},               {"USN", "USN"},           {"SECURELOCATION.UPNP.ORG", "SECURELOCATION.UPNP.ORG"},
    {"MAN", "MAN"},                     {"MX", "MX"},             {"ST", "ST"},   {"USER-AGENT", "USER_AGENT"},
};
constexpr size_t header_count = sizeof(headers) / sizeof(headers[0]);

struct ssdp_state {
    char method[16];
    char *values[header_count]; /* owned */
};

void release(void *state)
{
    ssdp_state *s = static_cast<ssdp_state *>(state);
    for (char *&v : s->values) {
        oxlo_heap_free(v);
        v = nullptr;
    }
}

void keep_headers(oxlo_module *m, oxlo_flow_state *f, ssdp_state *s, const oxlo_reader &p)
{
    oxlo_reader r = p, line;
    oxlo_rd_line(&r, &line); /* the start line */
    while (oxlo_rd_line(&r, &line) && line.length) {
        const ptrdiff_t colon = oxlo_rd_find_byte(&line, 0, ':');
        if (colon <= 0)
            continue;
        const oxlo_reader name = oxlo_rd_upto(&line, size_t(colon));
        const oxlo_reader from = oxlo_rd_from(&line, size_t(colon) + 1);
        const oxlo_reader value = oxlo_rd_trim(&from);
        const char *text = reinterpret_cast<const char *>(value.data);
        if (oxlo_rd_equals(&name, "HOST", 1)) {
            if (value.length)
                oxlo_flow_store_host_name(f, text, value.length,
                                          OXLO_HOST_LOWER | OXLO_HOST_PRINTABLE | OXLO_HOST_STRIP_SPACES |
                                              OXLO_HOST_STRIP_PORT);
            continue;
        }
        for (size_t i = 0; i < header_count; i++) {
            if (!oxlo_rd_equals(&name, headers[i].wire, 1) || s->values[i])
                continue;
            s->values[i] = oxlo_copy_bytes_as_string(value.data, value.length);
            if (i == header_count - 1 && value.length)
                oxlo_http_user_agent_checks(m, f, value.data, value.length);
        }
    }
}

void search_ssdp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    const char *method = nullptr;
    if (p.length > 18) {
        if (oxlo_rd_match(&p, 0, "M-SEARCH * HTTP/1.1", 0))
            method = "M-SEARCH";
        else if (oxlo_rd_match(&p, 0, "NOTIFY * HTTP/1.1", 0))
            method = "NOTIFY";
        else if (oxlo_rd_match(&p, 0, "HTTP/1.1 200 OK\r\n", 0))
            method = "";
    }
    if (!method) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SSDP, OXLO_PROTOCOL_UNKNOWN);
    if (!m->cfg.ssdp_metadata)
        return;
    ssdp_state *s = static_cast<ssdp_state *>(oxlo_dissector_state(m, f));
    if (!s)
        return;
    if (*method)
        snprintf(s->method, sizeof(s->method), "%s", method);
    keep_headers(m, f, s, p);
}

const ssdp_state *state_of(const oxlo_flow_state *f)
{
    return f ? static_cast<const ssdp_state *>(oxlo_flow_slot_state(f, OXLO_DISSECTOR_ssdp)) : nullptr;
}

int ssdp_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const ssdp_state *s = state_of(f);
    int rc = oxlo_recbuf_open_block(out, "ssdp");
    if (s && s->method[0])
        rc |= oxlo_recbuf_put_text(out, "METHOD", s->method);
    for (size_t i = 0; s && i < header_count; i++)
        if (s->values[i])
            rc |= oxlo_recbuf_put_text(out, headers[i].key, s->values[i]);
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SSDP};

} // namespace

extern "C" {

const char *oxlo_flow_ssdp_method(const oxlo_flow_state *flow)
{
    const ssdp_state *s = state_of(flow);
    return s ? s->method : "";
}

const char *oxlo_flow_ssdp_header(const oxlo_flow_state *flow, const char *name)
{
    const ssdp_state *s = state_of(flow);
    for (size_t i = 0; s && name && i < header_count; i++)
        if (strcmp(headers[i].key, name) == 0)
            return s->values[i];
    return nullptr;
}

extern const oxlo_dissector_def oxlo_dissector_def_ssdp = {
    "SSDP", search_ssdp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, sizeof(ssdp_state), release, ssdp_json,
};

/* Shorter first datagrams fail the length test search_ssdp starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_ssdp = 19;
} // extern "C"
