/* CORBA's GIOP (and its compressed ZIOP) over TCP, MIOP over UDP multicast:
 * a 4-byte tag. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CORBA, OXLO_PROTOCOL_UNKNOWN);
}

/* GIOP's header: the tag, the version, flags (bit 0: little-endian), the
 * message type and the 32-bit size of the body after the header. */
constexpr size_t GIOP_HEADER = 12, GIOP_FLAGS = 6, GIOP_SIZE = 8, GIOP_READ = 24;

bool giop_tag(const oxlo_reader &p, size_t n)
{
    return oxlo_rd_match_n(&p, 0, "GIOP", n, 0) || oxlo_rd_match_n(&p, 0, "ZIOP", n, 0);
}

/* Over TCP a message cut by the segments is read as far as the rule reads
 * it (its first 24 bytes, or all of a shorter one). True while waiting. */
bool wait_for_message(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &v)
{
    const oxlo_reader &p = v.payload;
    if (v.l4 != OXLO_L4_TCP || p.length >= GIOP_READ || p.length == 0 || !giop_tag(p, p.length < 4 ? p.length : 4))
        return false;
    if (p.length < GIOP_HEADER)
        return oxlo_framing::wait_for(m, f, v, GIOP_HEADER);
    uint32_t size = 0;
    oxlo_rd_u32_at(&p, GIOP_SIZE, &size);
    if (oxlo_rd_peek8(&p, GIOP_FLAGS) & 1)
        size = __builtin_bswap32(size);
    const uint64_t total = uint64_t(GIOP_HEADER) + size;
    return oxlo_framing::wait_for(m, f, v, total < GIOP_READ ? total : GIOP_READ);
}

void search_corba(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (wait_for_message(m, f, v))
        return;
    bool known = v.l4 == OXLO_L4_TCP
                     ? p.length > 23 && (oxlo_rd_match(&p, 0, "GIOP", 0) || oxlo_rd_match(&p, 0, "ZIOP", 0))
                     : p.length > 32 && oxlo_rd_match(&p, 0, "MIOP", 0);
    if (known)
        found(m, f);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CORBA};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_corba = {
    "Corba", search_corba, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
/* Shorter first datagrams fail the length test search_corba starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_corba = 33;
} // extern "C"
