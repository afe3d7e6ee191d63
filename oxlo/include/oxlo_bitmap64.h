/* Oxlo 64-bit bitmaps: a compressed set of 64-bit values (roaring bitmaps)
 * behind opaque handles, so the library's interface carries none of the
 * bitmap library's types. Handles, iterators and serialization buffers come
 * from the library's allocation wrappers; the bitmap library's own container
 * memory is added to the allocated-bytes counter as the bitmap grows.
 * Every call accepts null handles (nothing happens, false / 0 / null). */
#ifndef OXLO_BITMAP64_H
#define OXLO_BITMAP64_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct oxlo_bitmap64 oxlo_bitmap64;
typedef struct oxlo_bitmap64_iterator oxlo_bitmap64_iterator;

/* A new empty bitmap, null when out of memory. */
oxlo_bitmap64 *oxlo_bitmap64_new(void);
void oxlo_bitmap64_free(oxlo_bitmap64 *bitmap);
oxlo_bitmap64 *oxlo_bitmap64_copy(const oxlo_bitmap64 *bitmap);

void oxlo_bitmap64_add(oxlo_bitmap64 *bitmap, uint64_t value);
void oxlo_bitmap64_remove(oxlo_bitmap64 *bitmap, uint64_t value);
int oxlo_bitmap64_contains(const oxlo_bitmap64 *bitmap, uint64_t value);
uint64_t oxlo_bitmap64_cardinality(const oxlo_bitmap64 *bitmap);
int oxlo_bitmap64_is_empty(const oxlo_bitmap64 *bitmap);
/* Converts containers to run form where that is smaller; 1 when any changed. */
int oxlo_bitmap64_optimize(oxlo_bitmap64 *bitmap);

/* New bitmaps a AND b, a OR b (null when out of memory). */
oxlo_bitmap64 *oxlo_bitmap64_and(const oxlo_bitmap64 *a, const oxlo_bitmap64 *b);
oxlo_bitmap64 *oxlo_bitmap64_or(const oxlo_bitmap64 *a, const oxlo_bitmap64 *b);
/* a = a AND b, a AND NOT b, a OR b, a XOR b. */
void oxlo_bitmap64_and_inplace(oxlo_bitmap64 *a, const oxlo_bitmap64 *b);
void oxlo_bitmap64_andnot_inplace(oxlo_bitmap64 *a, const oxlo_bitmap64 *b);
void oxlo_bitmap64_or_inplace(oxlo_bitmap64 *a, const oxlo_bitmap64 *b);
void oxlo_bitmap64_xor_inplace(oxlo_bitmap64 *a, const oxlo_bitmap64 *b);

/* Serializes into a buffer allocated here (the caller frees it with
 * oxlo_heap_free) and returns the bytes written; 0 with *out null when the
 * buffer cannot be allocated. The form: a little-endian 64-bit count of
 * 32-bit high parts, then per high part (ascending) its 32 bits and the
 * portable roaring form of its low 32-bit values. */
size_t oxlo_bitmap64_serialize(const oxlo_bitmap64 *bitmap, char **out);
/* A new bitmap from at most `size` bytes of that form, or null when the
 * bytes are not a valid form. Untrusted input is safe here: nothing is read
 * beyond `size`, and the result is rebuilt value by value so that counts
 * claimed by damaged containers never reach later operations. */
oxlo_bitmap64 *oxlo_bitmap64_deserialize(const char *buffer, size_t size);

/* Iteration in ascending order; the bitmap must outlive the iterator and
 * stay unchanged while it is used. */
oxlo_bitmap64_iterator *oxlo_bitmap64_iterator_new(const oxlo_bitmap64 *bitmap);
/* 1 and the next value in *value, or 0 at the end. */
int oxlo_bitmap64_iterator_next(oxlo_bitmap64_iterator *iterator, uint64_t *value);
void oxlo_bitmap64_iterator_free(oxlo_bitmap64_iterator *iterator);

#ifdef __cplusplus
}
#endif

#endif
