// oxlo-replay: feeds capture files through the detection engine and prints
// one JSON object per flow and line, in order of first packet.
//
//   oxlo-replay [-c PROTOCOLS_FILE] [-k PROTO,KNOB,VALUE]... [-p SUFFIX_LIST]
//               [-F OS_FINGERPRINTS] [-A ADDRESS_CACHE_OUT] [-H] [-E] [-D FILES]
//               FILE.pcap...
//
// -c loads a custom protocols file, -k sets an engine knob (repeatable;
// PROTO "NULL" for a global knob), -p names the public suffix list (by
// default the first of the firewall's places that exists), -F loads a TCP
// fingerprint file, -A writes the address-to-name cache once every capture
// has been replayed. Each line carries the engine's flow metadata as its
// "oxlo" member, and the flow's TCP fingerprint, OS and flow fingerprint.
// -H adds the library's own flow record ("flow": the flow header writer's
// members, client to server, with its "oxlo" block) and its fingerprint
// members ("fingerprints"). -D registers only the built-in dissectors of
// the comma-separated source files named (e.g. "mqtt" or "irc,mqtt"), so
// that what one dissector alone makes of a capture shows.
//
// Flows are tracked by 5-tuple (both directions) for the whole capture and
// are never deleted when classified; every packet goes to the engine with
// the capture's own timestamp in milliseconds. Flows still unclassified at
// the end are reported with the engine's fallback guess.
#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "PublicSuffixPaths.h"
#include "oxlo_address_cache.h"
#include "oxlo_api.h"
#include "oxlo_dissector_kit.h"
#include "oxlo_fingerprints.h"
#include "oxlo_flow_json.h"
#include "oxlo_hosts.h"
#include "oxlo_names.h"
#include "oxlo_private.h"
#include "oxlo_risks.h"
#include "oxlo_tls_dns.h"

namespace {

struct flow_key {
    uint8_t version = 0;
    uint8_t proto = 0;
    uint8_t a[16] = {0};
    uint8_t b[16] = {0};
    uint16_t pa = 0, pb = 0;
    bool operator<(const flow_key &o) const
    {
        if (std::tie(version, proto, pa, pb) != std::tie(o.version, o.proto, o.pa, o.pb))
            return std::tie(version, proto, pa, pb) < std::tie(o.version, o.proto, o.pa, o.pb);
        const int c = memcmp(a, o.a, 16);
        if (c)
            return c < 0;
        return memcmp(b, o.b, 16) < 0;
    }
};

struct fragment_key {
    uint8_t src[16], dst[16];
    uint32_t id;
    uint8_t proto;
    bool operator<(const fragment_key &o) const
    {
        int c = memcmp(src, o.src, 16);
        if (c)
            return c < 0;
        c = memcmp(dst, o.dst, 16);
        if (c)
            return c < 0;
        return std::tie(id, proto) < std::tie(o.id, o.proto);
    }
};

struct tracked_flow {
    oxlo_flow_state *state = nullptr;
    uint8_t input[2] = {0, 0};
    uint8_t version = 0;
    uint8_t proto = 0;
    uint8_t first_src[16] = {0}, first_dst[16] = {0};
    uint16_t first_sport = 0, first_dport = 0;
    uint32_t packets = 0;
    oxlo_classification last{};
};

uint16_t be16(const uint8_t *p) { return uint16_t((p[0] << 8) | p[1]); }

// Returns the IP packet inside a link-layer frame, or nullptr.
const uint8_t *ip_packet(int linktype, const uint8_t *data, uint32_t caplen, uint32_t *len)
{
    uint32_t off = 0;
    uint16_t ethertype = 0;
    switch (linktype) {
    case DLT_EN10MB:
        if (caplen < 14)
            return nullptr;
        ethertype = be16(data + 12);
        off = 14;
        while ((ethertype == 0x8100 || ethertype == 0x88a8) && caplen >= off + 4) {
            ethertype = be16(data + off + 2);
            off += 4;
        }
        if (ethertype != 0x0800 && ethertype != 0x86dd)
            return nullptr;
        break;
    case DLT_LINUX_SLL:
        if (caplen < 16)
            return nullptr;
        off = 16;
        break;
    case DLT_LINUX_SLL2:
        if (caplen < 20)
            return nullptr;
        off = 20;
        break;
    case DLT_NULL:
    case DLT_LOOP:
        if (caplen < 4)
            return nullptr;
        off = 4;
        break;
    case DLT_RAW:
    case 228: // IPv4
    case 229: // IPv6
        off = 0;
        break;
    default:
        return nullptr;
    }
    if (caplen <= off)
        return nullptr;
    *len = caplen - off;
    return data + off;
}

// Builds the flow key of an IP packet; fragments after the first are
// attached to the flow of their first fragment when it was seen.
bool make_key(const uint8_t *ip, uint32_t len, std::map<fragment_key, flow_key> &fragments,
              flow_key *key, uint8_t src[16], uint8_t dst[16], uint16_t *sport, uint16_t *dport)
{
    memset(src, 0, 16);
    memset(dst, 0, 16);
    *sport = *dport = 0;
    if (len < 1)
        return false;
    const uint8_t version = ip[0] >> 4;
    const uint8_t *l4 = nullptr;
    uint32_t l4_len = 0;
    uint8_t proto = 0;
    bool first_fragment = true, more_fragments = false;
    uint32_t frag_id = 0;
    if (version == 4) {
        const uint32_t ihl = (ip[0] & 0x0F) * 4u;
        if (len < 20 || ihl < 20 || ihl > len)
            return false;
        memcpy(src, ip + 12, 4);
        memcpy(dst, ip + 16, 4);
        proto = ip[9];
        const uint16_t frag = be16(ip + 6);
        first_fragment = (frag & 0x1FFF) == 0;
        more_fragments = frag & 0x2000;
        frag_id = be16(ip + 4);
        l4 = ip + ihl;
        l4_len = len - ihl;
    } else if (version == 6) {
        if (len < 40)
            return false;
        memcpy(src, ip + 8, 16);
        memcpy(dst, ip + 24, 16);
        proto = ip[6];
        uint32_t off = 40;
        for (int guard = 0; guard < 8; guard++) {
            if (proto == 0 || proto == 43 || proto == 60 || proto == 135) {
                if (off + 2 > len)
                    return false;
                const uint32_t hlen = (ip[off + 1] + 1u) * 8u;
                proto = ip[off];
                off += hlen;
            } else if (proto == 44) {
                if (off + 8 > len)
                    return false;
                first_fragment = (be16(ip + off + 2) & 0xFFF8) == 0;
                more_fragments = ip[off + 3] & 1;
                frag_id = (uint32_t(be16(ip + off + 4)) << 16) | be16(ip + off + 6);
                proto = ip[off];
                off += 8;
            } else {
                break;
            }
        }
        if (off > len)
            return false;
        l4 = ip + off;
        l4_len = len - off;
    } else {
        return false;
    }
    fragment_key fk;
    memcpy(fk.src, src, 16);
    memcpy(fk.dst, dst, 16);
    fk.id = frag_id;
    fk.proto = proto;
    if (!first_fragment) {
        auto it = fragments.find(fk);
        if (it != fragments.end()) {
            *key = it->second;
            return true;
        }
    } else if ((proto == 6 || proto == 17) && l4_len >= 4) {
        *sport = be16(l4);
        *dport = be16(l4 + 2);
    }
    key->version = version;
    key->proto = proto;
    // Both directions of a flow share one key: the lower endpoint first.
    const int cmp = memcmp(src, dst, 16);
    const bool src_first = cmp < 0 || (cmp == 0 && *sport <= *dport);
    memcpy(key->a, src_first ? src : dst, 16);
    memcpy(key->b, src_first ? dst : src, 16);
    key->pa = src_first ? *sport : *dport;
    key->pb = src_first ? *dport : *sport;
    if (first_fragment && more_fragments)
        fragments[fk] = *key;
    return true;
}

std::string address_text(const uint8_t a[16], bool v6)
{
    char buf[INET6_ADDRSTRLEN] = "";
    inet_ntop(v6 ? AF_INET6 : AF_INET, a, buf, sizeof(buf));
    return buf;
}

std::string json_string(const char *s)
{
    std::string out = "\"";
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s ? s : ""); *p; p++) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
            out += char(*p);
        } else if (*p < 0x20 || *p >= 0x7F) {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\u%04x", *p);
            out += esc;
        } else {
            out += char(*p);
        }
    }
    return out + "\"";
}

// The TLS and DNS facts of a flow as ',"tls":{...}' / ',"dns":{...}', or
// nothing when the flow has none.
std::string tls_dns_facts(const oxlo_flow_state *st, bool v6)
{
    std::string out;
    char buf[64];
    if (oxlo_flow_tls_version(st)) {
        uint32_t from = 0, until = 0;
        oxlo_flow_tls_cert_validity(st, &from, &until);
        snprintf(buf, sizeof(buf), "\"version\":\"0x%04x\",\"cipher\":\"0x%04x\"", oxlo_flow_tls_version(st),
                 oxlo_flow_tls_cipher(st));
        out += ",\"tls\":{" + std::string(buf);
        out += ",\"sni\":" + json_string(oxlo_flow_host_name(st));
        out += ",\"alpn\":" + json_string(oxlo_flow_tls_alpn_offered(st));
        out += ",\"alpn_negotiated\":" + json_string(oxlo_flow_tls_alpn_negotiated(st));
        out += ",\"versions_offered\":" + json_string(oxlo_flow_tls_versions_offered(st));
        out += ",\"ja4\":" + json_string(oxlo_flow_tls_ja4(st));
        out += ",\"ja3s\":" + json_string(oxlo_flow_tls_ja3s(st));
        out += ",\"cert_issuer\":" + json_string(oxlo_flow_tls_cert_issuer(st));
        out += ",\"cert_subject\":" + json_string(oxlo_flow_tls_cert_subject(st));
        out += ",\"cert_names\":" + json_string(oxlo_flow_tls_cert_server_names(st));
        snprintf(buf, sizeof(buf), ",\"cert_not_before\":%u,\"cert_not_after\":%u}", from, until);
        out += buf;
    }
    const uint16_t qtype = oxlo_flow_dns_query_type(st);
    const int rcode = oxlo_flow_dns_response_code(st);
    if (qtype || rcode >= 0) {
        snprintf(buf, sizeof(buf), ",\"dns\":{\"query_type\":%u,\"rcode\":%d", qtype, rcode);
        out += buf;
        out += ",\"query\":" + json_string(oxlo_flow_host_name(st));
        out += ",\"ptr\":" + json_string(oxlo_flow_dns_ptr_name(st));
        std::string answers;
        for (uint8_t i = 0; i < oxlo_flow_dns_address_count(st); i++) {
            uint8_t a[16];
            int is6 = 0;
            uint32_t ttl = 0;
            if (oxlo_flow_dns_address(st, i, a, &is6, &ttl) == 0)
                answers += (answers.empty() ? "" : ",") + json_string(address_text(a, is6 != 0).c_str());
        }
        out += ",\"answers\":[" + answers + "]}";
    }
    char quic[32];
    if (oxlo_flow_quic_version(st, quic, sizeof(quic)))
        out += ",\"quic\":{\"version\":" + json_string(quic) + "}";
    (void)v6;
    return out;
}

// The engine's metadata block as ',"oxlo":{...}' (nothing when it could
// not be written).
std::string oxlo_member(oxlo_module *module, const oxlo_flow_state *st, const oxlo_classification &r)
{
    oxlo_recbuf s;
    if (oxlo_recbuf_init(&s, OXLO_SER_FORMAT_JSON_INNER) != 0)
        return "";
    std::string out;
    uint32_t len = 0;
    if (oxlo_flow_info_serialize(module, st, &s, r) == 0) {
        const char *text = oxlo_recbuf_output(&s, &len);
        if (text && len)
            out = "," + std::string(text, len);
    }
    oxlo_recbuf_release(&s);
    if (out.empty())
        fprintf(stderr, "oxlo-replay: flow metadata could not be written\n");
    return out;
}

bool with_header = false;

// Output of one writer in the inner JSON form, wrapped as ',"name":{...}'.
template <typename W> std::string inner_member(const char *name, W write)
{
    oxlo_recbuf s;
    if (oxlo_recbuf_init(&s, OXLO_SER_FORMAT_JSON_INNER) != 0)
        return "";
    std::string out;
    uint32_t len = 0;
    if (write(&s) >= 0) {
        const char *text = oxlo_recbuf_output(&s, &len);
        out = std::string(",\"") + name + "\":{" + std::string(text ? text : "", text ? len : 0) + "}";
    } else {
        fprintf(stderr, "oxlo-replay: the %s member could not be written\n", name);
    }
    oxlo_recbuf_release(&s);
    return out;
}

// The flow header writer's record and the fingerprint members (-H).
std::string header_members(oxlo_module *module, const tracked_flow &f, const oxlo_classification &r,
                           const uint8_t *client, uint16_t cport, const uint8_t *server, uint16_t sport)
{
    if (!with_header)
        return "";
    uint32_t c4 = 0, s4 = 0;
    memcpy(&c4, client, 4);
    memcpy(&s4, server, 4);
    const bool v6 = f.version == 6;
    return inner_member("flow", [&](oxlo_recbuf *s) {
               return oxlo_flow_header_serialize(module, f.state, f.version, f.proto, 0, c4, s4, v6 ? client : nullptr,
                                                 v6 ? server : nullptr, htons(cport), htons(sport), r, s);
           }) +
           inner_member("fingerprints", [&](oxlo_recbuf *s) { return oxlo_flow_fingerprint_serialize(module, f.state, s); });
}

void print_flow(oxlo_module *module, tracked_flow &f)
{
    const oxlo_flow_state *st = f.state;
    const bool classified = oxlo_flow_app_protocol(st) || oxlo_flow_master_protocol(st);
    const oxlo_classification r = classified ? f.last : oxlo_classification_fallback(module, f.state, f.proto);
    uint8_t client[16], server[16];
    uint16_t cport = 0, sport = 0;
    oxlo_flow_endpoints(st, client, &cport, server, &sport);
    cport = ntohs(cport);
    sport = ntohs(sport);
    const bool decided = cport || sport || memcmp(client, server, 16) != 0;
    if (!decided) {
        memcpy(client, f.first_src, 16);
        memcpy(server, f.first_dst, 16);
        cport = f.first_sport;
        sport = f.first_dport;
    }
    const bool v6 = f.version == 6;

    char names[128];
    oxlo_format_protocol_names(module, (uint32_t(r.app) << 16) | r.master, names, sizeof(names));
    char ids[32];
    if (r.master && r.app && r.master != r.app)
        snprintf(ids, sizeof(ids), "%u.%u", r.master, r.app);
    else
        snprintf(ids, sizeof(ids), "%u", r.app ? r.app : r.master);
    std::string l4 = f.proto == 6 ? "\"TCP\"" : f.proto == 17 ? "\"UDP\"" : std::to_string(f.proto);
    const char *confidence = oxlo_confidence_name(oxlo_flow_confidence(st));
    std::string risks;
    const uint64_t mask = oxlo_flow_risk_bits(st);
    for (int i = 1; i < 64; i++)
        if (mask & (uint64_t(1) << i))
            risks += (risks.empty() ? "" : ",") + json_string(oxlo_flow_risk_description(i));

    printf("{\"l4\":%s,\"client\":%s,\"client_port\":%u,\"server\":%s,\"server_port\":%u,"
           "\"proto\":%s,\"proto_id\":\"%s\",\"category\":%s,\"breed\":%s,\"confidence\":%s,"
           "\"host\":%s,\"risks\":[%s]%s,\"tcp_fingerprint\":%s,\"os\":%s,\"fingerprint\":%s,"
           "\"packets\":%u%s%s}\n",
           l4.c_str(), json_string(address_text(client, v6).c_str()).c_str(), cport,
           json_string(address_text(server, v6).c_str()).c_str(), sport, json_string(names).c_str(), ids,
           json_string(oxlo_category_name(module, int(r.category))).c_str(),
           json_string(oxlo_breed_name(r.breed)).c_str(), json_string(confidence ? confidence : "").c_str(),
           json_string(oxlo_flow_host_name(st)).c_str(), risks.c_str(), tls_dns_facts(st, v6).c_str(),
           json_string(oxlo_flow_tcp_fingerprint(st)).c_str(), json_string(oxlo_os_name(oxlo_flow_os_guess(st))).c_str(),
           json_string(oxlo_flow_fingerprint(st)).c_str(), f.packets,
           oxlo_member(module, st, r).c_str(), header_members(module, f, r, client, cport, server, sport).c_str());
}

int replay(oxlo_module *module, const char *path)
{
    char err[PCAP_ERRBUF_SIZE] = "";
    pcap_t *pc = pcap_open_offline(path, err);
    if (!pc) {
        fprintf(stderr, "oxlo-replay: %s: %s\n", path, err);
        return -1;
    }
    const int linktype = pcap_datalink(pc);
    std::map<flow_key, size_t> index;
    std::map<fragment_key, flow_key> fragments;
    std::vector<tracked_flow> flows;
    int rc = 0;
    struct pcap_pkthdr *h;
    const u_char *data;
    int n;
    while ((n = pcap_next_ex(pc, &h, &data)) == 1) {
        uint32_t len = 0;
        const uint8_t *ip = ip_packet(linktype, data, h->caplen, &len);
        if (!ip)
            continue;
        if (len > 65535)
            len = 65535;
        flow_key key;
        uint8_t src[16], dst[16];
        uint16_t sport, dport;
        if (!make_key(ip, len, fragments, &key, src, dst, &sport, &dport))
            continue;
        auto it = index.find(key);
        if (it == index.end()) {
            tracked_flow f;
            f.state = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
            if (!f.state) {
                fprintf(stderr, "oxlo-replay: out of memory\n");
                rc = -1;
                break;
            }
            memset(f.state, 0, oxlo_flow_state_size());
            f.version = key.version;
            f.proto = key.proto;
            memcpy(f.first_src, src, 16);
            memcpy(f.first_dst, dst, 16);
            f.first_sport = sport;
            f.first_dport = dport;
            it = index.emplace(key, flows.size()).first;
            flows.push_back(f);
        }
        tracked_flow &f = flows[it->second];
        f.packets++;
        const uint64_t ms = uint64_t(h->ts.tv_sec) * 1000u + uint64_t(h->ts.tv_usec) / 1000u;
        f.last = oxlo_classify_packet(module, f.state, ip, uint16_t(len), ms, f.input);
    }
    if (n == -1) {
        fprintf(stderr, "oxlo-replay: %s: %s\n", path, pcap_geterr(pc));
        rc = -1;
    }
    for (tracked_flow &f : flows) {
        /* A flow the capture ends before any dissector named it is given
         * up, as the firewall gives up a flow it cannot name: its best guess
         * then carries the guessed protocol's category and breed. */
        if (!f.last.app && !f.last.master)
            f.last = oxlo_flow_giveup(module, f.state);
        print_flow(module, f);
        oxlo_flow_state_free(f.state);
    }
    pcap_close(pc);
    return rc;
}

const char kUsage[] =
    "usage: oxlo-replay [-c PROTOCOLS_FILE] [-k PROTO,KNOB,VALUE]... [-p SUFFIX_LIST] [-F OS_FINGERPRINTS]\n"
    "                   [-A ADDRESS_CACHE_OUT] [-H] [-E] [-D FILES] FILE.pcap...\n"
    "  -E  call every dissector on a flow's first datagram, also those that declared it too short\n"
    "  -D  register only the built-in dissectors of these source files (comma-separated, e.g. mqtt,irc)\n";

// Applies one -k argument; false (after a message) when it is refused.
bool set_knob(oxlo_module *module, const char *arg)
{
    std::string text(arg);
    const size_t first = text.find(',');
    const size_t second = first == std::string::npos ? first : text.find(',', first + 1);
    if (second == std::string::npos || first == 0 || second == first + 1) {
        fprintf(stderr, "oxlo-replay: -k %s: expected PROTO,KNOB,VALUE\n", arg);
        return false;
    }
    const std::string proto = text.substr(0, first), knob = text.substr(first + 1, second - first - 1),
                      value = text.substr(second + 1);
    const int rc = oxlo_set_config(module, proto.c_str(), knob.c_str(), value.c_str());
    if (rc == 0)
        return true;
    const char *why = rc == -2 ? "no such knob" : rc == -3 ? "bad value" : rc == -5 ? "value refused" : "not set";
    fprintf(stderr, "oxlo-replay: -k %s: %s\n", arg, why);
    return false;
}

const char *default_suffix_list()
{
    for (const char *path : kPublicSuffixPaths) {
        struct stat st;
        if (stat(path, &st) == 0)
            return path;
    }
    return nullptr;
}

// Rebuilds the dissector table with the named built-in dissectors alone.
bool register_only(oxlo_module *module, const char *files)
{
    if (oxlo_dissectors_init(module) != 0)
        return false;
    for (uint32_t id = 0; id < 0xFFFF; id++) {
        oxlo_proto_defaults *p = oxlo_proto_defaults_get(module, uint16_t(id));
        if (!p)
            break;
        p->dissector_index = OXLO_NO_DISSECTOR;
    }
    module->det.dissector_count = 0;
    std::string list(files);
    bool ok = true;
    for (size_t start = 0; start <= list.size();) {
        const size_t comma = std::min(list.find(',', start), list.size());
        const std::string file = list.substr(start, comma - start);
        if (oxlo_dissector_register_builtin(module, file.c_str()) != 0) {
            fprintf(stderr, "oxlo-replay: -D %s: no built-in dissector in %s\n", files, file.c_str());
            ok = false;
        }
        start = comma + 1;
    }
    return ok && oxlo_dissectors_finish(module) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    const char *protocols = nullptr, *suffixes = nullptr, *fingerprints = nullptr, *cache_out = nullptr,
               *only = nullptr;
    std::vector<const char *> knobs;
    int opt;
    bool every_dissector = false;
    while ((opt = getopt(argc, argv, "c:k:p:F:A:HED:")) != -1) {
        switch (opt) {
        case 'c': protocols = optarg; break;
        case 'k': knobs.push_back(optarg); break;
        case 'p': suffixes = optarg; break;
        case 'F': fingerprints = optarg; break;
        case 'A': cache_out = optarg; break;
        case 'H': with_header = true; break;
        case 'E': every_dissector = true; break;
        case 'D': only = optarg; break;
        default: fputs(kUsage, stderr); return 2;
        }
    }
    if (optind >= argc) {
        fputs(kUsage, stderr);
        return 2;
    }
    oxlo_module *module = oxlo_module_new(nullptr);
    if (!module) {
        fprintf(stderr, "oxlo-replay: cannot set up the detection module\n");
        return 1;
    }
    bool options_ok = true;
    for (const char *k : knobs)
        options_ok = set_knob(module, k) && options_ok;
    const char *suffix_list = suffixes ? suffixes : default_suffix_list();
    if (suffix_list && oxlo_load_public_suffix_list(module, suffix_list) != 0) {
        fprintf(stderr, "oxlo-replay: -p %s: cannot load the public suffix list\n", suffix_list);
        options_ok = false;
    }
    if (protocols && oxlo_load_custom_protocols_file(module, protocols) != 0) {
        fprintf(stderr, "oxlo-replay: -c %s: cannot load the custom protocols file\n", protocols);
        options_ok = false;
    }
    if (!options_ok) {
        oxlo_module_free(module);
        return 2;
    }
    if (oxlo_finalize_initialization(module) != 0) {
        fprintf(stderr, "oxlo-replay: cannot set up the detection module\n");
        oxlo_module_free(module);
        return 1;
    }
    if (only && !register_only(module, only)) {
        oxlo_module_free(module);
        return 2;
    }
    module->det.call_every_dissector = every_dissector;
    if (fingerprints && oxlo_os_fingerprints_load_file(module, fingerprints) < 0) {
        fprintf(stderr, "oxlo-replay: -F %s: cannot load the fingerprint file\n", fingerprints);
        oxlo_module_free(module);
        return 2;
    }
    int rc = 0;
    for (int i = optind; i < argc; i++)
        if (replay(module, argv[i]) != 0)
            rc = 1;
    fflush(stdout);
    if (cache_out && !oxlo_module_address_save(module, cache_out, 0)) {
        fprintf(stderr, "oxlo-replay: -A %s: cannot write the address cache\n", cache_out);
        rc = 1;
    }
    oxlo_module_free(module);
    return rc;
}
