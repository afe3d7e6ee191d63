/* The protocol table: one entry per protocol id with its name, category,
 * breed, flags, default ports and sub-protocols; the default-port trees that
 * guess a protocol from the ports; the custom-id map; the name accessors and
 * the table dump. The built-in rows live in data/oxlo_protocols.def. */
#include "oxlo_private.h"
#include "oxlo_risks.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <strings.h>

/* The risk descriptions belong to the risk table; the option list uses them
 * when that code is linked in and prints the risk number otherwise. */
extern "C" const char *oxlo_flow_risk_description(int risk) __attribute__((weak));

namespace {

enum row_kind : uint8_t { ROW_EXPLICIT, ROW_HOST };
#define OXLO_ROW_X ROW_EXPLICIT
#define OXLO_ROW_H ROW_HOST

struct builtin_row {
    uint16_t id;
    const char *name;
    row_kind kind;
    uint8_t clear_text;
    uint8_t app;
    uint32_t breed;
    uint32_t category;
    uint32_t service_class;
    const char *tcp;
    const char *udp;
};

constexpr builtin_row builtin_rows[] = {
#define OXLO_PROTO(id, ident, name, kind, ct, app, breed, cat, cls, tcp, udp) \
    {id, name, OXLO_ROW_##kind, ct, app, OXLO_BREED_##breed, OXLO_CATEGORY_##cat, cls, tcp, udp},
#include "data/oxlo_protocols.def"
#undef OXLO_PROTO
};
constexpr size_t builtin_row_count = sizeof(builtin_rows) / sizeof(builtin_rows[0]);
static_assert(builtin_row_count == OXLO_PROTOCOL_BUILTIN_COUNT, "one row per built-in protocol");

constexpr bool rows_in_id_order()
{
    for (size_t i = 0; i < builtin_row_count; i++)
        if (builtin_rows[i].id != i)
            return false;
    return true;
}
static_assert(rows_in_id_order(), "row i describes protocol id i");

/* Host-match entries take the name, category and breed of their protocol. */
const oxlo_host_match_entry host_match_general[] = {
#define OXLO_HOST(pattern, proto)                                                          \
    {pattern, builtin_rows[OXLO_PROTOCOL_##proto].name, OXLO_PROTOCOL_##proto,             \
     builtin_rows[OXLO_PROTOCOL_##proto].category, builtin_rows[OXLO_PROTOCOL_##proto].breed, 0},
#include "data/oxlo_host_match.def"
#undef OXLO_HOST
    {nullptr, nullptr, 0, 0, 0, 0},
};

const oxlo_host_match_entry *const host_match_lists[] = {host_match_general};

/* Traffic class of a protocol created from a host-match entry. */
uint32_t service_class_of_category(uint32_t category)
{
    switch (category) {
    case OXLO_CATEGORY_MEDIA: case OXLO_CATEGORY_STREAMING: case OXLO_CATEGORY_MUSIC:
    case OXLO_CATEGORY_VIDEO:
        return 8;
    case OXLO_CATEGORY_WEB: return 5;
    case OXLO_CATEGORY_GAME: return 3;
    case OXLO_CATEGORY_VOIP: return 1;
    case OXLO_CATEGORY_REMOTEACCESS: return 9;
    default: return 0;
    }
}

/* ---- x-gram bitmaps ---- */

const char *const common_bigram_words[] = {
#define OXLO_BIGRAM(w) w,
#define OXLO_IMPOSSIBLE_BIGRAM(w)
#define OXLO_TRIGRAM(w)
#include "data/oxlo_xgrams.def"
#undef OXLO_BIGRAM
#undef OXLO_IMPOSSIBLE_BIGRAM
#undef OXLO_TRIGRAM
    nullptr,
};
const char *const impossible_bigram_words[] = {
#define OXLO_BIGRAM(w)
#define OXLO_IMPOSSIBLE_BIGRAM(w) w,
#define OXLO_TRIGRAM(w)
#include "data/oxlo_xgrams.def"
#undef OXLO_BIGRAM
#undef OXLO_IMPOSSIBLE_BIGRAM
#undef OXLO_TRIGRAM
    nullptr,
};
const char *const trigram_words[] = {
#define OXLO_BIGRAM(w)
#define OXLO_IMPOSSIBLE_BIGRAM(w)
#define OXLO_TRIGRAM(w) w,
#include "data/oxlo_xgrams.def"
#undef OXLO_BIGRAM
#undef OXLO_IMPOSSIBLE_BIGRAM
#undef OXLO_TRIGRAM
    nullptr,
};

struct xgram_bitmaps {
    uint32_t common_bigrams[22];    /* 88 bytes, 704 bits >= 26^2 */
    uint32_t impossible_bigrams[22];
    uint32_t trigrams[550];         /* 2,200 bytes, 17,600 bits >= 26^3 */
};

/* The word tables are built into the library: a bad word is a build fault,
 * so it stops the process rather than leave a wrong bitmap behind. */
void xgrams_fill(uint32_t *bits, uint32_t words, const char *const *table, uint32_t len)
{
    for (uint32_t i = 0; table[i]; i++) {
        uint32_t n = 0;
        for (uint32_t c = 0; c < len; c++) {
            char ch = table[i][c];
            if (ch < 'a' || ch > 'z') {
                printf("[OXLO] INTERNAL ERROR oxlo_xgrams_init %u: c%u %c\n", i, c, ch);
                abort();
            }
            n = n * 26 + (uint32_t)(ch - 'a');
        }
        if (table[i][len] != '\0') {
            printf("[OXLO] INTERNAL ERROR oxlo_xgrams_init %u: c[%d] != 0\n", i, (int)len);
            abort();
        }
        if (n / 32 >= words)
            abort();
        bits[n / 32] |= 1u << (n % 32);
    }
}

const xgram_bitmaps &xgrams()
{
    static const xgram_bitmaps maps = [] {
        xgram_bitmaps b;
        memset(&b, 0, sizeof(b));
        xgrams_fill(b.common_bigrams, 22, common_bigram_words, 2);
        xgrams_fill(b.impossible_bigrams, 22, impossible_bigram_words, 2);
        xgrams_fill(b.trigrams, 550, trigram_words, 3);
        return b;
    }();
    return maps;
}

int xgram_test(const uint32_t *bits, const char *text, uint32_t len)
{
    if (!text)
        return 0;
    uint32_t n = 0;
    for (uint32_t c = 0; c < len; c++) {
        if (text[c] < 'a' || text[c] > 'z')
            return 0;
        n = n * 26 + (uint32_t)(text[c] - 'a');
    }
    return (bits[n / 32] >> (n % 32)) & 1u;
}

constexpr uint32_t MIN_TABLE_CAPACITY = 512;

const char *const category_names[OXLO_CATEGORY_COUNT] = {
    "Unspecified", "Media", "VPN", "Email", "DataTransfer", "Web", "SocialNetwork",
    "Download", "Game", "Chat", "VoIP", "Database", "RemoteAccess", "Cloud", "Network",
    "Collaborative", "RPC", "Streaming", "System", "SoftwareUpdate",
    "", "", "", "", "", /* 20-24: the module's user custom categories */
    "Music", "Video", "Shopping", "Productivity", "FileSharing", "ConnCheck", "IoT-Scada",
    "VirtAssistant", "Cybersecurity", "AdultContent",
    /* 35-98 unused */
    "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
    "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
    "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
    "Mining", "Malware", "Advertisement", "Banned_Site", "Site_Unavailable", "Allowed_Site",
    "Antimalware", "Crypto_Currency", "Gambling", "Health", "ArtifIntelligence", "Finance",
    "News", "Sport", "Business", "Internet", "Blockchain_Crypto", "Blog_Forum", "Government",
    "Education", "CDN_Proxy", "Hw_Sw", "Dating", "Travel", "Food", "Bots", "Scanners",
    "Hosting", "Art", "Fashion", "Books", "Science", "Maps_Navigation", "Login_Portal",
    "Legal", "Environmental_Services", "Culture", "Housing", "Telecommunication",
    "Transportation", "Design", "Employment", "Events", "Weather", "Lifestyle", "Real_Estate",
    "Security", "Environment", "Hobby", "Computer_Science", "Construction", "Engineering",
    "Religion", "Entertainment", "Agriculture", "Technology", "Beauty", "History", "Politics",
    "Vehicles", "Search_Engine", "Children", "Violence", "Drugs", "Weapons",
};

const char *const breed_names[OXLO_BREED_COUNT] = {
    "Unrated", "Safe", "Acceptable", "Fun", "Unsafe", "Potentially_Dangerous", "Dangerous",
    "Tracker_Ads",
};

/* Unknown values are formatted per thread: queue threads name flows at once. */
thread_local char category_text[24];

oxlo_proto_table *table_of(oxlo_module *m) { return &m->protocols; }
const oxlo_proto_table *table_of(const oxlo_module *m) { return &m->protocols; }

/* Entry of a table id below the number of protocols, else NULL. */
const oxlo_proto_defaults *valid_entry(const oxlo_module *m, uint32_t id)
{
    if (!m)
        return nullptr;
    const oxlo_proto_table *t = table_of(m);
    if (!t->entries || id >= t->count || id >= t->capacity)
        return nullptr;
    return &t->entries[id];
}

int grow_table(oxlo_proto_table *t, uint32_t id)
{
    uint32_t want = MIN_TABLE_CAPACITY;
    while (want < id + 1)
        want <<= 1;
    if (want > OXLO_PROTOCOL_TABLE_MAX)
        want = OXLO_PROTOCOL_TABLE_MAX;
    if (id >= want)
        return -1;
    auto *e = static_cast<oxlo_proto_defaults *>(
        oxlo_heap_realloc(t->entries, (size_t)want * sizeof(oxlo_proto_defaults)));
    if (!e)
        return -1;
    memset(&e[t->capacity], 0, (size_t)(want - t->capacity) * sizeof(oxlo_proto_defaults));
    t->entries = e;
    t->capacity = (uint16_t)want;
    return 0;
}

/* "80", "6881-6889,51413": at most five ranges; -1 for anything else. */
int parse_port_list(const char *text, default_port_range ports[OXLO_DEFAULT_PORT_RANGES])
{
    memset(ports, 0, sizeof(default_port_range) * OXLO_DEFAULT_PORT_RANGES);
    const char *p = text;
    for (int n = 0; *p; n++) {
        if (n == OXLO_DEFAULT_PORT_RANGES)
            return -1;
        unsigned long low = 0, high = 0;
        int digits = 0;
        for (; *p >= '0' && *p <= '9' && low <= 65535; p++, digits++)
            low = low * 10 + (unsigned long)(*p - '0');
        if (!digits || low == 0 || low > 65535)
            return -1;
        high = low;
        if (*p == '-') {
            p++;
            high = 0;
            digits = 0;
            for (; *p >= '0' && *p <= '9' && high <= 65535; p++, digits++)
                high = high * 10 + (unsigned long)(*p - '0');
            if (!digits || high < low || high > 65535)
                return -1;
        }
        ports[n].low = (uint16_t)low;
        ports[n].high = (uint16_t)high;
        if (*p == ',')
            p++;
        else if (*p)
            return -1;
    }
    return 0;
}

int register_row(oxlo_module *m, const builtin_row &r)
{
    default_port_range tcp[OXLO_DEFAULT_PORT_RANGES], udp[OXLO_DEFAULT_PORT_RANGES];
    if (parse_port_list(r.tcp, tcp) != 0 || parse_port_list(r.udp, udp) != 0) {
        printf("[OXLO] INTERNAL ERROR bad default ports of protocol %u\n", r.id);
        return -1;
    }
    return oxlo_set_proto_defaults(m, r.clear_text, r.app, r.breed, r.id, r.name, r.category,
                                   r.service_class, tcp, udp, 0);
}

/* ---- default-port trees: AVL trees ordered by port ---- */

int8_t height(const oxlo_default_port_node *n) { return n ? n->height : 0; }

void update_height(oxlo_default_port_node *n)
{
    int8_t l = height(n->left), r = height(n->right);
    n->height = (int8_t)((l > r ? l : r) + 1);
}

oxlo_default_port_node *rotate_right(oxlo_default_port_node *y)
{
    oxlo_default_port_node *x = y->left;
    y->left = x->right;
    x->right = y;
    update_height(y);
    update_height(x);
    return x;
}

oxlo_default_port_node *rotate_left(oxlo_default_port_node *x)
{
    oxlo_default_port_node *y = x->right;
    x->right = y->left;
    y->left = x;
    update_height(x);
    update_height(y);
    return y;
}

oxlo_default_port_node *rebalance(oxlo_default_port_node *n)
{
    update_height(n);
    int balance = height(n->left) - height(n->right);
    if (balance > 1) {
        if (height(n->left->left) < height(n->left->right))
            n->left = rotate_left(n->left);
        return rotate_right(n);
    }
    if (balance < -1) {
        if (height(n->right->right) < height(n->right->left))
            n->right = rotate_right(n->right);
        return rotate_left(n);
    }
    return n;
}

enum insert_result { PORT_ADDED, PORT_EXISTS, PORT_NO_MEMORY };

oxlo_default_port_node *insert_port(oxlo_default_port_node *n, uint16_t port, uint16_t id,
                                    uint8_t flag, insert_result *res)
{
    if (!n) {
        auto *node = static_cast<oxlo_default_port_node *>(
            oxlo_heap_calloc(1, sizeof(oxlo_default_port_node)));
        if (!node) {
            *res = PORT_NO_MEMORY;
            return nullptr;
        }
        node->port = port;
        node->protocol_id = id;
        node->flag = flag;
        node->height = 1;
        *res = PORT_ADDED;
        return node;
    }
    if (port == n->port) {
        n->flag |= flag;
        n->protocol_id = id;
        *res = PORT_EXISTS;
        return n;
    }
    if (port < n->port) {
        oxlo_default_port_node *l = insert_port(n->left, port, id, flag, res);
        if (*res != PORT_ADDED)
            return n;
        n->left = l;
    } else {
        oxlo_default_port_node *r = insert_port(n->right, port, id, flag, res);
        if (*res != PORT_ADDED)
            return n;
        n->right = r;
    }
    return rebalance(n);
}

void free_nodes(oxlo_default_port_node *n)
{
    if (!n)
        return;
    free_nodes(n->left);
    free_nodes(n->right);
    oxlo_heap_free(n);
}

uint16_t protocol_of_ip_protocol(uint8_t ip_protocol)
{
    switch (ip_protocol) {
    case 1: return OXLO_PROTOCOL_ICMP;
    case 2: return OXLO_PROTOCOL_IGMP;
    case 4: return OXLO_PROTOCOL_IP_IN_IP;
    case 8: return OXLO_PROTOCOL_EGP;
    case 47: return OXLO_PROTOCOL_GRE;
    case 50: return OXLO_PROTOCOL_ESP;
    case 51: return OXLO_PROTOCOL_AH;
    case 58: return OXLO_PROTOCOL_ICMPV6;
    case 89: return OXLO_PROTOCOL_IP_OSPF;
    case 103: return OXLO_PROTOCOL_IP_PIM;
    case 112: return OXLO_PROTOCOL_VRRP;
    case 113: return OXLO_PROTOCOL_PGM;
    case 132: return OXLO_PROTOCOL_SCTP;
    default: return OXLO_PROTOCOL_UNKNOWN;
    }
}

/* Category or breed of a packed pair: the master's value for the mail and
 * DNS masters, or when the app has none; else the app's. */
uint32_t pair_value(const oxlo_module *m, uint32_t pair, bool breed)
{
    uint16_t master = (uint16_t)(pair & 0xFFFF), app = (uint16_t)(pair >> 16);
    bool use_master = false;
    switch (master) {
    case OXLO_PROTOCOL_POP3: case OXLO_PROTOCOL_SMTP: case OXLO_PROTOCOL_IMAP:
    case OXLO_PROTOCOL_DNS: case OXLO_PROTOCOL_POPS: case OXLO_PROTOCOL_SMTPS:
    case OXLO_PROTOCOL_IMAPS:
        use_master = true;
        break;
    default:
        if (master != 0) {
            const oxlo_proto_defaults *a = valid_entry(m, app);
            use_master = !a || (breed ? a->breed : a->category) == 0;
        }
    }
    const oxlo_proto_defaults *e = valid_entry(m, use_master ? master : app);
    if (!e)
        return 0;
    return breed ? e->breed : e->category;
}

/* Option rows alternate between two tags so that a page can stripe them. */
int row_tag(uint32_t row) { return (int)(row % 2) + 1; }

void print_port_ranges(const default_port_range *ports, char *buf, size_t size)
{
    if (ports[0].low == 0)
        snprintf(buf, size, "-");
    else
        oxlo_port_list_text(ports, buf, size);
}

} // namespace

extern "C" {

/* ---- filling the table ---- */

int oxlo_set_proto_defaults(oxlo_module *module, uint8_t clear_text, uint8_t app, uint32_t breed,
                            uint16_t id, const char *name, uint32_t category,
                            uint32_t service_class, const default_port_range *tcp_ports,
                            const default_port_range *udp_ports, uint8_t custom)
{
    if (!module || !name)
        return -2;
    oxlo_proto_table *t = table_of(module);
    if (id >= t->capacity && grow_table(t, id) != 0)
        return -1;
    oxlo_proto_defaults *e = &t->entries[id];
    if (e->name[0] == '\0') {
        snprintf(e->name, sizeof(e->name), "%s", name);
        /* An unnamed slot may still hold a list attached to its id. */
        oxlo_heap_free(e->subprotocols);
        e->subprotocols = nullptr;
        e->subprotocol_count = 0;
        e->id = id;
        e->flags = (uint8_t)((e->flags & 0xF0u) | (clear_text ? OXLO_PROTO_FLAG_CLEAR_TEXT : 0) |
                             (app ? OXLO_PROTO_FLAG_APP : 0) | (custom ? OXLO_PROTO_FLAG_CUSTOM : 0));
        e->category = category;
        e->breed = breed;
        e->service_class = service_class;
        e->dissector_index = OXLO_NO_DISSECTOR;
        if (tcp_ports)
            memcpy(e->tcp_default_ports, tcp_ports, sizeof(e->tcp_default_ports));
        else
            memset(e->tcp_default_ports, 0, sizeof(e->tcp_default_ports));
        if (udp_ports)
            memcpy(e->udp_default_ports, udp_ports, sizeof(e->udp_default_ports));
        else
            memset(e->udp_default_ports, 0, sizeof(e->udp_default_ports));
        t->count++;
        if (custom)
            t->custom_count++;
        else
            t->builtin_count++;
    } else if (strcasecmp(e->name, name) != 0) {
        printf("Error. Same protocol id %d with different names [%s][%s]!\n", id, e->name, name);
    }
    return 0;
}

default_port_range *oxlo_build_default_ports(default_port_range *ports, uint16_t p1, uint16_t p2,
                                             uint16_t p3, uint16_t p4, uint16_t p5)
{
    return oxlo_build_default_ports_range(ports, p1, p1, p2, p2, p3, p3, p4, p4, p5, p5);
}

default_port_range *oxlo_build_default_ports_range(default_port_range *ports, uint16_t low1,
                                                   uint16_t high1, uint16_t low2, uint16_t high2,
                                                   uint16_t low3, uint16_t high3, uint16_t low4,
                                                   uint16_t high4, uint16_t low5, uint16_t high5)
{
    if (!ports)
        return nullptr;
    const uint16_t v[10] = {low1, high1, low2, high2, low3, high3, low4, high4, low5, high5};
    for (int i = 0; i < OXLO_DEFAULT_PORT_RANGES; i++) {
        ports[i].low = v[2 * i];
        ports[i].high = v[2 * i + 1];
        ports[i].flag = 0;
    }
    return ports;
}

void oxlo_set_proto_subprotocols(oxlo_module *module, int id, ...)
{
    if (!module || id < 0 || id >= table_of(module)->capacity)
        return;
    va_list ap;
    va_start(ap, id);
    uint32_t n = 0;
    while (va_arg(ap, int) != -1)
        n++;
    va_end(ap);

    uint16_t *list = nullptr;
    if (n) {
        list = static_cast<uint16_t *>(oxlo_heap_alloc(n * sizeof(uint16_t)));
        if (!list)
            return;
        va_start(ap, id);
        for (uint32_t i = 0; i < n; i++)
            list[i] = (uint16_t)va_arg(ap, int); /* -2 is stored as 0xFFFE */
        va_end(ap);
    }
    oxlo_proto_defaults *e = &table_of(module)->entries[id];
    oxlo_heap_free(e->subprotocols);
    e->subprotocols = list;
    e->subprotocol_count = n;
}

void builtin_protocols_register(oxlo_module *module)
{
    if (!module)
        return;
    for (const builtin_row &r : builtin_rows)
        if (r.kind == ROW_EXPLICIT)
            register_row(module, r);

    const int by_content = OXLO_PROTOCOL_MATCHED_BY_CONTENT;
    for (int id : {OXLO_PROTOCOL_DNS, OXLO_PROTOCOL_MDNS, OXLO_PROTOCOL_DTLS, OXLO_PROTOCOL_TLS,
                   OXLO_PROTOCOL_HTTP_CONNECT, OXLO_PROTOCOL_HTTP_PROXY, OXLO_PROTOCOL_QUIC})
        oxlo_set_proto_subprotocols(module, id, by_content, -1);
    oxlo_set_proto_subprotocols(module, OXLO_PROTOCOL_HTTP, OXLO_PROTOCOL_WEBSOCKET,
                                OXLO_PROTOCOL_CROSSFIRE, OXLO_PROTOCOL_SOAP,
                                OXLO_PROTOCOL_BITTORRENT, OXLO_PROTOCOL_IPP,
                                OXLO_PROTOCOL_MPEGDASH, OXLO_PROTOCOL_RTSP, OXLO_PROTOCOL_THRIFT,
                                OXLO_PROTOCOL_JSON_RPC, OXLO_PROTOCOL_HL7, by_content, -1);
    oxlo_set_proto_subprotocols(module, OXLO_PROTOCOL_DCERPC, OXLO_PROTOCOL_PROFINET_IO,
                                by_content, -1);
}

/* Host-match lists are checked, every entry creates (or finds) its
 * protocol, then the services that have no host names of their own are
 * created the same way; last, the x-gram bitmaps are built once. */
void oxlo_init_string_based_protocols(oxlo_module *module)
{
    if (!module)
        return;
    for (const oxlo_host_match_entry *list : host_match_lists)
        oxlo_host_match_list_check(list);
    for (const oxlo_host_match_entry *list : host_match_lists)
        for (const oxlo_host_match_entry *e = list; e->pattern; e++)
            oxlo_host_match_add_defaults(module, e);
    for (const builtin_row &r : builtin_rows)
        if (r.kind == ROW_HOST)
            oxlo_set_proto_defaults(module, 0, 1, r.breed, r.id, r.name, r.category,
                                    r.service_class, nullptr, nullptr, 0);
    xgrams();
}

void oxlo_host_match_add_defaults(oxlo_module *module, const oxlo_host_match_entry *entry)
{
    if (!module || !entry || !entry->protocol_name)
        return;
    oxlo_set_proto_defaults(module, 0, 1, entry->breed, (uint16_t)(entry->protocol_id & 0xFFFF),
                            entry->protocol_name, entry->category,
                            service_class_of_category(entry->category), nullptr, nullptr, 0);
}

const oxlo_host_match_entry *const *oxlo_host_match_lists(uint32_t *count)
{
    if (count)
        *count = (uint32_t)(sizeof(host_match_lists) / sizeof(host_match_lists[0]));
    return host_match_lists;
}

uint32_t oxlo_host_match_list_check(const oxlo_host_match_entry *list)
{
    if (!list)
        return 0;
    uint32_t problems = 0;
    for (const oxlo_host_match_entry *e = list; e->pattern; e++) {
        if (e->pattern[0] == '.') {
            printf("[OXLO] INTERNAL ERROR Invalid string detected '%s'. It can not start with '.'\n",
                   e->pattern);
            problems++;
        }
        for (const oxlo_host_match_entry *d = e + 1; d->pattern; d++)
            if (strcmp(e->pattern, d->pattern) == 0) {
                printf("[OXLO] INTERNAL ERROR duplicate string detected '%s' [id: %u, id %u]\n",
                       e->pattern, e->protocol_id, d->protocol_id);
                problems++;
            }
    }
    return problems;
}

const uint32_t *oxlo_xgram_bitmap(int kind)
{
    switch (kind) {
    case OXLO_XGRAM_COMMON_BIGRAMS: return xgrams().common_bigrams;
    case OXLO_XGRAM_IMPOSSIBLE_BIGRAMS: return xgrams().impossible_bigrams;
    case OXLO_XGRAM_COMMON_TRIGRAMS: return xgrams().trigrams;
    default: return nullptr;
    }
}

int oxlo_common_bigram_test(const char *text) { return xgram_test(xgrams().common_bigrams, text, 2); }

int oxlo_impossible_bigram_test(const char *text)
{
    return xgram_test(xgrams().impossible_bigrams, text, 2);
}

int oxlo_trigram_test(const char *text) { return xgram_test(xgrams().trigrams, text, 3); }

int oxlo_proto_table_init(oxlo_module *module)
{
    if (!module)
        return -1;
    builtin_protocols_register(module);
    oxlo_init_string_based_protocols(module);

    const oxlo_proto_table *t = table_of(module);
    for (uint32_t i = 0; i < t->count; i++) {
        const oxlo_proto_defaults *e = i < t->capacity ? &t->entries[i] : nullptr;
        if (!e || e->name[0] == '\0' || (e->flags & OXLO_PROTO_FLAG_CUSTOM)) {
            printf("INTERNAL ERROR protocols %d/%d %d\n", (int)i, (int)t->count,
                   e ? (int)(e->flags & OXLO_PROTO_FLAG_CUSTOM) : 0);
            return -1;
        }
    }
    if (t->count != t->builtin_count || t->builtin_count != OXLO_PROTOCOL_BUILTIN_COUNT)
        return -1;
    return 0;
}

void oxlo_proto_table_free(oxlo_module *module)
{
    if (!module)
        return;
    oxlo_proto_table *t = table_of(module);
    if (t->entries)
        for (uint32_t i = 0; i < t->capacity; i++)
            oxlo_heap_free(t->entries[i].subprotocols);
    oxlo_heap_free(t->entries);
    oxlo_heap_free(t->custom_id_map);
    oxlo_default_port_tree_free(&t->tcp_ports);
    oxlo_default_port_tree_free(&t->udp_ports);
    memset(t, 0, sizeof(*t));
}

void oxlo_default_ports_build(oxlo_module *module)
{
    if (!module)
        return;
    oxlo_proto_table *t = table_of(module);
    /* A finalization retried after a failure starts from empty trees. */
    oxlo_default_port_tree_free(&t->tcp_ports);
    oxlo_default_port_tree_free(&t->udp_ports);
    for (uint32_t id = 0; id < t->count && id < t->capacity; id++) {
        const oxlo_proto_defaults *e = &t->entries[id];
        if (e->name[0] == '\0' || !oxlo_protocol_enabled(module, (int)id))
            continue;
        uint8_t custom = (e->flags & OXLO_PROTO_FLAG_CUSTOM) ? 1 : 0;
        for (int i = 0; i < OXLO_DEFAULT_PORT_RANGES; i++) {
            if (e->tcp_default_ports[i].low || e->tcp_default_ports[i].high)
                oxlo_default_port_add(&e->tcp_default_ports[i], (uint16_t)id, custom, &t->tcp_ports);
            if (e->udp_default_ports[i].low || e->udp_default_ports[i].high)
                oxlo_default_port_add(&e->udp_default_ports[i], (uint16_t)id, custom, &t->udp_ports);
        }
    }
}

void oxlo_proto_table_check(oxlo_module *module)
{
    if (!module)
        return;
    const oxlo_proto_table *t = table_of(module);
    for (uint32_t i = 0; i < t->count && i < t->capacity; i++) {
        const oxlo_proto_defaults *e = &t->entries[i];
        if (e->name[0] == '\0')
            printf("[OXLO] INTERNAL ERROR missing protoName initialization for [protoId=%d]: "
                   "recovering\n", (int)i);
        else if (i != 0 && e->category == 0 && !(e->flags & OXLO_PROTO_FLAG_CUSTOM))
            printf("[OXLO] INTERNAL ERROR missing category [protoId=%d/%s] initialization: "
                   "recovering\n", (int)i, e->name);
        else if (e->id != i)
            printf("[OXLO] INTERNAL ERROR non-coherent id %d/%d [%s]: recovering\n", (int)e->id,
                   (int)i, e->name);
    }
}

/* ---- default-port trees ---- */

void oxlo_default_port_add(const default_port_range *range, uint16_t protocol_id, uint8_t flag,
                           oxlo_default_port_node **tree)
{
    if (!range || !tree)
        return;
    uint8_t node_flag = (uint8_t)(flag | range->flag);
    uint32_t high = range->high < range->low ? range->low : range->high;
    for (uint32_t port = range->low; port <= high; port++) {
        insert_result res = PORT_ADDED;
        oxlo_default_port_node *root = insert_port(*tree, (uint16_t)port, protocol_id, node_flag, &res);
        if (res == PORT_NO_MEMORY) {
            printf("Not enough memory\n");
            return;
        }
        if (res == PORT_EXISTS)
            return; /* the port now belongs to this protocol; its range stops here */
        *tree = root;
    }
}

void oxlo_default_port_tree_free(oxlo_default_port_node **tree)
{
    if (!tree)
        return;
    free_nodes(*tree);
    *tree = nullptr;
}

const oxlo_default_port_node *oxlo_default_port_find(const oxlo_default_port_node *tree,
                                                     uint16_t port)
{
    while (tree && tree->port != port)
        tree = port < tree->port ? tree->left : tree->right;
    return tree;
}

uint16_t oxlo_guess_protocol_by_port(const oxlo_module *module, uint8_t ip_protocol,
                                     uint16_t first_port, uint16_t second_port, uint8_t *flag)
{
    if (flag)
        *flag = 0;
    if (!module)
        return OXLO_PROTOCOL_UNKNOWN;
    if (first_port && second_port) {
        const oxlo_proto_table *t = table_of(module);
        const oxlo_default_port_node *tree = ip_protocol == 6 ? t->tcp_ports : t->udp_ports;
        const oxlo_default_port_node *n = oxlo_default_port_find(tree, second_port);
        if (!n && module->cfg.use_client_port_in_guess)
            n = oxlo_default_port_find(tree, first_port);
        if (!n)
            return OXLO_PROTOCOL_UNKNOWN;
        if (flag)
            *flag = n->flag;
        return n->protocol_id;
    }
    uint16_t id = protocol_of_ip_protocol(ip_protocol);
    if (id && oxlo_protocol_enabled(module, id))
        return id;
    return OXLO_PROTOCOL_UNKNOWN;
}

/* ---- lookups ---- */

oxlo_proto_defaults *oxlo_proto_defaults_get(oxlo_module *module, uint32_t id)
{
    return const_cast<oxlo_proto_defaults *>(valid_entry(module, id));
}

uint32_t oxlo_protocol_count(const oxlo_module *module)
{
    if (!module || !(module->flags & OXLO_MODULE_FINALIZED))
        return 0;
    return table_of(module)->count;
}

uint16_t oxlo_protocol_id_by_name(const oxlo_module *module, const char *name)
{
    if (!module || !name || !*name)
        return OXLO_PROTOCOL_UNKNOWN;
    const oxlo_proto_table *t = table_of(module);
    for (uint32_t i = 0; i < t->count && i < t->capacity; i++)
        if (strcasecmp(t->entries[i].name, name) == 0)
            return (uint16_t)i;
    return OXLO_PROTOCOL_UNKNOWN;
}

uint32_t oxlo_protocol_pair_by_name(const oxlo_module *module, const char *text)
{
    if (!module || !text)
        return 0;
    char buf[256];
    snprintf(buf, sizeof(buf), "%s", text);
    char *dot = strchr(buf, '.');
    if (!dot)
        return oxlo_protocol_id_by_name(module, buf);
    *dot = '\0';
    uint16_t app = oxlo_protocol_id_by_name(module, dot + 1);
    if (!app)
        return 0;
    return ((uint32_t)app << 16) | oxlo_protocol_id_by_name(module, buf);
}

const char *oxlo_protocol_name(const oxlo_module *module, uint16_t id)
{
    if (!module)
        return "Unknown";
    const oxlo_proto_table *t = table_of(module);
    if (!t->entries)
        return "Unknown";
    const oxlo_proto_defaults *e = valid_entry(module, oxlo_internal_protocol_id(module, id));
    if (!e || e->name[0] == '\0')
        return t->entries[0].name[0] ? t->entries[0].name : "Unknown";
    return e->name;
}

char *oxlo_format_protocol_names(const oxlo_module *module, uint32_t pair, char *buffer,
                                 size_t size)
{
    if (!buffer || size == 0)
        return buffer;
    uint16_t master = (uint16_t)(pair & 0xFFFF), app = (uint16_t)(pair >> 16);
    if (master && app && master != app)
        snprintf(buffer, size, "%s.%s", oxlo_protocol_name(module, master),
                 oxlo_protocol_name(module, app));
    else
        snprintf(buffer, size, "%s", oxlo_protocol_name(module, master ? master : app));
    return buffer;
}

int oxlo_is_custom_protocol(const oxlo_module *module, uint16_t id)
{
    if (!module)
        return 0;
    const oxlo_proto_table *t = table_of(module);
    if (!t->entries || id >= t->capacity)
        return 0;
    return (t->entries[id].flags & OXLO_PROTO_FLAG_CUSTOM) ? 1 : 0;
}

uint16_t oxlo_user_protocol_id(const oxlo_module *module, uint16_t id)
{
    if (id == 0 || !valid_entry(module, id))
        return 0;
    const oxlo_proto_table *t = table_of(module);
    if (!oxlo_is_custom_protocol(module, id) || id < t->builtin_count)
        return id;
    uint32_t slot = id - t->builtin_count;
    if (!t->custom_id_map || slot >= t->custom_id_map_capacity || !t->custom_id_map[slot])
        return id;
    return t->custom_id_map[slot];
}

uint16_t oxlo_internal_protocol_id(const oxlo_module *module, uint16_t user_id)
{
    if (!module)
        return 0;
    const oxlo_proto_table *t = table_of(module);
    if (user_id < t->builtin_count)
        return user_id;
    for (uint32_t i = 0; t->custom_id_map && i < t->custom_id_map_capacity; i++) {
        if (t->custom_id_map[i] == 0)
            break;
        if (t->custom_id_map[i] == user_id)
            return (uint16_t)(i + t->builtin_count);
    }
    return 0;
}

void oxlo_custom_id_map_set(oxlo_module *module, uint16_t table_id, uint16_t user_id)
{
    if (!module)
        return;
    oxlo_proto_table *t = table_of(module);
    if (table_id < t->builtin_count)
        return;
    uint32_t slot = table_id - t->builtin_count;
    if (slot >= t->custom_id_map_capacity) {
        /* Grow until the slot fits: one step may not reach a far slot. */
        uint32_t cap = t->custom_id_map_capacity;
        while (slot >= cap && cap < OXLO_PROTOCOL_TABLE_MAX) {
            cap = cap < 32 ? 64 : cap * 2;
            if (cap > OXLO_PROTOCOL_TABLE_MAX)
                cap = OXLO_PROTOCOL_TABLE_MAX;
        }
        if (slot >= cap)
            return;
        auto *map = static_cast<uint16_t *>(oxlo_heap_realloc(t->custom_id_map, cap * sizeof(uint16_t)));
        if (!map)
            return;
        memset(&map[t->custom_id_map_capacity], 0, (cap - t->custom_id_map_capacity) * sizeof(uint16_t));
        t->custom_id_map = map;
        t->custom_id_map_capacity = (uint16_t)cap;
    }
    t->custom_id_map[slot] = user_id;
}

int oxlo_protocol_enabled(const oxlo_module *module, int id)
{
    if (!module || id < 0 || id > 0xFFFF)
        return 0;
    if (oxlo_is_custom_protocol(module, (uint16_t)id))
        return 1;
    return oxlo_knob_bit_test(&module->cfg.enabled_protocols, (uint32_t)id) == 1;
}

int oxlo_is_dns_protocol(const oxlo_module *module, uint16_t id)
{
    return id == OXLO_PROTOCOL_DNS && valid_entry(module, id) ? 1 : 0;
}

/* ---- category and breed ---- */

int oxlo_set_proto_breed(oxlo_module *module, uint16_t id, uint32_t breed)
{
    oxlo_proto_defaults *e = oxlo_proto_defaults_get(module, id);
    if (!e)
        return 0;
    e->breed = breed;
    return 1;
}

int oxlo_set_proto_category(oxlo_module *module, uint16_t id, uint32_t category)
{
    oxlo_proto_defaults *e = oxlo_proto_defaults_get(module, id);
    if (!e)
        return 0;
    e->category = category;
    return 1;
}

uint32_t oxlo_protocol_breed(const oxlo_module *module, uint16_t id)
{
    const oxlo_proto_defaults *e = valid_entry(module, oxlo_internal_protocol_id(module, id));
    if (!e)
        e = valid_entry(module, 0);
    return e ? e->breed : (uint32_t)OXLO_BREED_UNRATED;
}

uint32_t oxlo_protocol_pair_category(const oxlo_module *module, uint32_t pair)
{
    return pair_value(module, pair, false);
}

uint32_t oxlo_protocol_pair_breed(const oxlo_module *module, uint32_t pair)
{
    return pair_value(module, pair, true);
}

uint32_t oxlo_protocol_pair_category_default(const oxlo_module *module, uint32_t pair,
                                             uint32_t default_category)
{
    if (default_category)
        return default_category;
    return pair_value(module, pair, false);
}

const char *oxlo_category_name(const oxlo_module *module, int category)
{
    if (!module) {
        snprintf(category_text, sizeof(category_text), "NULL Oxlo");
        return category_text;
    }
    if (category < 0 || category >= OXLO_CATEGORY_COUNT) {
        snprintf(category_text, sizeof(category_text), "Invalid category %d", category);
        return category_text;
    }
    if (category >= OXLO_FIRST_USER_CATEGORY &&
        category < OXLO_FIRST_USER_CATEGORY + OXLO_NUM_USER_CATEGORIES)
        return module->custom_category_names[category - OXLO_FIRST_USER_CATEGORY];
    return category_names[category];
}

int oxlo_category_id_by_name(const oxlo_module *module, const char *name)
{
    if (!module || !name || !*name)
        return -1;
    for (int i = 0; i < OXLO_CATEGORY_COUNT; i++) {
        const char *n = oxlo_category_name(module, i);
        if (*n && strcasecmp(n, name) == 0)
            return i;
    }
    return -1;
}

const char *oxlo_breed_name(uint32_t breed)
{
    return breed < OXLO_BREED_COUNT ? breed_names[breed] : "???";
}

uint32_t oxlo_breed_id_by_name(const char *name)
{
    if (!name)
        return OXLO_BREED_UNRATED;
    for (uint32_t i = 0; i < OXLO_BREED_COUNT; i++)
        if (strcasecmp(breed_names[i], name) == 0)
            return i;
    return OXLO_BREED_UNRATED;
}

const char *oxlo_confidence_name(int level)
{
    static const char *const names[] = {
        "Unknown", "Match by port", "Tafl", "DPI (partial)", "DPI (partial cache)",
        "DPI (cache)", "DPI", "Match by IP", "DPI (aggressive)", "Match by custom rule",
    };
    return level >= 0 && level < 10 ? names[level] : nullptr;
}

const char *oxlo_fpc_kind_name(int kind)
{
    static const char *const names[] = {
        "Unknown", "IP address", "DNS", "DPI", "Match by custom rule",
    };
    return kind >= 0 && kind < 5 ? names[kind] : "Invalid";
}

int oxlo_protocol_is_service(uint16_t id)
{
    switch (id) {
    case OXLO_PROTOCOL_UNKNOWN: case OXLO_PROTOCOL_TOR:
    case OXLO_PROTOCOL_YANDEXCLOUD: case OXLO_PROTOCOL_CLOUDFLARE: case OXLO_PROTOCOL_AMAZONAWS:
    case OXLO_PROTOCOL_ALIBABA: case OXLO_PROTOCOL_AZURE: case OXLO_PROTOCOL_GOOGLECLOUD:
    case OXLO_PROTOCOL_TENCENT: case OXLO_PROTOCOL_EDGECAST: case OXLO_PROTOCOL_CACHEFLY:
    case OXLO_PROTOCOL_NORDVPN: case OXLO_PROTOCOL_SURFSHARK: case OXLO_PROTOCOL_DIGITALOCEAN:
    case OXLO_PROTOCOL_AWS_EC2: case OXLO_PROTOCOL_AWS_CLOUDFRONT:
        return 0;
    default:
        return 1;
    }
}

int oxlo_flow_ip_guess_is_service(const oxlo_flow_state *flow)
{
    return flow ? oxlo_protocol_is_service(flow->guess_by_address) : 0;
}

oxlo_classification oxlo_result_to_user_ids(oxlo_module *module, const oxlo_flow_state *flow)
{
    return oxlo_flow_result(module, flow);
}

/* ---- texts ---- */

char *oxlo_port_list_text(const default_port_range *ports, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return buffer;
    buffer[0] = '\0';
    if (!ports)
        return buffer;
    size_t len = 0;
    for (int i = 0; i < OXLO_DEFAULT_PORT_RANGES; i++) {
        if (i > 0 && ports[i].low == 0)
            break;
        int n = ports[i].low == ports[i].high
                    ? snprintf(buffer + len, size - len, "%d,", ports[i].low)
                    : snprintf(buffer + len, size - len, "%d-%d,", ports[i].low, ports[i].high);
        if (n < 0 || (size_t)n >= size - len) {
            buffer[len] = '\0';
            break;
        }
        len += (size_t)n;
    }
    if (len && buffer[len - 1] == ',')
        buffer[len - 1] = '\0';
    return buffer;
}

char *oxlo_expected_ports_text(const default_port_range *ports, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return buffer;
    int n = snprintf(buffer, size, "Expected on port ");
    if (n < 0 || (size_t)n >= size || !ports)
        return buffer;
    size_t len = (size_t)n;
    bool first = true;
    for (int i = 0; i < OXLO_DEFAULT_PORT_RANGES && ports[i].low; i++) {
        if (ports[i].flag)
            continue;
        const char *sep = first ? "" : ",";
        n = ports[i].low == ports[i].high
                ? snprintf(buffer + len, size - len, "%s%u", sep, ports[i].low)
                : snprintf(buffer + len, size - len, "%s%u-%u", sep, ports[i].low, ports[i].high);
        if (n < 0 || (size_t)n >= size - len) {
            buffer[len] = '\0'; /* a range that does not fit is left out whole */
            break;
        }
        len += (size_t)n;
        first = false;
    }
    return buffer;
}

int oxlo_print_protocol_table(oxlo_module *module, FILE *stream)
{
    if (!module || !stream)
        return -2;
    if (oxlo_finalize_initialization(module) != 0)
        return -1;
    const uint32_t count = oxlo_protocol_count(module);
    for (uint32_t i = 0; i < count; i++) {
        const oxlo_proto_defaults *e = valid_entry(module, i);
        if (!e)
            continue;
        char udp[64], tcp[64];
        print_port_ranges(e->udp_default_ports, udp, sizeof(udp));
        print_port_ranges(e->tcp_default_ports, tcp, sizeof(tcp));
        const char *transport =
            oxlo_transport_name(oxlo_protocol_dissector_transport(module, (uint16_t)i));
        fprintf(stream, "%3d %8d %-26s %-10s %-8s %-21s %-18s %-31s %-31s %6d\n", (int)i,
                (int)oxlo_user_protocol_id(module, (uint16_t)i), e->name, transport,
                (e->flags & OXLO_PROTO_FLAG_APP) ? "" : "X", oxlo_breed_name(e->breed),
                oxlo_category_name(module, (int)e->category), udp, tcp,
                (e->flags & OXLO_PROTO_FLAG_CUSTOM) ? 1 : 0);
    }
    return 0;
}

void oxlo_print_option_list(int selector, FILE *stream)
{
    if (!stream)
        return;
    if (selector < 0 || selector > 2) {
        fprintf(stream, "WARNING: option -a out of range\n");
        return;
    }
    oxlo_module *m = oxlo_module_new(nullptr);
    if (!m)
        return;
    if (oxlo_finalize_initialization(m) != 0) {
        oxlo_module_free(m);
        return;
    }
    const char *fmt = "            <Option%d value=\"%u\">%s</Option%d>\n";
    if (selector == 0) {
        const uint32_t count = oxlo_protocol_count(m);
        for (uint32_t i = 1; i < count; i++)
            fprintf(stream, fmt, row_tag(i), i, oxlo_protocol_name(m, (uint16_t)i), row_tag(i));
    } else if (selector == 1) {
        for (int i = 1; i < OXLO_CATEGORY_COUNT; i++) {
            const char *n = oxlo_category_name(m, i);
            if (*n)
                fprintf(stream, fmt, row_tag(i), (unsigned)i, n, row_tag(i));
        }
    } else {
        for (int i = 1; i < OXLO_MAX_RISK; i++) {
            char number[16];
            const char *n = oxlo_flow_risk_description ? oxlo_flow_risk_description(i) : nullptr;
            if (!n) {
                snprintf(number, sizeof(number), "%d", i);
                n = number;
            }
            fprintf(stream, fmt, row_tag(i), (unsigned)i, n, row_tag(i));
        }
    }
    oxlo_module_free(m);
}

} // extern "C"
