/* Oxlo serializer: a record writer with three encodings (TLV binary, JSON
 * with its JSON-lines and inner variants, CSV) and a reader that walks TLV
 * buffers and can re-encode them into any of the writer's formats.
 *
 * Writers return 0 on success, -1 when the buffer cannot grow, a piece does
 * not fit, a length does not fit its 16-bit field or the format does not
 * support the operation, and -2 for a null serializer. A write that fails
 * leaves the record buffer exactly as it was before the call. */
#ifndef OXLO_SERIALIZER_H
#define OXLO_SERIALIZER_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    OXLO_SER_FORMAT_TLV = 1,
    OXLO_SER_FORMAT_JSON = 2,
    OXLO_SER_FORMAT_CSV = 3,
    /* Init arguments only: stored as JSON with the multiline / inner mark. */
    OXLO_SER_FORMAT_JSON_LINES = 4,
    OXLO_SER_FORMAT_JSON_INNER = 5
} oxlo_recbuf_format;

/* TLV type codes: the high nibble of an item's type byte is the key's code,
 * the low nibble the value's. */
typedef enum {
    OXLO_SER_TYPE_NONE = 0,
    OXLO_SER_TYPE_END_OF_RECORD = 1,
    OXLO_SER_TYPE_UINT8 = 2,
    OXLO_SER_TYPE_UINT16 = 3,
    OXLO_SER_TYPE_UINT32 = 4,
    OXLO_SER_TYPE_UINT64 = 5,
    OXLO_SER_TYPE_INT8 = 6,
    OXLO_SER_TYPE_INT16 = 7,
    OXLO_SER_TYPE_INT32 = 8,
    OXLO_SER_TYPE_INT64 = 9,
    OXLO_SER_TYPE_FLOAT = 10,
    OXLO_SER_TYPE_STRING = 11,
    OXLO_SER_TYPE_BLOCK_START = 12,
    OXLO_SER_TYPE_BLOCK_END = 13,
    OXLO_SER_TYPE_LIST_START = 14,
    OXLO_SER_TYPE_LIST_END = 15
} oxlo_recbuf_item_type;

/* Status flags kept in the cursor's first word. */
enum {
    RECBUF_MEMBER_WRITTEN = 0x001,
    RECBUF_RECORD_ARRAY = 0x002,
    RECBUF_END_OF_RECORD = 0x004,
    RECBUF_BLOCK_OPENED = 0x008,
    RECBUF_SEPARATOR_DUE = 0x010,
    RECBUF_IN_LIST = 0x020,
    RECBUF_LIST_OPENED = 0x040,
    RECBUF_CSV_HEADER_DONE = 0x080,
    RECBUF_CLOSE_BRACE_DUE = 0x100
};

typedef struct {
    uint32_t flags;
    uint32_t size_used;        /* output bytes used; the read position for a reader */
    uint32_t header_size_used; /* CSV header bytes used */
} recbuf_cursor;

typedef struct {
    uint32_t initial_size;
    uint32_t size; /* allocated */
    char *data;
} recbuf_growbuf;

typedef struct oxlo_recbuf {
    recbuf_cursor cursor;
    recbuf_growbuf output;
    recbuf_growbuf header;
    uint32_t format; /* oxlo_recbuf_format: 1, 2 or 3 */
    char separator[2];
    uint8_t has_saved_state;
    uint8_t multiline;
    uint8_t inner;
    recbuf_cursor saved;
} oxlo_recbuf;

/* A view into a TLV buffer: not copied, not NUL-terminated. */
typedef struct {
    const char *str;
    uint16_t len;
} oxlo_text_span;

/* ---- set-up and access --------------------------------------------------- */

int oxlo_recbuf_init_sized(oxlo_recbuf *s, oxlo_recbuf_format format, uint32_t initial_size);
int oxlo_recbuf_init(oxlo_recbuf *s, oxlo_recbuf_format format);
void oxlo_recbuf_release(oxlo_recbuf *s);
void oxlo_recbuf_reset(oxlo_recbuf *s);
void oxlo_recbuf_disable_csv_header(oxlo_recbuf *s);
void oxlo_recbuf_csv_separator_set(oxlo_recbuf *s, char separator);
/* The output bytes (owned by the serializer, valid until the next write,
 * reset or release) and their length. JSON skips the reserved leading blank,
 * so a caller gets '{...}' for one record and '[{...},{...}]' for several. */
char *oxlo_recbuf_output(oxlo_recbuf *s, uint32_t *len);
uint32_t oxlo_recbuf_output_len(const oxlo_recbuf *s);
uint32_t oxlo_recbuf_capacity(const oxlo_recbuf *s);
int oxlo_recbuf_set_output_len(oxlo_recbuf *s, uint32_t len);
const char *oxlo_recbuf_csv_header(oxlo_recbuf *s, uint32_t *len);
oxlo_recbuf_format oxlo_recbuf_format_in_use(const oxlo_recbuf *s);

/* ---- records, blocks, lists, snapshot ------------------------------------ */

int oxlo_recbuf_end_record(oxlo_recbuf *s);
int oxlo_recbuf_append_record(oxlo_recbuf *s, const char *bytes, uint32_t len);
int oxlo_recbuf_open_block_len(oxlo_recbuf *s, const char *name, size_t len);
int oxlo_recbuf_open_block(oxlo_recbuf *s, const char *name);
int oxlo_recbuf_open_block_id(oxlo_recbuf *s, uint32_t id);
int oxlo_recbuf_close_block(oxlo_recbuf *s);
int oxlo_recbuf_open_list_len(oxlo_recbuf *s, const char *name, size_t len);
int oxlo_recbuf_open_list(oxlo_recbuf *s, const char *name);
int oxlo_recbuf_close_list(oxlo_recbuf *s);
void oxlo_recbuf_save_state(oxlo_recbuf *s);
void oxlo_recbuf_restore_state(oxlo_recbuf *s);

/* ---- members with a numeric key ------------------------------------------ */

int oxlo_recbuf_put_id_u32(oxlo_recbuf *s, uint32_t key, uint32_t value);
int oxlo_recbuf_put_id_u64(oxlo_recbuf *s, uint32_t key, uint64_t value);
int oxlo_recbuf_put_id_i32(oxlo_recbuf *s, uint32_t key, int32_t value);
int oxlo_recbuf_put_id_i64(oxlo_recbuf *s, uint32_t key, int64_t value);
int oxlo_recbuf_put_id_float(oxlo_recbuf *s, uint32_t key, float value, const char *format);
int oxlo_recbuf_put_id_double(oxlo_recbuf *s, uint32_t key, double value, const char *format);
int oxlo_recbuf_put_id_text_len(oxlo_recbuf *s, uint32_t key, const char *value, size_t len);
int oxlo_recbuf_put_id_text(oxlo_recbuf *s, uint32_t key, const char *value);
int oxlo_recbuf_put_id_bool(oxlo_recbuf *s, uint32_t key, bool value);

/* ---- members with a text key (a key of digits only becomes numeric) ------ */

int oxlo_recbuf_put_u32_len(oxlo_recbuf *s, const char *key, size_t key_len, uint32_t value);
int oxlo_recbuf_put_u32(oxlo_recbuf *s, const char *key, uint32_t value);
int oxlo_recbuf_put_u64_len(oxlo_recbuf *s, const char *key, size_t key_len, uint64_t value);
int oxlo_recbuf_put_u64(oxlo_recbuf *s, const char *key, uint64_t value);
int oxlo_recbuf_put_i32_len(oxlo_recbuf *s, const char *key, size_t key_len, int32_t value);
int oxlo_recbuf_put_i32(oxlo_recbuf *s, const char *key, int32_t value);
int oxlo_recbuf_put_i64_len(oxlo_recbuf *s, const char *key, size_t key_len, int64_t value);
int oxlo_recbuf_put_i64(oxlo_recbuf *s, const char *key, int64_t value);
int oxlo_recbuf_put_float_len(oxlo_recbuf *s, const char *key, size_t key_len, float value,
                              const char *format);
int oxlo_recbuf_put_float(oxlo_recbuf *s, const char *key, float value, const char *format);
int oxlo_recbuf_put_double_len(oxlo_recbuf *s, const char *key, size_t key_len, double value,
                               const char *format);
int oxlo_recbuf_put_double(oxlo_recbuf *s, const char *key, double value, const char *format);
/* Text values: key and value both as (bytes, length) ... */
int oxlo_recbuf_put_text_len(oxlo_recbuf *s, const char *key, size_t key_len, const char *value,
                             size_t value_len);
/* ... a NUL-terminated key with a value of raw bytes (may hold NULs) ... */
int oxlo_recbuf_put_text_bytes(oxlo_recbuf *s, const char *key, const void *value,
                               size_t value_len);
/* ... a NUL-terminated key with a (bytes, length) text ... */
int oxlo_recbuf_put_text_value_len(oxlo_recbuf *s, const char *key, const char *value,
                                   size_t value_len);
/* ... or both NUL-terminated. A null value is written as "". */
int oxlo_recbuf_put_text(oxlo_recbuf *s, const char *key, const char *value);
/* An already formatted JSON value, copied unescaped in JSON. */
int oxlo_recbuf_put_raw_json(oxlo_recbuf *s, const char *key, const char *value,
                             size_t value_len);
/* JSON writes the number; TLV and CSV write the text that `format` makes of
 * (value, arg1, arg2), which must fit 15 characters. */
int oxlo_recbuf_put_u32_as_text(oxlo_recbuf *s, const char *key, uint32_t value,
                                const char *format, uint32_t arg1, uint32_t arg2);
int oxlo_recbuf_put_bool_len(oxlo_recbuf *s, const char *key, size_t key_len, bool value);
int oxlo_recbuf_put_bool(oxlo_recbuf *s, const char *key, bool value);

/* ---- TLV reader ----------------------------------------------------------
 * Uses an oxlo_recbuf as its state; never owns or frees the buffer. Reads
 * return 0, -1 for an item of another type, -2 at the end of the buffer. An
 * item that runs past the end ends the reading. */

int oxlo_deserializer_init(oxlo_recbuf *d, const char *buffer, uint32_t len);
int oxlo_deserializer_init_from(oxlo_recbuf *d, const oxlo_recbuf *writer);
uint8_t oxlo_deserializer_format(const oxlo_recbuf *d);
/* The current item's value type, storing its key type; widths below 32 bits
 * are reported as the 32-bit types. OXLO_SER_TYPE_NONE for both at the end. */
oxlo_recbuf_item_type oxlo_deserializer_item_type(oxlo_recbuf *d, oxlo_recbuf_item_type *key_type);
int oxlo_deserializer_skip_item(oxlo_recbuf *d);
int oxlo_deserializer_read_key_id(oxlo_recbuf *d, uint32_t *key);
int oxlo_deserializer_read_key_name(oxlo_recbuf *d, oxlo_text_span *key);
int oxlo_deserializer_read_u32(oxlo_recbuf *d, uint32_t *value);
int oxlo_deserializer_read_u64(oxlo_recbuf *d, uint64_t *value);
int oxlo_deserializer_read_i32(oxlo_recbuf *d, int32_t *value);
int oxlo_deserializer_read_i64(oxlo_recbuf *d, int64_t *value);
int oxlo_deserializer_read_float(oxlo_recbuf *d, float *value);
int oxlo_deserializer_read_double(oxlo_recbuf *d, double *value);
int oxlo_deserializer_read_text(oxlo_recbuf *d, oxlo_text_span *value);
/* Appends the current item's bytes unchanged to a TLV writer (-3 for another
 * format); does not move the reader. */
int oxlo_deserializer_copy_item(oxlo_recbuf *d, oxlo_recbuf *writer);
/* Re-encodes every remaining item into a writer of any format: 0 at the end
 * of the buffer; -1 when the writer refused a member or the buffer is
 * malformed or truncated; -2 for a value type the writer has no call for. */
int oxlo_deserializer_copy_all(oxlo_recbuf *d, oxlo_recbuf *writer);

#ifdef __cplusplus
}
#endif

#endif
