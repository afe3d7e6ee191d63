/* Lustre's network layer (LNet over TCP, IPv4 only): its hello and message
 * headers carry the destination's IPv4 address (the address as a number,
 * written little-endian) at a fixed place, which makes a strong test
 * together with the magic numbers. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {

/* The IPv4 header's destination address. */
constexpr size_t IPV4_DESTINATION = 16;
/* The hello of either byte order: its magic, version, then the address of
 * the node it is sent to. */
constexpr size_t HELLO_MAGIC = 0, HELLO_DESTINATION = 8, HELLO_MIN = 16;
/* An LNet message: its magic, ..., the destination node's address, ..., the
 * payload length; the payload follows a 96-byte header. */
constexpr size_t MESSAGE_MAGIC = 0, MESSAGE_DESTINATION = 24, MESSAGE_PAYLOAD_LENGTH = 52, MESSAGE_HEADER = 96;

uint32_t destination_ipv4(const oxlo_module *m)
{
    const oxlo_reader ip = oxlo_dissector_ip(m, 4);
    return uint32_t(oxlo_rd_peek32(&ip, IPV4_DESTINATION));
}

void search_lustre(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    const uint32_t dst = destination_ipv4(m);
    uint32_t v = 0, length = 0;
    const bool hello = p.length >= HELLO_MIN &&
                       (oxlo_rd_match_n(&p, HELLO_MAGIC, "\x63\x69\x72\x45", 4, 0) ||
                        oxlo_rd_match_n(&p, HELLO_MAGIC, "\x00\x71\xCE\xAC", 4, 0)) &&
                       oxlo_rd_le32_at(&p, HELLO_DESTINATION, &v) && v == dst;
    const bool message = p.length >= MESSAGE_HEADER && oxlo_rd_match_n(&p, MESSAGE_MAGIC, "\xC1\x00\x00\x00", 4, 0) &&
                         oxlo_rd_le32_at(&p, MESSAGE_DESTINATION, &v) && v == dst &&
                         oxlo_rd_le32_at(&p, MESSAGE_PAYLOAD_LENGTH, &length) &&
                         uint64_t(length) + MESSAGE_HEADER == p.length;
    if (hello || message)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_LUSTRE, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_LUSTRE};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_lustre = {
    "Lustre", search_lustre, OXLO_SEL_IPV4 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
