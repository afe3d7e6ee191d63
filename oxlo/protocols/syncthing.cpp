/* Syncthing's local discovery announcements open with the magic 0x2EA7D90B. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_syncthing(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    if (p.length >= 5 && oxlo_rd_match_n(&p, 0, "\x2E\xA7\xD9\x0B", 4, 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SYNCTHING, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SYNCTHING};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_syncthing = {
    "Syncthing", search_syncthing, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
