/* Walks arbitrary bytes with the TLV reader, reading every item with every
 * read call, copies the items into a TLV writer, and re-encodes the buffer
 * into every writer format. JSON output must always be valid UTF-8. */
#include "oxlo_serializer.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace {

size_t utf8_sequence(const unsigned char *p, size_t n)
{
    unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (len == 0 || len > n)
        return 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
    if (p[1] < lo || p[1] > hi)
        return 0;
    for (size_t i = 2; i < len; i++)
        if (p[i] < 0x80 || p[i] > 0xBF)
            return 0;
    return len;
}

void require_utf8(oxlo_recbuf *s)
{
    uint32_t n = 0;
    auto *p = reinterpret_cast<const unsigned char *>(oxlo_recbuf_output(s, &n));
    for (size_t i = 0; i < n;) {
        size_t len = utf8_sequence(p + i, n - i);
        if (len == 0)
            __builtin_trap();
        i += len;
    }
}

unsigned walk(oxlo_recbuf *d, oxlo_recbuf *copy)
{
    unsigned sum = 0;
    for (int guard = 0; guard < 100000; guard++) {
        oxlo_recbuf_item_type kt;
        sum += oxlo_deserializer_item_type(d, &kt) + kt;
        uint32_t k = 0, u = 0;
        uint64_t u64 = 0;
        int32_t i = 0;
        int64_t i64 = 0;
        float f = 0;
        double db = 0;
        oxlo_text_span name{}, text{};
        oxlo_deserializer_read_key_id(d, &k);
        if (oxlo_deserializer_read_key_name(d, &name) == 0)
            for (uint16_t j = 0; j < name.len; j++)
                sum += uint8_t(name.str[j]);
        oxlo_deserializer_read_u32(d, &u);
        oxlo_deserializer_read_u64(d, &u64);
        oxlo_deserializer_read_i32(d, &i);
        oxlo_deserializer_read_i64(d, &i64);
        oxlo_deserializer_read_float(d, &f);
        oxlo_deserializer_read_double(d, &db);
        if (oxlo_deserializer_read_text(d, &text) == 0)
            for (uint16_t j = 0; j < text.len; j++)
                sum += uint8_t(text.str[j]);
        oxlo_deserializer_copy_item(d, copy);
        sum += k + u + unsigned(u64) + unsigned(i) + unsigned(i64);
        if (oxlo_deserializer_skip_item(d) != 0)
            break;
    }
    return sum;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *buf = reinterpret_cast<const char *>(data);
    oxlo_recbuf d;
    if (oxlo_deserializer_init(&d, buf, uint32_t(size)) != 0)
        return 0;

    oxlo_recbuf copy;
    if (oxlo_recbuf_init(&copy, OXLO_SER_FORMAT_TLV) == 0) {
        volatile unsigned sink = walk(&d, &copy);
        (void)sink;
        // Whatever was copied item by item reads back as the same items.
        oxlo_recbuf again;
        if (oxlo_deserializer_init_from(&again, &copy) != 0)
            __builtin_trap();
        uint32_t n = 0;
        const char *out = oxlo_recbuf_output(&copy, &n);
        if (n > size || memcmp(out + 2, buf + 2, n - 2) != 0)
            __builtin_trap();
        oxlo_recbuf_release(&copy);
    }

    for (auto format : {OXLO_SER_FORMAT_TLV, OXLO_SER_FORMAT_JSON, OXLO_SER_FORMAT_JSON_LINES,
                        OXLO_SER_FORMAT_JSON_INNER, OXLO_SER_FORMAT_CSV}) {
        oxlo_recbuf w;
        if (oxlo_recbuf_init_sized(&w, format, 16) != 0)
            continue;
        oxlo_deserializer_init(&d, buf, uint32_t(size));
        oxlo_deserializer_copy_all(&d, &w);
        if (format != OXLO_SER_FORMAT_TLV && format != OXLO_SER_FORMAT_CSV)
            require_utf8(&w);
        oxlo_recbuf_release(&w);
    }
    return 0;
}
