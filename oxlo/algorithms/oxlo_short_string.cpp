/* The short-string compressor. Its model: 32 known characters, and for each
 * of them the 16 characters that most often follow it in host names
 * (oxlo/data/oxlo_short_model.def). A pack stores its first character by
 * id and each later one by its index among the successors of the one
 * before; the successor-index table is built here from the successor lists,
 * so the two can never disagree. */
#include "oxlo_short_string.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr char known_chars[] = "o.ceairnstldmupghbfkyvw-xjzq1203";
constexpr int known = 32;
constexpr int successors = 16;
constexpr unsigned char first_leading = '-';
constexpr int leading_rows = 'z' - '-' + 1;

struct pack_kind {
    uint32_t header;
    int bytes;
    int chars;
    int offsets[8];
    uint32_t masks[8];
};

const pack_kind packs[3] = {
    {0x80000000u, 1, 2, {26, 24}, {15, 3}},
    {0xc0000000u, 2, 4, {25, 22, 19, 16}, {15, 7, 7, 7}},
    {0xe0000000u, 4, 8, {23, 19, 15, 11, 8, 5, 2, 0}, {31, 15, 15, 15, 7, 7, 7, 3}},
};

struct model {
    signed char ids[256];
    signed char successor_ids[known][known];
    char successors_by_char[leading_rows][successors];

    constexpr model() : ids(), successor_ids(), successors_by_char()
    {
        for (int c = 0; c < 256; c++)
            ids[c] = -1;
        for (int i = 0; i < known; i++)
            ids[static_cast<unsigned char>(known_chars[i])] = static_cast<signed char>(i);
        for (int a = 0; a < known; a++)
            for (int b = 0; b < known; b++)
                successor_ids[a][b] = -1;
#define OXLO_SUCCESSORS(lead, list) add(lead, list);
#include "../data/oxlo_short_model.def"
#undef OXLO_SUCCESSORS
    }

    constexpr void add(char lead, const char (&list)[successors + 1])
    {
        int a = ids[static_cast<unsigned char>(lead)];
        for (int i = 0; i < successors; i++) {
            char c = list[i];
            successors_by_char[static_cast<unsigned char>(lead) - first_leading][i] = c;
            successor_ids[a][ids[static_cast<unsigned char>(c)]] = static_cast<signed char>(i);
        }
    }
};

constexpr model m;

int id_of(char c) { return m.ids[static_cast<unsigned char>(c)]; }

/* The successor of a character at an index; 0 when the character leads no
 * row (only a crafted input can ask for that). */
char successor(char lead, uint32_t index)
{
    unsigned char u = static_cast<unsigned char>(lead);
    if (id_of(lead) < 0 || u < first_leading || u - first_leading >= leading_rows || index >= successors)
        return 0;
    return m.successors_by_char[u - first_leading][index];
}

int too_small(size_t out_size) { return static_cast<int>(out_size + 1); }

} // namespace

extern "C" {

int short_string_compress(const char *text, size_t length, char *out, size_t out_size)
{
    if (!text)
        return 0;
    const bool to_nul = length == 0;
    size_t n = to_nul ? std::strlen(text) : length;
    size_t o = 0;
    size_t i = 0;
    while (i < n) {
        uint32_t values[8];
        int run = 0;
        int prev = id_of(text[i]);
        if (prev >= 0) {
            values[run++] = static_cast<uint32_t>(prev);
            while (run < 8 && i + run < n) {
                int id = id_of(text[i + run]);
                if (id < 0 || m.successor_ids[prev][id] < 0)
                    break;
                values[run++] = static_cast<uint32_t>(m.successor_ids[prev][id]);
                prev = id;
            }
        }
        const pack_kind *chosen = nullptr;
        if (run >= 2) {
            for (int p = 2; p >= 0 && !chosen; p--) {
                const pack_kind &k = packs[p];
                if (k.chars > run)
                    continue;
                bool fits = true;
                for (int j = 0; j < k.chars && fits; j++)
                    fits = values[j] <= k.masks[j];
                if (fits)
                    chosen = &k;
            }
        }
        if (chosen) {
            if (o + static_cast<size_t>(chosen->bytes) > out_size)
                return too_small(out_size);
            uint32_t word = chosen->header;
            for (int j = 0; j < chosen->chars; j++)
                word |= values[j] << chosen->offsets[j];
            for (int b = 0; b < chosen->bytes; b++)
                out[o++] = static_cast<char>(word >> (24 - 8 * b));
            i += static_cast<size_t>(chosen->chars);
            continue;
        }
        /* A literal. 0x00 is the escape byte, so it is escaped itself, as
         * is every byte with the top bit set (those would read as packs). */
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool escape = c >= 0x80 || c == 0;
        if (o + (escape ? 2 : 1) > out_size)
            return too_small(out_size);
        if (escape)
            out[o++] = 0;
        out[o++] = static_cast<char>(c);
        i++;
    }
    return static_cast<int>(o);
}

int short_string_decompress(const char *packed, size_t length, char *out, size_t out_size)
{
    if (!packed)
        return -1;
    size_t o = 0;
    size_t i = 0;
    while (i < length) {
        unsigned char b = static_cast<unsigned char>(packed[i]);
        int ones = 0;
        while (ones < 8 && (b & (0x80 >> ones)))
            ones++;
        if (ones == 0) {
            char c = static_cast<char>(b);
            if (b == 0) {
                if (i + 1 >= length)
                    return -1;
                c = packed[i + 1];
                i++;
            }
            if (o >= out_size)
                return too_small(out_size);
            out[o++] = c;
            i++;
            continue;
        }
        /* Four or more leading ones name no pack. */
        if (ones > 3)
            return -1;
        const pack_kind &k = packs[ones - 1];
        if (o + static_cast<size_t>(k.chars) > out_size)
            return too_small(out_size);
        if (i + static_cast<size_t>(k.bytes) > length)
            return -1;
        uint32_t word = 0;
        for (int j = 0; j < 4; j++)
            word = (word << 8) | (j < k.bytes ? static_cast<unsigned char>(packed[i + j]) : 0u);
        char c = known_chars[(word >> k.offsets[0]) & k.masks[0]];
        out[o++] = c;
        for (int j = 1; j < k.chars; j++) {
            c = successor(c, (word >> k.offsets[j]) & k.masks[j]);
            if (c == 0)
                return -1;
            out[o++] = c;
        }
        i += static_cast<size_t>(k.bytes);
    }
    if (o < out_size)
        out[o] = '\0';
    return static_cast<int>(o);
}

} // extern "C"
