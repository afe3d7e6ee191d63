/* DNS, multicast DNS and LLMNR over UDP and TCP.
 *
 * A message is a 12-byte header (id, flags, four section counts) followed by
 * the questions and the answer, authority and additional records; over TCP a
 * 2-byte length comes first. The ports tell the three apart (53, 5353 to the
 * 224.0.0.251 / ff02::fb group, 5355 to 224.0.0.252 / ff02::1:3). The
 * dissector keeps the queried name as the flow's host name, records the
 * addresses the answer hands out and follows the flow until a response with
 * records has been read. */
#include "oxlo_flow_json.h"
#include "oxlo_private.h"
#include "oxlo_address_cache.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "protocols/dns_private.h"
#include "oxlo_hash.h"
#include "oxlo_hash_filter.h"
#include "oxlo_risks.h"
#include "oxlo_tls_dns.h"
#include "oxlo_dissector.h"

#include <cctype>
#include <cstdio>
#include <cstring>


namespace {

constexpr uint16_t P_DNS = OXLO_PROTOCOL_DNS;
constexpr uint16_t P_MDNS = OXLO_PROTOCOL_MDNS;
constexpr uint16_t P_LLMNR = OXLO_PROTOCOL_LLMNR;
constexpr uint32_t CATEGORY_NETWORK = 14;
constexpr uint32_t BREED_ACCEPTABLE = 2;
/* The header: id, flags, then the question, answer, authority and
 * additional counts. */
constexpr size_t DNS_ID = 0, DNS_FLAGS = 2, DNS_COUNTS = 4, DNS_HEADER = 12;
/* A record after its name: type, class, TTL, data length and data; a
 * question has only the type and class. */
constexpr size_t RR_TYPE = 0, RR_CLASS = 2, RR_TTL = 4, RR_DATA_LENGTH = 8, RR_DATA = 10, QUESTION_FIXED = 4;
/* An EDNS option: code, length, data. */
constexpr size_t OPTION_CODE = 0, OPTION_LENGTH = 2, OPTION_DATA = 4;
constexpr uint16_t OPTION_NSID = 3; /* the name server id: "gpdns-" and a location */
/* Over TCP each message follows its 2-byte length. */
constexpr size_t TCP_LENGTH = 2;
/* The IP header fields the multicast and fragment checks read. */
constexpr size_t IPV4_FRAGMENT = 6, IPV4_DESTINATION = 16, IPV6_NEXT_HEADER = 6, IPV6_DESTINATION = 24;
constexpr uint8_t IPV6_FRAGMENT_HEADER = 44;
constexpr unsigned TCP_MESSAGES_PER_VIEW = 8;
constexpr uint16_t MAX_SECTION_COUNT = 48;
constexpr uint8_t EXTRA_PACKETS = 5; /* follow-up packets read for the response */
constexpr uint16_t DNS_TYPE_A = 1;
constexpr uint16_t DNS_TYPE_PTR = 12;
constexpr uint16_t DNS_TYPE_AAAA = 28;
constexpr uint16_t DNS_TYPE_OPT = 41;

/* Names of services whose first labels are long by design (DNS blocklist
 * queries carry the looked-up address or hash, cloud and delivery networks
 * generated host names); well-known public domains. */
const char *const long_name_exempt_suffixes[] = {
    ".spamhaus.org", ".spamcop.net", ".amazonaws.com", ".cloudfront.net", ".akamaiedge.net",
};

const char *const rcode_names[] = {"FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP",  "REFUSED",
                                   "YXDOMAIN", "XRRSET",  "NOTAUTH",  "NOTZONE"};

/* Record types no longer in use (obsoleted or experimental and retired). */
bool obsolete_type(uint16_t t)
{
    switch (t) {
    case 3: case 4: case 7: case 8: case 9: case 10: case 11: case 13: case 14: case 17:
    case 19: case 20: case 21: case 22: case 23: case 24: case 25: case 26: case 27:
    case 30: case 31: case 32: case 34: case 38: case 40: case 42: case 56: case 57: case 58:
    case 99: case 100: case 101: case 102: case 103: case 104: case 105: case 106: case 107:
    case 253: case 254: case 259:
        return true;
    default:
        return false;
    }
}

struct dns_ports {
    uint16_t source;
    uint16_t destination;
};

dns_ports ports_of(const oxlo_packet_view &pkt) { return {pkt.src_port, pkt.dst_port}; }

bool to_group(const oxlo_module *m, uint8_t last_v4, const uint8_t *group6)
{
    if (const oxlo_reader ip = oxlo_dissector_ip(m, 4); ip.length)
        return oxlo_rd_peek32(&ip, IPV4_DESTINATION) == (0xE0000000u | last_v4);
    if (const oxlo_reader ip6 = oxlo_dissector_ip(m, 6); ip6.length)
        return memcmp(oxlo_rd_bytes_at(&ip6, IPV6_DESTINATION, 16), group6, 16) == 0;
    return false;
}

const uint8_t mdns_group6[16] = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xfb};
const uint8_t llmnr_group6[16] = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0x03};

/* Decodes the labels at `offset` into `out`; an over-long label, a label
 * passing the end or a compression pointer leaves the name empty. */
size_t decode_name(const oxlo_reader *w, size_t offset, char *out, size_t size, bool mdns,
                   bool *invalid)
{
    size_t n = 0;
    out[0] = '\0';
    for (int labels = 0; labels < 128; labels++) {
        uint8_t len = 0;
        if (!oxlo_rd_u8_at(w, offset, &len) || len >= 64) {
            out[0] = '\0';
            return 0;
        }
        if (len == 0)
            break;
        const uint8_t *label = oxlo_rd_bytes_at(w, offset + 1, len);
        if (!label || offset + 1 + len >= w->length) {
            out[0] = '\0';
            return 0;
        }
        if (n > 0 && n + 1 < size)
            out[n++] = '.';
        for (uint8_t i = 0; i < len && n + 1 < size; i++) {
            unsigned char c = label[i];
            if (mdns) {
                c = (unsigned char)tolower(c);
            } else if (isalnum(c) || c == '-' || c == '_') {
                c = (unsigned char)tolower(c);
            } else {
                c = (c >= 0x20 && c <= 0x7E) ? '_' : '?';
                *invalid = true;
            }
            out[n++] = (char)c;
        }
        offset += 1 + len;
    }
    out[n] = '\0';
    return n;
}

/* Steps over a name (labels up to a zero byte or a compression pointer);
 * false when it runs past the end. `name_length` gets the wire length. */
bool skip_name(const oxlo_reader *w, size_t *offset, size_t *name_length)
{
    size_t off = *offset;
    for (int labels = 0; labels < 256; labels++) {
        uint8_t len = 0;
        if (!oxlo_rd_u8_at(w, off, &len))
            return false;
        if (len == 0) {
            off += 1;
            break;
        }
        if (len > 191) {
            if (!oxlo_rd_has(w, off, 2))
                return false;
            off += 2;
            break;
        }
        off += 1 + (size_t)len;
    }
    *name_length = off - *offset;
    *offset = off;
    return true;
}

bool long_first_label(const char *name)
{
    const char *dot = strchr(name, '.');
    const size_t first = dot ? (size_t)(dot - name) : strlen(name);
    if (first <= 48 || strstr(name, ".in-addr."))
        return false;
    for (const char *suffix : long_name_exempt_suffixes)
        if (oxlo_has_suffix(name, suffix))
            return false;
    return true;
}

/* The address key of the first-packet DNS cache for an answer address. */
uint64_t answer_address_key(const oxlo_dns_answer_address *a)
{
    if (a->is_ipv6)
        return (uint32_t)address_fold_hash(a->address, 16);
    uint32_t v4 = 0;
    memcpy(&v4, a->address, 4);
    return v4;
}

struct dns_context {
    oxlo_module *module;
    oxlo_flow_state *flow;
    oxlo_dns_flow *dns;
    oxlo_reader msg;          /* the DNS message (after the TCP length) */
    bool mdns;
    uint16_t port_protocol; /* by ports, 0 when none */
    uint16_t found;         /* protocol of the host name, 0 when none */
};

/* Every answered address goes to the address cache and to DNS tracking,
 * not only the first ones the flow keeps. */
void remember_answer_address(dns_context *c, const uint8_t *data, bool v6, uint32_t ttl)
{
    oxlo_module *m = c->module;
    const char *name = oxlo_flow_host(c->flow);
    if (!name[0])
        return;
    uint8_t address[16] = {0};
    memcpy(address, data, v6 ? 16 : 4);
    if (m->cfg.address_cache_size > 0)
        oxlo_module_address_store(m, address, name, uint32_t(oxlo_dissector_packet(m, c->flow).time_ms / 1000), ttl);
    if (m->cfg.hostname_dns_check)
        oxlo_dns_resolution_add(m, address, name);
}

void store_answer_address(dns_context *c, const uint8_t *data, bool v6, uint32_t ttl)
{
    remember_answer_address(c, data, v6, ttl);
    oxlo_dns_flow *dns = c->dns;
    if (dns->address_count >= OXLO_DNS_MAX_ADDRESSES)
        return;
    oxlo_dns_answer_address *a = &dns->addresses[dns->address_count++];
    memset(a, 0, sizeof(*a));
    memcpy(a->address, data, v6 ? 16 : 4);
    a->is_ipv6 = v6 ? 1 : 0;
    a->ttl = ttl;
    oxlo_module *m = c->module;
    oxlo_lru_table *fpc = m->lru[OXLO_LRU_FPC_DNS];
    if (m->cfg.fpc_enabled && fpc && c->found && c->found != c->port_protocol)
        oxlo_lru_table_add(fpc, answer_address_key(a), c->found,
                           uint32_t(oxlo_dissector_packet(m, c->flow).time_ms / 1000));
}

/* Reads the answer records; returns the offset after them or 0 when the
 * section is cut short. */
size_t read_answers(dns_context *c, size_t off, uint16_t count)
{
    oxlo_dns_flow *dns = c->dns;
    bool usable = dns->address_count > 0 || dns->ptr_name[0];
    for (uint16_t i = 0; i < count; i++) {
        size_t name_length = 0;
        uint16_t type = 0, data_length = 0;
        uint32_t ttl = 0;
        if (!skip_name(&c->msg, &off, &name_length) || !oxlo_rd_u16_at(&c->msg, off + RR_TYPE, &type) ||
            !oxlo_rd_u32_at(&c->msg, off + RR_TTL, &ttl) || !oxlo_rd_u16_at(&c->msg, off + RR_DATA_LENGTH, &data_length))
            return 0;
        const size_t data_off = off + RR_DATA;
        const uint8_t *data = oxlo_rd_bytes_at(&c->msg, data_off, data_length);
        if (!data)
            return 0;
        if (ttl == 0)
            oxlo_dissector_risk(c->module, c->flow, OXLO_MINOR_ISSUES, "DNS Record with zero TTL");
        if (!usable) {
            dns->answer_type = type;
            if (obsolete_type(type))
                oxlo_dissector_risk(c->module, c->flow, OXLO_DNS_SUSPICIOUS_TRAFFIC,
                                     "Obsolete DNS record type");
        }
        if ((type == DNS_TYPE_A && data_length == 4) || (type == DNS_TYPE_AAAA && data_length == 16)) {
            store_answer_address(c, data, type == DNS_TYPE_AAAA, ttl);
            usable = true;
        } else if (type == DNS_TYPE_PTR && !usable) {
            bool invalid = false;
            decode_name(&c->msg, data_off, dns->ptr_name, sizeof(dns->ptr_name), c->mdns, &invalid);
            usable = dns->ptr_name[0] != '\0';
        }
        off = data_off + data_length;
    }
    return off;
}

/* Skips `count` records; 0 when cut short. */
size_t skip_records(const oxlo_reader *w, size_t off, uint16_t count)
{
    for (uint16_t i = 0; i < count; i++) {
        size_t name_length = 0;
        uint16_t data_length = 0;
        if (!skip_name(w, &off, &name_length) || !oxlo_rd_u16_at(w, off + RR_DATA_LENGTH, &data_length) ||
            !oxlo_rd_has(w, off + RR_DATA, data_length))
            return 0;
        off += RR_DATA + (size_t)data_length;
    }
    return off;
}

void read_additional(dns_context *c, size_t off, uint16_t count)
{
    oxlo_dns_flow *dns = c->dns;
    for (uint16_t i = 0; i < count; i++) {
        size_t name_length = 0;
        uint16_t type = 0, klass = 0, data_length = 0;
        if (!skip_name(&c->msg, &off, &name_length) || !oxlo_rd_u16_at(&c->msg, off + RR_TYPE, &type) ||
            !oxlo_rd_u16_at(&c->msg, off + RR_CLASS, &klass) ||
            !oxlo_rd_u16_at(&c->msg, off + RR_DATA_LENGTH, &data_length) ||
            !oxlo_rd_has(&c->msg, off + RR_DATA, data_length))
            return;
        if (type == DNS_TYPE_OPT) {
            dns->edns_payload_size = klass;
            oxlo_reader opts = oxlo_rd_sub_at(&c->msg, off + RR_DATA, data_length);
            size_t o = 0;
            uint16_t code = 0, length = 0;
            while (oxlo_rd_u16_at(&opts, o + OPTION_CODE, &code) && oxlo_rd_u16_at(&opts, o + OPTION_LENGTH, &length) &&
                   oxlo_rd_has(&opts, o + OPTION_DATA, length)) {
                const uint8_t *v = opts.data + o + OPTION_DATA;
                if (code == OPTION_NSID && length >= 6 && memcmp(v, "gpdns-", 6) == 0) {
                    const size_t n = length - 6 < 3 ? length - 6 : 3;
                    memcpy(dns->location, v + 6, n);
                    dns->location[n] = '\0';
                }
                o += OPTION_DATA + (size_t)length;
            }
        }
        off += RR_DATA + (size_t)data_length;
    }
}

bool header_valid(const dns_ports &ports, uint16_t flags, const uint16_t counts[4], size_t length)
{
    const bool response = flags & 0x8000;
    const bool port_5353 = ports.source == 5353 || ports.destination == 5353;
    if (response) {
        const bool bare = length == DNS_HEADER && !counts[0] && !counts[1] && !counts[2] && !counts[3];
        if ((counts[0] == 0 || counts[0] > MAX_SECTION_COUNT) && !port_5353 && !bare)
            return false;
        bool any_in_range = false, any_set = false;
        for (int i = 1; i < 4; i++) {
            any_set = any_set || counts[i] != 0;
            any_in_range = any_in_range || (counts[i] >= 1 && counts[i] <= MAX_SECTION_COUNT);
        }
        return !(any_set && !any_in_range);
    }
    if (counts[0] > MAX_SECTION_COUNT)
        return false;
    const uint8_t opcode = (flags >> 11) & 0x0F;
    const bool plain_inverse = opcode == 1 && (flags & ~0x7800u) == 0;
    return !(opcode != 5 && (flags & 0xFCF0) && !plain_inverse && (counts[1] || counts[2]));
}

void invalid_header(oxlo_module *m, oxlo_flow_state *f)
{
    if (oxlo_dissector_extra_active(f, nullptr))
        oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET, "Invalid DNS Header");
    else
        OXLO_EXCLUDE(m, f);
}

uint16_t protocol_by_ports(const dns_ports &p)
{
    if (p.source == 5355)
        return P_LLMNR;
    if (p.source == 53)
        return P_DNS;
    if (p.destination == 5353)
        return P_MDNS;
    if (p.destination == 5355)
        return P_LLMNR;
    if (p.destination == 53)
        return P_DNS;
    if (p.source == 5353)
        return P_MDNS;
    return 0;
}

void host_name_checks(dns_context *c, uint16_t qdcount, uint16_t ancount)
{
    oxlo_flow_state *f = c->flow;
    if (qdcount == 0 && ancount == 0)
        return;
    char name[256];
    bool invalid = false;
    const size_t n = decode_name(&c->msg, DNS_HEADER, name, sizeof(name), c->mdns, &invalid);
    oxlo_flow_store_host_name(f, name, n,
                              c->mdns ? OXLO_HOST_LOWER
                                      : OXLO_HOST_LOWER | OXLO_HOST_PRINTABLE | OXLO_HOST_STRIP_SPACES);
    if (invalid)
        oxlo_dissector_risk(c->module, f, OXLO_INVALID_CHARACTERS, "Invalid chars detected in domain name");
    if (!c->mdns && long_first_label(name))
        oxlo_dissector_risk(c->module, f, OXLO_DNS_SUSPICIOUS_TRAFFIC, "Long DNS host name");
    if (oxlo_flow_host(f)[0] && !f->master) {
        /* The name's protocol is kept for the first-packet cache of the
         * answers also when it does not sub-classify this flow. */
        const int set = c->module->cfg.dns_subclassification ? 1 : 0;
        automaton_match match;
        const bool known = oxlo_host_name_lookup(c->module, f, oxlo_flow_host(f), strlen(oxlo_flow_host(f)), &match,
                                                 c->port_protocol, set) != 0;
        const uint16_t id = known ? uint16_t(match.data.id & 0xFFFF) : 0;
        if (id && id != c->port_protocol)
            c->found = id;
        oxlo_host_name_dga_test(c->module, f, oxlo_flow_host(f), 1, 0, known ? 1 : 0);
    }
}

void read_query(dns_context *c, uint16_t qdcount)
{
    oxlo_dns_flow *dns = c->dns;
    dns->query_seen = 1;
    oxlo_rd_u16_at(&c->msg, DNS_ID, &dns->transaction_id);
    size_t off = DNS_HEADER;
    for (uint16_t i = 0; i < qdcount; i++) {
        size_t name_length = 0;
        const bool fits = skip_name(&c->msg, &off, &name_length);
        if (fits && name_length > 253)
            oxlo_dissector_risk(c->module, c->flow, OXLO_MALFORMED_PACKET, "Invalid DNS Query Lenght");
        uint16_t type = 0;
        if (!fits || !oxlo_rd_u16_at(&c->msg, off + RR_TYPE, &type) || !oxlo_rd_has(&c->msg, off, QUESTION_FIXED)) {
            oxlo_dissector_risk(c->module, c->flow, OXLO_MALFORMED_PACKET, "Invalid DNS Query Lenght");
            return;
        }
        if (i == 0)
            dns->query_type = type;
        off += QUESTION_FIXED;
    }
}

void read_response(dns_context *c, uint16_t flags, const uint16_t counts[4])
{
    oxlo_dns_flow *dns = c->dns;
    const uint32_t records = (uint32_t)counts[1] + counts[2] + counts[3];
    dns->question_count = counts[0] > 255 ? 255 : (uint8_t)counts[0];
    dns->record_count = records > 255 ? 255 : (uint8_t)records;
    dns->response_code = flags & 0x0F;
    dns->query_seen = 0;
    if (dns->response_code) {
        char text[64];
        char number[8];
        const char *name = rcode_names[0];
        if (dns->response_code <= 9) {
            name = rcode_names[dns->response_code - 1];
        } else {
            snprintf(number, sizeof(number), "%u", dns->response_code);
            name = number;
        }
        snprintf(text, sizeof(text), "DNS Error Code %s", name);
        oxlo_dissector_risk_text(c->module, c->flow, OXLO_ERROR_CODE_DETECTED, text);
    } else if (oxlo_flow_risk_is_set(c->flow, OXLO_SUSPICIOUS_DGA_DOMAIN)) {
        oxlo_dissector_risk(c->module, c->flow, OXLO_RISKY_DOMAIN, "DGA Name Query with no Error Code");
    }
    size_t off = DNS_HEADER;
    for (uint16_t i = 0; i < counts[0]; i++) {
        size_t name_length = 0;
        if (!skip_name(&c->msg, &off, &name_length) || !oxlo_rd_has(&c->msg, off, 4))
            return;
        off += 4;
    }
    off = read_answers(c, off, counts[1]);
    if (off == 0)
        return;
    off = skip_records(&c->msg, off, counts[2]);
    if (off == 0)
        return;
    read_additional(c, off, counts[3]);
}

bool fragmented(const oxlo_module *m)
{
    if (const oxlo_reader ip = oxlo_dissector_ip(m, 4); ip.length)
        return (oxlo_rd_peek16(&ip, IPV4_FRAGMENT) & 0x3FFF) != 0;
    const oxlo_reader ip6 = oxlo_dissector_ip(m, 6);
    return ip6.length && oxlo_rd_peek8(&ip6, IPV6_NEXT_HEADER) == IPV6_FRAGMENT_HEADER;
}

int dns_extra(oxlo_module *module, oxlo_flow_state *flow);

/* The flow is followed until a response with records has been read. */
bool wants_more(const oxlo_flow_state *flow)
{
    const oxlo_dns_flow *dns = static_cast<const oxlo_dns_flow *>(oxlo_flow_slot_state(flow, OXLO_DISSECTOR_dns));
    return dns && (dns->query_seen || dns->record_count == 0);
}

/* Parses one DNS message (a datagram, or a message of the TCP stream
 * without its length). */
void search_dns(oxlo_module *module, oxlo_flow_state *flow, const oxlo_reader &message)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(module, flow);
    oxlo_dns_flow *dns = static_cast<oxlo_dns_flow *>(oxlo_dissector_state_of(module, flow, P_DNS, 1));
    if (!dns)
        return;
    if (message.length < DNS_HEADER) {
        invalid_header(module, flow);
        return;
    }
    dns_context c = {module, flow, dns, message, false, 0, 0};
    const dns_ports ports = ports_of(pkt);
    uint16_t flags = 0, counts[4] = {0, 0, 0, 0};
    oxlo_rd_u16_at(&c.msg, DNS_FLAGS, &flags);
    for (int i = 0; i < 4; i++)
        oxlo_rd_u16_at(&c.msg, DNS_COUNTS + 2 * (size_t)i, &counts[i]);
    if (!header_valid(ports, flags, counts, c.msg.length)) {
        invalid_header(module, flow);
        return;
    }
    c.port_protocol = protocol_by_ports(ports);
    c.mdns = c.port_protocol == P_MDNS;
    host_name_checks(&c, counts[0], counts[1]);

    if (flags & 0x8000)
        read_response(&c, flags, counts);
    else
        read_query(&c, counts[0]);

    if (pkt.l4 == OXLO_L4_UDP && c.msg.length > 512 && c.msg.length > dns->edns_payload_size) {
        char text[32];
        snprintf(text, sizeof(text), "%u Bytes DNS Packet", (unsigned)c.msg.length);
        oxlo_dissector_risk_text(module, flow, OXLO_DNS_LARGE_PACKET, text);
    }
    if (!flow->app) {
        const uint16_t base = c.port_protocol ? c.port_protocol : P_DNS;
        if (module->cfg.dns_subclassification && c.found)
            oxlo_flow_set_protocol(module, flow, c.found, base, OXLO_CONFIDENCE_DPI);
        else
            oxlo_flow_set_protocol(module, flow, base, 0, OXLO_CONFIDENCE_DPI);
    }
    flow->category = CATEGORY_NETWORK;
    flow->breed = BREED_ACCEPTABLE;

    if (!oxlo_dissector_extra_active(flow, nullptr) && module->cfg.dns_process_response && flow->app != P_LLMNR &&
        flow->master != P_LLMNR && (dns->query_seen || dns->record_count == 0))
        oxlo_dissector_extra(flow, dns_extra, EXTRA_PACKETS);
    if ((flow->app == P_DNS || flow->master == P_DNS) && fragmented(module))
        oxlo_dissector_risk(module, flow, OXLO_DNS_FRAGMENTED, nullptr);
}

/* Over TCP every message follows its 2-byte length, and a client may write
 * the length in a segment of its own, a message over several segments or
 * several messages at once: the messages of the view are read once whole,
 * and the rest of a cut one is asked for. */
void search_stream(oxlo_module *module, oxlo_flow_state *flow)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(module, flow);
    const oxlo_reader &p = pkt.payload;
    size_t off = 0;
    for (unsigned i = 0; i < TCP_MESSAGES_PER_VIEW && off < p.length; i++) {
        uint16_t length = 0;
        const bool have_length = oxlo_rd_u16_at(&p, off, &length);
        if (have_length && length < DNS_HEADER) {
            if (!off)
                invalid_header(module, flow);
            return;
        }
        const uint64_t total = have_length ? TCP_LENGTH + uint64_t(length) : TCP_LENGTH;
        if (!oxlo_rd_has(&p, off, size_t(total))) {
            oxlo_dissector_consume(module, flow, off);
            if (oxlo_dissector_need(module, flow, size_t(total)) == 0 || off)
                return;
            /* The engine keeps no more: read what the first segment holds. */
            search_dns(module, flow, oxlo_rd_from(&p, TCP_LENGTH));
            return;
        }
        search_dns(module, flow, oxlo_rd_sub_at(&p, off + TCP_LENGTH, length));
        off += size_t(total);
        if (!flow->app || !oxlo_dissector_extra_active(flow, nullptr) || !wants_more(flow))
            return; /* excluded, or done with the flow */
    }
}

int dns_extra(oxlo_module *module, oxlo_flow_state *flow)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(module, flow);
    if (pkt.segment.length > 0 && !pkt.retransmission) {
        if (pkt.l4 == OXLO_L4_TCP)
            search_stream(module, flow);
        else
            search_dns(module, flow, pkt.payload);
    }
    return wants_more(flow);
}

} // namespace

extern "C" {

void oxlo_search_dns(oxlo_module *module, oxlo_flow_state *flow)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(module, flow);
    const bool tcp = pkt.l4 == OXLO_L4_TCP, udp = pkt.l4 == OXLO_L4_UDP;
    if (!tcp && !udp) {
        OXLO_EXCLUDE(module, flow);
        return;
    }
    const dns_ports ports = ports_of(pkt);
    if (udp && pkt.segment.length >= DNS_COUNTS + 2) {
        const uint32_t flags = oxlo_rd_peek16(&pkt.segment, DNS_FLAGS);
        const uint32_t questions = oxlo_rd_peek16(&pkt.segment, DNS_COUNTS);
        const bool not_mdns = ports.destination == 5353 && !to_group(module, 251, mdns_group6);
        const bool not_llmnr = ports.destination == 5355 && !to_group(module, 252, llmnr_group6);
        if ((not_mdns || not_llmnr) && flags && questions) {
            OXLO_EXCLUDE(module, flow);
            return;
        }
    }
    const bool port_ok = ports.source == 53 || ports.destination == 53 || ports.destination == 5353 ||
                         ports.destination == 5355 || ports.source == 5353;
    if (!port_ok || (udp && pkt.segment.length < DNS_HEADER)) {
        OXLO_EXCLUDE(module, flow);
        return;
    }
    if (tcp)
        search_stream(module, flow);
    else
        search_dns(module, flow, pkt.payload);
}

uint32_t dns_server_address_key(const oxlo_flow_state *flow)
{
    if (!flow)
        return 0;
    if (flow->flags_a & OXLO_FLOW_IPV6)
        return (uint32_t)address_fold_hash(flow->server_address, 16);
    uint32_t v4 = 0;
    memcpy(&v4, flow->server_address, 4);
    return v4;
}

static const oxlo_dns_flow *dns_or_empty(const oxlo_flow_state *flow)
{
    static const oxlo_dns_flow empty = {};
    const void *d = flow ? oxlo_flow_slot_state(flow, OXLO_DISSECTOR_dns) : nullptr;
    return d ? static_cast<const oxlo_dns_flow *>(d) : &empty;
}

uint16_t oxlo_flow_dns_query_type(const oxlo_flow_state *flow) { return dns_or_empty(flow)->query_type; }

int oxlo_flow_dns_response_code(const oxlo_flow_state *flow)
{
    const oxlo_dns_flow *dns = dns_or_empty(flow);
    if (dns->question_count == 0 && dns->record_count == 0 && dns->response_code == 0)
        return -1;
    return dns->response_code;
}

const char *oxlo_flow_dns_ptr_name(const oxlo_flow_state *flow) { return dns_or_empty(flow)->ptr_name; }
uint8_t oxlo_flow_dns_address_count(const oxlo_flow_state *flow) { return dns_or_empty(flow)->address_count; }

int oxlo_flow_dns_address(const oxlo_flow_state *flow, uint8_t index, uint8_t address[16], int *is_ipv6,
                          uint32_t *ttl)
{
    const oxlo_dns_flow *dns = dns_or_empty(flow);
    if (!flow || !address || !is_ipv6 || !ttl || index >= dns->address_count)
        return -2;
    const oxlo_dns_answer_address *a = &dns->addresses[index];
    memcpy(address, a->address, 16);
    *is_ipv6 = a->is_ipv6;
    *ttl = a->ttl;
    return 0;
}

static const uint16_t dns_protocols[] = {P_DNS};

extern const oxlo_dissector_def oxlo_dissector_def_dns = {
    "DNS",
    oxlo_search_dns,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    dns_protocols,
    1,
    sizeof(oxlo_dns_flow),
    nullptr,
    oxlo_dns_json_block,
};

/* Shorter first datagrams fail the length test oxlo_search_dns starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_dns = DNS_HEADER;
} // extern "C"
