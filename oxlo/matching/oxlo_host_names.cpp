/* The canonical form of a host name, and the further host names a flow's
 * requests carried. A rule written "blocked.example" must hold for every
 * spelling a server takes for the same host ("Blocked.Example.",
 * " blocked.example:80"), so names are compared in one form only. */
#include "oxlo_private.h"

#include <cstring>

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

bool hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

/* Two colons or more and only hex digits, colons and dots: an IPv6 address
 * written without brackets, where a colon is no port separator. */
bool bare_ipv6(const char *s, size_t n)
{
    size_t colons = 0;
    for (size_t i = 0; i < n; i++) {
        if (s[i] == ':')
            colons++;
        else if (!hex_digit(s[i]) && s[i] != '.')
            return false;
    }
    return colons >= 2;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }

/* End of the name once a port is cut: after the ']' of a bracketed literal
 * followed by ':', else at the first ':' (what servers route on: the name
 * before it). */
size_t cut_port(const char *s, size_t a, size_t b)
{
    if (a < b && s[a] == '[') {
        const void *close = memchr(s + a, ']', b - a);
        if (!close)
            return b;
        const size_t end = size_t(static_cast<const char *>(close) - s) + 1;
        return end < b && s[end] == ':' ? end : b;
    }
    if (bare_ipv6(s + a, b - a))
        return b;
    const void *colon = memchr(s + a, ':', b - a);
    return colon ? size_t(static_cast<const char *>(colon) - s) : b;
}

} // namespace

extern "C" {

size_t oxlo_host_name_canonical(const char *text, size_t length, char *out, size_t size)
{
    if (!out || size == 0)
        return 0;
    out[0] = '\0';
    if (!text)
        return 0;
    const void *nul = memchr(text, '\0', length);
    size_t b = nul ? size_t(static_cast<const char *>(nul) - text) : length, a = 0;
    while (a < b && blank(text[a]))
        a++;
    while (b > a && blank(text[b - 1]))
        b--;
    b = cut_port(text, a, b);
    while (b > a && blank(text[b - 1]))
        b--;
    if (b > a && text[b - 1] == '.')
        b--;
    if (b - a > size - 1)
        a = b - (size - 1);
    const size_t n = b - a;
    for (size_t i = 0; i < n; i++)
        out[i] = lower(text[a + i]);
    out[n] = '\0';
    return n;
}

int oxlo_flow_add_host_candidate(oxlo_flow_state *flow, const char *text, size_t length)
{
    if (!flow)
        return -2;
    char name[OXLO_HOST_NAME_SIZE];
    const size_t n = oxlo_host_name_canonical(text, length, name, sizeof(name));
    if (n == 0)
        return 0;
    oxlo_flow_texts *t = oxlo_flow_texts_make(nullptr, flow, 1);
    if (!t)
        return -1;
    const uint8_t count = flow->host_candidate_count;
    for (uint8_t i = 0; i < count; i++)
        if (strcmp(t->host_candidates[i], name) == 0)
            return 0;
    char *copy = oxlo_heap_strdup(name);
    if (!copy) {
        /* A name a rule may match is lost: the flow must not pass as if
         * it had none. */
        flow->flags_b |= OXLO_FLOW_NO_MEMORY;
        return -1;
    }
    if (count < OXLO_HOST_CANDIDATES) {
        t->host_candidates[count] = copy;
        flow->host_candidate_count = uint8_t(count + 1);
    } else {
        oxlo_heap_free(t->host_candidates[OXLO_HOST_CANDIDATES - 1]);
        t->host_candidates[OXLO_HOST_CANDIDATES - 1] = copy;
    }
    return 1;
}

const char *oxlo_flow_host_candidates(const oxlo_flow_state *flow, unsigned index)
{
    if (!flow)
        return nullptr;
    const bool named = oxlo_flow_host(flow)[0] != '\0';
    if (named && index == 0)
        return oxlo_flow_host(flow);
    unsigned seen = named ? 1 : 0;
    for (uint8_t i = 0; i < flow->host_candidate_count && i < OXLO_HOST_CANDIDATES; i++) {
        const char *c = flow->texts->host_candidates[i];
        if (named && strcmp(c, oxlo_flow_host(flow)) == 0)
            continue;
        if (seen++ == index)
            return c;
    }
    return nullptr;
}

} // extern "C"
