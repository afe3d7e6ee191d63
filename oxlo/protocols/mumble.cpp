/* Mumble's UDP ping: the client sends 12 bytes (four zero bytes, then an
 * 8-byte value of its choice) and the server answers in 24 bytes that echo
 * the value at the same offset, followed by its user counts and bandwidth. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* The ping: four zero bytes and the client's 64-bit ident (12 bytes); the
 * answer repeats the ident and adds the server's figures (24 bytes). */
constexpr size_t PING_ZERO = 0, PING_IDENT_HIGH = 4, PING_IDENT_LOW = 8, PING_SIZE = 12, PONG_SIZE = 24;

struct mumble_state {
    uint8_t ping_seen;
    uint64_t ident;
};

bool read_ident(const oxlo_reader &p, uint64_t *ident)
{
    uint32_t hi = 0, lo = 0;
    if (!oxlo_rd_u32_at(&p, PING_IDENT_HIGH, &hi) || !oxlo_rd_u32_at(&p, PING_IDENT_LOW, &lo))
        return false;
    *ident = uint64_t(hi) << 32 | lo;
    return true;
}

void search_mumble(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    mumble_state *s = static_cast<mumble_state *>(oxlo_dissector_state(m, f));
    const oxlo_reader &p = pkt.payload;
    uint32_t head = 1;
    uint64_t ident = 0;
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (!s->ping_seen && pkt.from_client && p.length == PING_SIZE && oxlo_rd_u32_at(&p, PING_ZERO, &head) && head == 0 &&
        read_ident(p, &ident)) {
        s->ping_seen = 1;
        s->ident = ident;
        return;
    }
    if (s->ping_seen && p.length == PONG_SIZE && read_ident(p, &ident) && ident == s->ident) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MUMBLE, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MUMBLE};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_mumble = {
    "Mumble", search_mumble, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1,
    sizeof(mumble_state), nullptr, nullptr,
};
} // extern "C"
