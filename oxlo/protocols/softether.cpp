/* SoftEther VPN's UDP discovery and NAT traversal: a one-byte 'A' probe,
 * an "IP=<address>,PORT=<port>" answer, and PACK-encoded messages holding
 * the server's host name and dynamic-DNS name. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_serializer.h"

#include <cctype>
#include <cstring>

namespace {

constexpr uint8_t EXTRA_PACKETS = 15;

struct softether_state {
    char ip[16], port[6], hostname[48], fqdn[48];
};

void copy(char *out, size_t size, const uint8_t *text, size_t length)
{
    size_t n = 0;
    for (size_t i = 0; i < length && n + 1 < size; i++)
        if (text[i] >= 0x20 && text[i] < 0x7F)
            out[n++] = char(text[i]);
    out[n] = '\0';
}

bool address_answer(const oxlo_reader &p, softether_state *s)
{
    if (p.length < 10 || p.length > 29 || !oxlo_rd_match(&p, 0, "IP=", 0))
        return false;
    const ptrdiff_t comma = oxlo_rd_find(&p, 3, ",PORT=", 0);
    if (comma < 0)
        return false;
    const size_t ip_len = size_t(comma) - 3, port_at = size_t(comma) + 6, port_len = p.length - port_at;
    if (ip_len == 0 || ip_len > 15 || port_len == 0 || port_len > 5)
        return false;
    for (size_t i = 0; i < port_len; i++)
        if (!isdigit(oxlo_rd_peek8(&p, port_at + i)))
            return false;
    copy(s->ip, sizeof(s->ip), p.data + 3, ip_len);
    copy(s->port, sizeof(s->port), p.data + port_at, port_len);
    return true;
}

/* Walks a PACK: a 32-bit element count, each element a name (its length
 * stored plus one), a value type and count, then the values. Every length
 * is checked against the payload, so a huge count just ends the walk. */
bool pack(const oxlo_reader &p, softether_state *s)
{
    oxlo_reader r = p;
    const uint32_t count = oxlo_rd_be32(&r);
    bool any = false, fqdn_next = false;
    for (uint32_t e = 0; e < count && !r.error && oxlo_rd_left(&r) > 0; e++) {
        const uint32_t name_length = oxlo_rd_be32(&r);
        if (name_length == 0)
            break; /* padding or junk: keep what was read */
        const oxlo_reader name = oxlo_rd_field(&r, name_length - 1);
        const uint32_t type = oxlo_rd_be32(&r), values = oxlo_rd_be32(&r);
        if (r.error || type > 4)
            break;
        const bool host = oxlo_rd_equals(&name, "host_name", 0), ddns = oxlo_rd_equals(&name, "ddns_fqdn", 0);
        for (uint32_t v = 0; v < values && !r.error; v++) {
            if (type == 0) {
                oxlo_rd_skip(&r, 4);
            } else if (type == 4) {
                oxlo_rd_skip(&r, 8);
            } else {
                uint32_t n = oxlo_rd_be32(&r);
                if (type == 2 && n > 0)
                    n--; /* a string's length counts one byte more */
                const oxlo_reader value = oxlo_rd_field(&r, n);
                if (type == 2 && !r.error && host && !s->hostname[0]) {
                    copy(s->hostname, sizeof(s->hostname), value.data, value.length);
                    any = true;
                } else if (type == 2 && !r.error && fqdn_next && !s->fqdn[0]) {
                    copy(s->fqdn, sizeof(s->fqdn), value.data, value.length);
                    any = true;
                }
            }
        }
        fqdn_next = ddns;
    }
    return any;
}

int extra_softether(oxlo_module *m, oxlo_flow_state *f);

bool read_packet(oxlo_module *m, oxlo_flow_state *f, softether_state *s)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    return address_answer(p, s) || (p.length > 98 && pack(p, s));
}

void search_softether(oxlo_module *m, oxlo_flow_state *f)
{
    softether_state *s = static_cast<softether_state *>(oxlo_dissector_state(m, f));
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (pkt.payload.length == 1 && oxlo_rd_peek8(&pkt.payload, 0) == 'A' && pkt.payload_packets <= 2)
        return;
    if (!read_packet(m, f, s)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SOFTETHER, OXLO_PROTOCOL_UNKNOWN);
    oxlo_dissector_extra(f, extra_softether, EXTRA_PACKETS);
}

int extra_softether(oxlo_module *m, oxlo_flow_state *f)
{
    softether_state *s = static_cast<softether_state *>(oxlo_dissector_state_of(m, f, OXLO_PROTOCOL_SOFTETHER, 0));
    if (!s)
        return 0;
    read_packet(m, f, s);
    return s->ip[0] && s->port[0] && s->hostname[0] && s->fqdn[0] ? 0 : 1;
}

int softether_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    static const softether_state empty = {};
    const void *st = oxlo_flow_slot_state(f, OXLO_DISSECTOR_softether);
    const softether_state *s = st ? static_cast<const softether_state *>(st) : &empty;
    int rc = oxlo_recbuf_open_block(out, "softether");
    rc |= oxlo_recbuf_put_text(out, "client_ip", s->ip);
    rc |= oxlo_recbuf_put_text(out, "client_port", s->port);
    rc |= oxlo_recbuf_put_text(out, "hostname", s->hostname);
    rc |= oxlo_recbuf_put_text(out, "fqdn", s->fqdn);
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SOFTETHER};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_softether = {
    "Softether", search_softether, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1,
    sizeof(softether_state), nullptr, softether_json,
};
} // extern "C"
