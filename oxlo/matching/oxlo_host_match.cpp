/* Address and host matching: protocols by server address (longest-prefix
 * match, optionally with a port) and by host name (label-aware pattern
 * match), plus the small matching helpers the dissectors share. */
#include "oxlo_private.h"
#include "oxlo_log.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_hosts.h"
#include "oxlo_risks.h"
#include "oxlo_digest.h"
#include "oxlo_utils.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

/* Third and later {protocol, port} entries of one prefix, newest first. */
struct address_entry {
    uint16_t protocol_id;
    uint16_t port;          /* network order, 0 any */
    address_entry *next;
};

/* Compiled-in address ranges: see the data file for where they come from. */
const oxlo_static_ipv4_entry builtin_ipv4_general[] = {
#define OXLO_IPV4(a, b, c, d, bits, proto) \
    {((uint32_t)(a) << 24) | ((uint32_t)(b) << 16) | ((uint32_t)(c) << 8) | (uint32_t)(d), bits, 0, OXLO_PROTOCOL_##proto},
#define OXLO_IPV6(text, bits, proto)
#include "data/oxlo_ip_lists.def"
#undef OXLO_IPV4
#undef OXLO_IPV6
    {0, 0, 0, 0},
};

const oxlo_static_ipv6_entry builtin_ipv6_general[] = {
#define OXLO_IPV4(a, b, c, d, bits, proto)
#define OXLO_IPV6(text, bits, proto) {text, bits, OXLO_PROTOCOL_##proto},
#include "data/oxlo_ip_lists.def"
#undef OXLO_IPV4
#undef OXLO_IPV6
    {nullptr, 0, 0},
};

bool ipv4_is_public_net(uint32_t net)
{
    return oxlo_ipv4_is_public(ntohl(net)) != 0;
}

oxlo_patricia_node *best_ipv4(oxlo_tree_pair *pair, uint32_t address)
{
    return pair ? oxlo_tree_best_ipv4(pair->v4, address) : nullptr;
}

oxlo_patricia_node *best_ipv6(oxlo_tree_pair *pair, const uint8_t address[16])
{
    return pair ? oxlo_tree_best_ipv6(pair->v6, address) : nullptr;
}

/* Port-aware answer of one node; ports in network order. */
uint16_t node_protocol_for_port(const oxlo_patricia_node *node, uint16_t port)
{
    if (!node)
        return 0;
    const auto &e = node->value.u16pair;
    if (e[0].user_value && (e[0].additional_user_value == 0 || e[0].additional_user_value == port))
        return e[0].user_value;
    if (e[1].user_value && (e[1].additional_user_value == 0 || e[1].additional_user_value == port))
        return e[1].user_value;
    for (auto *l = static_cast<const address_entry *>(node->data); l; l = l->next)
        if (l->port == port)
            return l->protocol_id;
    return 0;
}

/* Stores {id, port} in the first free entry, else the second, else a new
 * list element; false when out of memory. */
bool node_add_entry(oxlo_patricia_node *node, uint16_t id, uint16_t port)
{
    auto &e = node->value.u16pair;
    for (int i = 0; i < 2; i++) {
        if (e[i].user_value == 0) {
            e[i].user_value = id;
            e[i].additional_user_value = port;
            return true;
        }
    }
    auto *l = static_cast<address_entry *>(oxlo_heap_calloc(1, sizeof(address_entry)));
    if (!l)
        return false;
    l->protocol_id = id;
    l->port = port;
    l->next = static_cast<address_entry *>(node->data);
    node->data = l;
    return true;
}

void free_entry_chain(oxlo_patricia_node *node, void *, void *)
{
    auto *l = static_cast<address_entry *>(node->data);
    while (l) {
        address_entry *next = l->next;
        oxlo_heap_free(l);
        l = next;
    }
    node->data = nullptr;
}

/* Exactly four dotted decimal numbers of at most three digits. */
bool is_dotted_quad(const char *s)
{
    int parts = 0;
    while (*s) {
        int digits = 0;
        while (isdigit(static_cast<unsigned char>(*s))) {
            digits++;
            s++;
        }
        if (digits == 0 || digits > 3)
            return false;
        parts++;
        if (*s == '.')
            s++;
        else if (*s)
            return false;
        if (parts > 4)
            return false;
    }
    return parts == 4 && s[-1] != '.';
}

bool resolve_name(const char *name, int family, void *out)
{
    struct addrinfo hints {};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &res) != 0 || !res)
        return false;
    bool found = false;
    for (struct addrinfo *r = res; r && !found; r = r->ai_next) {
        if (r->ai_family != family)
            continue;
        if (family == AF_INET)
            memcpy(out, &reinterpret_cast<struct sockaddr_in *>(r->ai_addr)->sin_addr, 4);
        else
            memcpy(out, &reinterpret_cast<struct sockaddr_in6 *>(r->ai_addr)->sin6_addr, 16);
        found = true;
    }
    freeaddrinfo(res);
    return found;
}

/* A decimal number within [0, max]; false for anything else. */
bool parse_number(const char *s, unsigned long max, unsigned long *out)
{
    if (!s || !*s)
        return false;
    for (const char *c = s; *c; c++)
        if (!isdigit(static_cast<unsigned char>(*c)))
            return false;
    errno = 0;
    unsigned long v = strtoul(s, nullptr, 10);
    if (errno || v > max)
        return false;
    *out = v;
    return true;
}

/* Splits "...:port" at the last ':' into the port (network order). */
bool take_port(char *text, uint16_t *port)
{
    char *colon = strrchr(text, ':');
    if (!colon)
        return true;
    *colon = '\0';
    unsigned long v;
    if (!parse_number(colon + 1, 65535, &v))
        return false;
    *port = htons(static_cast<uint16_t>(v));
    return true;
}

/* A prefix length, or the default when it is out of range. */
int length_or_default(const char *text, int max)
{
    unsigned long v;
    if (!parse_number(text, 1000, &v) || v > static_cast<unsigned long>(max))
        return max;
    return static_cast<int>(v);
}

struct parsed_rule {
    bool ipv6;
    uint8_t bytes[16];
    int bits;
    uint16_t port;
};

bool parse_ipv6_rule(char *spec, parsed_rule *r)
{
    r->ipv6 = true;
    r->bits = 128;
    char *address = spec;
    if (*spec == '[') {
        char *close = strchr(spec, ']');
        if (!close)
            return false;
        *close = '\0';
        address = spec + 1;
        char *rest = close + 1;
        if (*rest == '/') {
            char *len = rest + 1;
            if (!take_port(len, &r->port))
                return false;
            r->bits = length_or_default(len, 128);
        } else if (*rest == ':') {
            if (!take_port(rest, &r->port))
                return false;
        } else if (*rest) {
            return false;
        }
    } else {
        char *slash = strrchr(spec, '/');
        if (slash) {
            *slash = '\0';
            r->bits = length_or_default(slash + 1, 128);
        }
    }
    if (!strchr(address, ':')) {
        r->bits = 128;
        return resolve_name(address, AF_INET6, r->bytes);
    }
    return inet_pton(AF_INET6, address, r->bytes) == 1;
}

bool parse_ipv4_rule(char *spec, parsed_rule *r)
{
    r->ipv6 = false;
    r->bits = 32;
    char *slash = strrchr(spec, '/');
    if (slash) {
        *slash = '\0';
        char *len = slash + 1;
        if (!take_port(len, &r->port))
            return false;
        r->bits = length_or_default(len, 32);
    } else if (!take_port(spec, &r->port)) {
        return false;
    }
    if (!is_dotted_quad(spec)) {
        r->bits = 32;
        return resolve_name(spec, AF_INET, r->bytes);
    }
    return inet_pton(AF_INET, spec, r->bytes) == 1;
}

uint16_t first_entry(const oxlo_patricia_node *node)
{
    return node ? node->value.u16pair[0].user_value : 0;
}

bool has_custom_protocols(const oxlo_module *m)
{
    return m->protocols.custom_count > 0;
}

/* Level of a host pattern, counted over its labels. */
uint8_t compute_level(const char *p)
{
    int state = 0, count = 1;
    for (; *p; p++) {
        int cls = *p == '.' ? 0 : (*p == '-' ? 1 : 2);
        switch (state) {
        case 0:
            state = cls == 0 ? 1 : 2;
            break;
        case 1:
            if (cls != 2)
                return 0;
            state = 2;
            break;
        case 2:
            if (cls == 0)
                state = 3;
            break;
        case 3:
            if (cls != 2)
                return 0;
            state = 2;
            count++;
            break;
        }
    }
    if (state != 2 && state != 3)
        return 0;
    return static_cast<uint8_t>(count > 255 ? 255 : count);
}

} // namespace

extern "C" {

/* ---- address helpers ---- */

int oxlo_ip_address_is_ipv6(const oxlo_ip_address *a)
{
    return a && (a->u32[1] || a->u32[2] || a->u32[3]) ? 1 : 0;
}

char *oxlo_ip_address_text(const oxlo_ip_address *a, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return buffer;
    buffer[0] = '\0';
    if (!a)
        return buffer;
    if (!oxlo_ip_address_is_ipv6(a))
        snprintf(buffer, size, "%u.%u.%u.%u", a->u8[0], a->u8[1], a->u8[2], a->u8[3]);
    else if (!inet_ntop(AF_INET6, a->u8, buffer, static_cast<socklen_t>(size)))
        buffer[0] = '\0';
    return buffer;
}

int oxlo_parse_ip_address(const char *text, oxlo_ip_address *out)
{
    if (!out)
        return -1;
    memset(out, 0, sizeof(*out));
    if (!text)
        return -1;
    if (strchr(text, '.'))
        return inet_pton(AF_INET, text, out->u8) == 1 ? 4 : -1;
    return inet_pton(AF_INET6, text, out->u8) == 1 ? 6 : -1;
}

int oxlo_ipv4_is_public(uint32_t a)
{
    if ((a & 0xFF000000u) == 0x0A000000u ||  /* 10.0.0.0/8 */
        (a & 0xFFF00000u) == 0xAC100000u ||  /* 172.16.0.0/12 */
        (a & 0xFFFF0000u) == 0xC0A80000u ||  /* 192.168.0.0/16 */
        (a & 0xFF000000u) == 0x7F000000u ||  /* 127.0.0.0/8 */
        (a & 0xF0000000u) == 0xE0000000u)    /* 224.0.0.0/4 */
        return 0;
    return 1;
}

/* ---- protocols by address ---- */

uint16_t oxlo_protocol_by_ipv4(oxlo_module *m, uint32_t address)
{
    if (!m)
        return 0;
    if (!has_custom_protocols(m) && !ipv4_is_public_net(address))
        return 0;
    return first_entry(best_ipv4(m->protocols_by_ip, address));
}

uint16_t oxlo_protocol_by_ipv6(oxlo_module *m, const uint8_t address[16])
{
    return m ? first_entry(best_ipv6(m->protocols_by_ip, address)) : 0;
}

uint16_t oxlo_protocol_by_prefix(oxlo_module *m, const oxlo_prefix *prefix)
{
    if (!m || !prefix || !m->protocols_by_ip)
        return 0;
    oxlo_patricia_tree *t = prefix->family == OXLO_PREFIX_FAMILY_IPV4 ? m->protocols_by_ip->v4
                                                                      : m->protocols_by_ip->v6;
    return t ? first_entry(oxlo_patricia_search_best_inclusive(t, prefix)) : 0;
}

uint16_t oxlo_protocol_by_ipv4_port(oxlo_module *m, uint32_t address, uint16_t port)
{
    if (!m)
        return 0;
    if (!has_custom_protocols(m) && !ipv4_is_public_net(address))
        return 0;
    return node_protocol_for_port(best_ipv4(m->protocols_by_ip, address), port);
}

uint16_t oxlo_protocol_by_ipv6_port(oxlo_module *m, const uint8_t address[16], uint16_t port)
{
    return m ? node_protocol_for_port(best_ipv6(m->protocols_by_ip, address), port) : 0;
}

uint16_t oxlo_second_pair_by_ipv4(oxlo_module *m, uint32_t address)
{
    return m ? first_entry(best_ipv4(m->hosts.protocols_by_ip_second, address)) : 0;
}

uint16_t oxlo_second_pair_by_ipv6(oxlo_module *m, const uint8_t address[16])
{
    return m ? first_entry(best_ipv6(m->hosts.protocols_by_ip_second, address)) : 0;
}

oxlo_patricia_node *oxlo_patricia_add_address(oxlo_patricia_tree *tree, int family,
                                              const void *address, int bits)
{
    if (!tree || !address)
        return nullptr;
    oxlo_prefix p;
    int rc = family == OXLO_PREFIX_FAMILY_IPV4
                 ? oxlo_prefix_set_ipv4(&p, static_cast<const struct in_addr *>(address), bits,
                                        tree->maxbits)
                 : oxlo_prefix_set_ipv6(&p, static_cast<const struct in6_addr *>(address), bits,
                                        tree->maxbits);
    if (rc != 0)
        return nullptr;
    return oxlo_patricia_lookup(tree, &p);
}

oxlo_patricia_node *oxlo_tree_best_ipv4(oxlo_patricia_tree *tree, uint32_t address)
{
    if (!tree)
        return nullptr;
    oxlo_prefix p;
    struct in_addr a;
    a.s_addr = address;
    if (oxlo_prefix_set_ipv4(&p, &a, 32, 32) != 0)
        return nullptr;
    return oxlo_patricia_search_best_inclusive(tree, &p);
}

oxlo_patricia_node *oxlo_tree_best_ipv6(oxlo_patricia_tree *tree, const uint8_t address[16])
{
    if (!tree || !address)
        return nullptr;
    oxlo_prefix p;
    struct in6_addr a;
    memcpy(&a, address, 16);
    if (oxlo_prefix_set_ipv6(&p, &a, 128, 128) != 0)
        return nullptr;
    return oxlo_patricia_search_best_inclusive(tree, &p);
}

int oxlo_load_static_ipv4_list(oxlo_patricia_tree *tree, const oxlo_static_ipv4_entry *list)
{
    if (!tree || !list)
        return 0;
    int added = 0;
    for (const oxlo_static_ipv4_entry *e = list; e->address != 0; e++) {
        struct in_addr a;
        a.s_addr = htonl(e->address);
        oxlo_patricia_node *n = oxlo_patricia_add_address(tree, OXLO_PREFIX_FAMILY_IPV4, &a,
                                                          e->prefix_length);
        if (!n)
            continue;
        n->value.u16pair[0].user_value = e->protocol_id;
        n->value.u16pair[0].additional_user_value = 0;
        added++;
    }
    return added;
}

int oxlo_load_static_ipv6_list(oxlo_patricia_tree *tree, const oxlo_static_ipv6_entry *list)
{
    if (!tree || !list)
        return 0;
    int added = 0;
    for (const oxlo_static_ipv6_entry *e = list; e->address; e++) {
        struct in6_addr a;
        int rc = inet_pton(AF_INET6, e->address, &a);
        if (rc != 1) {
            oxlo_log(nullptr, OXLO_LOG_WARNING, "Invalid ipv6 address [%s]: %d\n", e->address, rc);
            continue;
        }
        oxlo_patricia_node *n = oxlo_patricia_add_address(tree, OXLO_PREFIX_FAMILY_IPV6, &a,
                                                          e->prefix_length);
        if (!n)
            continue;
        n->value.u16pair[0].user_value = e->protocol_id;
        n->value.u16pair[0].additional_user_value = 0;
        added++;
    }
    return added;
}

/* Whether the protocol's built-in ranges are wanted ("ip_list.load"); a
 * protocol whose ranges are loaded is marked as having an address list,
 * which the protocol-and-address check relies on. */
static bool ip_list_wanted(oxlo_module *m, uint16_t protocol_id)
{
    if (!oxlo_knob_bit_test(&m->cfg.ip_list_bitmap, protocol_id))
        return false;
    if (oxlo_proto_defaults *p = oxlo_proto_defaults_get(m, protocol_id))
        p->flags |= OXLO_PROTO_FLAG_IP_LIST;
    return true;
}

void oxlo_builtin_ip_lists_load(oxlo_module *m)
{
    if (!m || !m->protocols_by_ip)
        return;
    for (const oxlo_static_ipv4_entry *e = builtin_ipv4_general; e->address != 0; e++) {
        const oxlo_static_ipv4_entry one[2] = {*e, {0, 0, 0, 0}};
        if (ip_list_wanted(m, e->protocol_id))
            oxlo_load_static_ipv4_list(m->protocols_by_ip->v4, one);
    }
    for (const oxlo_static_ipv6_entry *e = builtin_ipv6_general; e->address; e++) {
        const oxlo_static_ipv6_entry one[2] = {*e, {nullptr, 0, 0}};
        if (ip_list_wanted(m, e->protocol_id))
            oxlo_load_static_ipv6_list(m->protocols_by_ip->v6, one);
    }
}

int oxlo_add_address_rule(oxlo_module *m, char *spec, uint16_t protocol_id, int ipv6)
{
    if (!m || !m->protocols_by_ip || !spec || !*spec)
        return -1;
    parsed_rule r{};
    bool ok = (ipv6 || spec[0] == '[') ? parse_ipv6_rule(spec, &r) : parse_ipv4_rule(spec, &r);
    if (!ok)
        return -1;
    /* The family comes from the text: "::/0" is IPv6 although all zero. */
    oxlo_patricia_tree *tree = r.ipv6 ? m->protocols_by_ip->v6 : m->protocols_by_ip->v4;
    oxlo_patricia_node *node = oxlo_patricia_add_address(
        tree, r.ipv6 ? OXLO_PREFIX_FAMILY_IPV6 : OXLO_PREFIX_FAMILY_IPV4, r.bytes, r.bits);
    if (!node)
        return -1;
    return node_add_entry(node, protocol_id, r.port) ? 0 : -1;
}

int oxlo_load_ip_list_file(oxlo_tree_pair *pair, const char *path, uint16_t protocol_id)
{
    if (!pair || !path)
        return -1;
    FILE *in = fopen(path, "r");
    if (!in)
        return -1;
    char line[1024];
    oxlo_list_reader reader = oxlo_list_reader_start(in, line, sizeof(line), path, 2);
    int added = 0;
    while (oxlo_list_reader_next(&reader) == OXLO_LINE_OK) {
        char *slash = strchr(line, '/');
        if (slash)
            *slash = '\0';
        bool v6 = strchr(line, ':') != nullptr;
        uint8_t bytes[16];
        if (inet_pton(v6 ? AF_INET6 : AF_INET, line, bytes) != 1)
            continue;
        int bits = slash ? length_or_default(slash + 1, v6 ? 128 : 32) : (v6 ? 128 : 32);
        oxlo_patricia_node *n = oxlo_patricia_add_address(
            v6 ? pair->v6 : pair->v4, v6 ? OXLO_PREFIX_FAMILY_IPV6 : OXLO_PREFIX_FAMILY_IPV4,
            bytes, bits);
        if (!n)
            continue;
        auto &e = n->value.u16pair;
        for (int i = 0; i < 2; i++) {
            if (e[i].user_value == 0) {
                e[i].user_value = protocol_id;
                e[i].additional_user_value = 0;
                added++;
                break;
            }
        }
    }
    fclose(in);
    return added;
}

int oxlo_module_load_ip_list_file(oxlo_module *m, const char *path, uint16_t protocol_id)
{
    if (!m)
        return -1;
    return oxlo_load_ip_list_file(m->protocols_by_ip, path, protocol_id);
}

int oxlo_tree_pair_insert(oxlo_tree_pair *pair, const oxlo_ip_address *address, uint8_t bits,
                          void *user)
{
    if (!pair || !address)
        return -4;
    bool v6 = oxlo_ip_address_is_ipv6(address);
    oxlo_patricia_tree *t = v6 ? pair->v6 : pair->v4;
    if (!t)
        return -4;
    if (bits > t->maxbits)
        return -1;
    oxlo_prefix p;
    int rc = v6 ? oxlo_prefix_set_ipv6(&p, reinterpret_cast<const struct in6_addr *>(address->u8),
                                       bits, t->maxbits)
                : oxlo_prefix_set_ipv4(&p, reinterpret_cast<const struct in_addr *>(address->u8),
                                       bits, t->maxbits);
    if (rc != 0)
        return -1;
    oxlo_patricia_node *found = oxlo_patricia_search_best_inclusive(t, &p);
    if (found && found->prefix && found->prefix->bitlen == bits)
        return -2;
    oxlo_patricia_node *n = oxlo_patricia_lookup(t, &p);
    if (!n)
        return -3;
    n->value.u64 = reinterpret_cast<uintptr_t>(user);
    return 0;
}

int oxlo_tree_pair_match(oxlo_tree_pair *pair, const oxlo_ip_address *address, void **user)
{
    if (!pair || !address)
        return -2;
    bool v6 = oxlo_ip_address_is_ipv6(address);
    oxlo_patricia_node *n = v6 ? best_ipv6(pair, address->u8) : best_ipv4(pair, address->u32[0]);
    if (!n)
        return -1;
    if (user)
        *user = reinterpret_cast<void *>(static_cast<uintptr_t>(n->value.u64));
    return 0;
}

/* ---- host names ---- */

oxlo_automaton *oxlo_automaton_new_plain(void)
{
    return automaton_new(nullptr);
}

oxlo_automaton *oxlo_automaton_new_domain(void)
{
    return automaton_new(oxlo_host_match_callback);
}

int oxlo_automaton_add_value(oxlo_automaton *a, const char *text, uint32_t value)
{
    if (!a || !text || !*text)
        return -1;
    char *copy = oxlo_heap_strdup(text);
    if (!copy)
        return -1;
    automaton_pattern p{};
    p.text = copy;
    p.length = static_cast<uint16_t>(strnlen(copy, AUTOMATON_MAX_PATTERN_LEN + 1));
    p.data.id = value;
    int rc = automaton_add_pattern(a, &p);
    if (rc == AUTOMATON_ADDED)
        return 0;
    oxlo_heap_free(copy);
    return rc == AUTOMATON_DUPLICATE ? -2 : -1;
}

int oxlo_automaton_add(oxlo_automaton *a, const char *text)
{
    return oxlo_automaton_add_value(a, text, 1);
}

int oxlo_automaton_finalize(oxlo_automaton *a)
{
    return a ? automaton_finalize(a) : -1;
}

void oxlo_automaton_free(oxlo_automaton *a)
{
    if (a)
        automaton_release(a, 1);
}

int oxlo_automaton_match(oxlo_automaton *a, const char *text)
{
    if (!a || !text || !*text)
        return -2;
    size_t n = strlen(text);
    automaton_match m{};
    int rc = automaton_match_core(a, text, static_cast<uint16_t>(n > 0xFFFF ? 0xFFFF : n), &m,
                                  nullptr, nullptr);
    if (rc < 0)
        return rc;
    return rc > 0 ? static_cast<int>(m.data.id) : 0;
}

int oxlo_automaton_match_id(oxlo_automaton *a, const char *text, uint16_t length, uint32_t *id)
{
    if (id)
        *id = 0;
    if (!a || !text || length == 0)
        return -2;
    automaton_match m{};
    int rc = automaton_match_core(a, text, length, &m, nullptr, nullptr);
    if (rc < 0)
        return rc;
    /* With the label-boundary callback a search may see patterns and keep
     * none of them. */
    if (rc == 0 || (a->match_cb && !m.data.id))
        return -1;
    if (id)
        *id = m.data.id;
    return 0;
}

int oxlo_automaton_match_classification(oxlo_automaton *a, const char *text, uint16_t length,
                                        uint16_t *protocol_id, uint16_t *category,
                                        uint16_t *breed)
{
    automaton_match m{};
    uint16_t proto = 0, cat = 0;
    int rc = automaton_match_core(a, text, length, &m, &proto, &cat);
    if (protocol_id)
        *protocol_id = proto;
    if (category)
        *category = cat;
    if (breed)
        *breed = rc > 0 ? m.data.breed : 0;
    if (rc < 0)
        return rc;
    return proto ? 0 : -1;
}

uint8_t oxlo_host_pattern_level(const char *pattern)
{
    return pattern ? compute_level(pattern) : 0;
}

/* Shared by the host patterns, the risky domains and the host risk masks. */
int oxlo_host_pattern_add_data(oxlo_automaton *a, const char *pattern, const automaton_data *data)
{
    if (!a || !pattern || !*pattern)
        return -2;
    size_t n = strlen(pattern);
    if (n > AUTOMATON_MAX_PATTERN_LEN)
        return -2;
    char *copy = oxlo_heap_strdup(pattern);
    if (!copy)
        return -1;
    automaton_pattern p{};
    p.text = copy;
    p.length = static_cast<uint16_t>(n);
    p.data = *data;
    if (p.data.level == 0)
        p.data.level = compute_level(pattern);
    char last = pattern[n - 1];
    if (last != '-' && last != '.')
        p.data.flags |= OXLO_HOST_PATTERN_END_ANCHORED;
    if (strchr(pattern, '.'))
        p.data.flags |= OXLO_HOST_PATTERN_HAS_DOT;
    int rc = automaton_add_pattern(a, &p);
    if (rc == AUTOMATON_ADDED)
        return 0;
    oxlo_heap_free(copy);
    return rc == AUTOMATON_DUPLICATE ? 0 : -2;
}

int oxlo_host_pattern_add(oxlo_automaton *a, const char *pattern, uint16_t protocol_id,
                          uint32_t category, uint32_t breed, uint8_t level)
{
    automaton_data d{};
    d.id = protocol_id;
    d.category = static_cast<uint16_t>(category);
    d.breed = static_cast<uint16_t>(breed);
    d.level = level;
    return oxlo_host_pattern_add_data(a, pattern, &d);
}

void oxlo_host_match_load(oxlo_module *m, const oxlo_host_match_entry *e)
{
    if (!m || !e || !e->pattern)
        return;
    uint16_t id = static_cast<uint16_t>(e->protocol_id & 0xFFFF);
    if (!oxlo_protocol_enabled(m, id))
        return;
    oxlo_host_pattern_add(m->host_automaton, e->pattern, id, e->category, e->breed,
                          static_cast<uint8_t>(e->level));
}

/* Label-boundary rules: a pattern counts where it starts the name or
 * follows a '.', and the deepest (highest level) pattern wins. */
int oxlo_host_match_callback(const automaton_match_info *info, automaton_text *text,
                             automaton_match *result)
{
    const uint32_t end = info->position;
    const uint16_t n = info->count < 32 ? info->count : 32;
    for (uint16_t k = 0; k < n; k++) {
        if (!(info->mask & (1u << k)))
            continue;
        const automaton_pattern_entry &e = info->entries[k];
        if (e.length == 0 || e.length > end)
            continue;
        const uint32_t start = end - e.length;
        if (start == 0) {
            if (end == text->length) {
                text->chosen = &e;
                if (result)
                    result->data = e.data;
                return 1;
            }
            char last = e.text[e.length - 1];
            if (last != '.' && last != '-')
                continue;
        } else {
            if (e.text[0] == '.')
                continue;
            if (text->text[start - 1] != '.' && e.text[0] != '-')
                continue;
        }
        if (!text->chosen || e.data.level > text->chosen->data.level) {
            text->chosen = &e;
            if (result)
                result->data = e.data;
        }
    }
    return 0;
}

int oxlo_host_match(oxlo_module *m, const char *name, size_t length, oxlo_host_match_result *out)
{
    if (out)
        *out = oxlo_host_match_result{};
    if (!m || !name || length == 0 || !m->host_automaton)
        return 0;
    /* Patterns are matched against the canonical form of the name. */
    char canonical[256];
    const size_t n = oxlo_host_name_canonical(name, length, canonical, sizeof(canonical));
    if (n == 0)
        return 0;
    automaton_match match{};
    uint16_t proto = 0, category = 0;
    int rc = automaton_match_core(m->host_automaton, canonical, static_cast<uint16_t>(n), &match, &proto,
                                  &category);
    if (rc < 0)
        return rc;
    if (out && proto) {
        out->protocol_id = proto;
        out->category = category;
        out->breed = match.data.breed;
    }
    return proto;
}

int oxlo_automaton_stats(const oxlo_automaton *a, automaton_stats *out)
{
    if (!a || !out)
        return -1;
    automaton_get_stats(a, out);
    return 0;
}

int oxlo_module_automaton_stats(const oxlo_module *m, int selector, automaton_stats *out)
{
    if (!m || !out)
        return -1;
    const oxlo_automaton *list[5] = {m->host_automaton, m->tls_cert_automaton,
                                     m->host_risk_exception_automaton, m->alpn_automaton,
                                     m->risky_domain_automaton};
    if (selector < 0 || selector > 4)
        return -1;
    return oxlo_automaton_stats(list[selector], out);
}

/* ---- small matching operations ---- */

const char *oxlo_bounded_strstr(const char *haystack, const char *needle, size_t max)
{
    if (!haystack || !needle)
        return nullptr;
    size_t nl = strlen(needle);
    size_t hl = strnlen(haystack, max);
    if (nl > hl)
        return nullptr;
    for (size_t i = 0; i + nl <= hl; i++)
        if (memcmp(haystack + i, needle, nl) == 0)
            return haystack + i;
    return nullptr;
}

const char *oxlo_bounded_strcasestr(const char *haystack, const char *needle, size_t max)
{
    if (!haystack || !needle)
        return nullptr;
    size_t nl = strlen(needle);
    if (nl == 0)
        return haystack;
    size_t hl = strnlen(haystack, max);
    if (nl > hl)
        return nullptr;
    for (size_t i = 0; i + nl <= hl; i++)
        if (strncasecmp(haystack + i, needle, nl) == 0)
            return haystack + i;
    return nullptr;
}

int oxlo_buffer_has_prefix(const void *buffer, size_t length, const void *prefix,
                           size_t prefix_length)
{
    if (!buffer || !prefix || length < prefix_length)
        return 0;
    return memcmp(buffer, prefix, prefix_length) == 0 ? 1 : 0;
}

int oxlo_protocol_pair_has(uint32_t pair, uint16_t id)
{
    return (pair >> 16) == id || (pair & 0xFFFF) == id ? 1 : 0;
}

int oxlo_protocol_pair_is_unknown(uint32_t pair)
{
    return pair == 0 ? 1 : 0;
}

int oxlo_protocol_pair_match(uint32_t a, uint32_t b, int exact)
{
    if (exact)
        return a == b ? 1 : 0;
    uint16_t master = b & 0xFFFF, app = static_cast<uint16_t>(b >> 16);
    if (master)
        return oxlo_protocol_pair_has(a, master);
    if (app)
        return oxlo_protocol_pair_has(a, app);
    return 0;
}

uint16_t oxlo_protocol_pair_master_or_app(uint32_t pair)
{
    uint16_t master = pair & 0xFFFF;
    return master ? master : static_cast<uint16_t>(pair >> 16);
}

uint16_t oxlo_protocol_pair_app_or_master(uint32_t pair)
{
    uint16_t app = static_cast<uint16_t>(pair >> 16);
    return app ? app : static_cast<uint16_t>(pair & 0xFFFF);
}

char *oxlo_format_protocol_ids(uint32_t pair, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return buffer;
    unsigned master = pair & 0xFFFF, app = pair >> 16;
    if (master == 0 || app == 0 || master == app)
        snprintf(buffer, size, "%u", master ? master : app);
    else
        snprintf(buffer, size, "%u.%u", master, app);
    return buffer;
}

void oxlo_anydesk_risk_check(oxlo_module *m, oxlo_flow_state *flow, uint16_t protocol_id)
{
    if (flow && protocol_id == OXLO_PROTOCOL_ANYDESK)
        oxlo_flow_risk_raise(m, flow, OXLO_DESKTOP_OR_FILE_SHARING_SESSION, "Found AnyDesk");
}

void oxlo_md5_digest(const uint8_t *data, size_t length, uint8_t digest[16])
{
    md5_context ctx;
    oxlo_md5_init(&ctx);
    while (length > 0) {
        uint32_t step = length > 0x40000000u ? 0x40000000u : static_cast<uint32_t>(length);
        oxlo_md5_update(&ctx, data, step);
        data += step;
        length -= step;
    }
    oxlo_md5_final(digest, &ctx);
}

/* ---- module share ---- */

void oxlo_hosts_release(oxlo_module *m)
{
    if (!m)
        return;
    if (m->protocols_by_ip) {
        if (m->protocols_by_ip->v4)
            oxlo_patricia_walk_tree(m->protocols_by_ip->v4, free_entry_chain, nullptr);
        if (m->protocols_by_ip->v6)
            oxlo_patricia_walk_tree(m->protocols_by_ip->v6, free_entry_chain, nullptr);
    }
    oxlo_tree_pair_free(m->hosts.protocols_by_ip_second);
    m->hosts.protocols_by_ip_second = nullptr;
    oxlo_string_map_free(&m->hosts.custom_urls);
    oxlo_string_map_free(&m->hosts.custom_ja4);
    oxlo_string_map_free(&m->hosts.custom_oxlofp);
    oxlo_string_map_free(&m->hosts.public_suffixes);
}

} // extern "C"
