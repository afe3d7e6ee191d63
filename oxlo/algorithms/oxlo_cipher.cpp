/* The cipher layer over libcrypto. The handles keep the small state machine
 * of the interface (what was set, whether an operation completed since the
 * last reset) and hand the block work to libcrypto, whose own processor
 * probe picks the AES and carry-less multiplication instructions.
 *
 * libcrypto's algorithm objects are fetched once per process, under
 * std::call_once, so several queue threads can open handles at once.
 *
 * Closed handles are kept for reuse, a few per thread and kind, the cipher
 * ones with their libcrypto context still bound to its algorithm: the next
 * open of the kind takes one back and its key set-up re-keys that context in
 * place, with neither an allocation nor the provider set-up of a new
 * context. (The QUIC dissector opens a digest and two cipher handles for
 * each new flow.) */
#include "oxlo_cipher.h"
#include "oxlo_memory.h"

/* HMAC runs on libcrypto's SHA-256 block interface, whose state is a plain
 * struct: the keyed inner and outer states are computed once per key and
 * copied for each message, with no allocation and none of the provider
 * look-ups of the EVP digest calls (HKDF makes five short HMACs per QUIC
 * Initial). */
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>

struct crypto_md_handle {
    uint8_t key[CRYPTO_MD_KEY_MAX];
    uint8_t digest[CRYPTO_MD_DIGEST];
    uint8_t message[CRYPTO_MD_MESSAGE_MAX];
    uint32_t key_length;
    uint32_t message_length;
    uint8_t key_set;
    uint8_t prepared;        /* inner and outer hold the current key */
    SHA256_CTX inner, outer; /* after the padded key block */
};

struct crypto_cipher_handle {
    uint32_t algorithm;
    uint32_t mode;
    uint64_t key_length;
    uint64_t auth_length;
    uint64_t tag_length;
    uint64_t nonce_length;
    uint8_t flags;
    uint8_t auth[CRYPTO_AUTH_MAX];
    uint8_t tag[32];
    uint8_t nonce[16];
    uint8_t tag_verified; /* tag[] holds the tag the data was verified against */
    uint8_t bound;        /* ctx has its algorithm: a new key is set on it in place */
    EVP_CIPHER_CTX *ctx;
    EVP_CIPHER_CTX *check; /* GCM: scratch copy for a tag check, made on first need */
};

namespace {

struct primitives {
    EVP_CIPHER *ecb = nullptr;
    EVP_CIPHER *gcm = nullptr;
};

const primitives &lib()
{
    static primitives p;
    static std::once_flag once;
    std::call_once(once, [] {
        p.ecb = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
        p.gcm = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
    });
    return p;
}

/* The handles a thread keeps. Plain data, so that it stays usable however
 * the destructors of thread-local objects are ordered at the thread's end:
 * the keeper below empties it then and turns keeping off. */
constexpr int KEPT_MAX = 16;

struct kept_handles {
    crypto_cipher_handle *ecb[KEPT_MAX];
    crypto_cipher_handle *gcm[KEPT_MAX];
    crypto_md_handle *md[4];
    int ecb_count, gcm_count, md_count;
    bool closed;
};

thread_local kept_handles kept;

void cipher_free(crypto_cipher_handle *h)
{
    /* The key schedule lives in the libcrypto contexts, which clear it. */
    EVP_CIPHER_CTX_free(h->ctx);
    EVP_CIPHER_CTX_free(h->check);
    oxlo_heap_free(h);
}

struct keeper {
    keeper() = default;
    keeper(const keeper &) = delete;
    keeper &operator=(const keeper &) = delete;
    ~keeper()
    {
        kept.closed = true;
        while (kept.ecb_count)
            cipher_free(kept.ecb[--kept.ecb_count]);
        while (kept.gcm_count)
            cipher_free(kept.gcm[--kept.gcm_count]);
        while (kept.md_count)
            oxlo_heap_free(kept.md[--kept.md_count]);
    }
};

/* Whether this thread may keep handles (its keeper is alive). */
bool keeping()
{
    static thread_local keeper k;
    (void)k;
    return !kept.closed;
}

constexpr crypto_cipher_info cipher_table[] = {
    {"AES-128-ECB", CRYPTO_CIPHER_MODE_ECB, 128, 0, 16},  {"AES-192-ECB", CRYPTO_CIPHER_MODE_ECB, 192, 0, 16},
    {"AES-256-ECB", CRYPTO_CIPHER_MODE_ECB, 256, 0, 16},  {"AES-128-GCM", CRYPTO_CIPHER_MODE_GCM, 128, 12, 16},
    {"AES-192-GCM", CRYPTO_CIPHER_MODE_GCM, 192, 12, 16}, {"AES-256-GCM", CRYPTO_CIPHER_MODE_GCM, 256, 12, 16},
};

struct error_text {
    int code;
    const char *text;
};

constexpr error_text error_table[] = {
    {CRYPTO_ERR_MD_ALLOC, "MD:Alloc failed"},
    {CRYPTO_ERR_MD_NOT_SUPPORTED, "MD:Not supported"},
    {CRYPTO_ERR_MD_KEY_SET, "MD:Key already set"},
    {CRYPTO_ERR_MD_TOO_LONG, "MD:Data is too long"},
    {CRYPTO_ERR_WRONG_KEY_IV, "CIPHER:Wrong key/iv"},
    {CRYPTO_ERR_GCM_ALLOC, "GCM:Alloc failed"},
    {CRYPTO_ERR_GCM_NOT_SUPPORTED, "GCM:Not supported"},
    {CRYPTO_ERR_GCM_NOT_READY, "GCM:No key/siv/auth"},
    {CRYPTO_ERR_AES_NO_KEY, "AES:No key"},
    {CRYPTO_ERR_NOT_SUPPORTED, "Not supported"},
    {CRYPTO_ERR_GCM_AUTH_FAILED, "GCM:Auth failed"},
    {CRYPTO_ERR_GCM_BAD_INPUT, "GCM:Bad input"},
    {CRYPTO_ERR_GCM_BUFFER_TOO_SMALL, "GCM:Buffer too small"},
    {CRYPTO_ERR_AES_INVALID_KEY_LENGTH, "AES:Invalid key length"},
    {CRYPTO_ERR_AES_BAD_INPUT, "AES:Bad input data"},
    {CRYPTO_ERR_AES_INVALID_INPUT_LENGTH, "AES:Invalid input length"},
    {CRYPTO_ERR_CORRUPTION, "Corruption detected"},
    {CRYPTO_ERR_FEATURE_UNAVAILABLE, "CIPHER:Feature unavailable"},
    {CRYPTO_ERR_BAD_INPUT, "CIPHER:Bad input data"},
    {CRYPTO_ERR_ALLOC, "CIPHER:Alloc failed"},
    {CRYPTO_ERR_FULL_BLOCK_EXPECTED, "CIPHER:Full block expected"},
    {CRYPTO_ERR_AUTH_FAILED, "CIPHER:Auth failed"},
    {CRYPTO_ERR_INVALID_CONTEXT, "CIPHER:Invalid context"},
};

/* The inner and outer states of HMAC for the handle's key. */
void hmac_prepare(crypto_md_handle *h)
{
    uint8_t pad[64];
    memset(pad, 0x36, sizeof(pad));
    for (uint32_t i = 0; i < h->key_length; i++)
        pad[i] ^= h->key[i];
    SHA256_Init(&h->inner);
    SHA256_Update(&h->inner, pad, 64);
    for (int i = 0; i < 64; i++)
        pad[i] ^= 0x36 ^ 0x5c;
    SHA256_Init(&h->outer);
    SHA256_Update(&h->outer, pad, 64);
    OPENSSL_cleanse(pad, sizeof(pad));
}

bool valid(const crypto_cipher_handle *h)
{
    return h && h->algorithm == CRYPTO_CIPHER_AES128 &&
           (h->mode == CRYPTO_CIPHER_MODE_ECB || h->mode == CRYPTO_CIPHER_MODE_GCM);
}

int ecb_encrypt(crypto_cipher_handle *h, uint8_t *out, const uint8_t *in, size_t size)
{
    if (!(h->flags & CRYPTO_FLAG_KEY) || (h->flags & CRYPTO_FLAG_DONE))
        return CRYPTO_ERR_AES_NO_KEY;
    /* One block, whole: anything shorter would be read and written past
     * its end, anything longer left in the clear. */
    if (size != 16)
        return CRYPTO_ERR_FULL_BLOCK_EXPECTED;
    int n = 0;
    if (EVP_EncryptUpdate(h->ctx, out, &n, in, 16) != 1 || n != 16)
        return CRYPTO_ERR_INVALID_CONTEXT;
    h->flags |= CRYPTO_FLAG_DONE;
    return 0;
}

int gcm_decrypt(crypto_cipher_handle *h, uint8_t *out, const uint8_t *in, size_t size)
{
    if ((h->flags & 0x0f) != (CRYPTO_FLAG_KEY | CRYPTO_FLAG_AUTH | CRYPTO_FLAG_NONCE))
        return CRYPTO_ERR_GCM_NOT_READY;
    if (size > (uint64_t(1) << 61) - 1)
        return CRYPTO_ERR_GCM_BAD_INPUT;
    int n = 0;
    if (EVP_DecryptInit_ex2(h->ctx, nullptr, nullptr, h->nonce, nullptr) != 1)
        return CRYPTO_ERR_INVALID_CONTEXT;
    if (h->auth_length && EVP_DecryptUpdate(h->ctx, nullptr, &n, h->auth, int(h->auth_length)) != 1)
        return CRYPTO_ERR_INVALID_CONTEXT;
    for (size_t done = 0; done < size;) {
        const size_t chunk = size - done < (size_t(1) << 30) ? size - done : size_t(1) << 30;
        if (EVP_DecryptUpdate(h->ctx, out + done, &n, in + done, int(chunk)) != 1 || size_t(n) != chunk)
            return CRYPTO_ERR_INVALID_CONTEXT;
        done += chunk;
    }
    h->tag_length = CRYPTO_TAG_LENGTH;
    h->tag_verified = 0;
    h->flags |= CRYPTO_FLAG_DONE;
    return 0;
}

int cipher_run(crypto_cipher_handle *h, void *out, size_t out_size, const void *in, size_t in_size, bool encrypt)
{
    if (!valid(h))
        return CRYPTO_ERR_FEATURE_UNAVAILABLE;
    if (encrypt != (h->mode == CRYPTO_CIPHER_MODE_ECB))
        return CRYPTO_ERR_GCM_NOT_SUPPORTED;
    if (!out)
        return CRYPTO_ERR_GCM_BAD_INPUT;
    uint8_t *tmp = nullptr;
    const uint8_t *src = static_cast<const uint8_t *>(in);
    if (!in && in_size == 0) {
        if (out_size == 0)
            return CRYPTO_ERR_GCM_BAD_INPUT;
        tmp = static_cast<uint8_t *>(oxlo_heap_alloc(out_size));
        if (!tmp)
            return CRYPTO_ERR_GCM_ALLOC;
        memcpy(tmp, out, out_size);
        src = tmp;
    } else if (!in || in_size != out_size) {
        return CRYPTO_ERR_GCM_BAD_INPUT;
    }
    uint8_t *dst = static_cast<uint8_t *>(out);
    const int rc = encrypt ? ecb_encrypt(h, dst, src, out_size) : gcm_decrypt(h, dst, src, out_size);
    oxlo_heap_free(tmp);
    return rc;
}

} // namespace

extern "C" {

/* ---- HMAC-SHA-256 ---- */

int crypto_md_open(crypto_md_handle **out, int algorithm, unsigned flags)
{
    if (!out || algorithm != CRYPTO_MD_SHA256 || flags != CRYPTO_MD_FLAG_HMAC)
        return CRYPTO_ERR_MD_NOT_SUPPORTED;
    /* A kept handle was reset when it was closed: as good as a new one. */
    auto *h = kept.md_count ? kept.md[--kept.md_count]
                            : static_cast<crypto_md_handle *>(oxlo_heap_calloc(1, sizeof(crypto_md_handle)));
    if (!h)
        return CRYPTO_ERR_MD_ALLOC;
    *out = h;
    return 0;
}

int crypto_md_setkey(crypto_md_handle *h, const void *key, size_t length)
{
    if (!h || (!key && length))
        return CRYPTO_ERR_MD_NOT_SUPPORTED;
    if (h->key_set)
        return CRYPTO_ERR_MD_KEY_SET;
    if (length > CRYPTO_MD_KEY_MAX) {
        /* Cutting a long key would give a wrong MAC; HMAC hashes it. */
        SHA256_CTX c;
        SHA256_Init(&c);
        SHA256_Update(&c, key, length);
        SHA256_Final(h->key, &c);
        OPENSSL_cleanse(&c, sizeof(c));
        length = CRYPTO_MD_DIGEST;
    } else if (length) {
        memcpy(h->key, key, length);
    }
    h->key_length = uint32_t(length);
    h->key_set = 1;
    h->prepared = 0;
    return 0;
}

int crypto_md_write(crypto_md_handle *h, const void *bytes, size_t length)
{
    if (!h || (!bytes && length))
        return CRYPTO_ERR_MD_NOT_SUPPORTED;
    if (length > CRYPTO_MD_MESSAGE_MAX - h->message_length)
        return CRYPTO_ERR_MD_TOO_LONG;
    if (length)
        memcpy(h->message + h->message_length, bytes, length);
    h->message_length += uint32_t(length);
    return 0;
}

const uint8_t *crypto_md_read(crypto_md_handle *h)
{
    if (!h)
        return nullptr;
    if (!h->prepared) {
        hmac_prepare(h);
        h->prepared = 1;
    }
    uint8_t inner[32];
    SHA256_CTX c = h->inner;
    SHA256_Update(&c, h->message, h->message_length);
    SHA256_Final(inner, &c);
    c = h->outer;
    SHA256_Update(&c, inner, sizeof(inner));
    SHA256_Final(h->digest, &c);
    OPENSSL_cleanse(&c, sizeof(c));
    return h->digest;
}

void crypto_md_reset(crypto_md_handle *h)
{
    if (!h)
        return;
    /* Only what was used: clearing is not free and HKDF resets often. The
     * handle lives on (a reset or a restart is followed by more use, a
     * closed handle is kept or wiped whole before it is freed), so plain
     * stores do the clearing: no compiler can drop them. */
    if (h->key_set)
        memset(h->key, 0, CRYPTO_MD_KEY_MAX);
    memset(h->message, 0, h->message_length);
    memset(h->digest, 0, sizeof(h->digest));
    if (h->prepared) {
        memset(&h->inner, 0, sizeof(h->inner));
        memset(&h->outer, 0, sizeof(h->outer));
    }
    h->key_length = h->message_length = 0;
    h->key_set = 0;
    h->prepared = 0;
}

void crypto_md_restart(crypto_md_handle *h)
{
    if (!h)
        return;
    memset(h->message, 0, h->message_length);
    memset(h->digest, 0, sizeof(h->digest));
    h->message_length = 0;
}

void crypto_md_close(crypto_md_handle *h)
{
    if (!h)
        return;
    crypto_md_reset(h);
    if (keeping() && kept.md_count < int(sizeof(kept.md) / sizeof(kept.md[0]))) {
        kept.md[kept.md_count++] = h;
        return;
    }
    OPENSSL_cleanse(h, sizeof(*h));
    oxlo_heap_free(h);
}

unsigned crypto_md_digest_length(int algorithm) { return algorithm == CRYPTO_MD_SHA256 ? CRYPTO_MD_DIGEST : 0; }

/* ---- ciphers ---- */

int crypto_cipher_open(crypto_cipher_handle **out, int algorithm, int mode, unsigned flags)
{
    if (!out || algorithm != CRYPTO_CIPHER_AES128 || flags != 0 ||
        (mode != CRYPTO_CIPHER_MODE_ECB && mode != CRYPTO_CIPHER_MODE_GCM))
        return CRYPTO_ERR_FEATURE_UNAVAILABLE;
    crypto_cipher_handle **shelf = mode == CRYPTO_CIPHER_MODE_ECB ? kept.ecb : kept.gcm;
    int &count = mode == CRYPTO_CIPHER_MODE_ECB ? kept.ecb_count : kept.gcm_count;
    if (count) {
        /* Cleared when it was closed; its context keeps the algorithm. */
        *out = shelf[--count];
        return 0;
    }
    auto *h = static_cast<crypto_cipher_handle *>(oxlo_heap_calloc(1, sizeof(crypto_cipher_handle)));
    if (!h)
        return CRYPTO_ERR_ALLOC;
    h->ctx = EVP_CIPHER_CTX_new();
    if (!h->ctx) {
        oxlo_heap_free(h);
        return CRYPTO_ERR_ALLOC;
    }
    h->algorithm = uint32_t(algorithm);
    h->mode = uint32_t(mode);
    *out = h;
    return 0;
}

size_t crypto_cipher_key_length(int algorithm) { return algorithm == CRYPTO_CIPHER_AES128 ? 16 : 0; }

int crypto_cipher_setkey(crypto_cipher_handle *h, const void *key, size_t length)
{
    if (!valid(h))
        return CRYPTO_ERR_FEATURE_UNAVAILABLE;
    if (!key || length != crypto_cipher_key_length(int(h->algorithm)) || (h->flags & CRYPTO_FLAG_KEY))
        return CRYPTO_ERR_WRONG_KEY_IV;
    const auto *k = static_cast<const unsigned char *>(key);
    if (h->bound) {
        /* No algorithm: libcrypto keeps the context's and only sets the key. */
        const int ok = h->mode == CRYPTO_CIPHER_MODE_ECB ? EVP_EncryptInit_ex2(h->ctx, nullptr, k, nullptr, nullptr)
                                                         : EVP_DecryptInit_ex2(h->ctx, nullptr, k, nullptr, nullptr);
        if (ok != 1)
            return CRYPTO_ERR_GCM_BAD_INPUT;
    } else if (h->mode == CRYPTO_CIPHER_MODE_ECB) {
        if (!lib().ecb || EVP_EncryptInit_ex2(h->ctx, lib().ecb, k, nullptr, nullptr) != 1)
            return CRYPTO_ERR_GCM_BAD_INPUT;
        EVP_CIPHER_CTX_set_padding(h->ctx, 0);
    } else if (!lib().gcm || EVP_DecryptInit_ex2(h->ctx, lib().gcm, k, nullptr, nullptr) != 1) {
        return CRYPTO_ERR_GCM_BAD_INPUT;
    }
    h->bound = 1;
    h->key_length = length;
    h->flags |= CRYPTO_FLAG_KEY;
    return 0;
}

int crypto_cipher_setiv(crypto_cipher_handle *h, const void *nonce, size_t length)
{
    if (!valid(h) || h->mode != CRYPTO_CIPHER_MODE_GCM)
        return CRYPTO_ERR_FEATURE_UNAVAILABLE;
    if (!nonce || length != CRYPTO_NONCE_LENGTH || (h->flags & CRYPTO_FLAG_NONCE))
        return CRYPTO_ERR_WRONG_KEY_IV;
    memcpy(h->nonce, nonce, length);
    h->nonce_length = length;
    h->flags |= CRYPTO_FLAG_NONCE;
    return 0;
}

int crypto_cipher_authenticate(crypto_cipher_handle *h, const void *data, size_t length)
{
    if (!valid(h) || h->mode != CRYPTO_CIPHER_MODE_GCM)
        return CRYPTO_ERR_FEATURE_UNAVAILABLE;
    if (length > CRYPTO_AUTH_MAX || (!data && length) || (h->flags & CRYPTO_FLAG_AUTH))
        return CRYPTO_ERR_WRONG_KEY_IV;
    if (length)
        memcpy(h->auth, data, length);
    h->auth_length = length;
    h->flags |= CRYPTO_FLAG_AUTH;
    return 0;
}

int crypto_cipher_encrypt(crypto_cipher_handle *h, void *out, size_t out_size, const void *in, size_t in_size)
{
    return cipher_run(h, out, out_size, in, in_size, true);
}

int crypto_cipher_decrypt(crypto_cipher_handle *h, void *out, size_t out_size, const void *in, size_t in_size)
{
    return cipher_run(h, out, out_size, in, in_size, false);
}

int crypto_cipher_checktag(crypto_cipher_handle *h, const void *tag, size_t length)
{
    if (!valid(h) || h->mode != CRYPTO_CIPHER_MODE_GCM)
        return CRYPTO_ERR_FEATURE_UNAVAILABLE;
    if (!(h->flags & CRYPTO_FLAG_DONE) || !tag || length != CRYPTO_TAG_LENGTH || h->tag_length != CRYPTO_TAG_LENGTH)
        return CRYPTO_ERR_GCM_AUTH_FAILED;
    if (h->tag_verified)
        return CRYPTO_memcmp(h->tag, tag, CRYPTO_TAG_LENGTH) == 0 ? 0 : CRYPTO_ERR_GCM_AUTH_FAILED;
    /* libcrypto verifies a decryption tag only by finishing the operation;
     * a copy is finished so a wrong guess leaves the handle able to check
     * again. Its comparison does not exit early. */
    uint8_t expected[CRYPTO_TAG_LENGTH];
    memcpy(expected, tag, sizeof(expected));
    int n = 0;
    if (!h->check && !(h->check = EVP_CIPHER_CTX_new()))
        return CRYPTO_ERR_GCM_AUTH_FAILED;
    if (EVP_CIPHER_CTX_copy(h->check, h->ctx) != 1 ||
        EVP_CIPHER_CTX_ctrl(h->check, EVP_CTRL_GCM_SET_TAG, CRYPTO_TAG_LENGTH, expected) != 1 ||
        EVP_DecryptFinal_ex(h->check, expected, &n) != 1)
        return CRYPTO_ERR_GCM_AUTH_FAILED;
    memcpy(h->tag, tag, CRYPTO_TAG_LENGTH);
    h->tag_verified = 1;
    return 0;
}

int crypto_cipher_decrypt_verify(crypto_cipher_handle *h, const void *aad, size_t aad_length, void *out,
                                 const void *in, size_t size, const void *tag, size_t tag_length)
{
    if (!valid(h) || h->mode != CRYPTO_CIPHER_MODE_GCM)
        return CRYPTO_ERR_FEATURE_UNAVAILABLE;
    if ((h->flags & 0x0f) != (CRYPTO_FLAG_KEY | CRYPTO_FLAG_NONCE))
        return CRYPTO_ERR_GCM_NOT_READY;
    if (!out || (!in && size) || (!aad && aad_length) || aad_length > INT_MAX || size > (size_t(1) << 30))
        return CRYPTO_ERR_GCM_BAD_INPUT;
    if (!tag || tag_length != CRYPTO_TAG_LENGTH)
        return CRYPTO_ERR_GCM_AUTH_FAILED;
    int n = 0;
    h->flags |= CRYPTO_FLAG_AUTH | CRYPTO_FLAG_DONE;
    h->tag_length = 0;
    h->tag_verified = 0;
    if (EVP_DecryptInit_ex2(h->ctx, nullptr, nullptr, h->nonce, nullptr) != 1 ||
        (aad_length && EVP_DecryptUpdate(h->ctx, nullptr, &n, static_cast<const uint8_t *>(aad), int(aad_length)) != 1) ||
        (size && (EVP_DecryptUpdate(h->ctx, static_cast<uint8_t *>(out), &n, static_cast<const uint8_t *>(in), int(size)) != 1 ||
                  size_t(n) != size)))
        return CRYPTO_ERR_INVALID_CONTEXT;
    uint8_t expected[CRYPTO_TAG_LENGTH];
    memcpy(expected, tag, sizeof(expected));
    /* The operation is finished on the handle's own context: no copy. */
    if (EVP_CIPHER_CTX_ctrl(h->ctx, EVP_CTRL_GCM_SET_TAG, CRYPTO_TAG_LENGTH, expected) != 1 ||
        EVP_DecryptFinal_ex(h->ctx, expected, &n) != 1)
        return CRYPTO_ERR_GCM_AUTH_FAILED;
    memcpy(h->tag, tag, CRYPTO_TAG_LENGTH);
    h->tag_length = CRYPTO_TAG_LENGTH;
    h->tag_verified = 1;
    return 0;
}

int crypto_cipher_reset(crypto_cipher_handle *h)
{
    if (!valid(h))
        return CRYPTO_ERR_FEATURE_UNAVAILABLE;
    memset(h->nonce, 0, sizeof(h->nonce));
    memset(h->auth, 0, size_t(h->auth_length));
    memset(h->tag, 0, sizeof(h->tag));
    h->nonce_length = h->auth_length = h->tag_length = 0;
    h->tag_verified = 0;
    h->flags &= CRYPTO_FLAG_KEY;
    return 0;
}

void crypto_cipher_close(crypto_cipher_handle *h)
{
    if (!valid(h))
        return;
    crypto_cipher_handle **shelf = h->mode == CRYPTO_CIPHER_MODE_ECB ? kept.ecb : kept.gcm;
    int &count = h->mode == CRYPTO_CIPHER_MODE_ECB ? kept.ecb_count : kept.gcm_count;
    if (!keeping() || count >= KEPT_MAX) {
        cipher_free(h);
        return;
    }
    /* Kept: everything but the contexts goes back to the state of a new
     * handle. The old key schedule stays in the context until the next key
     * replaces it. */
    EVP_CIPHER_CTX *ctx = h->ctx, *check = h->check;
    const uint32_t mode = h->mode;
    const uint8_t bound = h->bound;
    OPENSSL_cleanse(h, sizeof(*h));
    h->algorithm = CRYPTO_CIPHER_AES128;
    h->mode = mode;
    h->bound = bound;
    h->ctx = ctx;
    h->check = check;
    shelf[count++] = h;
}

unsigned crypto_cipher_flags(const crypto_cipher_handle *h) { return h ? h->flags : 0; }

const crypto_cipher_info *crypto_cipher_info_by_name(const char *name)
{
    if (!name)
        return nullptr;
    for (const auto &row : cipher_table)
        if (strcmp(row.name, name) == 0)
            return &row;
    return nullptr;
}

const crypto_cipher_info *crypto_cipher_info_find(int algorithm, unsigned key_bits, int mode)
{
    if (algorithm != CRYPTO_CIPHER_AES128)
        return nullptr;
    for (const auto &row : cipher_table)
        if (row.key_bits == key_bits && row.mode == mode)
            return &row;
    return nullptr;
}

/* ---- the layer ---- */

const char *crypto_strerror(int code)
{
    for (const auto &row : error_table)
        if (row.code == code)
            return row.text;
    return "Unknown error code";
}

char *crypto_strerror_copy(int code, char *buffer, size_t size)
{
    if (!buffer || !size)
        return buffer;
    const char *text = crypto_strerror(code);
    size_t n = strlen(text);
    if (n > size - 1)
        n = size - 1;
    memcpy(buffer, text, n);
    buffer[n] = '\0';
    return buffer;
}

int crypto_control(int request, int argument)
{
    return request == 2 || (request == 1 && argument == 0) ? 0 : CRYPTO_ERR_NOT_SUPPORTED;
}

const char *crypto_check_version(void) { return "1.8.6internal"; }

} // extern "C"

/* ---- set-up by module finalization (the "libgcrypt.init" knob) ---- */

namespace {
std::atomic<int> layer_ready{0};
}

extern "C" int oxlo_crypto_initialised(void) { return layer_ready.load(std::memory_order_acquire); }

extern "C" const char *oxlo_crypto_setup(void)
{
    const char *version = crypto_check_version();
    if (!version || crypto_control(1, 0) != 0 || !lib().ecb || !lib().gcm)
        return nullptr;
    layer_ready.store(1, std::memory_order_release);
    return version;
}
