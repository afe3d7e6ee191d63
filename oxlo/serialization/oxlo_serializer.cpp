/* Record writer: key/value members in TLV, JSON (plain, JSON lines, inner)
 * or CSV. Every write first works out the room it needs at its largest and
 * grows the buffer, and only then touches the bytes, so a write that fails
 * leaves the record buffer exactly as it was. */
#include "oxlo_serializer.h"

#include "oxlo_memory.h"
#include "oxlo_private.h"
#include "oxlo_utils.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kDefaultSize = 256;
constexpr uint32_t kCsvHeaderSize = 1024;
constexpr size_t kMaxField = 0xFFFF; // keys, names and texts carry a 16-bit length
constexpr size_t kNumberRoom = 400;  // a double printed with "%f" takes up to 316 bytes

bool is_writer(const oxlo_recbuf *s)
{
    // Reader records are zeroed and keep no initial size: they must never grow
    // or free the buffer they walk.
    return s->output.initial_size != 0 && s->output.data != nullptr;
}

bool json_array(const oxlo_recbuf *s)
{
    return (s->cursor.flags & RECBUF_RECORD_ARRAY) && !s->multiline;
}

int grow(recbuf_growbuf &b, uint32_t used, size_t need)
{
    if (need <= b.size - used)
        return 0;
    uint64_t shortfall = uint64_t(used) + need - b.size;
    uint64_t step = shortfall;
    if (shortfall < 1024) {
        uint64_t floor = b.initial_size < 1024 ? b.initial_size : 1024;
        if (step < floor)
            step = floor;
    }
    uint64_t new_size = ((uint64_t(b.size) + step) & ~uint64_t(3)) + 4;
    if (new_size > UINT32_MAX)
        return -1;
    void *p = oxlo_heap_realloc(b.data, new_size);
    if (!p)
        return -1;
    b.data = static_cast<char *>(p);
    b.size = uint32_t(new_size);
    return 0;
}

int reserve(oxlo_recbuf *s, size_t need)
{
    return grow(s->output, s->cursor.size_used, need);
}

void put_byte(oxlo_recbuf *s, char c) { s->output.data[s->cursor.size_used++] = c; }

void put_bytes(oxlo_recbuf *s, const void *p, size_t n)
{
    if (n)
        memcpy(s->output.data + s->cursor.size_used, p, n);
    s->cursor.size_used += uint32_t(n);
}

void put_be(oxlo_recbuf *s, uint64_t v, unsigned width)
{
    for (unsigned i = 0; i < width; i++)
        put_byte(s, char(v >> (8 * (width - 1 - i))));
}

/* ---- keys and values ------------------------------------------------------ */

struct key_ref {
    bool numeric;
    uint32_t id;
    const char *name;
    size_t len;
};

key_ref id_key(uint32_t id) { return {true, id, nullptr, 0}; }

// A text key of digits only is the numeric key of that value, unless the
// number does not fit 32 bits: then it stays text rather than alias another key.
key_ref text_key(const char *name, size_t len)
{
    uint64_t v = 0;
    for (size_t i = 0; i < len; i++) {
        if (name[i] < '0' || name[i] > '9' || v > UINT32_MAX)
            return {false, 0, name, len};
        v = v * 10 + unsigned(name[i] - '0');
    }
    if (v > UINT32_MAX)
        return {false, 0, name, len};
    return id_key(uint32_t(v));
}

enum class vkind { unsigned_, signed_, float_, double_, text, boolean, raw_json, u32_text };

struct value_ref {
    vkind kind;
    uint64_t u = 0;
    int64_t i = 0;
    float f = 0;
    double d = 0;
    const char *format = nullptr;
    const char *text = nullptr;
    size_t len = 0;
    bool b = false;
    uint32_t arg1 = 0, arg2 = 0; // extra arguments of a caller's format
};

value_ref unsigned_value(uint64_t v)
{
    value_ref r{vkind::unsigned_};
    r.u = v;
    return r;
}

value_ref signed_value(int64_t v)
{
    value_ref r{vkind::signed_};
    r.i = v;
    return r;
}

value_ref text_value(vkind kind, const char *p, size_t n)
{
    value_ref r{kind};
    r.text = p ? p : "";
    r.len = p ? n : 0;
    return r;
}

bool has_text(const value_ref &v)
{
    return v.kind == vkind::text || v.kind == vkind::raw_json || v.kind == vkind::u32_text;
}

/* A number printed into a local buffer before the record is touched. */
struct number_text {
    char buf[kNumberRoom];
    size_t len = 0;
};

int print_value(number_text &out, const value_ref &v, bool json)
{
    int n;
    switch (v.kind) {
    case vkind::unsigned_:
        out.len = oxlo_decimal_text(out.buf, v.u);
        return 0;
    case vkind::signed_:
        if (v.i < 0) {
            out.buf[0] = '-';
            out.len = 1 + oxlo_decimal_text(out.buf + 1, 0 - uint64_t(v.i));
        } else {
            out.len = oxlo_decimal_text(out.buf, uint64_t(v.i));
        }
        return 0;
    case vkind::float_:
    case vkind::double_: {
        double d = v.kind == vkind::float_ ? double(v.f) : v.d;
        // JSON has no NaN or infinity; null keeps the document parseable.
        if (json && !std::isfinite(d))
            n = snprintf(out.buf, sizeof out.buf, "null");
        else
            n = snprintf(out.buf, sizeof out.buf, v.format ? v.format : "%.3f", d);
        break;
    }
    case vkind::boolean:
        n = snprintf(out.buf, sizeof out.buf, "%s", v.b ? "true" : "false");
        break;
    default:
        return -1;
    }
    if (n < 0 || size_t(n) >= sizeof out.buf)
        return -1;
    out.len = size_t(n);
    return 0;
}

/* ---- TLV ------------------------------------------------------------------ */

unsigned unsigned_width(uint64_t v, uint8_t &code)
{
    if (v < 0x100) { code = OXLO_SER_TYPE_UINT8; return 1; }
    if (v < 0x10000) { code = OXLO_SER_TYPE_UINT16; return 2; }
    if (v <= UINT32_MAX) { code = OXLO_SER_TYPE_UINT32; return 4; }
    code = OXLO_SER_TYPE_UINT64;
    return 8;
}

unsigned signed_width(int64_t v, uint8_t &code)
{
    if (v >= -128 && v <= 127) { code = OXLO_SER_TYPE_INT8; return 1; }
    if (v >= -32768 && v <= 32767) { code = OXLO_SER_TYPE_INT16; return 2; }
    if (v >= INT32_MIN && v <= INT32_MAX) { code = OXLO_SER_TYPE_INT32; return 4; }
    code = OXLO_SER_TYPE_INT64;
    return 8;
}

int tlv_member(oxlo_recbuf *s, const key_ref &k, const value_ref &v)
{
    uint8_t kcode = OXLO_SER_TYPE_STRING, vcode = 0;
    size_t kbytes = 2 + k.len, vbytes = 0;
    if (k.numeric)
        kbytes = unsigned_width(k.id, kcode);

    const char *text = v.text;
    size_t text_len = v.len;
    char printed[16];
    switch (v.kind) {
    case vkind::unsigned_: vbytes = unsigned_width(v.u, vcode); break;
    case vkind::signed_: vbytes = signed_width(v.i, vcode); break;
    case vkind::float_: vcode = OXLO_SER_TYPE_FLOAT; vbytes = 4; break;
    case vkind::u32_text: {
        int n = snprintf(printed, sizeof printed, v.format ? v.format : "%u", unsigned(v.u),
                         unsigned(v.arg1), unsigned(v.arg2));
        if (n < 0 || size_t(n) >= sizeof printed)
            return -1;
        text = printed;
        text_len = size_t(n);
    }
        [[fallthrough]];
    case vkind::text:
    case vkind::raw_json:
        vcode = OXLO_SER_TYPE_STRING;
        vbytes = 2 + text_len;
        break;
    default:
        return -1; // no double or boolean in TLV
    }
    if (reserve(s, 1 + kbytes + vbytes + 1))
        return -1;

    put_byte(s, char(kcode << 4 | vcode));
    if (k.numeric) {
        put_be(s, k.id, unsigned(kbytes));
    } else {
        put_be(s, k.len, 2);
        put_bytes(s, k.name, k.len);
    }
    switch (v.kind) {
    case vkind::unsigned_: put_be(s, v.u, unsigned(vbytes)); break;
    case vkind::signed_: put_be(s, uint64_t(v.i), unsigned(vbytes)); break;
    case vkind::float_: put_bytes(s, &v.f, 4); break; // host order, as peers expect
    default:
        put_be(s, text_len, 2);
        put_bytes(s, text, text_len);
        break;
    }
    s->cursor.flags |= RECBUF_SEPARATOR_DUE;
    return 0;
}

int tlv_named(oxlo_recbuf *s, uint8_t type, const char *name, size_t len)
{
    if (reserve(s, 3 + len + 1))
        return -1;
    put_byte(s, char(type));
    put_be(s, len, 2);
    put_bytes(s, name, len);
    return 0;
}

int tlv_marker(oxlo_recbuf *s, uint8_t type)
{
    if (reserve(s, 2))
        return -1;
    put_byte(s, char(type));
    return 0;
}

/* ---- JSON ----------------------------------------------------------------- */

// Length of a well-formed UTF-8 sequence at p (shortest form, no surrogates,
// nothing above U+10FFFF), or 0.
size_t utf8_sequence(const unsigned char *p, size_t n)
{
    auto cont = [&](size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
        return i < n && p[i] >= lo && p[i] <= hi;
    };
    unsigned char c = p[0];
    if (c >= 0xC2 && c <= 0xDF)
        return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        unsigned char lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
        return cont(1, lo, hi) && cont(2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        unsigned char lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
        return cont(1, lo, hi) && cont(2) && cont(3) ? 4 : 0;
    }
    return 0;
}

// Escaped JSON string of n input bytes; at most 2n + 2 output bytes. Bytes
// that are not printable ASCII, a named escape or part of a well-formed UTF-8
// sequence are dropped, so the output is always valid UTF-8 JSON.
size_t json_escape_text(char *out, const char *in, size_t n)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(in);
    char *o = out;
    *o++ = '"';
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        const char *named = nullptr;
        switch (c) {
        case '\b': named = "\\b"; break;
        case '\t': named = "\\t"; break;
        case '\n': named = "\\n"; break;
        case '\f': named = "\\f"; break;
        case '\r': named = "\\r"; break;
        case '"': named = "\\\""; break;
        case '/': named = "\\/"; break;
        case '\\': named = "\\\\"; break;
        default: break;
        }
        if (named) {
            *o++ = named[0];
            *o++ = named[1];
            i++;
        } else if (c >= 0x20 && c <= 0x7E) {
            *o++ = char(c);
            i++;
        } else if (size_t len = c >= 0x80 ? utf8_sequence(p + i, n - i) : 0) {
            memcpy(o, p + i, len);
            o += len;
            i += len;
        } else {
            i++;
        }
    }
    *o++ = '"';
    return size_t(o - out);
}

size_t json_escaped_room(size_t n) { return 2 * n + 2; }

void put_escaped(oxlo_recbuf *s, const char *p, size_t n)
{
    s->cursor.size_used += uint32_t(json_escape_text(s->output.data + s->cursor.size_used, p, n));
}

void take_back(oxlo_recbuf *s, char c)
{
    uint32_t &used = s->cursor.size_used;
    if (used > 0 && s->output.data[used - 1] == c)
        used--;
}

// Room for starting a member and closing it again: a new record's "\n{" or
// ",{", a comma, the closing "]}]" and a NUL.
constexpr size_t kJsonFrame = 8;

// Starts a member: opens a new record or takes back the closing characters,
// then writes the comma the member needs.
void json_begin(oxlo_recbuf *s)
{
    uint32_t &f = s->cursor.flags;
    if (f & RECBUF_END_OF_RECORD) {
        f &= ~RECBUF_END_OF_RECORD;
        if (s->multiline)
            put_byte(s, '\n');
        else if (s->cursor.size_used > 0)
            s->output.data[s->cursor.size_used - 1] = ','; // the array's "]"
        if (!s->inner)
            put_byte(s, '{');
    } else {
        if (json_array(s))
            take_back(s, ']');
        if (!s->inner)
            take_back(s, '}');
        if (f & RECBUF_IN_LIST)
            take_back(s, ']');
    }
    if (f & RECBUF_IN_LIST) {
        if (f & RECBUF_LIST_OPENED)
            f &= ~RECBUF_LIST_OPENED;
        else
            put_byte(s, ',');
    } else if (f & RECBUF_BLOCK_OPENED) {
        f &= ~RECBUF_BLOCK_OPENED;
    } else if (f & RECBUF_MEMBER_WRITTEN) {
        put_byte(s, ',');
    }
}

// Puts back the closing characters of what is open.
void json_finish(oxlo_recbuf *s)
{
    if (s->cursor.flags & RECBUF_IN_LIST)
        put_byte(s, ']');
    if (!s->inner)
        put_byte(s, '}');
    if (json_array(s))
        put_byte(s, ']');
}

size_t json_key_room(const oxlo_recbuf *s, const key_ref &k)
{
    if (s->cursor.flags & RECBUF_IN_LIST)
        return 0;
    return k.numeric ? 13 : json_escaped_room(k.len) + 1;
}

void json_key(oxlo_recbuf *s, const key_ref &k)
{
    if (s->cursor.flags & RECBUF_IN_LIST)
        return; // list items are bare values
    if (k.numeric) {
        put_byte(s, '"');
        s->cursor.size_used += uint32_t(oxlo_decimal_text(s->output.data + s->cursor.size_used, k.id));
        put_bytes(s, "\":", 2);
    } else {
        put_escaped(s, k.name, k.len);
        put_byte(s, ':');
    }
}

int json_member(oxlo_recbuf *s, const key_ref &k, const value_ref &v)
{
    number_text num;
    bool escaped = v.kind == vkind::text;
    bool raw = v.kind == vkind::raw_json;
    if (v.kind == vkind::u32_text) {
        if (print_value(num, unsigned_value(v.u), true))
            return -1;
    } else if (!escaped && !raw && print_value(num, v, true)) {
        return -1;
    }
    size_t vroom = escaped ? json_escaped_room(v.len) : raw ? v.len : num.len;
    if (reserve(s, kJsonFrame + json_key_room(s, k) + vroom))
        return -1;

    json_begin(s);
    json_key(s, k);
    if (escaped)
        put_escaped(s, v.text, v.len);
    else if (raw)
        put_bytes(s, v.text, v.len);
    else
        put_bytes(s, num.buf, num.len);
    json_finish(s);
    s->cursor.flags |= RECBUF_MEMBER_WRITTEN | RECBUF_SEPARATOR_DUE;
    return 0;
}

int json_open(oxlo_recbuf *s, const char *name, size_t len, bool list)
{
    // A block or list inside a list would need closing characters the
    // record cannot track; refuse rather than write broken JSON.
    if (s->cursor.flags & RECBUF_IN_LIST)
        return -1;
    if (reserve(s, kJsonFrame + json_escaped_room(len) + 4))
        return -1;
    json_begin(s);
    put_escaped(s, name, len);
    put_bytes(s, list ? ": [" : ": {", 3);
    if (list)
        s->cursor.flags |= RECBUF_IN_LIST | RECBUF_LIST_OPENED;
    else
        s->cursor.flags |= RECBUF_BLOCK_OPENED;
    json_finish(s);
    s->cursor.flags |= RECBUF_MEMBER_WRITTEN;
    return 0;
}

int json_close_block(oxlo_recbuf *s)
{
    if (s->cursor.flags & RECBUF_IN_LIST)
        return -1; // the list must be closed first
    if (reserve(s, 4))
        return -1;
    s->cursor.flags &= ~RECBUF_BLOCK_OPENED;
    bool array = json_array(s);
    if (array)
        take_back(s, ']');
    // The enclosing object's "}" (or, inner, the block's own) is written now,
    // so the brace is no longer due for a later member.
    put_byte(s, '}');
    if (array)
        put_byte(s, ']');
    s->cursor.flags = (s->cursor.flags & ~RECBUF_CLOSE_BRACE_DUE) | RECBUF_MEMBER_WRITTEN;
    return 0;
}

void json_end_record(oxlo_recbuf *s)
{
    uint32_t &f = s->cursor.flags;
    if (s->multiline) {
        put_byte(s, '\n');
        s->output.data[s->cursor.size_used] = '\0';
    } else if (!(f & RECBUF_RECORD_ARRAY)) {
        s->output.data[0] = '[';
        put_byte(s, ']');
    }
    f &= ~(RECBUF_MEMBER_WRITTEN | RECBUF_SEPARATOR_DUE);
    f |= RECBUF_RECORD_ARRAY | RECBUF_END_OF_RECORD;
}

// What a JSON buffer holds right after a reset.
const char *json_empty(const oxlo_recbuf *s)
{
    if (s->inner)
        return s->multiline ? "" : " ";
    return s->multiline ? "{}" : " {}";
}

bool json_is_empty(const oxlo_recbuf *s)
{
    const char *e = json_empty(s);
    size_t n = strlen(e);
    return (s->cursor.flags & (RECBUF_MEMBER_WRITTEN | RECBUF_RECORD_ARRAY)) == 0 &&
           s->cursor.size_used == n && memcmp(s->output.data, e, n) == 0;
}

/* ---- CSV ------------------------------------------------------------------ */

bool csv_needs_quotes(const oxlo_recbuf *s, const char *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i] == s->separator[0] || p[i] == '"' || p[i] == '\n' || p[i] == '\r')
            return true;
    return false;
}

int csv_member(oxlo_recbuf *s, const key_ref &k, const value_ref &v)
{
    number_text num;
    const char *text = v.text;
    size_t len = v.len;
    if (v.kind == vkind::u32_text) {
        int n = snprintf(num.buf, 16, v.format ? v.format : "%u", unsigned(v.u), v.arg1,
                         v.arg2);
        if (n < 0 || n >= 16)
            return -1;
        text = num.buf;
        len = size_t(n);
    } else if (!has_text(v)) {
        if (print_value(num, v, false))
            return -1;
        text = num.buf;
        len = num.len;
    }
    // A text holding the separator, a quote or a line break would split the
    // record; such a value alone is quoted, its quotes doubled.
    bool quote = has_text(v) && csv_needs_quotes(s, text, len);

    uint32_t &f = s->cursor.flags;
    bool header = !(f & RECBUF_CSV_HEADER_DONE) && s->header.data;
    char id[16];
    const char *name = k.name;
    size_t name_len = k.len;
    if (k.numeric) {
        name_len = size_t(snprintf(id, sizeof id, "%u", k.id));
        name = id;
    }
    if (header && grow(s->header, s->cursor.header_size_used, name_len + 2))
        return -1;
    if (reserve(s, 1 + (quote ? 2 * len + 2 : len) + 1))
        return -1;

    if (header) {
        char *h = s->header.data;
        uint32_t &hu = s->cursor.header_size_used;
        if (hu > 0)
            h[hu++] = s->separator[0];
        memcpy(h + hu, name, name_len);
        hu += uint32_t(name_len);
        h[hu] = '\0';
    }
    f &= ~RECBUF_END_OF_RECORD;
    if (f & RECBUF_SEPARATOR_DUE)
        put_byte(s, s->separator[0]);
    if (!quote) {
        put_bytes(s, text, len);
    } else {
        put_byte(s, '"');
        for (size_t i = 0; i < len; i++) {
            if (text[i] == '"')
                put_byte(s, '"');
            put_byte(s, text[i]);
        }
        put_byte(s, '"');
    }
    f |= RECBUF_SEPARATOR_DUE | RECBUF_MEMBER_WRITTEN;
    return 0;
}

/* ---- dispatch ------------------------------------------------------------- */

int put_member(oxlo_recbuf *s, const key_ref &k, const value_ref &v)
{
    if (!s)
        return -2;
    if (!is_writer(s))
        return -1;
    // A length that does not fit its 16-bit field is refused, never cut.
    if ((!k.numeric && k.len > kMaxField) || (has_text(v) && v.len > kMaxField))
        return -1;
    if (!k.numeric && !k.name && k.len)
        return -1;
    switch (s->format) {
    case OXLO_SER_FORMAT_TLV: return tlv_member(s, k, v);
    case OXLO_SER_FORMAT_JSON: return json_member(s, k, v);
    case OXLO_SER_FORMAT_CSV: return csv_member(s, k, v);
    default: return -1;
    }
}

int put_text_key(oxlo_recbuf *s, const char *key, size_t key_len, const value_ref &v)
{
    if (!key && key_len)
        return s ? -1 : -2;
    return put_member(s, text_key(key ? key : "", key_len), v);
}

int put_cstr_key(oxlo_recbuf *s, const char *key, const value_ref &v)
{
    return put_text_key(s, key, key ? strlen(key) : 0, v);
}

int open_named(oxlo_recbuf *s, const char *name, size_t len, bool list)
{
    if (!s)
        return -2;
    if (!is_writer(s) || len > kMaxField || (!name && len))
        return -1;
    if (!name)
        name = "";
    switch (s->format) {
    case OXLO_SER_FORMAT_TLV:
        return tlv_named(s, list ? OXLO_SER_TYPE_LIST_START : OXLO_SER_TYPE_BLOCK_START, name, len);
    case OXLO_SER_FORMAT_JSON: return json_open(s, name, len, list);
    default: return -1;
    }
}

// Writes back the closing characters that later writes may have taken back
// or overwritten, as the flags of a restored cursor say they stand.
void json_repair(oxlo_recbuf *s)
{
    uint32_t f = s->cursor.flags;
    char *d = s->output.data;
    uint32_t used = s->cursor.size_used;
    if ((f & (RECBUF_MEMBER_WRITTEN | RECBUF_RECORD_ARRAY | RECBUF_END_OF_RECORD)) == 0 &&
        used == strlen(json_empty(s))) {
        memcpy(d, json_empty(s), used);
        return;
    }
    if (!s->multiline)
        d[0] = (f & RECBUF_RECORD_ARRAY) ? '[' : ' ';
    if (s->multiline && (f & RECBUF_END_OF_RECORD))
        return; // the record ends in "\n", which no later write takes back
    char tail[3];
    size_t n = 0;
    if (f & RECBUF_IN_LIST)
        tail[n++] = ']';
    if (!s->inner)
        tail[n++] = '}';
    if (json_array(s))
        tail[n++] = ']';
    if (used >= n)
        memcpy(d + used - n, tail, n);
}

} // namespace

extern "C" {

int oxlo_recbuf_reserve(oxlo_recbuf *s, size_t need)
{
    if (!s)
        return -2;
    return is_writer(s) ? reserve(s, need) : -1;
}

int oxlo_recbuf_init_sized(oxlo_recbuf *s, oxlo_recbuf_format format, uint32_t initial_size)
{
    if (!s)
        return -2;
    memset(s, 0, sizeof *s);
    if (format < OXLO_SER_FORMAT_TLV || format > OXLO_SER_FORMAT_JSON_INNER || initial_size <= 2)
        return -1;
    if (format == OXLO_SER_FORMAT_JSON_LINES)
        s->multiline = 1;
    if (format == OXLO_SER_FORMAT_JSON_INNER)
        s->inner = 1;
    s->format = format > OXLO_SER_FORMAT_CSV ? OXLO_SER_FORMAT_JSON : format;
    s->output.data = static_cast<char *>(oxlo_heap_calloc(1, initial_size));
    if (!s->output.data)
        return -1;
    s->output.initial_size = s->output.size = initial_size;
    if (s->format == OXLO_SER_FORMAT_TLV) {
        s->output.data[0] = 1; // version
        s->output.data[1] = 1; // format
    } else if (s->format == OXLO_SER_FORMAT_CSV) {
        s->header.data = static_cast<char *>(oxlo_heap_calloc(1, kCsvHeaderSize));
        if (!s->header.data) {
            oxlo_recbuf_release(s);
            return -1;
        }
        s->header.initial_size = s->header.size = kCsvHeaderSize;
    }
    s->separator[0] = ',';
    oxlo_recbuf_reset(s);
    return 0;
}

int oxlo_recbuf_init(oxlo_recbuf *s, oxlo_recbuf_format format)
{
    return oxlo_recbuf_init_sized(s, format, kDefaultSize);
}

void oxlo_recbuf_release(oxlo_recbuf *s)
{
    if (!s)
        return;
    if (s->output.initial_size != 0) // a reader's buffer is not ours to free
        oxlo_heap_free(s->output.data);
    oxlo_heap_free(s->header.data);
    s->output = recbuf_growbuf{};
    s->header = recbuf_growbuf{};
    s->cursor.size_used = s->cursor.header_size_used = 0;
}

void oxlo_recbuf_reset(oxlo_recbuf *s)
{
    if (!s || !is_writer(s))
        return;
    s->cursor.flags = 0;
    s->has_saved_state = 0;
    switch (s->format) {
    case OXLO_SER_FORMAT_TLV:
        s->output.data[0] = 1;
        s->output.data[1] = 1;
        s->cursor.size_used = 2;
        break;
    case OXLO_SER_FORMAT_CSV:
        s->cursor.size_used = 0;
        s->cursor.header_size_used = 0;
        if (s->header.data)
            s->header.data[0] = '\0';
        break;
    case OXLO_SER_FORMAT_JSON: {
        const char *e = json_empty(s);
        s->cursor.size_used = uint32_t(strlen(e));
        memcpy(s->output.data, e, s->cursor.size_used);
        break;
    }
    default:
        break;
    }
    if (s->cursor.size_used < s->output.size)
        s->output.data[s->cursor.size_used] = '\0';
}

void oxlo_recbuf_disable_csv_header(oxlo_recbuf *s)
{
    if (s)
        s->cursor.flags |= RECBUF_CSV_HEADER_DONE;
}

void oxlo_recbuf_csv_separator_set(oxlo_recbuf *s, char separator)
{
    if (s)
        s->separator[0] = separator;
}

char *oxlo_recbuf_output(oxlo_recbuf *s, uint32_t *len)
{
    if (!s || !s->output.data) {
        if (len)
            *len = 0;
        return nullptr;
    }
    char *d = s->output.data;
    uint32_t n = s->cursor.size_used;
    if (is_writer(s) && n < s->output.size)
        d[n] = '\0';
    if (s->format == OXLO_SER_FORMAT_JSON) {
        while (n > 0 && (*d == ' ' || *d == '\0')) {
            d++;
            n--;
        }
    }
    if (len)
        *len = n;
    return d;
}

uint32_t oxlo_recbuf_output_len(const oxlo_recbuf *s) { return s ? s->cursor.size_used : 0; }

uint32_t oxlo_recbuf_capacity(const oxlo_recbuf *s) { return s ? s->output.size : 0; }

int oxlo_recbuf_set_output_len(oxlo_recbuf *s, uint32_t len)
{
    if (!s)
        return -2;
    if (len >= s->output.size)
        return -1;
    s->cursor.size_used = len;
    return 0;
}

const char *oxlo_recbuf_csv_header(oxlo_recbuf *s, uint32_t *len)
{
    if (!s || !s->header.data) {
        if (len)
            *len = 0;
        return "";
    }
    if (s->cursor.header_size_used < s->header.size)
        s->header.data[s->cursor.header_size_used] = '\0';
    if (len)
        *len = s->cursor.header_size_used;
    return s->header.data;
}

oxlo_recbuf_format oxlo_recbuf_format_in_use(const oxlo_recbuf *s)
{
    return oxlo_recbuf_format(s ? s->format : 0);
}

int oxlo_recbuf_end_record(oxlo_recbuf *s)
{
    if (!s)
        return -2;
    if (!is_writer(s) || reserve(s, 2))
        return -1;
    uint32_t &f = s->cursor.flags;
    switch (s->format) {
    case OXLO_SER_FORMAT_TLV:
        put_byte(s, OXLO_SER_TYPE_END_OF_RECORD);
        f &= ~RECBUF_SEPARATOR_DUE;
        return 0;
    case OXLO_SER_FORMAT_CSV:
        put_byte(s, '\n');
        s->output.data[s->cursor.size_used] = '\0';
        f = (f & ~RECBUF_SEPARATOR_DUE) | RECBUF_END_OF_RECORD | RECBUF_CSV_HEADER_DONE;
        return 0;
    case OXLO_SER_FORMAT_JSON:
        json_end_record(s);
        return 0;
    default:
        return -1;
    }
}

int oxlo_recbuf_append_record(oxlo_recbuf *s, const char *bytes, uint32_t len)
{
    if (!s)
        return -2;
    if (!is_writer(s) || (!bytes && len))
        return -1;
    if (s->format == OXLO_SER_FORMAT_JSON && s->inner)
        return -1; // the inner variant holds members, not records
    // Room for the bytes, a leading "," or "\n", the array's "]", a record
    // ended first, and the end of record itself.
    if (reserve(s, size_t(len) + 8))
        return -1;
    switch (s->format) {
    case OXLO_SER_FORMAT_TLV:
    case OXLO_SER_FORMAT_CSV:
        put_bytes(s, bytes, len);
        break;
    case OXLO_SER_FORMAT_JSON:
        if (json_is_empty(s)) {
            s->cursor.size_used -= 2; // replace the empty "{}"
            put_bytes(s, bytes, len);
            break;
        }
        // A record still open is ended first, so the appended one follows it
        // instead of landing inside it.
        if (!(s->cursor.flags & RECBUF_END_OF_RECORD))
            json_end_record(s);
        if (!s->multiline) {
            s->output.data[s->cursor.size_used - 1] = ',';
            put_bytes(s, bytes, len);
            put_byte(s, ']');
        } else {
            put_bytes(s, bytes, len);
        }
        break;
    default:
        return -1;
    }
    return oxlo_recbuf_end_record(s);
}

int oxlo_recbuf_open_block_len(oxlo_recbuf *s, const char *name, size_t len)
{
    return open_named(s, name, len, false);
}

int oxlo_recbuf_open_block(oxlo_recbuf *s, const char *name)
{
    return open_named(s, name, name ? strlen(name) : 0, false);
}

int oxlo_recbuf_open_block_id(oxlo_recbuf *s, uint32_t id)
{
    char buf[16];
    int n = snprintf(buf, sizeof buf, "%u", id);
    if (n <= 0 || n > 10)
        return -1;
    return open_named(s, buf, size_t(n), false);
}

int oxlo_recbuf_close_block(oxlo_recbuf *s)
{
    if (!s)
        return -2;
    if (!is_writer(s))
        return -1;
    switch (s->format) {
    case OXLO_SER_FORMAT_TLV: return tlv_marker(s, OXLO_SER_TYPE_BLOCK_END);
    case OXLO_SER_FORMAT_JSON: return json_close_block(s);
    default: return -1;
    }
}

int oxlo_recbuf_open_list_len(oxlo_recbuf *s, const char *name, size_t len)
{
    return open_named(s, name, len, true);
}

int oxlo_recbuf_open_list(oxlo_recbuf *s, const char *name)
{
    return open_named(s, name, name ? strlen(name) : 0, true);
}

int oxlo_recbuf_close_list(oxlo_recbuf *s)
{
    if (!s)
        return -2;
    if (!is_writer(s))
        return -1;
    switch (s->format) {
    case OXLO_SER_FORMAT_TLV: return tlv_marker(s, OXLO_SER_TYPE_LIST_END);
    case OXLO_SER_FORMAT_JSON:
        // The list's "]" already stands in place.
        s->cursor.flags &= ~(RECBUF_IN_LIST | RECBUF_LIST_OPENED);
        return 0;
    default: return -1;
    }
}

void oxlo_recbuf_save_state(oxlo_recbuf *s)
{
    if (!s)
        return;
    s->saved = s->cursor;
    s->has_saved_state = 1;
}

void oxlo_recbuf_restore_state(oxlo_recbuf *s)
{
    if (!s || !s->has_saved_state || !is_writer(s))
        return;
    s->cursor = s->saved;
    s->has_saved_state = 0;
    if (s->format == OXLO_SER_FORMAT_JSON)
        json_repair(s);
    if (s->cursor.size_used < s->output.size)
        s->output.data[s->cursor.size_used] = '\0';
    if (s->header.data && s->cursor.header_size_used < s->header.size)
        s->header.data[s->cursor.header_size_used] = '\0';
}

/* ---- members -------------------------------------------------------------- */

int oxlo_recbuf_put_id_u32(oxlo_recbuf *s, uint32_t key, uint32_t value)
{
    return put_member(s, id_key(key), unsigned_value(value));
}

int oxlo_recbuf_put_id_u64(oxlo_recbuf *s, uint32_t key, uint64_t value)
{
    return put_member(s, id_key(key), unsigned_value(value));
}

int oxlo_recbuf_put_id_i32(oxlo_recbuf *s, uint32_t key, int32_t value)
{
    return put_member(s, id_key(key), signed_value(value));
}

int oxlo_recbuf_put_id_i64(oxlo_recbuf *s, uint32_t key, int64_t value)
{
    return put_member(s, id_key(key), signed_value(value));
}

static value_ref float_value(float value, const char *format)
{
    value_ref v{vkind::float_};
    v.f = value;
    v.format = format;
    return v;
}

static value_ref double_value(double value, const char *format)
{
    value_ref v{vkind::double_};
    v.d = value;
    v.format = format;
    return v;
}

static value_ref bool_value(bool b)
{
    value_ref v{vkind::boolean};
    v.b = b;
    return v;
}

int oxlo_recbuf_put_id_float(oxlo_recbuf *s, uint32_t key, float value, const char *format)
{
    return put_member(s, id_key(key), float_value(value, format));
}

int oxlo_recbuf_put_id_double(oxlo_recbuf *s, uint32_t key, double value, const char *format)
{
    return put_member(s, id_key(key), double_value(value, format));
}

int oxlo_recbuf_put_id_text_len(oxlo_recbuf *s, uint32_t key, const char *value, size_t len)
{
    if (!value && len)
        return s ? -1 : -2;
    return put_member(s, id_key(key), text_value(vkind::text, value, len));
}

int oxlo_recbuf_put_id_text(oxlo_recbuf *s, uint32_t key, const char *value)
{
    return oxlo_recbuf_put_id_text_len(s, key, value, value ? strlen(value) : 0);
}

int oxlo_recbuf_put_id_bool(oxlo_recbuf *s, uint32_t key, bool value)
{
    return put_member(s, id_key(key), bool_value(value));
}

int oxlo_recbuf_put_u32_len(oxlo_recbuf *s, const char *key, size_t key_len, uint32_t value)
{
    return put_text_key(s, key, key_len, unsigned_value(value));
}

int oxlo_recbuf_put_u32(oxlo_recbuf *s, const char *key, uint32_t value)
{
    return put_cstr_key(s, key, unsigned_value(value));
}

int oxlo_recbuf_put_u64_len(oxlo_recbuf *s, const char *key, size_t key_len, uint64_t value)
{
    return put_text_key(s, key, key_len, unsigned_value(value));
}

int oxlo_recbuf_put_u64(oxlo_recbuf *s, const char *key, uint64_t value)
{
    return put_cstr_key(s, key, unsigned_value(value));
}

int oxlo_recbuf_put_i32_len(oxlo_recbuf *s, const char *key, size_t key_len, int32_t value)
{
    return put_text_key(s, key, key_len, signed_value(value));
}

int oxlo_recbuf_put_i32(oxlo_recbuf *s, const char *key, int32_t value)
{
    return put_cstr_key(s, key, signed_value(value));
}

int oxlo_recbuf_put_i64_len(oxlo_recbuf *s, const char *key, size_t key_len, int64_t value)
{
    return put_text_key(s, key, key_len, signed_value(value));
}

int oxlo_recbuf_put_i64(oxlo_recbuf *s, const char *key, int64_t value)
{
    return put_cstr_key(s, key, signed_value(value));
}

int oxlo_recbuf_put_float_len(oxlo_recbuf *s, const char *key, size_t key_len, float value,
                              const char *format)
{
    return put_text_key(s, key, key_len, float_value(value, format));
}

int oxlo_recbuf_put_float(oxlo_recbuf *s, const char *key, float value, const char *format)
{
    return put_cstr_key(s, key, float_value(value, format));
}

int oxlo_recbuf_put_double_len(oxlo_recbuf *s, const char *key, size_t key_len, double value,
                               const char *format)
{
    return put_text_key(s, key, key_len, double_value(value, format));
}

int oxlo_recbuf_put_double(oxlo_recbuf *s, const char *key, double value, const char *format)
{
    return put_cstr_key(s, key, double_value(value, format));
}

int oxlo_recbuf_put_text_len(oxlo_recbuf *s, const char *key, size_t key_len, const char *value,
                             size_t value_len)
{
    if (!value && value_len)
        return s ? -1 : -2;
    return put_text_key(s, key, key_len, text_value(vkind::text, value, value_len));
}

int oxlo_recbuf_put_text_bytes(oxlo_recbuf *s, const char *key, const void *value,
                               size_t value_len)
{
    return oxlo_recbuf_put_text_value_len(s, key, static_cast<const char *>(value), value_len);
}

int oxlo_recbuf_put_text_value_len(oxlo_recbuf *s, const char *key, const char *value,
                                   size_t value_len)
{
    if (!value && value_len)
        return s ? -1 : -2;
    return put_cstr_key(s, key, text_value(vkind::text, value, value_len));
}

int oxlo_recbuf_put_text(oxlo_recbuf *s, const char *key, const char *value)
{
    return put_cstr_key(s, key, text_value(vkind::text, value, value ? strlen(value) : 0));
}

int oxlo_recbuf_put_raw_json(oxlo_recbuf *s, const char *key, const char *value,
                             size_t value_len)
{
    if (!value && value_len)
        return s ? -1 : -2;
    return put_cstr_key(s, key, text_value(vkind::raw_json, value, value_len));
}

int oxlo_recbuf_put_u32_as_text(oxlo_recbuf *s, const char *key, uint32_t value,
                                const char *format, uint32_t arg1, uint32_t arg2)
{
    value_ref v{vkind::u32_text};
    v.u = value;
    v.format = format;
    v.arg1 = arg1;
    v.arg2 = arg2;
    v.text = "";
    return put_cstr_key(s, key, v);
}

int oxlo_recbuf_put_bool_len(oxlo_recbuf *s, const char *key, size_t key_len, bool value)
{
    return put_text_key(s, key, key_len, bool_value(value));
}

int oxlo_recbuf_put_bool(oxlo_recbuf *s, const char *key, bool value)
{
    return put_cstr_key(s, key, bool_value(value));
}

} // extern "C"
