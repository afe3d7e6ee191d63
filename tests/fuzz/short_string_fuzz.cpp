/* Decompresses arbitrary bytes into buffers of several sizes (crafted packs
 * must never index past the model), and checks that compressing the bytes
 * and decompressing the result gives them back exactly. */
#include "oxlo_short_string.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *in = reinterpret_cast<const char *>(data);
    for (size_t room : {size_t{0}, size_t{1}, size / 2, size * 8 + 8}) {
        std::vector<char> out(room + 1);
        int n = short_string_decompress(in, size, out.data(), room);
        if (n != -1 && (n < 0 || static_cast<size_t>(n) > room + 1))
            std::abort();
    }
    if (size == 0)
        return 0;
    std::vector<char> packed(2 * size);
    int p = short_string_compress(in, size, packed.data(), packed.size());
    if (p < 0 || static_cast<size_t>(p) > packed.size())
        std::abort();
    std::vector<char> back(size + 1);
    int b = short_string_decompress(packed.data(), static_cast<size_t>(p), back.data(), back.size());
    if (b != static_cast<int>(size) || std::memcmp(back.data(), in, size) != 0)
        std::abort();
    return 0;
}
