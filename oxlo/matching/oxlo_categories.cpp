/* Categories by address and host name. Users load category files, lists and
 * directories into "loading" structures; enabling swaps them in as the
 * active ones in one step, so that a lookup never sees a half-loaded set. */
#include "oxlo_private.h"
#include "oxlo_log.h"
#include "oxlo_risk_ids.h"
#include "oxlo_hosts.h"
#include "oxlo_risks.h"
#include "oxlo_utils.h"

#include <arpa/inet.h>
#include <dirent.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct category_host {
    const char *host;
    uint32_t category;
    uint32_t breed;
};

const category_host builtin_category_hosts[] = {
#define OXLO_CATEGORY_HOST(host, category, breed) \
    {host, OXLO_CATEGORY_##category, OXLO_BREED_##breed},
#include "data/oxlo_category_hosts.def"
#undef OXLO_CATEGORY_HOST
    {nullptr, 0, 0},
};

constexpr uint32_t malware_category = OXLO_CATEGORY_MALWARE;

/* The loading structures exist from module creation; a module made without
 * them gets them on first use. */
bool ensure_loading(oxlo_module *m)
{
    if (!m->category_domains_shadow)
        m->category_domains_shadow = oxlo_domain_set_new();
    if (!m->category_v4_shadow)
        m->category_v4_shadow = oxlo_patricia_new(32);
    if (!m->category_v6_shadow)
        m->category_v6_shadow = oxlo_patricia_new(128);
    return m->category_domains_shadow && m->category_v4_shadow && m->category_v6_shadow;
}

uint32_t breed_of_list_category(uint32_t category)
{
    switch (category) {
    case OXLO_CATEGORY_ADVERTISEMENT:
        return OXLO_BREED_TRACKER_ADS;
    case OXLO_CATEGORY_MINING:
    case OXLO_CATEGORY_MALWARE:
    case OXLO_CATEGORY_GAMBLING:
        return OXLO_BREED_UNSAFE;
    default:
        return OXLO_BREED_ACCEPTABLE;
    }
}

bool list_char_ok(char c)
{
    return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' ||
           c == '/' || c == ':';
}

oxlo_patricia_node *active_ipv4(oxlo_module *m, uint32_t address)
{
    return oxlo_tree_best_ipv4(m->category_v4, address);
}

oxlo_patricia_node *active_ipv6(oxlo_module *m, const uint8_t address[16])
{
    return oxlo_tree_best_ipv6(m->category_v6, address);
}

bool enabled(oxlo_module *m)
{
    if (!m->categories_enabled)
        oxlo_enable_loaded_categories(m);
    return m->categories_enabled != 0;
}

void raise_malware_risk(oxlo_module *m, oxlo_flow_state *flow)
{
    if (flow)
        oxlo_flow_risk_raise(m, flow, OXLO_MALWARE_HOST_CONTACTED, "Client contacted malware host");
}

uint32_t flow_pair(const oxlo_flow_state *flow)
{
    return (static_cast<uint32_t>(flow->app) << 16) | flow->master;
}

bool address_found(const oxlo_patricia_node *n, oxlo_category_result *result)
{
    if (!n)
        return false;
    if (result) {
        result->category = n->value.u32[0];
        result->tag = n->custom_user_data;
    }
    return true;
}

} // namespace

extern "C" {

int oxlo_add_ip_category(oxlo_module *m, const char *text, uint32_t category, void *tag)
{
    if (!m || !text || !ensure_loading(m))
        return -1;
    char buf[128];
    snprintf(buf, sizeof(buf), "%s", text);
    bool v6 = buf[0] == '[';
    int bits = v6 ? 128 : 32;
    char *address = v6 ? buf + 1 : buf;
    char *slash = strchr(address, '/');
    if (slash) {
        *slash = '\0';
        char *end = nullptr;
        errno = 0;
        long v = strtol(slash + 1, &end, 10);
        if (!errno && end != slash + 1 && v >= 0 && v <= (v6 ? 128 : 32))
            bits = static_cast<int>(v);
    }
    char *close = strchr(address, ']');
    if (close)
        *close = '\0';
    uint8_t bytes[16];
    if (inet_pton(v6 ? AF_INET6 : AF_INET, address, bytes) != 1)
        return -1;
    oxlo_patricia_node *n = oxlo_patricia_add_address(
        v6 ? m->category_v6_shadow : m->category_v4_shadow,
        v6 ? OXLO_PREFIX_FAMILY_IPV6 : OXLO_PREFIX_FAMILY_IPV4, bytes, bits);
    if (!n)
        return -1;   /* refused by the tree: not added */
    n->value.u32[0] = category;
    n->value.u32[1] = 0;
    n->custom_user_data = tag;
    return 0;
}

int oxlo_add_host_category(oxlo_module *m, const char *host, uint32_t category, uint32_t breed,
                           void *)
{
    if (!m || !host || !ensure_loading(m))
        return -1;
    uint32_t value = (breed << 16) | (category & 0xFFFF);
    return oxlo_domain_set_add(m, m->category_domains_shadow, value, host) == 1 ? 0 : -1;
}

int oxlo_add_category_entry(oxlo_module *m, const char *text, uint32_t category, uint32_t breed,
                            void *tag)
{
    if (oxlo_add_ip_category(m, text, category, tag) == 0)
        return 0;
    return oxlo_add_host_category(m, text, category, breed, tag);
}

int oxlo_read_category_file(oxlo_module *m, FILE *in, void *tag)
{
    if (!m || !in)
        return -1;
    char line[512];
    oxlo_list_reader reader = oxlo_list_reader_start(in, line, sizeof(line), nullptr, 2);
    int added = 0, rc;
    while ((rc = oxlo_list_reader_next(&reader)) != OXLO_LINE_EOF) {
        if (rc == OXLO_LINE_TOO_LONG) {
            oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] Category file line #%u is too long, skipped\n", reader.number);
            continue;
        }
        char *tab = strchr(line, '\t');
        if (!tab)
            continue;
        *tab = '\0';
        const char *err = nullptr;
        int64_t category = oxlo_text_to_int_bounded(tab + 1, 1, OXLO_CATEGORY_COUNT - 1, &err, 10);
        if (err)
            continue;
        if (oxlo_add_category_entry(m, line, static_cast<uint32_t>(category),
                                    OXLO_BREED_ACCEPTABLE, tag) == 0)
            added++;
    }
    return added;
}

int oxlo_load_category_file(oxlo_module *m, const char *path, void *tag)
{
    if (!m || !path)
        return -1;
    FILE *in = fopen(path, "r");
    if (!in) {
        oxlo_log(m, OXLO_LOG_ERROR, "Unable to open file %s [%s]\n", path, strerror(errno));
        return -1;
    }
    int rc = oxlo_read_category_file(m, in, tag);
    fclose(in);
    return rc;
}

int oxlo_load_category_list(oxlo_module *m, const char *path, uint32_t category)
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
    const uint32_t breed = breed_of_list_category(category);
    char line[254];
    oxlo_list_reader reader = oxlo_list_reader_start(in, line, sizeof(line), nullptr, 1);
    int added = 0, bad = 0, rc;
    while ((rc = oxlo_list_reader_next(&reader)) != OXLO_LINE_EOF) {
        if (rc == OXLO_LINE_TOO_LONG) {
            oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] Failed to read file %s line #%u, line too long\n", path, reader.number);
            bad++;
            continue;
        }
        bool ok = true;
        for (unsigned i = 0; line[i]; i++) {
            if (!list_char_ok(line[i])) {
                oxlo_log(m, OXLO_LOG_WARNING, "[OXLO] Failed to read file line #%u [%s], invalid characters [%c] found "
                       "[pos: %u]\n",
                       reader.number, line, line[i], i);
                ok = false;
                break;
            }
        }
        if (!ok) {
            bad++;
            continue;
        }
        if (oxlo_add_category_entry(m, line, category, breed, nullptr) == 0)
            added++;
        else
            bad++;
    }
    fclose(in);
    return bad ? -bad : added;
}

int oxlo_load_category_dir(oxlo_module *m, const char *path)
{
    return oxlo_load_numbered_lists(m, path, OXLO_CATEGORY_COUNT - 1,
                                    [](oxlo_module *mod, const char *file, int64_t id) {
                                        return oxlo_load_category_list(mod, file, static_cast<uint32_t>(id));
                                    });
}

int oxlo_enable_loaded_categories(oxlo_module *m)
{
    if (!m || m->categories_enabled)
        return -1;
    if (!ensure_loading(m))
        return -1;
    for (const category_host *h = builtin_category_hosts; h->host; h++)
        oxlo_add_host_category(m, h->host, h->category, h->breed, const_cast<char *>("built-in"));

    oxlo_domain_set *fresh_set = oxlo_domain_set_new();
    oxlo_patricia_tree *fresh_v4 = oxlo_patricia_new(32);
    oxlo_patricia_tree *fresh_v6 = oxlo_patricia_new(128);
    if (!fresh_set || !fresh_v4 || !fresh_v6) {
        oxlo_domain_set_free(fresh_set);
        oxlo_patricia_free(fresh_v4, nullptr);
        oxlo_patricia_free(fresh_v6, nullptr);
        return -1;
    }
    oxlo_domain_set_free(m->category_domains);
    m->category_domains = m->category_domains_shadow;
    m->category_domains_shadow = fresh_set;
    oxlo_patricia_free(m->category_v4, nullptr);
    oxlo_patricia_free(m->category_v6, nullptr);
    m->category_v4 = m->category_v4_shadow;
    m->category_v6 = m->category_v6_shadow;
    m->category_v4_shadow = fresh_v4;
    m->category_v6_shadow = fresh_v6;
    m->categories_enabled = 1;
    return 0;
}

int oxlo_category_by_host(oxlo_module *m, const char *name, size_t length, uint32_t *category,
                          uint32_t *breed)
{
    if (!m || !name || length == 0 || !enabled(m) || !m->category_domains)
        return -1;
    char copy[128];
    size_t n = length < sizeof(copy) - 1 ? length : sizeof(copy) - 1;
    memcpy(copy, name, n);
    copy[n] = '\0';
    uint32_t value = 0;
    if (!oxlo_domain_set_match(m, m->category_domains, &value, copy))
        return -1;
    if (category)
        *category = value & 0xFFFF;
    if (breed)
        *breed = value >> 16;
    return 0;
}

int oxlo_category_by_address_or_host(oxlo_module *m, const char *text, size_t length,
                                     uint32_t *category, uint32_t *breed)
{
    if (category)
        *category = 0;
    if (breed)
        *breed = OXLO_BREED_ACCEPTABLE;
    if (!m || !text || length == 0)
        return -1;
    char copy[64];
    size_t n = length < sizeof(copy) - 1 ? length : sizeof(copy) - 1;
    memcpy(copy, text, n);
    copy[n] = '\0';
    char *slash = strrchr(copy, '/');
    if (slash)
        *slash = '\0';
    uint8_t bytes[16];
    oxlo_patricia_node *node = nullptr;
    if (inet_pton(AF_INET, copy, bytes) == 1) {
        uint32_t a;
        memcpy(&a, bytes, 4);
        node = enabled(m) ? active_ipv4(m, a) : nullptr;
    } else if (inet_pton(AF_INET6, copy, bytes) == 1) {
        node = enabled(m) ? active_ipv6(m, bytes) : nullptr;
    } else {
        return oxlo_category_by_host(m, copy, strlen(copy), category, breed);
    }
    if (!node)
        return -1;
    if (category)
        *category = node->value.u32[0];
    return 0;
}

const void *oxlo_category_tag_ipv4(oxlo_module *m, uint32_t address)
{
    if (!m || address == 0 || !enabled(m))
        return nullptr;
    oxlo_patricia_node *n = active_ipv4(m, address);
    return n ? n->custom_user_data : nullptr;
}

const void *oxlo_category_tag_ipv6(oxlo_module *m, const uint8_t address[16])
{
    if (!m || !address || !enabled(m))
        return nullptr;
    oxlo_patricia_node *n = active_ipv6(m, address);
    return n ? n->custom_user_data : nullptr;
}

int oxlo_fill_ipv4_category(oxlo_module *m, oxlo_flow_state *flow, uint32_t first,
                            uint32_t second, oxlo_category_result *result)
{
    if (!m || !result)
        return 0;
    if (m->categories_enabled) {
        if (first && address_found(active_ipv4(m, first), result))
            return 1;
        if (second && address_found(active_ipv4(m, second), result)) {
            if (result->category == malware_category)
                raise_malware_risk(m, flow);
            return 1;
        }
    }
    if (flow)
        result->category = oxlo_protocol_pair_category_default(m, flow_pair(flow), result->category);
    return 0;
}

int oxlo_fill_ipv6_category(oxlo_module *m, oxlo_flow_state *flow, const uint8_t first[16],
                            const uint8_t second[16], oxlo_category_result *result)
{
    static const uint8_t zero[16] = {};
    if (!m || !result)
        return 0;
    if (m->categories_enabled) {
        if (first && memcmp(first, zero, 16) != 0 && address_found(active_ipv6(m, first), result))
            return 1;
        if (second && memcmp(second, zero, 16) != 0 &&
            address_found(active_ipv6(m, second), result)) {
            if (result->category == malware_category)
                raise_malware_risk(m, flow);
            return 1;
        }
    }
    if (flow)
        result->category = oxlo_protocol_pair_category_default(m, flow_pair(flow), result->category);
    return 0;
}

void oxlo_fill_protocol_category(oxlo_module *m, oxlo_flow_state *flow, oxlo_classification *c)
{
    if (!m || !flow)
        return;
    if (flow->master == 0 && flow->app == 0)
        return;
    const uint32_t pair = flow_pair(flow);
    uint32_t category = 0, breed = 0;
    if (m->categories_enabled && flow->address_category) {
        category = static_cast<uint32_t>(flow->address_category);
        breed = oxlo_protocol_pair_breed(m, pair);
    } else if (m->categories_enabled && oxlo_flow_host(flow)[0] &&
               oxlo_category_by_host(m, oxlo_flow_host(flow), strlen(oxlo_flow_host(flow)), &category,
                                     &breed) == 0) {
        /* category and breed from the host */
    } else {
        category = oxlo_protocol_pair_category(m, pair);
        breed = oxlo_protocol_pair_breed(m, pair);
    }
    flow->category = category;
    flow->breed = breed;
    if (c) {
        c->category = category;
        c->breed = breed;
    }
}

int oxlo_is_user_custom_category(uint32_t category)
{
    return category >= OXLO_FIRST_USER_CATEGORY &&
                   category < OXLO_FIRST_USER_CATEGORY + OXLO_NUM_USER_CATEGORIES
               ? 1
               : 0;
}

void oxlo_set_user_custom_category_name(oxlo_module *m, uint32_t category, const char *name)
{
    if (!m || !name || !oxlo_is_user_custom_category(category))
        return;
    snprintf(m->custom_category_names[category - OXLO_FIRST_USER_CATEGORY],
             sizeof(m->custom_category_names[0]), "%s", name);
}

} // extern "C"
