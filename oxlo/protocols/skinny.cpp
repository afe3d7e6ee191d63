/* Skinny call control between phones and their call manager on port 2000:
 * every message opens with its little-endian length (the bytes after the
 * 8-byte header), a header version and a message id from the known ranges. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

/* A message: the length of what follows the first 8 bytes, the header
 * version, the message id (all little-endian). */
constexpr size_t SKINNY_LENGTH = 0, SKINNY_VERSION = 4, SKINNY_MESSAGE_ID = 8, SKINNY_HEADER = 12;
constexpr size_t SKINNY_LENGTH_BASE = 8;
constexpr uint16_t SKINNY_PORT = 2000;


bool known_version(uint64_t v) { return v == 0 || v == 10 || v == 11 || (v >= 15 && v <= 22); }

bool known_message(uint64_t id)
{
    return id < 160 || (id >= 256 && id <= 352) || id == 0x8000 || id == 0x8100 || id == 0x8101;
}

void search_skinny(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    oxlo_reader p = pkt.payload;
    /* Messages (a length, the version, the message id) are read whole from
     * the stream; a phone sends several at once. */
    auto size = [](const oxlo_reader &r) -> int64_t {
        uint32_t n = 0, version = 0;
        if (oxlo_rd_le32_at(&r, SKINNY_VERSION, &version) && !known_version(version))
            return 0;
        if (!oxlo_rd_le32_at(&r, SKINNY_LENGTH, &n))
            return -1;
        return n >= 4 && n <= 4096 ? int64_t(n) + SKINNY_LENGTH_BASE : 0;
    };
    const bool port = pkt.src_port == SKINNY_PORT || pkt.dst_port == SKINNY_PORT;
    if (port && oxlo_framing::whole(m, f, pkt, SKINNY_HEADER, 16, size, &p) == oxlo_framing::FIRST_WAITING)
        return;
    const bool ok = port && p.length >= SKINNY_HEADER &&
                    oxlo_rd_peekle32(&p, SKINNY_LENGTH) + SKINNY_LENGTH_BASE == p.length &&
                    known_version(oxlo_rd_peekle32(&p, SKINNY_VERSION)) &&
                    known_message(oxlo_rd_peekle32(&p, SKINNY_MESSAGE_ID));
    if (ok)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_CISCOSKINNY, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_CISCOSKINNY};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_skinny = {
    "CiscoSkinny", search_skinny,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
