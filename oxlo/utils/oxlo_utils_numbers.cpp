/* Addresses, numbers and times: address text, prefixes, the bounded number
 * parser, BER lengths, the Internet checksum, entropy, NTP and calendar
 * times, bounded formatting. Whatever the caller's buffer size, nothing is
 * written before the buffer or at or beyond buffer + size. */
#include "oxlo_utils.h"

#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr uint32_t ntp_unix_offset = 2208988800u;   /* seconds 1900-01-01 .. 1970-01-01 */

uint32_t prefix_mask(int prefix_length)
{
    if (prefix_length <= 0)
        return 0;
    if (prefix_length >= 32)
        return 0xFFFFFFFFu;
    return 0xFFFFFFFFu << (32 - prefix_length);
}

} // namespace

extern "C" {

char *oxlo_ipv4_to_text(uint32_t address, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return buffer;
    char text[16];
    int n = std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                          (address >> 8) & 0xFF, address & 0xFF);
    if (n < 0 || static_cast<size_t>(n) + 1 > size) {
        buffer[0] = '\0';   /* does not fit: an empty text, never a write before the buffer */
        return buffer;
    }
    /* The text ends at the buffer's last byte, as callers that keep the
     * returned pointer expect. */
    char *start = buffer + size - 1 - n;
    std::memcpy(start, text, static_cast<size_t>(n) + 1);
    return start;
}

char *oxlo_ipv6_to_text(const uint8_t address[16], char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return buffer;
    if (!address || !inet_ntop(AF_INET6, address, buffer, static_cast<socklen_t>(size > 65535 ? 65535 : size)))
        buffer[0] = '\0';
    return buffer;
}

char *oxlo_ipv6_text_shorten(char *text)
{
    if (!text || std::strstr(text, "::"))
        return text;
    /* Collapse the first run of zero groups ":0:0:...:" into "::"; only one
     * run may be collapsed or the text no longer names one address. */
    char *run = std::strstr(text, ":0:");
    if (!run)
        return text;
    char *end = run + 2;   /* at the ':' closing the first zero group */
    while (end[0] == ':' && end[1] == '0' && end[2] == ':')
        end += 2;
    std::memmove(run + 1, end, std::strlen(end) + 1);
    return text;
}

int oxlo_ipv4_same_prefix(uint32_t a, uint32_t b, int prefix_length)
{
    return ((a ^ b) & prefix_mask(prefix_length)) == 0;
}

int oxlo_ipv4_either_in_prefix(uint32_t a, uint32_t b, uint32_t network, int prefix_length)
{
    return oxlo_ipv4_same_prefix(a, network, prefix_length) ||
           oxlo_ipv4_same_prefix(b, network, prefix_length);
}

uint32_t oxlo_round_up_pow2(uint32_t value)
{
    if (value == 0 || value > 0x80000000u)
        return 0;
    value--;
    value |= value >> 1;
    value |= value >> 2;
    value |= value >> 4;
    value |= value >> 8;
    value |= value >> 16;
    return value + 1;
}

size_t oxlo_decimal_text(char *out, uint64_t value)
{
    char tmp[20];
    size_t n = 0;
    do {
        tmp[n++] = char('0' + value % 10);
        value /= 10;
    } while (value);
    for (size_t i = 0; i < n; i++)
        out[i] = tmp[n - 1 - i];
    return n;
}

int64_t oxlo_text_to_int_bounded(const char *text, int64_t minimum, int64_t maximum,
                                 const char **error_text, int base)
{
    const char *error = nullptr;
    long long v = 0;
    if (minimum > maximum) {
        error = "minval > maxval";
    } else if (!text) {
        error = "No digits were found";
    } else {
        char *end = nullptr;
        errno = 0;
        v = std::strtoll(text, &end, base);
        if (errno == ERANGE)
            error = v == LLONG_MIN ? "value too small" : "value too large";
        else if (errno != 0)
            error = "generic error";
        else if (end == text)
            error = "No digits were found";
        else if (*end != '\0')
            error = "generic error";
        else if (v < minimum)
            error = "value too small";
        else if (v > maximum)
            error = "value too large";
    }
    if (error_text)
        *error_text = error;
    return error ? 0 : v;
}

int64_t oxlo_decode_ber_length(const uint8_t *bytes, size_t available, size_t *used)
{
    if (used)
        *used = 0;
    if (!bytes || available == 0)
        return -1;
    uint8_t first = bytes[0];
    if (first < 0x80) {
        if (used)
            *used = 1;
        return first;
    }
    if (first == 0x80) {   /* indefinite form: the content ends with two zero bytes */
        if (used)
            *used = 1;
        return OXLO_BER_LENGTH_INDEFINITE;
    }
    size_t n = first & 0x7F;
    if (n > 4 || available <= n + 1)
        return -1;
    int64_t length = 0;
    for (size_t i = 1; i <= n; i++)
        length = length << 8 | bytes[i];
    if (used)
        *used = n + 1;
    return length;
}

uint16_t oxlo_inet_checksum(const void *bytes, size_t length)
{
    const auto *p = static_cast<const uint8_t *>(bytes);
    uint32_t sum = 0;
    if (!p)
        length = 0;
    for (; length > 1; length -= 2, p += 2) {
        uint16_t word;
        std::memcpy(&word, p, 2);
        sum += word;
        if (sum & 0x80000000u)   /* keep the 32-bit sum from overflowing on long inputs */
            sum = (sum & 0xFFFF) + (sum >> 16);
    }
    if (length)
        sum += *p;
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<uint16_t>(~sum);
}

/* Payloads up to this size are measured on a sorted copy instead of count
 * tables: zeroing and walking 256 counts costs far more than sorting a few
 * bytes (the first datagram of most flows is this short). */
constexpr size_t kSmallEntropyInput = 64;

/* The sorted copy gives each byte value's count in byte-value order, so
 * the terms are the same float operations added in the same order as the
 * tables' walk: the same result to the bit. */
static float small_entropy(const uint8_t *p, size_t length)
{
    uint8_t sorted[kSmallEntropyInput];
    for (size_t i = 0; i < length; i++) {
        const uint8_t b = p[i];
        size_t j = i;
        for (; j > 0 && sorted[j - 1] > b; j--)
            sorted[j] = sorted[j - 1];
        sorted[j] = b;
    }
    float entropy = 0.0f;
    for (size_t i = 0; i < length;) {
        size_t end = i + 1;
        while (end < length && sorted[end] == sorted[i])
            end++;
        const float prob = static_cast<float>(end - i) / static_cast<float>(length);
        entropy += prob * std::log2(1.0f / prob);
        i = end;
    }
    return entropy;
}

float oxlo_shannon_entropy(const void *bytes, size_t length)
{
    if (!bytes || length == 0)
        return 0.0f;
    const auto *p = static_cast<const uint8_t *>(bytes);
    if (length <= kSmallEntropyInput)
        return small_entropy(p, length);
    /* Four tables, so that runs of one byte value do not wait on each
     * other's increments, added up afterwards; 16-bit counts while no table
     * can pass 65535 (every packet payload), which halves what is zeroed. */
    uint64_t total[256];
    if (length <= 0xFFFF) {
        uint16_t counts[4][256] = {};
        size_t i = 0;
        for (; i + 4 <= length; i += 4) {
            counts[0][p[i]]++;
            counts[1][p[i + 1]]++;
            counts[2][p[i + 2]]++;
            counts[3][p[i + 3]]++;
        }
        for (; i < length; i++)
            counts[0][p[i]]++;
        for (int v = 0; v < 256; v++)
            total[v] = uint64_t(counts[0][v]) + counts[1][v] + counts[2][v] + counts[3][v];
    } else {
        size_t counts[256] = {};
        for (size_t i = 0; i < length; i++)
            counts[p[i]]++;
        for (int v = 0; v < 256; v++)
            total[v] = counts[v];
    }
    /* A packet's byte values share few distinct counts: each count's term
     * is computed once and reused, the sum taken in byte-value order as
     * before (the same float operations, the same result). */
    constexpr size_t MEMO = 64;
    float term[MEMO];
    uint64_t known = 0;
    float entropy = 0.0f;
    for (int v = 0; v < 256; v++) {
        const size_t c = total[v];
        if (c == 0)
            continue;
        if (c < MEMO && (known >> c & 1)) {
            entropy += term[c];
            continue;
        }
        const float prob = static_cast<float>(c) / static_cast<float>(length);
        const float t = prob * std::log2(1.0f / prob);
        if (c < MEMO) {
            term[c] = t;
            known |= uint64_t(1) << c;
        }
        entropy += t;
    }
    return entropy;
}

char *oxlo_entropy_text(char *buffer, size_t size, float entropy)
{
    if (!buffer || size == 0)
        return buffer;
    const char *verdict = "Unknown";
    if (entropy >= 7.312f)
        verdict = "Encrypted or Random";
    else if (entropy >= 7.174f)
        verdict = "Encrypted Executable";
    else if (entropy >= 6.677f)
        verdict = "Compressed Executable";
    else if (entropy >= 4.941f)
        verdict = "Executable";
    std::snprintf(buffer, size, "Entropy: %.3f (%s?)", static_cast<double>(entropy), verdict);
    return buffer;
}

int oxlo_time_to_utc(time_t seconds, struct tm *out)
{
    if (!out)
        return -1;
    return gmtime_r(&seconds, out) ? 0 : -1;
}

char *oxlo_ntp_time_text(uint64_t timestamp, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return buffer;
    buffer[0] = '\0';
    if (timestamp == 0)
        return buffer;
    uint8_t wire[8];
    std::memcpy(wire, &timestamp, sizeof wire);
    uint32_t seconds = static_cast<uint32_t>(wire[0]) << 24 | static_cast<uint32_t>(wire[1]) << 16 |
                       static_cast<uint32_t>(wire[2]) << 8 | wire[3];
    uint32_t fraction = static_cast<uint32_t>(wire[4]) << 24 | static_cast<uint32_t>(wire[5]) << 16 |
                        static_cast<uint32_t>(wire[6]) << 8 | wire[7];
    time_t unix_seconds = static_cast<time_t>(seconds) - static_cast<time_t>(ntp_unix_offset);
    struct tm tm;
    if (!gmtime_r(&unix_seconds, &tm))
        return buffer;
    char date[32];
    if (std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        return buffer;
    /* Nanoseconds always take nine digits: ".5" would read as half a second
     * where 5 ns was meant. */
    auto nanoseconds = static_cast<uint32_t>((static_cast<uint64_t>(fraction) * 1000000000u) >> 32);
    std::snprintf(buffer, size, "%s.%09u", date, nanoseconds);
    return buffer;
}

int oxlo_vformat_bounded(char *buffer, size_t size, const char *format, va_list args)
{
    if (!buffer || size == 0 || !format)
        return 0;
    int n = std::vsnprintf(buffer, size, format, args);
    if (n < 0)
        return n;
    return static_cast<size_t>(n) < size ? n : static_cast<int>(size - 1);
}

int oxlo_format_bounded(char *buffer, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = oxlo_vformat_bounded(buffer, size, format, args);
    va_end(args);
    return n;
}

void oxlo_random_bytes(void *buffer, size_t length)
{
    auto *p = static_cast<uint8_t *>(buffer);
    for (size_t i = 0; p && i < length; i++)
        p[i] = static_cast<uint8_t>(std::rand() & 0xFF);
}

} // extern "C"
