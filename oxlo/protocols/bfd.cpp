/* Bidirectional forwarding detection: control packets to 3784 (version and
 * diagnostic, flags, multiplier, length) and 12-byte echo packets to 3785. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* A control packet: version and diagnostic, state and flags, the detect
 * multiplier, the length, then the discriminators and intervals. */
constexpr size_t BFD_VERSION_DIAG = 0, BFD_LENGTH = 3, BFD_CONTROL_MIN = 24, BFD_CONTROL_MAX = 100;
/* The echo packets the tree knows: two words (0 and 1), then a zero
 * 16-bit field at 10 of 12. */
constexpr size_t ECHO_FIRST = 0, ECHO_SECOND = 4, ECHO_ZERO = 10, ECHO_SIZE = 12;
constexpr uint16_t BFD_CONTROL_PORT = 3784, BFD_ECHO_PORT = 3785;


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_BFD, OXLO_PROTOCOL_UNKNOWN);
}

void search_bfd(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    bool echo = p.length == ECHO_SIZE && v.dst_port == BFD_ECHO_PORT && oxlo_rd_peek32(&p, ECHO_FIRST) == 0 &&
                oxlo_rd_peek32(&p, ECHO_SECOND) == 1 && oxlo_rd_peek16(&p, ECHO_ZERO) == 0;
    bool control = p.length >= BFD_CONTROL_MIN && p.length <= BFD_CONTROL_MAX && v.dst_port == BFD_CONTROL_PORT &&
                   oxlo_rd_peek8(&p, BFD_VERSION_DIAG) <= 0x3F && oxlo_rd_peek8(&p, BFD_LENGTH) == p.length;
    if (echo || control)
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_BFD};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_bfd = {
    "BFD", search_bfd, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search_bfd starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_bfd = ECHO_SIZE < BFD_CONTROL_MIN ? ECHO_SIZE : BFD_CONTROL_MIN;
} // extern "C"
