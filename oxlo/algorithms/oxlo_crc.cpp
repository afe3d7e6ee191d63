/* Table-driven CRCs. The tables are built at compile time from the
 * polynomials, so nothing is transcribed. */
#include "oxlo_crc.h"

#include <array>

namespace {

/* MSB-first table for polynomial 0x1021. */
constexpr std::array<uint16_t, 256> table_msb16()
{
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; i++) {
        uint16_t c = uint16_t(i << 8);
        for (int b = 0; b < 8; b++)
            c = uint16_t(c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1);
        t[i] = c;
    }
    return t;
}

/* Reflected (LSB-first) table of any polynomial given reflected. */
template <typename T> constexpr std::array<T, 256> table_lsb(T reflected_poly)
{
    std::array<T, 256> t{};
    for (unsigned i = 0; i < 256; i++) {
        T c = T(i);
        for (int b = 0; b < 8; b++)
            c = T(c & 1 ? (c >> 1) ^ reflected_poly : c >> 1);
        t[i] = c;
    }
    return t;
}

constexpr auto msb16 = table_msb16();
constexpr auto lsb16 = table_lsb<uint16_t>(0x8408);
constexpr auto lsb32 = table_lsb<uint32_t>(0xEDB88320u);

uint16_t run_msb16(const void *data, size_t length, uint16_t crc)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < length; i++)
        crc = uint16_t((crc << 8) ^ msb16[((crc >> 8) ^ p[i]) & 0xFF]);
    return crc;
}

uint16_t run_lsb16(const void *data, size_t length, uint16_t crc)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < length; i++)
        crc = uint16_t((crc >> 8) ^ lsb16[(crc ^ p[i]) & 0xFF]);
    return crc;
}

} // namespace

extern "C" {

uint16_t crc16_kermit(const void *data, size_t length) { return run_lsb16(data, length, 0); }

uint16_t crc16_ccitt_false(const void *data, size_t length) { return run_msb16(data, length, 0xFFFF); }

uint16_t crc16_xmodem(const void *data, size_t length) { return run_msb16(data, length, 0); }

uint16_t crc16_x25(const void *data, size_t length) { return uint16_t(run_lsb16(data, length, 0xFFFF) ^ 0xFFFF); }

uint32_t crc32_update(const void *data, size_t length, uint32_t previous)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint32_t crc = ~previous;
    for (size_t i = 0; i < length; i++)
        crc = (crc >> 8) ^ lsb32[(crc ^ p[i]) & 0xFF];
    return ~crc;
}

} // extern "C"
