/* Voice chat over UDP: an 8-byte keep-alive with a fixed magic, or the
 * 74-byte IP discovery exchange (type, length, SSRC, a 64-byte NUL-padded
 * address, port) whose answer comes second and names the client's public
 * address. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_serializer.h"

namespace {

/* IP discovery: type (2, response), length (70), SSRC, then the address
 * (64 bytes, NUL-padded) and the port: 74 bytes. The keep-alive: a magic
 * and 4 more bytes. */
constexpr size_t DISCOVERY_TYPE = 0, DISCOVERY_ADDRESS = 8, DISCOVERY_ADDRESS_SIZE = 64, DISCOVERY_SIZE = 74;
constexpr size_t KEEPALIVE_MAGIC = 0, KEEPALIVE_SIZE = 8;

struct discord_state {
    char client_ip[46];
};


void found(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_DISCORD, OXLO_PROTOCOL_UNKNOWN);
}

void search_discord(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = v.payload;
    if (p.length == KEEPALIVE_SIZE && oxlo_rd_match_n(&p, KEEPALIVE_MAGIC, "\x13\x37\xCA\xFE", 4, 0)) {
        found(m, f);
        return;
    }
    if (p.length == DISCOVERY_SIZE && v.payload_packets == 2 &&
        oxlo_rd_match_n(&p, DISCOVERY_TYPE, "\x00\x02\x00\x46", 4, 0)) {
        discord_state *s = static_cast<discord_state *>(oxlo_dissector_state(m, f));
        if (s) {
            /* The address field holds up to 64 bytes: keep a whole dotted
             * IPv4 or textual IPv6 address, up to its NUL. */
            const oxlo_reader field = oxlo_rd_sub_at(&p, DISCOVERY_ADDRESS, DISCOVERY_ADDRESS_SIZE);
            const ptrdiff_t nul = oxlo_rd_find_byte(&field, 0, 0);
            const oxlo_reader text = oxlo_rd_upto(&field, nul < 0 ? field.length : size_t(nul));
            oxlo_rd_text(&text, s->client_ip, sizeof(s->client_ip));
        }
        found(m, f);
        return;
    }
    if (v.payload_packets > 4)
        OXLO_EXCLUDE(m, f);
}

int discord_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const void *st = oxlo_flow_slot_state(f, OXLO_DISSECTOR_discord);
    int rc = oxlo_recbuf_open_block(out, "discord");
    rc |= oxlo_recbuf_put_text(out, "client_ip", st ? static_cast<const discord_state *>(st)->client_ip : "");
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_DISCORD};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_discord = {
    "Discord", search_discord, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, sizeof(discord_state), nullptr, discord_json,
};
} // extern "C"
