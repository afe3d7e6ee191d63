/* Wrappers of the short-string compressor and of AES-256 (CBC with an
 * all-zero IV and PKCS#7 padding, carried as base64 text). The zero IV makes
 * the encryption deterministic (equal texts give equal ciphertexts) and it
 * is not authenticated: it hides a text, it does not protect it from
 * being altered. */
#include "oxlo_utils.h"

#include <cstring>

#include "oxlo_memory.h"
#include "oxlo_utils_internal.h"
#include "oxlo_aes256.h"
#include "oxlo_short_string.h"

namespace {

constexpr size_t aes_block = 16;
constexpr size_t aes_key_hex_digits = 64;

bool read_key(const char *key_hex, uint8_t key[32])
{
    if (!key_hex || strnlen(key_hex, aes_key_hex_digits + 1) != aes_key_hex_digits)
        return false;
    return oxlo_hex_to_bytes(key, 32, key_hex, aes_key_hex_digits) == 32;
}

int aes256_cbc_zero_iv(const uint8_t key[32], uint8_t *data, size_t length, int decrypt)
{
    aes256_context ctx;
    const uint8_t zero_iv[AES256_BLOCK_SIZE] = {};
    aes256_init_with_iv(&ctx, key, zero_iv);
    int rc = decrypt ? aes256_cbc_decrypt(&ctx, data, length) : aes256_cbc_encrypt(&ctx, data, length);
    std::memset(&ctx, 0, sizeof ctx);
    return rc;
}

} // namespace

extern "C" {

size_t oxlo_compress_short(const char *text, size_t length, char *out, size_t out_size)
{
    if (!text || !out || out_size == 0)
        return 0;
    int n = short_string_compress(text, length, out, out_size);
    return (n > 0 && static_cast<size_t>(n) <= out_size) ? static_cast<size_t>(n) : 0;
}

size_t oxlo_decompress_short(const char *data, size_t length, char *out, size_t out_size)
{
    if (!data || !out || out_size == 0)
        return 0;
    int n = short_string_decompress(data, length, out, out_size);
    return (n > 0 && static_cast<size_t>(n) <= out_size) ? static_cast<size_t>(n) : 0;
}

char *oxlo_aes_encrypt_base64_with(const void *data, size_t length, size_t *out_length,
                                   const char *key_hex, oxlo_aes256_cipher_fn cipher)
{
    if (out_length)
        *out_length = 0;
    uint8_t key[32];
    if ((!data && length > 0) || !cipher || !read_key(key_hex, key) || length > SIZE_MAX / 2)
        return nullptr;
    /* Always 1 to 16 bytes of padding, each holding the count. */
    size_t pad = aes_block - length % aes_block;
    size_t total = length + pad;
    auto *buf = static_cast<uint8_t *>(oxlo_heap_alloc(total));
    if (!buf)
        return nullptr;
    if (length)
        std::memcpy(buf, data, length);
    std::memset(buf + length, static_cast<int>(pad), pad);
    char *text = nullptr;
    if (cipher(key, buf, total, 0) == 0)
        text = oxlo_encode_base64(buf, total);
    oxlo_heap_free(buf);
    std::memset(key, 0, sizeof key);
    if (text && out_length)
        *out_length = std::strlen(text);
    return text;
}

uint8_t *oxlo_aes_decrypt_base64_with(const char *text, size_t length, size_t *out_length,
                                      const char *key_hex, oxlo_aes256_cipher_fn cipher)
{
    if (out_length)
        *out_length = 0;
    uint8_t key[32];
    if (!text || !cipher || !read_key(key_hex, key))
        return nullptr;
    size_t n = 0;
    uint8_t *buf = oxlo_decode_base64(text, length, &n);
    if (!buf)
        return nullptr;
    /* Only whole blocks can be deciphered: a partial last block would be
     * read past the decoded bytes. */
    if (n == 0 || n % aes_block != 0 || cipher(key, buf, n, 1) != 0) {
        oxlo_heap_free(buf);
        std::memset(key, 0, sizeof key);
        return nullptr;
    }
    std::memset(key, 0, sizeof key);
    /* Padding is 1 to 16 bytes and may be the whole text (empty data); any
     * other count means a wrong key or a damaged text. */
    uint8_t pad = buf[n - 1];
    bool padded = pad != 0 && pad <= aes_block && pad <= n;
    for (size_t i = 1; padded && i < pad; i++)
        padded = buf[n - 1 - i] == pad;
    if (!padded) {
        oxlo_heap_free(buf);
        return nullptr;
    }
    n -= pad;
    buf[n] = 0;   /* the decoder allocated room past the data */
    if (out_length)
        *out_length = n;
    return buf;
}

char *oxlo_aes_encrypt_base64(const void *data, size_t length, size_t *out_length,
                              const char *key_hex)
{
    return oxlo_aes_encrypt_base64_with(data, length, out_length, key_hex, aes256_cbc_zero_iv);
}

uint8_t *oxlo_aes_decrypt_base64(const char *text, size_t length, size_t *out_length,
                                 const char *key_hex)
{
    return oxlo_aes_decrypt_base64_with(text, length, out_length, key_hex, aes256_cbc_zero_iv);
}

} // extern "C"
