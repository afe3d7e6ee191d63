/* Weather-station discovery: FF FF 12 00 and a body. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* Reads within the payload; callers check its length first. */

void search_easyweather(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    if (!(p.length > 4 && oxlo_rd_match_n(&p, 0, "\xFF\xFF\x12\x00", 4, 0))) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_EASYWEATHER, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_EASYWEATHER};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_easyweather = {
    "EasyWeather", search_easyweather, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
