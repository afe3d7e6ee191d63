/* Feeds arbitrary text to the parsers of user data files: custom protocol
 * and exception rule lines, category entries, and a public suffix list and
 * domain set built from the same bytes, then asks the host and address
 * lookups something. Address rules naming a host would be resolved through
 * the system's resolver, so inputs that could reach one are not run. */
#include "oxlo_hosts.h"
#include "oxlo_private.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

oxlo_module *module = nullptr;
unsigned uses = 0;

/* Rules accumulate in the module; start afresh now and then. */
oxlo_module *fresh_module()
{
    if (!module || ++uses > 500) {
        oxlo_module_free(module);
        module = oxlo_module_new(nullptr);
        uses = 0;
    }
    return module;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    if (text.find("ip:") != std::string::npos || text.find("ipv6:") != std::string::npos)
        return 0;
    oxlo_module *m = fresh_module();
    if (!m)
        return 0;

    std::string line = text.substr(0, text.find('\n'));
    custom_rule_line_parse(m, line.data());

    std::string entry = text.substr(0, 200);
    oxlo_add_category_entry(m, entry.c_str(), 5, 2, nullptr);
    oxlo_add_ip_risk_mask(m, entry.c_str(), 1);

    FILE *in = fmemopen(const_cast<char *>(text.data()), text.size() ? text.size() : 1, "r");
    if (in) {
        oxlo_read_category_file(m, in, nullptr);
        fclose(in);
    }

    char name[256];
    snprintf(name, sizeof(name), "%s", entry.c_str());
    uint16_t id = 0;
    const char *suffix = oxlo_host_public_suffix(m, name, &id);
    const char *domain = oxlo_host_registered_domain(m, name);
    const size_t n = strlen(name);
    if ((suffix && (suffix < name || suffix > name + n)) || (domain && (domain < name || domain > name + n)))
        __builtin_trap();
    oxlo_domain_set *set = oxlo_domain_set_new();
    uint32_t value = 0;
    oxlo_domain_set_add(m, set, 7, name);
    if (oxlo_domain_set_match(m, set, &value, name) && value != 7)
        __builtin_trap();
    oxlo_domain_set_free(set);
    oxlo_ip_address a;
    oxlo_parse_ip_address(name, &a);
    return 0;
}
