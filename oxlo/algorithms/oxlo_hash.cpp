/* Small non-cryptographic hashes. Several callers depend on the exact
 * values (cache slots, filter keys), so each function is the plain textbook
 * form with the byte signedness its callers expect. */
#include "oxlo_hash.h"

#include <cstring>

namespace {

inline uint32_t oaat_step(uint32_t a, int32_t b)
{
    a += static_cast<uint32_t>(b);
    a *= 1025u; /* a += a << 10 */
    a ^= a >> 6;
    return a;
}

inline uint32_t oaat_final(uint32_t a)
{
    a *= 9u; /* a += a << 3 */
    a ^= a >> 11;
    a *= 32769u; /* a += a << 15 */
    return a;
}

inline uint32_t rotl32(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }
inline uint64_t rotr64(uint64_t x, int r) { return (x >> r) | (x << (64 - r)); }

inline uint32_t fmix32(uint32_t h)
{
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
}

} // namespace

extern "C" {

uint32_t djb2_hash(const void *data, uint32_t length)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint32_t h = 5381;
    for (uint32_t i = 0; i < length; i++)
        h = h * 33u + p[i];
    return h;
}

uint32_t one_at_a_time_hash_string(const char *text)
{
    uint32_t a = 0;
    if (!text)
        return 0;
    for (const char *p = text; *p; p++)
        a = oaat_step(a, static_cast<int8_t>(*p));
    return oaat_final(a);
}

uint32_t one_at_a_time_hash_reversed(const char *text)
{
    if (!text || !*text)
        return 0;
    uint32_t a = 0;
    for (size_t i = std::strlen(text); i > 0; i--)
        a = oaat_step(a, static_cast<int8_t>(text[i - 1]));
    return oaat_final(a);
}

uint32_t one_at_a_time_hash_bytes(const void *data, uint32_t length)
{
    if (!data || length == 0)
        return 0;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint32_t a = 0;
    for (uint32_t i = 0; i < length; i++)
        a = oaat_step(a, static_cast<int8_t>(p[i]));
    return oaat_final(a);
}

uint32_t string_lru_cache_hash(const void *data, uint32_t length)
{
    if (!data || length == 0)
        return 0;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint32_t a = 0;
    for (uint32_t i = 0; i < length; i++)
        a = oaat_step(a, p[i]);
    return oaat_final(a);
}

uint32_t murmur3_hash32(const void *data, uint32_t length, uint32_t seed)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    const uint32_t c1 = 0xcc9e2d51u, c2 = 0x1b873593u;
    const uint32_t nblocks = length / 4;
    uint32_t h = seed;

    for (uint32_t i = 0; i < nblocks; i++) {
        uint32_t k;
        std::memcpy(&k, p + i * 4, 4); /* little-endian host */
        k *= c1;
        k = rotl32(k, 15);
        k *= c2;
        h ^= k;
        h = rotl32(h, 13);
        h = h * 5u + 0xe6546b64u;
    }

    const uint8_t *tail = p + nblocks * 4;
    uint32_t k = 0;
    switch (length & 3) {
    case 3:
        k ^= static_cast<uint32_t>(tail[2]) << 16;
        [[fallthrough]];
    case 2:
        k ^= static_cast<uint32_t>(tail[1]) << 8;
        [[fallthrough]];
    case 1:
        k ^= tail[0];
        k *= c1;
        k = rotl32(k, 15);
        k *= c2;
        h ^= k;
    }

    h ^= length;
    return fmix32(h);
}

uint32_t murmur3_hash_default_seed(const void *data, uint32_t length)
{
    return murmur3_hash32(data, length, 0x87654321u);
}

uint32_t oxlo_murmur3_32(const void *data, uint32_t length, uint32_t seed)
{
    if (!data || length == 0)
        return fmix32(seed ^ length);
    return murmur3_hash32(data, length, seed);
}

uint64_t address_fold_hash(const void *data, uint32_t length)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint64_t h = 177;
    for (uint32_t i = 0; i < length; i++)
        h = h * 31u + static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(p[i])));
    return h ^ length;
}

uint32_t hash128_fold32(uint64_t x0, uint64_t x1)
{
    uint64_t a = x0 * 0x2c6fe96ee78b6955ull + x1 * 0x369dea0f31a53f85ull + 0x6bbc66d4e8ffd1b4ull;
    a = a ^ rotr64(a, 13) ^ rotr64(a, 7);
    return static_cast<uint32_t>(a >> 32) ^ static_cast<uint32_t>(a);
}

} // extern "C"
