/* SD-RTN, a real-time media relay network: its UDP messages carry '!' at 6,
 * the tag 04 "SNI" at 12 and then a 16-bit length with the server name the
 * client asks for, which becomes the flow's host name. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


void search_sd_rtn(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader &p = oxlo_dissector_packet(m, f).payload;
    const uint32_t name_length = oxlo_rd_peek16(&p, 16);
    /* The name must lie wholly inside the datagram. */
    const uint8_t *name = oxlo_rd_bytes_at(&p, 19, name_length);
    if (p.length <= 19 || oxlo_rd_peek8(&p, 6) != '!' || !oxlo_rd_match_n(&p, 12, "\x04SNI", 4, 0) || oxlo_rd_peek8(&p, 18) != 0 || !name) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (name_length)
        oxlo_flow_store_host_name(f, reinterpret_cast<const char *>(name), name_length,
                                  OXLO_HOST_LOWER | OXLO_HOST_PRINTABLE | OXLO_HOST_STRIP_SPACES);
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SD_RTN, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SD_RTN};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_sd_rtn = {
    "SD-RTN", search_sd_rtn, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search_sd_rtn starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_sd_rtn = 20;
} // extern "C"
