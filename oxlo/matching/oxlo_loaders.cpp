/* Data files users load into a module before it is finalized: the custom
 * protocols file (new protocols and extra rules by port, address, host name,
 * URL and fingerprint, plus risk exceptions), per-protocol address lists,
 * risky domains and the malicious JA4 and certificate lists. */
#include "oxlo_private.h"
#include "oxlo_log.h"
#include "oxlo_hosts.h"
#include "oxlo_string_map.h"
#include "oxlo_utils.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t ja4_length = 36;
constexpr size_t oxlofp_length = 32;
constexpr size_t sha1_hex_length = 40;

/* Risks the built-in exception hosts are excused from: binary transfer,
 * numeric host, generated (DGA) name and malicious fingerprint. */
constexpr uint64_t builtin_exception_mask =
    ~((1ull << 4) | (1ull << 12) | (1ull << 16) | (1ull << 28));

/* Local-network suffixes and content-delivery domains whose names look
 * generated or numeric by design. */
const char *const builtin_exception_hosts[] = {"local", "lan", "akamaihd.net",
                                               "cloudfront.net"};

char *skip_spaces(char *s)
{
    while (*s == ' ' || *s == '\t')
        s++;
    return s;
}

/* Removes a leading quote (single or double) and the text's last character. */
void strip_quotes(char *s)
{
    size_t n = strlen(s);
    if (n == 0 || (s[0] != '"' && s[0] != '\''))
        return;
    memmove(s, s + 1, n);    /* with the NUL */
    n--;
    if (n > 0)
        s[n - 1] = '\0';
}

bool parse_port_range(const char *text, default_port_range *out)
{
    char *end = nullptr;
    errno = 0;
    if (!isdigit(static_cast<unsigned char>(*text)))
        return false;
    unsigned long low = strtoul(text, &end, 10);
    unsigned long high = low;
    if (*end == '-') {
        const char *h = end + 1;
        if (!isdigit(static_cast<unsigned char>(*h)))
            return false;
        high = strtoul(h, &end, 10);
    }
    if (errno || *end || low > 65535 || high > 65535 || low > high)
        return false;
    out->low = static_cast<uint16_t>(low);
    out->high = static_cast<uint16_t>(high);
    out->flag = 1;   /* user-defined */
    return true;
}

/* First free range of five; a full set leaves the rule without effect. */
void add_port_range(default_port_range *ranges, const default_port_range &r)
{
    for (int i = 0; i < OXLO_DEFAULT_PORT_RANGES; i++) {
        if (ranges[i].low == 0 && ranges[i].high == 0) {
            ranges[i] = r;
            return;
        }
    }
}

/* Protocol named so, ignoring case; -1 when none. */
int find_protocol(const oxlo_module *m, const char *name)
{
    const oxlo_proto_table &t = m->protocols;
    for (uint32_t i = 0; i < t.count && i < t.capacity; i++)
        if (t.entries[i].name[0] && strcasecmp(t.entries[i].name, name) == 0)
            return static_cast<int>(i);
    return -1;
}

struct rule_target {
    uint16_t id;
    uint32_t category;
    uint32_t breed;
};

/* A JA4 or engine fingerprint rule: key of key_length characters, then an
 * optional separator and a hexadecimal TLS-block sequence. False drops the
 * rest of the line. */
bool add_fingerprint_rule(oxlo_module *m, oxlo_string_map **map, const char *value,
                          size_t key_length, const rule_target &t, const char *short_message,
                          const char *blocks_message)
{
    size_t n = strlen(value);
    if (n < key_length) {
        oxlo_log(m, OXLO_LOG_WARNING, short_message, value);
        return false;
    }
    oxlo_fingerprint_rule *item = nullptr;
    if (n > key_length + 1) {
        int32_t wanted = m->cfg.tls_max_num_blocks_to_analyze;
        if (wanted <= 0) {
            oxlo_log(m, OXLO_LOG_WARNING, blocks_message, value);
            return false;
        }
        const char *hex = value + key_length + 1;
        size_t count = 0;
        tls_block *blocks = oxlo_tls_blocks_parse(hex, strlen(hex), &count);
        if (blocks && count >= static_cast<size_t>(wanted) && count <= 0xFFFF) {
            size_t size = sizeof(oxlo_fingerprint_rule) + count * sizeof(tls_block);
            item = static_cast<oxlo_fingerprint_rule *>(oxlo_heap_calloc(1, size));
            if (item) {
                item->protocol_id = t.id;
                item->block_count = static_cast<uint16_t>(count);
                item->blocks = reinterpret_cast<tls_block *>(item + 1);
                memcpy(item->blocks, blocks, count * sizeof(tls_block));
            }
        }
        oxlo_heap_free(blocks);
    }
    if (!*map && oxlo_string_map_init(map) != 0) {
        oxlo_heap_free(item);
        return false;
    }
    int rc = oxlo_string_map_add(map, value, key_length, t.id, item);
    if (rc != OXLO_STRING_MAP_ADDED && rc != OXLO_STRING_MAP_UPDATED) {
        oxlo_heap_free(item);
        return false;
    }
    return true;
}

/* One rule of a protocol line; false drops the rest of the line. */
bool apply_rule(oxlo_module *m, char *rule, const rule_target &t)
{
    rule = skip_spaces(rule);
    oxlo_proto_defaults *e = oxlo_proto_defaults_get(m, t.id);
    if (strncmp(rule, "tcp:", 4) == 0 || strncmp(rule, "udp:", 4) == 0) {
        default_port_range r;
        if (!e || !parse_port_range(rule + 4, &r)) {
            oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] Invalid port rule '%s'\n", rule);
            return false;
        }
        add_port_range(rule[0] == 't' ? e->tcp_default_ports : e->udp_default_ports, r);
        return true;
    }
    if (strncmp(rule, "ip:", 3) == 0 || strncmp(rule, "ipv6:", 5) == 0) {
        bool v6 = rule[2] == 'v';
        char *spec = rule + (v6 ? 5 : 3);
        if (oxlo_add_address_rule(m, spec, t.id, v6 ? 1 : 0) != 0) {
            oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] Invalid address rule '%s'\n", rule);
            return false;
        }
        return true;
    }
    if (strncmp(rule, "host:", 5) == 0) {
        char *host = rule + 5;
        /* Double quotes around the name are not part of it. */
        char *w = host;
        for (char *r = host; *r; r++)
            if (*r != '"')
                *w++ = static_cast<char>(tolower(static_cast<unsigned char>(*r)));
        *w = '\0';
        if (oxlo_host_pattern_add(m->host_automaton, host, t.id, t.category, t.breed, 0) != 0) {
            oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] Invalid host rule '%s'\n", host);
            return false;
        }
        return true;
    }
    if (strncmp(rule, "url:", 4) == 0) {
        const char *url = rule + 4;
        uint64_t v = t.id | (static_cast<uint64_t>(t.category & 0xFFFF) << 16) |
                     (static_cast<uint64_t>(t.breed & 0xFFFF) << 32);
        if (!m->hosts.custom_urls && oxlo_string_map_init(&m->hosts.custom_urls) != 0)
            return false;
        int rc = oxlo_string_map_add(&m->hosts.custom_urls, url, strlen(url), v, nullptr);
        return rc == OXLO_STRING_MAP_ADDED || rc == OXLO_STRING_MAP_UPDATED;
    }
    if (strncmp(rule, "ja4:", 4) == 0)
        return add_fingerprint_rule(m, &m->hosts.custom_ja4, rule + 4, ja4_length, t,
                                    "Not a JA4C: [%s]\n",
                                    "JA4C with TLS blocks when TLS blocks are disabled [%s]\n");
    if (strncmp(rule, "oxlofp:", 7) == 0)
        return add_fingerprint_rule(m, &m->hosts.custom_oxlofp, rule + 7, oxlofp_length, t,
                                    "Not a oxlofp: [%s]\n",
                                    "oxlofp with TLS blocks when TLS blocks are disabled [%s]\n");
    /* Packet-filter rules ("tafl:") and anything unknown end the line. */
    return false;
}

/* Definition part after '@': "name[=id][,cat=N][,breed=N]"; false when the
 * line is dropped. */
bool resolve_definition(oxlo_module *m, char *def, rule_target *t)
{
    for (char *c = def; *c; c++)
        if (strchr(" \"&'/:;^", *c))
            *c = '_';
    char *save = nullptr;
    char *name = strtok_r(def, ",", &save);
    if (!name || !*name) {
        oxlo_log(m, OXLO_LOG_WARNING, "Invalid rule '%s'\n", def);
        return false;
    }
    long long user_id = -1;
    char *eq = strchr(name, '=');
    if (eq) {
        *eq = '\0';
        const char *err = nullptr;
        int64_t v = oxlo_text_to_int_bounded(eq + 1, m->protocols.count, 65535, &err, 10);
        if (err) {
            oxlo_log(m, OXLO_LOG_WARNING, "Invalid protocol ID '%s': %s\n", eq + 1, err);
            return false;
        }
        user_id = v;
    }
    uint32_t category = 0, breed = OXLO_BREED_ACCEPTABLE;
    for (char *a = strtok_r(nullptr, ",", &save); a; a = strtok_r(nullptr, ",", &save)) {
        const char *err = nullptr;
        if (strncmp(a, "cat=", 4) == 0) {
            int64_t v = oxlo_text_to_int_bounded(a + 4, 1, OXLO_CATEGORY_COUNT - 1, &err, 10);
            if (err)
                oxlo_log(m, OXLO_LOG_WARNING, "Invalid category ID '%s': %s\n", a + 4, err);
            else
                category = static_cast<uint32_t>(v);
        } else if (strncmp(a, "breed=", 6) == 0) {
            int64_t v = oxlo_text_to_int_bounded(a + 6, 0, OXLO_BREED_COUNT - 1, &err, 10);
            if (err)
                oxlo_log(m, OXLO_LOG_WARNING, "Invalid breed ID '%s': %s\n", a + 6, err);
            else
                breed = static_cast<uint32_t>(v);
        }
    }

    int existing = find_protocol(m, name);
    if (existing >= 0) {
        const oxlo_proto_defaults &e = m->protocols.entries[existing];
        t->id = static_cast<uint16_t>(existing);
        t->category = category ? category : e.category;
        t->breed = breed != OXLO_BREED_ACCEPTABLE ? breed : e.breed;
        return true;
    }
    uint32_t id = m->protocols.count;
    if (id > 65534) {
        oxlo_log(m, OXLO_LOG_WARNING, "Too many protocols defined (%u): skipping protocol\n",
               static_cast<unsigned>(m->protocols.custom_count));
        return false;
    }
    if (oxlo_set_proto_defaults(m, 1, 1, breed, static_cast<uint16_t>(id), name, category, 0,
                                nullptr, nullptr, 1) != 0 ||
        m->protocols.count != id + 1) {
        oxlo_log(m, OXLO_LOG_WARNING, "Error oxlo_set_proto_defaults. Skip rule\n");
        return false;
    }
    oxlo_custom_id_map_set(m, static_cast<uint16_t>(id),
                           static_cast<uint16_t>(user_id >= 0 ? user_id : id));
    t->id = static_cast<uint16_t>(id);
    t->category = category;
    t->breed = breed;
    return true;
}

/* Splits "target=mask"; false when either is missing or the mask is not a
 * signed 64-bit decimal number. */
bool split_target_mask(char *rest, char **target, uint64_t *mask)
{
    char *eq = strchr(rest, '=');
    if (!eq || eq == rest || !eq[1])
        return false;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(eq + 1, &end, 10);
    if (errno || *end)
        return false;
    *eq = '\0';
    *target = rest;
    *mask = static_cast<uint64_t>(v);
    return true;
}

void exception_rule_parse(oxlo_module *m, char *line)
{
    char *colon = strchr(line, ':');
    if (!colon || !colon[1]) {
        oxlo_log(m, OXLO_LOG_WARNING, "Invalid rule '%s'\n", line);
        return;
    }
    *colon = '\0';
    const char *keyword = line;
    char *rest = colon + 1;
    if (strcmp(keyword, "trusted_issuer_dn") == 0) {
        char *end = strchr(rest, ':');
        if (end)
            *end = '\0';
        if (*rest == '"') {
            rest++;
            char *q = strchr(rest, '"');
            if (q)
                *q = '\0';
        }
        char issuer[128];
        snprintf(issuer, sizeof(issuer), "%s", rest);
        if (oxlo_add_trusted_issuer_dn(m, issuer) != 0)
            oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] Unable to add trusted issuer '%s'\n", issuer);
        return;
    }
    char *target = nullptr;
    uint64_t mask = 0;
    bool ip = strcmp(keyword, "ip_risk_mask") == 0 || strcmp(keyword, "ipv6_risk_mask") == 0;
    bool host = strcmp(keyword, "host_risk_mask") == 0;
    if ((!ip && !host) || !split_target_mask(rest, &target, &mask)) {
        colon[0] = ':';
        oxlo_log(m, OXLO_LOG_WARNING, "Unknown rule '%s'\n", line);
        return;
    }
    if (ip) {
        if (oxlo_add_ip_risk_mask(m, target, mask) != 0)
            oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] Invalid address in risk exception '%s'\n", target);
        return;
    }
    strip_quotes(target);
    if (oxlo_add_host_risk_mask(m, target, mask) != 0)
        oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] Unable to add risk exception for host '%s'\n", target);
}

} // namespace

extern "C" {

int oxlo_read_text_line(FILE *in, char *buffer, size_t size, size_t *length)
{
    if (length)
        *length = 0;
    if (!in || !buffer || size == 0)
        return OXLO_LINE_EOF;
    size_t n = 0;
    bool too_long = false, any = false;
    int c;
    while ((c = getc(in)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        if (n + 1 < size)
            buffer[n++] = static_cast<char>(c);
        else
            too_long = true;
    }
    if (!any)
        return OXLO_LINE_EOF;
    if (n > 0 && buffer[n - 1] == '\r' && !too_long)
        n--;
    buffer[too_long ? 0 : n] = '\0';
    if (length)
        *length = too_long ? 0 : n;
    return too_long ? OXLO_LINE_TOO_LONG : OXLO_LINE_OK;
}

oxlo_list_reader oxlo_list_reader_start(FILE *in, char *line, size_t size,
                                        const char *report_path, size_t min_length)
{
    oxlo_list_reader r;
    r.in = in;
    r.line = line;
    r.size = size;
    r.report_path = report_path;
    r.min_length = min_length;
    r.number = 0;
    return r;
}

int oxlo_list_reader_next(oxlo_list_reader *r)
{
    if (!r)
        return OXLO_LINE_EOF;
    for (;;) {
        int rc = oxlo_read_text_line(r->in, r->line, r->size, nullptr);
        if (rc == OXLO_LINE_EOF)
            return rc;
        r->number++;
        if (rc == OXLO_LINE_TOO_LONG) {
            if (!r->report_path)
                return rc;
            oxlo_log(nullptr, OXLO_LOG_WARNING, "[OXLO] %s: line #%u is too long, skipped\n", r->report_path, r->number);
            continue;
        }
        if (r->line[0] == '#' || strlen(r->line) < r->min_length)
            continue;
        return OXLO_LINE_OK;
    }
}

void custom_rule_line_parse(oxlo_module *m, char *line)
{
    if (!m || !line)
        return;
    char *at = strrchr(line, '@');
    if (!at) {
        exception_rule_parse(m, line);
        return;
    }
    *at = '\0';
    rule_target t{};
    if (!resolve_definition(m, at + 1, &t))
        return;
    char *save = nullptr;
    for (char *r = strtok_r(line, ",", &save); r; r = strtok_r(nullptr, ",", &save))
        if (!apply_rule(m, r, t))
            break;
}

int oxlo_read_custom_protocols(oxlo_module *m, FILE *in)
{
    if (!m || !in)
        return -1;
    size_t capacity = 1024;
    char *line = static_cast<char *>(oxlo_heap_alloc(capacity));
    if (!line) {
        oxlo_log(m, OXLO_LOG_ERROR, "Memory allocation failure\n");
        return -2;
    }
    for (;;) {
        size_t n = 0;
        int c = EOF;
        bool any = false;
        while ((c = getc(in)) != EOF) {
            any = true;
            if (c == '\n')
                break;
            if (n + 1 >= capacity) {
                char *bigger = static_cast<char *>(oxlo_heap_realloc(line, capacity + 1024));
                if (!bigger) {
                    oxlo_heap_free(line);
                    oxlo_log(m, OXLO_LOG_ERROR, "Memory allocation failure\n");
                    return -2;
                }
                line = bigger;
                capacity += 1024;
            }
            line[n++] = static_cast<char>(c);
        }
        if (!any)
            break;
        if (n > 0 && line[n - 1] == '\r')
            n--;
        line[n] = '\0';
        if (n >= 2 && line[0] != '#')
            custom_rule_line_parse(m, line);
        if (c == EOF)
            break;
    }
    oxlo_heap_free(line);
    return 0;
}

int oxlo_load_custom_protocols_file(oxlo_module *m, const char *path)
{
    if (!m || !path)
        return -1;
    FILE *in = fopen(path, "r");
    if (!in) {
        oxlo_log(m, OXLO_LOG_ERROR, "Unable to open file %s [%s]\n", path, strerror(errno));
        return -1;
    }
    int rc = oxlo_read_custom_protocols(m, in);
    fclose(in);
    return rc;
}

int oxlo_add_ip_risk_mask(oxlo_module *m, const char *text, uint64_t mask)
{
    if (!m || !text || !*text || !m->risk_exception_ip)
        return -2;
    char buf[128];
    snprintf(buf, sizeof(buf), "%s", text);
    bool v6 = buf[0] == '[';
    char *address = buf;
    int bits = v6 ? 128 : 32;
    if (v6) {
        address++;
        char *close = strchr(address, ']');
        if (!close)
            return -1;
        *close = '\0';
        if (close[1] == '/')
            bits = atoi(close + 2);
        else if (close[1])
            return -1;
    } else {
        char *slash = strchr(address, '/');
        if (slash) {
            *slash = '\0';
            bits = atoi(slash + 1);
        }
    }
    uint8_t bytes[16];
    if (inet_pton(v6 ? AF_INET6 : AF_INET, address, bytes) != 1)
        return -1;
    oxlo_patricia_node *n = oxlo_patricia_add_address(
        v6 ? m->risk_exception_ip->v6 : m->risk_exception_ip->v4,
        v6 ? OXLO_PREFIX_FAMILY_IPV6 : OXLO_PREFIX_FAMILY_IPV4, bytes, bits);
    if (!n)
        return -1;
    n->value.u64 = mask;
    return 0;
}

int oxlo_add_host_risk_mask(oxlo_module *m, const char *host, uint64_t mask)
{
    if (!m || !host || !*host || !m->host_risk_exception_automaton)
        return -2;
    automaton_data d{};
    d.value = mask;
    return oxlo_host_pattern_add_data(m->host_risk_exception_automaton, host, &d);
}

int oxlo_add_trusted_issuer_dn(oxlo_module *m, const char *text)
{
    if (!m || !text)
        return -1;
    auto *item = static_cast<oxlo_text_list *>(oxlo_heap_calloc(1, sizeof(oxlo_text_list)));
    if (!item)
        return -2;
    item->text = oxlo_heap_strdup(text);
    if (!item->text) {
        oxlo_heap_free(item);
        return -3;
    }
    item->next = m->trusted_issuers;
    m->trusted_issuers = item;
    return 0;
}

void oxlo_host_risk_exceptions_builtin_add(oxlo_module *m)
{
    if (!m || !m->host_risk_exception_automaton)
        return;
    for (const char *h : builtin_exception_hosts)
        oxlo_add_host_risk_mask(m, h, builtin_exception_mask);
    uint32_t count = 0;
    const oxlo_host_match_entry *const *lists = oxlo_host_match_lists(&count);
    if (!lists || count == 0)
        return;
    for (const oxlo_host_match_entry *e = lists[0]; e && e->pattern; e++)
        if (e->category == OXLO_CATEGORY_CONNCHECK || e->category == OXLO_CATEGORY_CYBERSECURITY)
            oxlo_add_host_risk_mask(m, e->pattern, builtin_exception_mask);
}

int oxlo_load_ip_list(oxlo_module *m, const char *path, uint16_t protocol_id)
{
    if (!m || !path)
        return -1;
    if (!m->protocols_by_ip)
        return 0;
    FILE *in = fopen(path, "r");
    if (!in) {
        oxlo_log(m, OXLO_LOG_ERROR, "Unable to open file %s [%s]\n", path, strerror(errno));
        return -1;
    }
    char line[254];
    /* A blank line is nothing to load, not a broken list. */
    oxlo_list_reader reader = oxlo_list_reader_start(in, line, sizeof(line), nullptr, 1);
    int added = 0, bad = 0, rc;
    while ((rc = oxlo_list_reader_next(&reader)) != OXLO_LINE_EOF) {
        if (rc == OXLO_LINE_TOO_LONG) {
            oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] Failed to read file %s line #%u, line too long\n", path, reader.number);
            bad++;
            continue;
        }
        int v6 = strchr(line, ':') ? 1 : 0;
        if (!v6 && !strchr(line, '.')) {
            bad++;
            continue;
        }
        if (oxlo_add_address_rule(m, line, protocol_id, v6) == 0)
            added++;
        else
            bad++;
    }
    fclose(in);
    return bad ? -bad : added;
}

int oxlo_load_numbered_lists(oxlo_module *m, const char *path, int64_t max_id,
                             int (*load)(oxlo_module *m, const char *file, int64_t id))
{
    if (!m || !path)
        return -1;
    DIR *dir = opendir(path);
    if (!dir)
        return -1;
    int loaded = 0, failed = 0;
    while (struct dirent *d = readdir(dir)) {
        const char *name = d->d_name;
        size_t n = strlen(name);
        if (name[0] == '.' || n < 5 || strcmp(name + n - 5, ".list") != 0)
            continue;
        const char *underscore = strchr(name, '_');
        if (!underscore || underscore == name)
            continue;
        char number[16];
        size_t digits = static_cast<size_t>(underscore - name);
        if (digits >= sizeof(number))
            continue;
        memcpy(number, name, digits);
        number[digits] = '\0';
        const char *err = nullptr;
        int64_t id = oxlo_text_to_int_bounded(number, 1, max_id, &err, 10);
        if (err)
            continue;
        char file[4096];
        snprintf(file, sizeof(file), "%s/%s", path, name);
        if (load(m, file, id) < 0) {
            oxlo_log(m, OXLO_LOG_WARNING, "Failed to load '%s'\n", file);
            failed++;
        } else {
            loaded++;
        }
    }
    closedir(dir);
    return failed ? -failed : loaded;
}

int oxlo_load_ip_list_dir(oxlo_module *m, const char *path)
{
    if (!m)
        return -1;
    return oxlo_load_numbered_lists(
        m, path, static_cast<int64_t>(m->protocols.builtin_count) - 1,
        [](oxlo_module *mod, const char *file, int64_t id) {
            return oxlo_load_ip_list(mod, file, static_cast<uint16_t>(id));
        });
}

int oxlo_load_risky_domains(oxlo_module *m, const char *path)
{
    if (!m || !path)
        return -1;
    FILE *in = fopen(path, "r");
    if (!in)
        return -1;
    char line[128];
    oxlo_list_reader reader = oxlo_list_reader_start(in, line, sizeof(line), path, 2);
    int added = 0;
    while (oxlo_list_reader_next(&reader) == OXLO_LINE_OK) {
        if (!m->risky_domain_automaton) {
            m->risky_domain_automaton = oxlo_automaton_new_domain();
            if (!m->risky_domain_automaton)
                break;
            automaton_set_features(m->risky_domain_automaton, AUTOMATON_FEATURE_CASE_INSENSITIVE);
            automaton_set_name(m->risky_domain_automaton, "risky", 0);
        }
        if (oxlo_host_pattern_add(m->risky_domain_automaton, line, 1, 0, 0, 0) == 0)
            added++;
    }
    fclose(in);
    if (m->risky_domain_automaton)
        automaton_finalize(m->risky_domain_automaton);
    return added;
}

int oxlo_load_malicious_ja4(oxlo_module *m, const char *path)
{
    if (!m || !path)
        return -1;
    if (!m->malicious_ja4 && oxlo_string_map_init(&m->malicious_ja4) != 0)
        return -1;
    FILE *in = fopen(path, "r");
    if (!in)
        return -1;
    char line[128];
    oxlo_list_reader reader = oxlo_list_reader_start(in, line, sizeof(line), path, 2);
    int added = 0;
    while (oxlo_list_reader_next(&reader) == OXLO_LINE_OK) {
        char *comma = strchr(line, ',');
        if (comma)
            *comma = '\0';
        if (strlen(line) != ja4_length) {
            oxlo_log(m, OXLO_LOG_WARNING, "Not a JA4C: [%s]\n", line);
            continue;
        }
        int r = oxlo_string_map_add(&m->malicious_ja4, line, ja4_length, 0, nullptr);
        if (r == OXLO_STRING_MAP_ADDED || r == OXLO_STRING_MAP_UPDATED)
            added++;
    }
    fclose(in);
    return added;
}

int oxlo_load_malicious_cert_sha1(oxlo_module *m, const char *path)
{
    if (!m || !path)
        return -1;
    if (!m->malicious_sha1_certs && oxlo_string_map_init(&m->malicious_sha1_certs) != 0)
        return -1;
    FILE *in = fopen(path, "r");
    if (!in)
        return -1;
    char line[128];
    oxlo_list_reader reader = oxlo_list_reader_start(in, line, sizeof(line), path, 2);
    int added = 0;
    while (oxlo_list_reader_next(&reader) == OXLO_LINE_OK) {
        char *hash = line;
        char *comma = strchr(line, ',');
        if (comma) {
            hash = comma + 1;
            char *next = strchr(hash, ',');
            if (next)
                *next = '\0';
        }
        if (strlen(hash) != sha1_hex_length) {
            oxlo_log(m, OXLO_LOG_WARNING, "Not a SSL certificate sha1 hash: [%s]\n", hash);
            continue;
        }
        for (char *c = hash; *c; c++)
            *c = static_cast<char>(toupper(static_cast<unsigned char>(*c)));
        int r = oxlo_string_map_add(&m->malicious_sha1_certs, hash, sha1_hex_length, 0, nullptr);
        if (r == OXLO_STRING_MAP_ADDED || r == OXLO_STRING_MAP_UPDATED)
            added++;
    }
    fclose(in);
    return added;
}

struct oxlo_string_map *oxlo_custom_url_map(const oxlo_module *m)
{
    return m ? m->hosts.custom_urls : nullptr;
}

struct oxlo_string_map *oxlo_custom_ja4_map(const oxlo_module *m)
{
    return m ? m->hosts.custom_ja4 : nullptr;
}

struct oxlo_string_map *oxlo_custom_oxlofp_map(const oxlo_module *m)
{
    return m ? m->hosts.custom_oxlofp : nullptr;
}

} // extern "C"
