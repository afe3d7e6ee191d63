/* The compact key of a host name, used by the domain sets to store many host
 * names in little memory: the part before the public suffix packed six bits
 * a character (or short-string compressed when that is shorter), followed by
 * the suffix's id. Names that cannot be shortened are kept as text. */
#include "oxlo_utils.h"

#include <cstring>

#include "oxlo_hosts.h"
#include "oxlo_utils_internal.h"
#include "oxlo_short_string.h"

namespace {

constexpr size_t min_packed_name = 5;
constexpr size_t max_key = 512;

/* 6-bit codes: a-z 1-26, 0-9 27-36, '-' 37, '_' 38, '.' 39, 0 for a character
 * that is dropped. Built once; a function-local static is thread-safe. */
struct code_table {
    uint8_t code[256];
    code_table() : code{}
    {
        /* Upper case codes as lower case: dropping it instead would make
         * "xAmple.com" and "xmple.com" one key. */
        for (int c = 'a'; c <= 'z'; c++) {
            code[c] = static_cast<uint8_t>(c - 'a' + 1);
            code[c - 'a' + 'A'] = code[c];
        }
        for (int c = '0'; c <= '9'; c++)
            code[c] = static_cast<uint8_t>(c - '0' + 27);
        code[static_cast<uint8_t>('-')] = 37;
        code[static_cast<uint8_t>('_')] = 38;
        code[static_cast<uint8_t>('.')] = 39;
    }
};

const code_table &codes()
{
    static const code_table table;
    return table;
}

/* Packs text into out (room for 3/4 of the codes, rounded up); the length. */
size_t pack(const char *text, size_t length, uint8_t *out)
{
    const code_table &t = codes();
    size_t o = 0;
    uint32_t word = 0;
    int filled = 0;
    for (size_t i = 0; i < length; i++) {
        uint8_t c = t.code[static_cast<uint8_t>(text[i])];
        if (c == 0)
            continue;
        word |= static_cast<uint32_t>(c) << (6 * filled);
        if (++filled == 4) {
            out[o++] = static_cast<uint8_t>(word);
            out[o++] = static_cast<uint8_t>(word >> 8);
            out[o++] = static_cast<uint8_t>(word >> 16);
            word = 0;
            filled = 0;
        }
    }
    for (int i = 0; i < filled; i++)   /* a last group of 1-3 codes takes 1-3 bytes */
        out[o++] = static_cast<uint8_t>(word >> (8 * i));
    return o;
}

size_t copy_as_text(const char *name, size_t length, uint8_t *buffer, size_t size)
{
    if (length + 1 > size)
        return 0;
    std::memcpy(buffer, name, length);
    buffer[length] = 0;
    return length;
}

const oxlo_compact_key_calls compressor_calls = {oxlo_host_public_suffix, short_string_compress};

} // namespace

extern "C" {

size_t oxlo_host_name_compact_key_with(oxlo_module *module, const char *host_name,
                                       uint8_t *buffer, size_t size,
                                       const oxlo_compact_key_calls *calls)
{
    if (!host_name || !buffer || size == 0 || !calls)
        return 0;
    size_t length = std::strlen(host_name);
    if (length < min_packed_name || length > max_key)
        return copy_as_text(host_name, length, buffer, size);

    uint16_t suffix_id = 0;
    const char *suffix = calls->public_suffix(module, host_name, &suffix_id);
    if (!suffix || suffix_id == 0 || suffix <= host_name || suffix > host_name + length)
        return copy_as_text(host_name, length, buffer, size);

    size_t prefix_length = static_cast<size_t>(suffix - host_name);
    uint8_t packed[max_key];
    size_t key_length = pack(host_name, prefix_length, packed);
    char compressed[max_key];
    int c = calls->compress(host_name, prefix_length, compressed, sizeof compressed);
    bool use_compressed = c > 0 && static_cast<size_t>(c) <= sizeof compressed &&
                          static_cast<size_t>(c) + 1 <= key_length;
    if (use_compressed)
        key_length = static_cast<size_t>(c);

    if (key_length + 2 >= length)   /* the packing does not shorten the name */
        return copy_as_text(host_name, length, buffer, size);
    if (key_length + 2 > size)
        return 0;
    std::memcpy(buffer, use_compressed ? static_cast<const void *>(compressed) : packed, key_length);
    buffer[key_length] = static_cast<uint8_t>(suffix_id >> 8);
    buffer[key_length + 1] = static_cast<uint8_t>(suffix_id);
    return key_length + 2;
}

size_t oxlo_host_name_compact_key(oxlo_module *module, const char *host_name, uint8_t *buffer,
                                  size_t size)
{
    return oxlo_host_name_compact_key_with(module, host_name, buffer, size, &compressor_calls);
}

} // extern "C"
