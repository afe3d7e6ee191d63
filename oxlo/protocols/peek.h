/* Fixed-offset reads for dissectors that test many fields of one message:
 * each gives the field's value, or 0 when the payload is too short, so a
 * test on a missing field simply fails. The 16- and 32-bit values come back
 * wider than their fields, so a sum such as "length + 16" cannot wrap. */
#ifndef OXLO_PROTOCOLS_PEEK_H
#define OXLO_PROTOCOLS_PEEK_H

#include "oxlo_dissector.h"

namespace oxlo_peek {

[[maybe_unused]] inline uint8_t b(const oxlo_reader &p, size_t i)
{
    uint8_t x = 0;
    oxlo_rd_u8_at(&p, i, &x);
    return x;
}
[[maybe_unused]] inline uint32_t be16(const oxlo_reader &p, size_t i)
{
    uint16_t x = 0;
    oxlo_rd_u16_at(&p, i, &x);
    return x;
}
[[maybe_unused]] inline uint64_t be32(const oxlo_reader &p, size_t i)
{
    uint32_t x = 0;
    oxlo_rd_u32_at(&p, i, &x);
    return x;
}
[[maybe_unused]] inline uint64_t le32(const oxlo_reader &p, size_t i)
{
    uint32_t x = 0;
    oxlo_rd_le32_at(&p, i, &x);
    return x;
}

} // namespace oxlo_peek

#endif
