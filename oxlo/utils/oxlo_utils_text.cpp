/* Text helpers: printable checks, the readable-text finder, host-name checks,
 * searches, bounded copies and Latin-1 to UTF-8. Every copy is bounded by
 * the destination size given by the caller. */
#include "oxlo_utils.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstring>

#include "oxlo_memory.h"
#include "oxlo_private.h"

namespace {

bool printable(uint8_t c) { return c >= 0x20 && c <= 0x7E; }

bool is_readable_mark(uint8_t c) { return c == ' ' || c == '.' || c == '/' || c == '@'; }

/* The readable-text character class: letters, digits and ' ', '.', '/', '@'.
 * Built once; a function-local static is initialised thread-safely. */
struct char_class {
    bool in[256];
    char_class() : in{}
    {
        for (int c = 0; c < 256; c++)
            in[c] = std::isalnum(c) != 0 ? (c < 0x80) : is_readable_mark(static_cast<uint8_t>(c));
    }
};

const char_class &readable_class()
{
    static const char_class table;
    return table;
}

struct run_output {
    char *out;
    size_t size;
    size_t used = 0;
    void reset()
    {
        used = 0;
        out[0] = '\0';
    }
    void add(uint8_t c)
    {
        if (used + 1 < size) {
            out[used++] = static_cast<char>(c);
            out[used] = '\0';
        }
    }
};

bool pair_accepted(uint8_t a, uint8_t b)
{
    if (std::isdigit(a) && std::isdigit(b))
        return true;
    if (is_readable_mark(a) || is_readable_mark(b))
        return true;
    const char pair[3] = {static_cast<char>(std::tolower(a)), static_cast<char>(std::tolower(b)), '\0'};
    return oxlo_common_bigram_test(pair) != 0;
}

bool dns_label_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; }

} // namespace

extern "C" {

void oxlo_utils_init_tables(void) { (void)readable_class(); }

int oxlo_is_printable_text(const char *text, size_t length)
{
    if (!text)
        return length == 0;
    for (size_t i = 0; i < length; i++)
        if (!printable(static_cast<uint8_t>(text[i])))
            return 0;
    return 1;
}

int oxlo_make_printable(char *text, size_t length)
{
    if (!text)
        return 1;
    int clean = 1;
    for (size_t i = 0; i < length; i++) {
        if (!printable(static_cast<uint8_t>(text[i]))) {
            text[i] = '?';
            clean = 0;
        }
    }
    return clean;
}

int oxlo_find_readable_text(const uint8_t *bytes, size_t length, size_t minimum, char *out,
                            size_t out_size)
{
    if (!out || out_size == 0)
        return 0;
    run_output o{out, out_size};
    o.reset();
    out[out_size - 1] = '\0';
    if (!bytes)
        return 0;
    const char_class &cls = readable_class();
    size_t run = 0;
    size_t j = 0;
    while (length > 2 && j < length - 2) {
        uint8_t a = bytes[j], b = bytes[j + 1];
        if (cls.in[a] && !cls.in[b]) {
            o.add(a);
            if (++run > minimum)
                return 1;
            run = 0;
            o.reset();
            j++;
            continue;
        }
        if (cls.in[a] && pair_accepted(a, b)) {
            o.add(a);
            o.add(b);
            run += 2;
            j += 2;
            continue;
        }
        /* The run, if any, ends before a. */
        if (run > minimum)
            return 1;
        run = 0;
        o.reset();
        j++;
    }
    return 0;
}

int oxlo_has_punycode(const char *text, size_t length)
{
    if (!text || length <= 3)
        return 0;
    for (size_t i = 0; i + 4 <= length; i++)
        if (std::memcmp(text + i, "xn--", 4) == 0)
            return 1;
    return 0;
}

int oxlo_is_valid_dns_name(const char *text, size_t length)
{
    if (!text)
        return 0;
    length = strnlen(text, length);
    if (length == 0 || length > 253)
        return 0;
    size_t label = 0;
    for (size_t i = 0; i < length; i++) {
        char c = text[i];
        if (c == '.') {
            if (label == 0 || text[i - 1] == '-')
                return 0;
            label = 0;
            continue;
        }
        if (!dns_label_char(c) || (c == '-' && label == 0) || ++label > 63)
            return 0;
    }
    return std::isalnum(static_cast<unsigned char>(text[length - 1])) ? 1 : 0;
}

int oxlo_is_ip_literal(const char *text)
{
    if (!text)
        return 0;
    unsigned char addr[16];
    return inet_pton(AF_INET, text, addr) == 1 || inet_pton(AF_INET6, text, addr) == 1;
}

int oxlo_has_suffix(const char *text, const char *suffix)
{
    if (!text || !suffix)
        return 0;
    size_t t = std::strlen(text), s = std::strlen(suffix);
    return s <= t && std::memcmp(text + t - s, suffix, s) == 0;
}

const void *oxlo_find_bytes(const void *range, size_t length, const void *needle,
                            size_t needle_length)
{
    if (!range)
        return nullptr;
    if (needle_length == 0)
        return range;
    if (!needle || needle_length > length)
        return nullptr;
    const auto *r = static_cast<const uint8_t *>(range);
    const auto *n = static_cast<const uint8_t *>(needle);
    const uint8_t *end = r + length - needle_length + 1;   /* last possible start + 1 */
    for (const uint8_t *p = r; p < end;) {
        p = static_cast<const uint8_t *>(std::memchr(p, n[0], static_cast<size_t>(end - p)));
        if (!p)
            return nullptr;
        if (std::memcmp(p, n, needle_length) == 0)
            return p;
        p++;
    }
    return nullptr;
}

const char *oxlo_find_last_substring(const char *text, const char *pattern)
{
    if (!text || !pattern)
        return nullptr;
    size_t t = std::strlen(text), p = std::strlen(pattern);
    if (p == 0)
        return text + t;
    if (p > t)
        return nullptr;
    for (size_t i = t - p + 1; i-- > 0;)
        if (text[i] == pattern[0] && std::memcmp(text + i, pattern, p) == 0)
            return text + i;
    return nullptr;
}

const void *oxlo_find_last_byte(const void *range, int byte, size_t length)
{
    if (!range || length == 0)
        return nullptr;
    return memrchr(range, byte, length);
}

int oxlo_compare_nocase(const char *a, const char *b, size_t n)
{
    if (!a || !b)
        return (a == b) ? 0 : (!a ? -1 : 1);
    if (n == 0)
        return 0;
    auto diff = [&](size_t i) {
        return std::tolower(static_cast<unsigned char>(a[i])) -
               std::tolower(static_cast<unsigned char>(b[i]));
    };
    /* First and last bytes first: names that differ mostly differ there. */
    if (int d = diff(0))
        return d;
    if (int d = diff(n - 1))
        return d;
    for (size_t i = 1; i + 1 < n; i++)
        if (int d = diff(i))
            return d;
    return 0;
}

const char *oxlo_trim_spaces(const char *text, size_t *length)
{
    if (!text || !length)
        return nullptr;
    size_t start = 0, end = *length;
    while (start < end && (text[start] == ' ' || text[start] == '\t'))
        start++;
    while (end > start && (text[end - 1] == ' ' || text[end - 1] == '\t'))
        end--;
    if (start == end) {
        *length = 0;
        return nullptr;
    }
    *length = end - start;
    return text + start;
}

size_t oxlo_copy_bounded(char *destination, size_t size, const char *source, size_t length)
{
    if (!destination || !source || size == 0)
        return 0;
    size_t n = length < size - 1 ? length : size - 1;
    std::memcpy(destination, source, n);
    destination[n] = '\0';
    return length;
}

char *oxlo_copy_bytes_as_string(const void *bytes, size_t length)
{
    if (!bytes && length > 0)
        return nullptr;
    char *copy = static_cast<char *>(oxlo_heap_alloc(length + 1));
    if (!copy)
        return nullptr;
    if (length)
        std::memcpy(copy, bytes, length);
    copy[length] = '\0';
    return copy;
}

size_t oxlo_copy_payload_text(const uint8_t *payload, size_t length, size_t offset, char *buffer,
                              size_t size)
{
    if (!buffer || size == 0)
        return 0;
    buffer[0] = '\0';
    if (!payload || offset >= length)
        return 0;
    size_t n = 0;
    while (offset + n < length && n + 1 < size && payload[offset + n] >= 0x20) {
        buffer[n] = static_cast<char>(payload[offset + n]);
        n++;
    }
    buffer[n] = '\0';
    return n;
}

size_t oxlo_latin1_to_utf8(const uint8_t *source, size_t length, char *destination, size_t size)
{
    if (!destination || size == 0)
        return 0;
    destination[0] = '\0';
    if (!source || length > (SIZE_MAX - 1) / 2 || size < 2 * length + 1)
        return 0;
    size_t o = 0;
    for (size_t i = 0; i < length && source[i] != 0; i++) {
        uint8_t b = source[i];
        if (b < 0x80) {
            destination[o++] = static_cast<char>(b);
        } else {
            destination[o++] = static_cast<char>(0xC0 | (b >> 6));
            destination[o++] = static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    destination[o] = '\0';
    return o;
}

} // extern "C"
