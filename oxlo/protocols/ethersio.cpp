/* EtherSIO: "ESIO", version 0, a message type up to 2. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The header: "ESIO", the version, the message type, a zero byte. */
constexpr size_t ESIO_MAGIC = 0, ESIO_VERSION = 4, ESIO_MESSAGE_TYPE = 5, ESIO_ZERO = 6, ESIO_MIN = 20;
constexpr uint8_t ESIO_MESSAGE_TYPE_LAST = 2;

void search_ethersio(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length >= ESIO_MIN && oxlo_rd_match_n(&p, ESIO_MAGIC, "ESIO", 4, 0) && oxlo_rd_peek8(&p, ESIO_VERSION) == 0 &&
          oxlo_rd_peek8(&p, ESIO_MESSAGE_TYPE) <= ESIO_MESSAGE_TYPE_LAST && oxlo_rd_peek8(&p, ESIO_ZERO) == 0)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ETHERSIO, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ETHERSIO};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_ethersio = {
    "EtherSIO", search_ethersio, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

/* Shorter first datagrams fail the length test search_ethersio starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_ethersio = ESIO_MIN;
} // extern "C"
