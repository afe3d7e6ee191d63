/* Domain sets (host names and their parent domains mapped to a value), the
 * public suffix list with the registered domain of a host name, walks over
 * the host patterns, and the geolocation interface (not available). */
#include "oxlo_private.h"
#include "oxlo_log.h"
#include "oxlo_hosts.h"
#include "oxlo_string_map.h"
#include "oxlo_utils.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

struct oxlo_domain_set {
    oxlo_string_map *map;
};

namespace {

constexpr size_t max_key = 255;          /* string-map key limit */
constexpr size_t max_name = 256;

const char *const public_suffix_paths[] = {
    "/usr/share/publicsuffix/public_suffix_list.dat",
    "/usr/share/publicsuffix/effective_tld_names.dat",
};

/* Lower-cased copy of at most size - 1 characters. */
void lower_copy(const char *in, char *out, size_t size)
{
    size_t i = 0;
    for (; in[i] && i + 1 < size; i++)
        out[i] = static_cast<char>(tolower(static_cast<unsigned char>(in[i])));
    out[i] = '\0';
}

/* Key of a domain: its compact key with a module, else its text. */
size_t domain_key(oxlo_module *m, const char *name, uint8_t *key, size_t size)
{
    if (m) {
        size_t n = oxlo_host_name_compact_key(m, name, key, size);
        return n > max_key ? 0 : n;
    }
    size_t n = strlen(name);
    if (n == 0 || n > max_key || n >= size)
        return 0;
    memcpy(key, name, n);
    return n;
}

bool lookup(oxlo_module *m, oxlo_domain_set *set, const char *candidate, uint32_t *value)
{
    uint8_t key[max_name + 2];
    size_t n = domain_key(m, candidate, key, sizeof(key));
    if (n == 0)
        return false;
    uint64_t v = 0;
    if (oxlo_string_map_find(set->map, key, n, &v) != 0)
        return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

bool in_suffix_list(oxlo_module *m, const char *candidate, uint64_t *id)
{
    char lower[max_name];
    lower_copy(candidate, lower, sizeof(lower));
    size_t n = strlen(lower);
    if (n == 0 || n > max_key)
        return false;
    return oxlo_string_map_find(m->hosts.public_suffixes, lower, n, id) == 0;
}

struct walk_state {
    oxlo_string_map *map;
    bool value_word;
};

int collect_patterns(oxlo_automaton *, automaton_node *node, uint16_t, void *user)
{
    auto *st = static_cast<walk_state *>(user);
    const automaton_pattern_list *l = node->patterns;
    if (!l)
        return 0;
    for (uint16_t i = 0; i < l->count; i++) {
        const automaton_pattern_entry &e = l->entries[i];
        if (e.inherited || !e.text || e.length == 0 || e.length > max_key)
            continue;
        uint64_t v = st->value_word ? e.data.value : (e.data.id & 0xFFFF);
        oxlo_string_map_add(&st->map, e.text, e.length, v, nullptr);
    }
    return 0;
}

void patterns_walk(oxlo_module *m, oxlo_host_pattern_visit visit, void *user, bool value_word)
{
    if (!m || !m->host_automaton || !visit)
        return;
    walk_state st{nullptr, value_word};
    if (oxlo_string_map_init(&st.map) != 0)
        return;
    automaton_walk(m->host_automaton, collect_patterns, nullptr, &st);
    oxlo_string_map_walk(&st.map, visit, user);
    oxlo_string_map_free(&st.map);
}

} // namespace

extern "C" {

oxlo_domain_set *oxlo_domain_set_new(void)
{
    auto *s = static_cast<oxlo_domain_set *>(oxlo_heap_calloc(1, sizeof(oxlo_domain_set)));
    if (!s)
        return nullptr;
    if (oxlo_string_map_init(&s->map) != 0) {
        oxlo_heap_free(s);
        return nullptr;
    }
    return s;
}

void oxlo_domain_set_free(oxlo_domain_set *set)
{
    if (!set)
        return;
    oxlo_string_map_free(&set->map);
    oxlo_heap_free(set);
}

size_t oxlo_domain_set_size(const oxlo_domain_set *set)
{
    return set ? sizeof(oxlo_domain_set) : 0;
}

int oxlo_domain_set_add(oxlo_module *m, oxlo_domain_set *set, uint32_t value, const char *domain)
{
    if (!set || !domain)
        return 0;
    while (*domain == '.')
        domain++;
    /* Host names compare without regard to case. */
    char lower[max_name];
    lower_copy(domain, lower, sizeof(lower));
    uint8_t key[max_name + 2];
    size_t n = domain_key(m, lower, key, sizeof(key));
    if (n == 0)
        return 0;
    int rc = oxlo_string_map_add(&set->map, key, n, value, nullptr);
    return rc == OXLO_STRING_MAP_ADDED || rc == OXLO_STRING_MAP_UPDATED ? 1 : 0;
}

int oxlo_domain_set_load(oxlo_module *m, oxlo_domain_set *set, uint32_t value, const char *path)
{
    if (!set || !path)
        return 0;
    FILE *in = fopen(path, "r");
    if (!in)
        return 0;
    char line[256];
    oxlo_list_reader reader = oxlo_list_reader_start(in, line, sizeof(line), path, 2);
    int added = 0;
    while (oxlo_list_reader_next(&reader) == OXLO_LINE_OK)
        added += oxlo_domain_set_add(m, set, value, line);
    fclose(in);
    return added;
}

int oxlo_domain_set_match(oxlo_module *m, oxlo_domain_set *set, uint32_t *value,
                          const char *host_name)
{
    uint32_t dummy;
    uint32_t *out = value ? value : &dummy;
    *out = 0;
    if (!set || !host_name)
        return 0;
    char name[max_name];
    lower_copy(host_name, name, sizeof(name));
    const char *last_dot = strrchr(name, '.');
    if (!last_dot || strcmp(last_dot, ".arpa") == 0 || strcmp(last_dot, ".local") == 0)
        return 0;
    for (const char *c = name; c && strchr(c, '.');) {
        if (lookup(m, set, c, out))
            return 1;
        c = strchr(c, '.');
        if (c)
            c++;
    }
    if (!m)
        return 0;
    /* An entry "example." stands for the organisation under any suffix. */
    const char *domain = oxlo_host_registered_domain(m, name);
    const char *dot = domain ? strchr(domain, '.') : nullptr;
    if (!dot)
        return 0;
    char organisation[max_name];
    size_t n = static_cast<size_t>(dot - domain) + 1;
    memcpy(organisation, domain, n);
    organisation[n] = '\0';
    if (lookup(m, set, organisation, out))
        return 1;
    *out = 0;
    return 0;
}

const char *oxlo_public_suffix_list_default_path(void)
{
    for (const char *p : public_suffix_paths)
        if (access(p, R_OK) == 0)
            return p;
    return nullptr;
}

int oxlo_load_public_suffix_list(oxlo_module *m, const char *path)
{
    if (!m || !path)
        return -1;
    FILE *in = fopen(path, "r");
    if (!in)
        return -2;
    oxlo_string_map_free(&m->hosts.public_suffixes);
    m->hosts.public_suffix_count = 0;
    if (oxlo_string_map_init(&m->hosts.public_suffixes) != 0) {
        fclose(in);
        return -3;
    }
    char line[256];
    uint32_t next_id = 1;
    for (;;) {
        int rc = oxlo_read_text_line(in, line, sizeof(line), nullptr);
        if (rc == OXLO_LINE_EOF)
            break;
        if (rc == OXLO_LINE_TOO_LONG)
            continue;
        if (strstr(line, "// ===END ICANN DOMAINS==="))
            break;
        if (line[0] == '/' || line[0] == '\0')
            continue;
        const char *entry = line;
        if (strncmp(line, "*.", 2) == 0) {
            if (!line[2])
                continue;
            entry = line + 2;
        }
        int r = oxlo_string_map_add(&m->hosts.public_suffixes, entry, strlen(entry), next_id,
                                    nullptr);
        if (r == OXLO_STRING_MAP_ADDED) {
            next_id++;
        } else if (r != OXLO_STRING_MAP_UPDATED) {
            oxlo_log(m, OXLO_LOG_WARNING, "Error while processing domain %s\n", entry);
            if (r == OXLO_STRING_MAP_NO_MEMORY || r == OXLO_STRING_MAP_NO_BUCKET_MEMORY) {
                fclose(in);
                return -3;
            }
        }
    }
    fclose(in);
    m->hosts.public_suffix_count = next_id - 1;
    return 0;
}

const char *oxlo_host_public_suffix(oxlo_module *m, const char *name, uint16_t *suffix_id)
{
    if (suffix_id)
        *suffix_id = 0;
    if (!name)
        return nullptr;
    if (!m || !m->hosts.public_suffixes || !strchr(name, '.'))
        return name;
    const char *end = name + strlen(name);
    const char *best = nullptr;
    uint64_t best_id = 0;
    /* From the last label leftwards, as long as each longer run is listed. */
    const char *p = end;
    for (;;) {
        const char *start = p;
        while (start > name && start[-1] != '.')
            start--;
        uint64_t id = 0;
        if (start == end || !in_suffix_list(m, start, &id))
            break;
        best = start;
        best_id = id;
        if (start == name)
            break;
        p = start - 1;   /* the '.' before this run */
    }
    if (!best) {
        const char *dot = strrchr(name, '.');
        best = dot ? dot + 1 : name;
    }
    if (suffix_id)
        *suffix_id = static_cast<uint16_t>(best_id > 0xFFFF ? 0 : best_id);
    return best;
}

const char *oxlo_host_registered_domain(oxlo_module *m, const char *name)
{
    if (!m || !name)
        return nullptr;
    size_t n = strlen(name);
    if (!m->hosts.public_suffixes || n == 0 || isdigit(static_cast<unsigned char>(name[n - 1])) ||
        name[n - 1] == ']')
        return name;
    const char *suffix = oxlo_host_public_suffix(m, name, nullptr);
    if (!suffix || suffix == name)
        return name;
    if (strcasecmp(suffix, "in-addr.arpa") == 0)
        return suffix;
    const char *dot = suffix - 1;    /* the '.' in front of the suffix */
    if (dot <= name)
        return name;
    const char *label = dot;
    while (label > name && label[-1] != '.')
        label--;
    return label;
}

void oxlo_host_patterns_walk(oxlo_module *m, oxlo_host_pattern_visit visit, void *user)
{
    patterns_walk(m, visit, user, false);
}

void oxlo_host_patterns_walk_values(oxlo_module *m, oxlo_host_pattern_visit visit, void *user)
{
    patterns_walk(m, visit, user, true);
}

int oxlo_geoip_open(oxlo_module *, const char *, const char *)
{
    return -3;
}

void oxlo_geoip_close(oxlo_module *) {}

int oxlo_geoip_lookup_asn(oxlo_module *, const char *, uint32_t *)
{
    return -2;
}

int oxlo_geoip_lookup_country(oxlo_module *, const char *, char *, size_t, char *, size_t)
{
    return -2;
}

int oxlo_geoip_lookup_city(void)
{
    return -2;
}

int oxlo_geoip_lookup_as_name(void)
{
    return -2;
}

} // extern "C"
