/* Bounded readers over packet bytes. Every read names its offset and
 * succeeds only when the bytes lie inside the buffer; a failed read leaves
 * the output untouched and returns false, so a dissector can treat "not
 * enough bytes" like any other mismatch. */
#ifndef OXLO_READER_H
#define OXLO_READER_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

typedef struct oxlo_reader {
    const uint8_t *data;
    size_t length;
} oxlo_reader;

static inline oxlo_reader oxlo_reader_make(const uint8_t *data, size_t length)
{
    oxlo_reader r;
    r.data = data;
    r.length = data ? length : 0;
    return r;
}

/* True when [offset, offset + count) lies inside the buffer. */
static inline int oxlo_reader_has(const oxlo_reader *r, size_t offset, size_t count)
{
    return offset <= r->length && count <= r->length - offset;
}

static inline int oxlo_reader_u8(const oxlo_reader *r, size_t offset, uint8_t *out)
{
    if (!oxlo_reader_has(r, offset, 1))
        return 0;
    *out = r->data[offset];
    return 1;
}

static inline int oxlo_reader_be16(const oxlo_reader *r, size_t offset, uint16_t *out)
{
    if (!oxlo_reader_has(r, offset, 2))
        return 0;
    *out = (uint16_t)((r->data[offset] << 8) | r->data[offset + 1]);
    return 1;
}

static inline int oxlo_reader_be32(const oxlo_reader *r, size_t offset, uint32_t *out)
{
    if (!oxlo_reader_has(r, offset, 4))
        return 0;
    const uint8_t *p = r->data + offset;
    *out = ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
    return 1;
}

/* A view of count bytes from offset, or an empty reader when they are not
 * all there. */
static inline oxlo_reader oxlo_reader_sub(const oxlo_reader *r, size_t offset, size_t count)
{
    if (!oxlo_reader_has(r, offset, count))
        return oxlo_reader_make(NULL, 0);
    return oxlo_reader_make(r->data + offset, count);
}

static inline char oxlo_reader_lower(uint8_t c) { return (char)(c >= 'A' && c <= 'Z' ? c + 32 : c); }

/* True when the bytes at offset equal text (compared without case when
 * nocase is set). */
static inline int oxlo_reader_match(const oxlo_reader *r, size_t offset, const char *text, int nocase)
{
    const size_t n = strlen(text);
    if (!oxlo_reader_has(r, offset, n))
        return 0;
    for (size_t i = 0; i < n; i++) {
        const uint8_t a = r->data[offset + i], b = (uint8_t)text[i];
        if (nocase ? oxlo_reader_lower(a) != oxlo_reader_lower(b) : a != b)
            return 0;
    }
    return 1;
}

/* Offset of the first occurrence of text at or after offset, or -1. */
static inline ptrdiff_t oxlo_reader_find(const oxlo_reader *r, size_t offset, const char *text, int nocase)
{
    const size_t n = strlen(text);
    if (n == 0 || !oxlo_reader_has(r, offset, 0))
        return -1;
    for (size_t i = offset; i + n <= r->length; i++)
        if (oxlo_reader_match(r, i, text, nocase))
            return (ptrdiff_t)i;
    return -1;
}

#endif
