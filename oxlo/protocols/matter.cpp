/* Matter over IPv6 UDP on its ports: message flags, security flags with a
 * session type, and a session id that is 0 exactly for unsecured sessions. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The message header: flags (version, source and destination node id
 * presence), the session id (little-endian), security flags (privacy,
 * control, extensions, session type), then the message counter. */
constexpr size_t MATTER_FLAGS = 0, MATTER_SESSION_ID = 1, MATTER_SECURITY_FLAGS = 3, MATTER_HEADER_MIN = 16;
constexpr uint16_t MATTER_PORT = 5540, MATTER_COMMISSIONING_PORT = 5542;

void search_matter(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader p = pkt.payload;
    const bool port = pkt.src_port == MATTER_PORT || pkt.dst_port == MATTER_PORT ||
                      pkt.src_port == MATTER_COMMISSIONING_PORT || pkt.dst_port == MATTER_COMMISSIONING_PORT;
    const uint8_t flags = oxlo_rd_peek8(&p, MATTER_FLAGS), security = oxlo_rd_peek8(&p, MATTER_SECURITY_FLAGS);
    if (!(port && p.length >= MATTER_HEADER_MIN && flags < 32 && (flags & 3) != 3 && !(flags & 8) &&
          !(security & 0x1C) && (security & 3) != 3 &&
          (((security & 3) == 0) == (oxlo_rd_peekle16(&p, MATTER_SESSION_ID) == 0)))) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MATTER, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MATTER};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_matter = {
    "Matter", search_matter, OXLO_SEL_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
