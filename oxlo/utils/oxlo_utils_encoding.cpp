/* Base64 (RFC 4648 standard alphabet), hex, and the hex text form of TLS-block
 * sequences. Decoders take their input lengths from the caller and never read
 * or write past them. */
#include "oxlo_utils.h"

#include <cstring>

#include "oxlo_memory.h"
#include "oxlo_utils_internal.h"

namespace {

const char base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

constexpr size_t tls_block_text_bytes = 3;
constexpr size_t tls_blocks_max_bytes = 768;   /* 256 blocks */
constexpr float tls_blocks_mismatch = 999999.0f;

} // namespace

int oxlo_hex_digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

extern "C" {

char *oxlo_encode_base64(const void *bytes, size_t length)
{
    if (!bytes && length > 0)
        return nullptr;
    if (length > (SIZE_MAX - 1) / 4 * 3 - 3)
        return nullptr;
    const auto *in = static_cast<const uint8_t *>(bytes);
    size_t out_len = (length + 2) / 3 * 4;
    char *out = static_cast<char *>(oxlo_heap_alloc(out_len + 1));
    if (!out)
        return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < length; i += 3) {
        uint32_t v = static_cast<uint32_t>(in[i]) << 16;
        if (i + 1 < length)
            v |= static_cast<uint32_t>(in[i + 1]) << 8;
        if (i + 2 < length)
            v |= in[i + 2];
        out[o++] = base64_alphabet[(v >> 18) & 0x3F];
        out[o++] = base64_alphabet[(v >> 12) & 0x3F];
        out[o++] = i + 1 < length ? base64_alphabet[(v >> 6) & 0x3F] : '=';
        out[o++] = i + 2 < length ? base64_alphabet[v & 0x3F] : '=';
    }
    out[o] = '\0';
    return out;
}

uint8_t *oxlo_decode_base64(const char *text, size_t length, size_t *out_length)
{
    if (out_length)
        *out_length = 0;
    if (!text)
        return nullptr;
    size_t significant = 0;
    for (size_t i = 0; i < length; i++)
        if (text[i] == '=' || base64_value(text[i]) >= 0)
            significant++;
    if (significant == 0 || significant % 4 != 0)
        return nullptr;
    auto *out = static_cast<uint8_t *>(oxlo_heap_alloc(significant / 4 * 3 + 1));
    if (!out)
        return nullptr;

    size_t o = 0;
    int group[4];
    int filled = 0, pads = 0;
    for (size_t i = 0; i < length; i++) {
        int v = text[i] == '=' ? -2 : base64_value(text[i]);
        if (v == -1)
            continue;   /* outside the alphabet: skipped */
        if (v == -2)
            pads++;
        else if (pads > 0)
            break;      /* data after padding: malformed group */
        group[filled++] = v < 0 ? 0 : v;
        if (filled < 4)
            continue;
        if (pads >= 3)
            break;
        uint32_t w = static_cast<uint32_t>(group[0]) << 18 | static_cast<uint32_t>(group[1]) << 12 |
                     static_cast<uint32_t>(group[2]) << 6 | static_cast<uint32_t>(group[3]);
        out[o++] = static_cast<uint8_t>(w >> 16);
        if (pads < 2)
            out[o++] = static_cast<uint8_t>(w >> 8);
        if (pads < 1)
            out[o++] = static_cast<uint8_t>(w);
        if (pads > 0) {
            filled = 0;   /* a padded group ends the data */
            break;
        }
        filled = 0;
    }
    if (filled != 0 || pads >= 3 || (pads > 0 && o == 0)) {
        oxlo_heap_free(out);
        return nullptr;
    }
    out[o] = 0;
    if (out_length)
        *out_length = o;
    return out;
}

char *oxlo_hex_encode(const void *bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    if ((!bytes && length > 0) || length > (SIZE_MAX - 1) / 2)
        return nullptr;
    const auto *in = static_cast<const uint8_t *>(bytes);
    char *out = static_cast<char *>(oxlo_heap_alloc(2 * length + 1));
    if (!out)
        return nullptr;
    for (size_t i = 0; i < length; i++) {
        out[2 * i] = digits[in[i] >> 4];
        out[2 * i + 1] = digits[in[i] & 0x0F];
    }
    out[2 * length] = '\0';
    return out;
}

uint8_t *oxlo_hex_decode(const char *text, size_t length, size_t *out_length)
{
    if (out_length)
        *out_length = 0;
    if ((!text && length > 0) || length % 2 != 0)
        return nullptr;
    auto *out = static_cast<uint8_t *>(oxlo_heap_alloc(length / 2 + 1));
    if (!out)
        return nullptr;
    for (size_t i = 0; i < length; i += 2) {
        int hi = oxlo_hex_digit_value(text[i]), lo = oxlo_hex_digit_value(text[i + 1]);
        if (hi < 0 || lo < 0) {
            oxlo_heap_free(out);
            return nullptr;
        }
        out[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
    }
    out[length / 2] = 0;
    if (out_length)
        *out_length = length / 2;
    return out;
}

size_t oxlo_hex_to_bytes(uint8_t *buffer, size_t size, const char *hex, size_t digits)
{
    if (!buffer || !hex || digits == 0 || size < (digits + 1) / 2)
        return 0;
    /* An odd last digit fills the high half of the last byte. */
    for (size_t i = 0; i < digits; i++)
        if (oxlo_hex_digit_value(hex[i]) < 0)
            return 0;
    for (size_t i = 0; i < digits; i += 2) {
        int hi = oxlo_hex_digit_value(hex[i]);
        int lo = i + 1 < digits ? oxlo_hex_digit_value(hex[i + 1]) : 0;
        buffer[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return (digits + 1) / 2;
}

size_t oxlo_bytes_to_hex(char *buffer, size_t size, const void *bytes, size_t length)
{
    static const char digits[] = "0123456789ABCDEF";
    if (!buffer || size == 0)
        return 0;
    buffer[0] = '\0';
    /* Room for the NUL too: a buffer of exactly 2 x length is too small. */
    if ((!bytes && length > 0) || length > (SIZE_MAX - 1) / 2 || size < 2 * length + 1)
        return 0;
    const auto *in = static_cast<const uint8_t *>(bytes);
    for (size_t i = 0; i < length; i++) {
        buffer[2 * i] = digits[in[i] >> 4];
        buffer[2 * i + 1] = digits[in[i] & 0x0F];
    }
    buffer[2 * length] = '\0';
    return 2 * length;
}

char *oxlo_tls_blocks_to_text(const tls_block *blocks, size_t count)
{
    if (count > OXLO_TLS_BLOCKS_TEXT_MAX || (!blocks && count > 0))
        return nullptr;
    uint8_t raw[OXLO_TLS_BLOCKS_TEXT_MAX * tls_block_text_bytes];
    for (size_t i = 0; i < count; i++) {
        auto length = static_cast<uint16_t>(blocks[i].length);
        raw[3 * i] = static_cast<uint8_t>((blocks[i].flags & 1) << 7 | (blocks[i].kind & 0x7F));
        raw[3 * i + 1] = static_cast<uint8_t>(length >> 8);
        raw[3 * i + 2] = static_cast<uint8_t>(length);
    }
    return oxlo_hex_encode(raw, count * tls_block_text_bytes);
}

tls_block *oxlo_tls_blocks_parse(const char *hex, size_t length, size_t *out_count)
{
    if (out_count)
        *out_count = 0;
    size_t n = 0;
    uint8_t *raw = oxlo_hex_decode(hex, length, &n);
    if (!raw)
        return nullptr;
    if (n == 0 || n >= tls_blocks_max_bytes || n % tls_block_text_bytes != 0) {
        oxlo_heap_free(raw);
        return nullptr;
    }
    size_t count = n / tls_block_text_bytes;
    auto *blocks = static_cast<tls_block *>(oxlo_heap_calloc(count, sizeof(tls_block)));
    if (blocks) {
        for (size_t i = 0; i < count; i++) {
            const uint8_t *b = raw + 3 * i;
            blocks[i].kind = b[0] & 0x7F;
            blocks[i].flags = b[0] >> 7;
            blocks[i].length = static_cast<int16_t>(static_cast<uint16_t>(b[1] << 8 | b[2]));
        }
        if (out_count)
            *out_count = count;
    }
    oxlo_heap_free(raw);
    return blocks;
}

float oxlo_tls_blocks_distance(const tls_block *a, const tls_block *b, size_t count)
{
    if (count == 0)
        return 0.0f;
    if (!a || !b)
        return tls_blocks_mismatch;
    float sum = 0.0f;
    for (size_t i = 0; i < count; i++) {
        if (a[i].kind != b[i].kind || (i < 2 && a[i].length != b[i].length))
            return tls_blocks_mismatch;
        float d = static_cast<float>(a[i].length) - static_cast<float>(b[i].length);
        sum += d * d;
    }
    return sum;
}

} // extern "C"
