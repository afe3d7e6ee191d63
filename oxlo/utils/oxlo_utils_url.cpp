/* The URL attack check: every query parameter value is URL-decoded and given
 * to the XSS and SQL-injection detectors; a path with ".." is reported as
 * suspicious. A parameter without '=' or a malformed '%' escape never stops
 * the check: an attacker could otherwise hide a payload behind one. */
#include "oxlo_utils.h"

#include <cstdio>
#include <cstring>

#include "oxlo_memory.h"
#include "oxlo_utils_internal.h"
#include "oxlo_risks.h"
#include "oxlo_inj.h"

namespace {

constexpr size_t url_message_max = 127;

/* Decodes '+' and "%XX" into out (room for length + 1 bytes); a '%' not
 * followed by two hex digits is kept as it is. Returns the decoded length. */
size_t url_decode(const char *in, size_t length, char *out)
{
    size_t o = 0;
    for (size_t i = 0; i < length; i++) {
        char c = in[i];
        if (c == '+') {
            out[o++] = ' ';
        } else if (c == '%' && i + 2 < length && oxlo_hex_digit_value(in[i + 1]) >= 0 &&
                   oxlo_hex_digit_value(in[i + 2]) >= 0) {
            out[o++] = static_cast<char>(oxlo_hex_digit_value(in[i + 1]) << 4 | oxlo_hex_digit_value(in[i + 2]));
            i += 2;
        } else {
            out[o++] = c;
        }
    }
    out[o] = '\0';
    return o;
}

int check_value(const char *value, size_t length, const oxlo_url_check_calls *calls)
{
    char *decoded = static_cast<char *>(oxlo_heap_alloc(length + 1));
    if (!decoded)
        return 0;
    size_t n = url_decode(value, length, decoded);
    int risk = 0;
    if (n > 0) {
        if (calls->xss_detect(decoded, n))
            risk = OXLO_URL_CHECK_XSS;
        else if (calls->sqli_detect(decoded, n))
            risk = OXLO_URL_CHECK_SQL_INJECTION;
    }
    oxlo_heap_free(decoded);
    return risk;
}

int sqli_detect(const char *text, size_t length)
{
    oxlo_inj_sqli_context ctx;
    oxlo_inj_sqli_state_init(&ctx, text, length, 0);
    return oxlo_inj_sqli_detect(&ctx);
}

const oxlo_url_check_calls detector_calls = {oxlo_inj_xss_detect, sqli_detect, oxlo_flow_risk_raise};

} // namespace

extern "C" {

int oxlo_url_attack_check_with(oxlo_module *module, oxlo_flow_state *flow, const char *url,
                               const oxlo_url_check_calls *calls)
{
    if (!url || !calls)
        return 0;
    const char *query = std::strchr(url, '?');
    if (query) {
        const char *p = query + 1;
        while (*p) {
            size_t param_len = std::strcspn(p, "&");
            const char *eq = static_cast<const char *>(std::memchr(p, '=', param_len));
            if (eq && eq + 1 < p + param_len) {
                int risk = check_value(eq + 1, static_cast<size_t>(p + param_len - (eq + 1)), calls);
                if (risk) {
                    if (flow) {
                        char message[160];
                        std::snprintf(message, sizeof message, "Suspicious URL [%.*s]",
                                      static_cast<int>(url_message_max), url);
                        calls->risk_raise(module, flow, risk, message);
                    }
                    return risk;
                }
            }
            p += param_len;
            if (*p == '&')
                p++;
        }
    }
    return std::strstr(url, "..") ? OXLO_URL_CHECK_SUSPICIOUS_PATH : 0;
}

int oxlo_url_attack_check(oxlo_module *module, oxlo_flow_state *flow, const char *url)
{
    return oxlo_url_attack_check_with(module, flow, url, &detector_calls);
}

} // extern "C"
