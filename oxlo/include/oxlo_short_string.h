/* Short-string compressor: runs of characters that a fixed model of host
 * names knows are packed into 1, 2 or 4 bytes, other bytes are copied. No
 * dictionary in the output, no state between calls. */
#ifndef OXLO_SHORT_STRING_H
#define OXLO_SHORT_STRING_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Length 0 means up to the terminating NUL. Returns the bytes written, or
 * out_size + 1 when the output does not fit. With an explicit length NUL
 * bytes are escaped like bytes from 0x80 up, so every input comes back. */
int short_string_compress(const char *text, size_t length, char *out, size_t out_size);
/* Returns the characters written (a NUL follows them when there is room),
 * out_size + 1 when the output does not fit, -1 for input that no
 * compressor output can be: cut inside a pack or after an escape, or packs
 * that name characters the model does not have. */
int short_string_decompress(const char *packed, size_t length, char *out, size_t out_size);

#ifdef __cplusplus
}
#endif

#endif
