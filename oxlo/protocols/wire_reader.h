/* Bounds-checked reads of packet bytes for the TLS, certificate and DNS
 * parsers. Every read names an offset into a fixed range and fails (returns
 * false, leaves the output alone) when any byte it needs lies outside; a
 * parser never indexes packet memory by itself. Numbers are big-endian on
 * the wire and come out in host order. */
#ifndef OXLO_WIRE_READER_H
#define OXLO_WIRE_READER_H

#include <stddef.h>
#include <stdint.h>

typedef struct oxlo_wire {
    const uint8_t *data;
    size_t length;
} oxlo_wire;

static inline oxlo_wire oxlo_wire_make(const uint8_t *data, size_t length)
{
    oxlo_wire w;
    w.data = data;
    w.length = data ? length : 0;
    return w;
}

/* true when [offset, offset + count) lies inside the range. */
static inline bool oxlo_wire_has(const oxlo_wire *w, size_t offset, size_t count)
{
    return offset <= w->length && count <= w->length - offset;
}

static inline bool oxlo_wire_u8(const oxlo_wire *w, size_t offset, uint8_t *out)
{
    if (!oxlo_wire_has(w, offset, 1))
        return false;
    *out = w->data[offset];
    return true;
}

static inline bool oxlo_wire_u16(const oxlo_wire *w, size_t offset, uint16_t *out)
{
    if (!oxlo_wire_has(w, offset, 2))
        return false;
    *out = (uint16_t)((w->data[offset] << 8) | w->data[offset + 1]);
    return true;
}

static inline bool oxlo_wire_u24(const oxlo_wire *w, size_t offset, uint32_t *out)
{
    if (!oxlo_wire_has(w, offset, 3))
        return false;
    *out = ((uint32_t)w->data[offset] << 16) | ((uint32_t)w->data[offset + 1] << 8) |
           w->data[offset + 2];
    return true;
}

static inline bool oxlo_wire_u32(const oxlo_wire *w, size_t offset, uint32_t *out)
{
    if (!oxlo_wire_has(w, offset, 4))
        return false;
    *out = ((uint32_t)w->data[offset] << 24) | ((uint32_t)w->data[offset + 1] << 16) |
           ((uint32_t)w->data[offset + 2] << 8) | w->data[offset + 3];
    return true;
}

/* Pointer to count bytes at offset, or NULL when they do not all fit. */
static inline const uint8_t *oxlo_wire_bytes(const oxlo_wire *w, size_t offset, size_t count)
{
    return oxlo_wire_has(w, offset, count) ? w->data + offset : NULL;
}

/* The sub-range [offset, offset + count); empty when it does not fit. */
static inline oxlo_wire oxlo_wire_sub(const oxlo_wire *w, size_t offset, size_t count)
{
    return oxlo_wire_has(w, offset, count) ? oxlo_wire_make(w->data + offset, count)
                                           : oxlo_wire_make(NULL, 0);
}

#endif
