/* STAND-INS: see oxlo_utils_standin.h. Nothing here is the real behaviour;
 * each function stands for a piece of the engine that has not been written
 * yet and is to be replaced by it. */
#include "oxlo_utils_standin.h"

extern "C" {

int oxlo_standin_xss_detect(const char *, size_t) { return 0; }

int oxlo_standin_sqli_detect(const char *, size_t) { return 0; }

int oxlo_standin_common_bigram(char a, char b)
{
    return a >= 'a' && a <= 'z' && b >= 'a' && b <= 'z';
}

int oxlo_standin_short_compress(const char *, size_t, char *, size_t out_size)
{
    return static_cast<int>(out_size + 1);
}

int oxlo_standin_short_decompress(const char *, size_t, char *, size_t out_size)
{
    return static_cast<int>(out_size + 1);
}

int oxlo_standin_aes256_ecb(const uint8_t *, uint8_t *, size_t, int) { return -1; }

} // extern "C"
