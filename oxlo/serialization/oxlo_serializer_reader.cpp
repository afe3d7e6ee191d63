/* TLV reader: walks a serializer TLV buffer item by item. Every item is
 * measured against the end of the buffer before any of its bytes is read;
 * an item that runs past the end ends the reading. */
#include "oxlo_serializer.h"

#include "oxlo_private.h"

#include <cstring>

namespace {

// Reader-only mark in the cursor flags: the reading stopped at an item that
// ran past the end of the buffer.
constexpr uint32_t kTruncated = 0x40000000u;

struct item {
    uint8_t key_code;
    uint8_t value_code;
    uint32_t key_at, key_len;     // bytes of the key (after a length field)
    uint32_t value_at, value_len; // bytes of the value (after a length field)
    uint32_t size;
};

const uint8_t *bytes(const oxlo_recbuf *d) { return reinterpret_cast<const uint8_t *>(d->output.data); }

bool length_prefixed(uint8_t code)
{
    return code == OXLO_SER_TYPE_STRING || code == OXLO_SER_TYPE_BLOCK_START ||
           code == OXLO_SER_TYPE_LIST_START;
}

uint32_t fixed_size(uint8_t code)
{
    switch (code) {
    case OXLO_SER_TYPE_UINT8:
    case OXLO_SER_TYPE_INT8: return 1;
    case OXLO_SER_TYPE_UINT16:
    case OXLO_SER_TYPE_INT16: return 2;
    case OXLO_SER_TYPE_UINT32:
    case OXLO_SER_TYPE_INT32:
    case OXLO_SER_TYPE_FLOAT: return 4;
    case OXLO_SER_TYPE_UINT64:
    case OXLO_SER_TYPE_INT64: return 8;
    default: return 0;
    }
}

// Measures one key or value part at pos; false when it does not fit.
bool measure_part(const uint8_t *b, uint32_t end, uint32_t &pos, uint8_t code, uint32_t &at,
                  uint32_t &len)
{
    if (length_prefixed(code)) {
        if (end - pos < 2)
            return false;
        len = uint32_t(b[pos]) << 8 | b[pos + 1];
        pos += 2;
    } else {
        len = fixed_size(code);
    }
    if (end - pos < len)
        return false;
    at = pos;
    pos += len;
    return true;
}

// 0 with the current item measured, -2 at (or past) the end.
int current(oxlo_recbuf *d, item &it)
{
    if (!d || !d->output.data)
        return -2;
    uint32_t end = d->output.size, pos = d->cursor.size_used;
    if (pos >= end)
        return -2;
    const uint8_t *b = bytes(d);
    uint8_t type = b[pos];
    it.key_code = type >> 4;
    it.value_code = type & 0x0F;
    uint32_t p = pos + 1;
    if (!measure_part(b, end, p, it.key_code, it.key_at, it.key_len) ||
        !measure_part(b, end, p, it.value_code, it.value_at, it.value_len)) {
        d->cursor.size_used = end;
        d->cursor.flags |= kTruncated;
        return -2;
    }
    it.size = p - pos;
    return 0;
}

uint64_t read_be(const uint8_t *p, uint32_t n)
{
    uint64_t v = 0;
    for (uint32_t i = 0; i < n; i++)
        v = v << 8 | p[i];
    return v;
}

int64_t sign_extend(uint64_t v, uint32_t n)
{
    unsigned shift = 64 - 8 * n;
    return int64_t(v << shift) >> shift;
}

bool is_unsigned(uint8_t code) { return code >= OXLO_SER_TYPE_UINT8 && code <= OXLO_SER_TYPE_UINT32; }
bool is_signed(uint8_t code) { return code >= OXLO_SER_TYPE_INT8 && code <= OXLO_SER_TYPE_INT32; }

oxlo_recbuf_item_type widen(uint8_t code)
{
    if (is_unsigned(code))
        return OXLO_SER_TYPE_UINT32;
    if (is_signed(code))
        return OXLO_SER_TYPE_INT32;
    return oxlo_recbuf_item_type(code);
}

oxlo_text_span span(const oxlo_recbuf *d, uint32_t at, uint32_t len)
{
    return {d->output.data + at, uint16_t(len)};
}

int copy_numeric_key(oxlo_recbuf *d, oxlo_recbuf *w, oxlo_recbuf_item_type vt)
{
    uint32_t key = 0;
    if (oxlo_deserializer_read_key_id(d, &key))
        return -1;
    switch (vt) {
    case OXLO_SER_TYPE_UINT32: {
        uint32_t v = 0;
        oxlo_deserializer_read_u32(d, &v);
        return oxlo_recbuf_put_id_u32(w, key, v) ? -1 : 0;
    }
    case OXLO_SER_TYPE_UINT64: {
        uint64_t v = 0;
        oxlo_deserializer_read_u64(d, &v);
        return oxlo_recbuf_put_id_u64(w, key, v) ? -1 : 0;
    }
    case OXLO_SER_TYPE_INT32: {
        int32_t v = 0;
        oxlo_deserializer_read_i32(d, &v);
        return oxlo_recbuf_put_id_i32(w, key, v) ? -1 : 0;
    }
    case OXLO_SER_TYPE_INT64: {
        int64_t v = 0;
        oxlo_deserializer_read_i64(d, &v);
        return oxlo_recbuf_put_id_i64(w, key, v) ? -1 : 0;
    }
    case OXLO_SER_TYPE_FLOAT: {
        float v = 0;
        oxlo_deserializer_read_float(d, &v);
        return oxlo_recbuf_put_id_float(w, key, v, "%.3f") ? -1 : 0;
    }
    case OXLO_SER_TYPE_STRING: {
        oxlo_text_span t{};
        oxlo_deserializer_read_text(d, &t);
        return oxlo_recbuf_put_id_text_len(w, key, t.str, t.len) ? -1 : 0;
    }
    default:
        return -2;
    }
}

int copy_text_key(oxlo_recbuf *d, oxlo_recbuf *w, oxlo_recbuf_item_type vt)
{
    oxlo_text_span k{};
    if (oxlo_deserializer_read_key_name(d, &k))
        return -1;
    switch (vt) {
    case OXLO_SER_TYPE_UINT32: {
        uint32_t v = 0;
        oxlo_deserializer_read_u32(d, &v);
        return oxlo_recbuf_put_u32_len(w, k.str, k.len, v) ? -1 : 0;
    }
    case OXLO_SER_TYPE_UINT64: {
        uint64_t v = 0;
        oxlo_deserializer_read_u64(d, &v);
        return oxlo_recbuf_put_u64_len(w, k.str, k.len, v) ? -1 : 0;
    }
    case OXLO_SER_TYPE_INT32: {
        int32_t v = 0;
        oxlo_deserializer_read_i32(d, &v);
        return oxlo_recbuf_put_i32_len(w, k.str, k.len, v) ? -1 : 0;
    }
    case OXLO_SER_TYPE_INT64: {
        int64_t v = 0;
        oxlo_deserializer_read_i64(d, &v);
        return oxlo_recbuf_put_i64_len(w, k.str, k.len, v) ? -1 : 0;
    }
    case OXLO_SER_TYPE_FLOAT: {
        float v = 0;
        oxlo_deserializer_read_float(d, &v);
        return oxlo_recbuf_put_float_len(w, k.str, k.len, v, "%.3f") ? -1 : 0;
    }
    case OXLO_SER_TYPE_STRING: {
        oxlo_text_span t{};
        oxlo_deserializer_read_text(d, &t);
        return oxlo_recbuf_put_text_len(w, k.str, k.len, t.str, t.len) ? -1 : 0;
    }
    default:
        return -2;
    }
}

// Re-encodes the current item into the writer: 0, -1 or -2 as copy_all.
int copy_one(oxlo_recbuf *d, oxlo_recbuf *w, oxlo_recbuf_item_type vt, oxlo_recbuf_item_type kt)
{
    oxlo_text_span name{};
    switch (vt) {
    case OXLO_SER_TYPE_END_OF_RECORD: return oxlo_recbuf_end_record(w) ? -1 : 0;
    case OXLO_SER_TYPE_BLOCK_START:
        oxlo_deserializer_read_key_name(d, &name);
        return oxlo_recbuf_open_block_len(w, name.str, name.len) ? -1 : 0;
    case OXLO_SER_TYPE_BLOCK_END: return oxlo_recbuf_close_block(w) ? -1 : 0;
    case OXLO_SER_TYPE_LIST_START:
        oxlo_deserializer_read_key_name(d, &name);
        return oxlo_recbuf_open_list_len(w, name.str, name.len) ? -1 : 0;
    case OXLO_SER_TYPE_LIST_END: return oxlo_recbuf_close_list(w) ? -1 : 0;
    default: break;
    }
    if (kt == OXLO_SER_TYPE_UINT32)
        return copy_numeric_key(d, w, vt);
    if (kt == OXLO_SER_TYPE_STRING)
        return copy_text_key(d, w, vt);
    return -1;
}

} // namespace

extern "C" {

int oxlo_deserializer_init(oxlo_recbuf *d, const char *buffer, uint32_t len)
{
    if (!d || !buffer)
        return -3;
    memset(d, 0, sizeof *d);
    if (len < 2)
        return -1;
    if (buffer[0] != 1)
        return -2;
    // The reader only ever reads through this pointer.
    d->output.data = const_cast<char *>(buffer);
    d->output.size = len;
    d->cursor.size_used = 2;
    d->format = uint8_t(buffer[1]);
    return 0;
}

int oxlo_deserializer_init_from(oxlo_recbuf *d, const oxlo_recbuf *writer)
{
    if (!writer)
        return -3;
    return oxlo_deserializer_init(d, writer->output.data, writer->cursor.size_used);
}

uint8_t oxlo_deserializer_format(const oxlo_recbuf *d) { return d ? uint8_t(d->format) : 0; }

oxlo_recbuf_item_type oxlo_deserializer_item_type(oxlo_recbuf *d, oxlo_recbuf_item_type *key_type)
{
    item it;
    oxlo_recbuf_item_type kt = OXLO_SER_TYPE_NONE, vt = OXLO_SER_TYPE_NONE;
    if (current(d, it) == 0) {
        // Keys come only as unsigned numbers or texts; other codes stand as they are.
        kt = is_unsigned(it.key_code) ? OXLO_SER_TYPE_UINT32 : oxlo_recbuf_item_type(it.key_code);
        vt = widen(it.value_code);
    }
    if (key_type)
        *key_type = kt;
    return vt;
}

int oxlo_deserializer_skip_item(oxlo_recbuf *d)
{
    item it;
    if (current(d, it))
        return -2;
    d->cursor.size_used += it.size;
    return 0;
}

int oxlo_deserializer_read_key_id(oxlo_recbuf *d, uint32_t *key)
{
    item it;
    if (current(d, it))
        return -2;
    if (!is_unsigned(it.key_code))
        return -1;
    if (key)
        *key = uint32_t(read_be(bytes(d) + it.key_at, it.key_len));
    return 0;
}

int oxlo_deserializer_read_key_name(oxlo_recbuf *d, oxlo_text_span *key)
{
    item it;
    if (current(d, it))
        return -2;
    oxlo_text_span s{};
    if (it.key_code == OXLO_SER_TYPE_STRING)
        s = span(d, it.key_at, it.key_len);
    else if (it.value_code == OXLO_SER_TYPE_BLOCK_START || it.value_code == OXLO_SER_TYPE_LIST_START)
        s = span(d, it.value_at, it.value_len);
    else
        return -1; // a numeric key has no name
    if (key)
        *key = s;
    return 0;
}

int oxlo_deserializer_read_u32(oxlo_recbuf *d, uint32_t *value)
{
    item it;
    if (value)
        *value = 0;
    if (current(d, it))
        return -2;
    if (!is_unsigned(it.value_code))
        return -1;
    if (value)
        *value = uint32_t(read_be(bytes(d) + it.value_at, it.value_len));
    return 0;
}

int oxlo_deserializer_read_u64(oxlo_recbuf *d, uint64_t *value)
{
    item it;
    if (value)
        *value = 0;
    if (current(d, it))
        return -2;
    if (it.value_code != OXLO_SER_TYPE_UINT64 && !is_unsigned(it.value_code))
        return -1;
    if (value)
        *value = read_be(bytes(d) + it.value_at, it.value_len);
    return 0;
}

int oxlo_deserializer_read_i32(oxlo_recbuf *d, int32_t *value)
{
    item it;
    if (value)
        *value = 0;
    if (current(d, it))
        return -2;
    if (!is_signed(it.value_code))
        return -1;
    if (value)
        *value = int32_t(sign_extend(read_be(bytes(d) + it.value_at, it.value_len), it.value_len));
    return 0;
}

int oxlo_deserializer_read_i64(oxlo_recbuf *d, int64_t *value)
{
    item it;
    if (value)
        *value = 0;
    if (current(d, it))
        return -2;
    if (it.value_code != OXLO_SER_TYPE_INT64 && !is_signed(it.value_code))
        return -1;
    if (value)
        *value = sign_extend(read_be(bytes(d) + it.value_at, it.value_len), it.value_len);
    return 0;
}

int oxlo_deserializer_read_float(oxlo_recbuf *d, float *value)
{
    item it;
    if (value)
        *value = 0;
    if (current(d, it))
        return -2;
    if (it.value_code != OXLO_SER_TYPE_FLOAT)
        return -1;
    if (value)
        memcpy(value, bytes(d) + it.value_at, sizeof *value); // host order
    return 0;
}

int oxlo_deserializer_read_double(oxlo_recbuf *d, double *value)
{
    item it;
    if (value)
        *value = 0;
    return current(d, it) ? -2 : -1; // TLV carries no doubles
}

int oxlo_deserializer_read_text(oxlo_recbuf *d, oxlo_text_span *value)
{
    item it;
    if (current(d, it))
        return -2;
    if (it.value_code != OXLO_SER_TYPE_STRING)
        return -1;
    if (value)
        *value = span(d, it.value_at, it.value_len);
    return 0;
}

int oxlo_deserializer_copy_item(oxlo_recbuf *d, oxlo_recbuf *writer)
{
    if (!writer || writer->format != OXLO_SER_FORMAT_TLV || writer->output.initial_size == 0)
        return -3;
    item it;
    if (current(d, it))
        return -2;
    if (oxlo_recbuf_reserve(writer, it.size + 1))
        return -1;
    memcpy(writer->output.data + writer->cursor.size_used, d->output.data + d->cursor.size_used,
           it.size);
    writer->cursor.size_used += it.size;
    return 0;
}

int oxlo_deserializer_copy_all(oxlo_recbuf *d, oxlo_recbuf *writer)
{
    if (!d || !writer)
        return -1;
    for (;;) {
        oxlo_recbuf_item_type kt;
        oxlo_recbuf_item_type vt = oxlo_deserializer_item_type(d, &kt);
        if (vt == OXLO_SER_TYPE_NONE) {
            // A clean end is success; a truncated item or a type byte with
            // no value type in the middle of the data is not.
            if (d->cursor.flags & kTruncated || d->cursor.size_used < d->output.size)
                return -1;
            return 0;
        }
        int rc = copy_one(d, writer, vt, kt);
        if (rc)
            return rc;
        oxlo_deserializer_skip_item(d);
    }
}

} // extern "C"
