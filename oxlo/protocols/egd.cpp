/* Ethernet Global Data: type 0x0D, version 1, the producer id equal to the
 * sender's IPv4 address, and a status and reserved field in range. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

#include <cstring>

namespace {

/* The header: type (0x0D) and version (1), request id, producer id, the
 * exchange id, timestamp, status and a reserved word. */
constexpr size_t EGD_TYPE = 0, EGD_PRODUCER_ID = 4, EGD_STATUS = 24, EGD_RESERVED = 28, EGD_HEADER = 32;
constexpr uint32_t EGD_STATUS_LAST = 30;
/* The IPv4 header's source address. */
constexpr size_t IPV4_SOURCE = 12;

void search_egd(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    const oxlo_reader ip = oxlo_dissector_ip(m, 4);
    const uint8_t *producer = oxlo_rd_bytes_at(&p, EGD_PRODUCER_ID, 4), *source = oxlo_rd_bytes_at(&ip, IPV4_SOURCE, 4);
    if (source && p.length > EGD_HEADER && oxlo_rd_match_n(&p, EGD_TYPE, "\x0D\x01", 2, 0) && producer &&
        memcmp(producer, source, 4) == 0 && oxlo_rd_peek32(&p, EGD_STATUS) <= EGD_STATUS_LAST &&
        oxlo_rd_peek32(&p, EGD_RESERVED) == 0)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ETHERNETGLOBALDATA, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ETHERNETGLOBALDATA};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_egd = {
    "EthernetGlobalData", search_egd, OXLO_SEL_IPV4 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_egd starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_egd = EGD_HEADER + 1;
} // extern "C"
