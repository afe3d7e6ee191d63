/* collectd's network plugin: a UDP datagram of parts, each a 16-bit type
 * and a 16-bit length that counts its own four header bytes. A host part
 * names the sender; an encrypted datagram is a single part that carries
 * the user name in clear. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_serializer.h"

namespace {

enum : uint16_t { HOST = 0x0000, ENCRYPTION = 0x0210 };
/* A part: its type, its length (the 4-byte header included), the value.
 * The encryption part's value starts with the user name's length and the
 * name; a 16-byte IV and the encrypted data come after it. */
constexpr size_t PART_TYPE = 0, PART_LENGTH = 2, PART_VALUE = 4, PART_HEADER = 4;
constexpr size_t ENCRYPTION_USER_LENGTH = 4, ENCRYPTION_USER = 6, ENCRYPTION_IV_SIZE = 16;

const uint16_t part_types[] = {0x0000, 0x0001, 0x0008, 0x0002, 0x0003, 0x0004, 0x0005,
                               0x0006, 0x0007, 0x0009, 0x0100, 0x0101, 0x0200, 0x0210};

struct collectd_state {
    char client_username[32];
};

bool known_type(uint16_t type)
{
    for (uint16_t t : part_types)
        if (t == type)
            return true;
    return false;
}

void search_collectd(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    oxlo_reader host{};
    bool have_host = false;
    unsigned valid = 0;
    size_t at = 0;
    while (valid < 5 && oxlo_rd_has(&p, at, PART_HEADER)) {
        uint16_t type = 0, length = 0;
        oxlo_rd_u16_at(&p, at + PART_TYPE, &type);
        oxlo_rd_u16_at(&p, at + PART_LENGTH, &length);
        if (length == 0 || length > p.length - at || !known_type(type))
            break;
        if (type == HOST && length > PART_HEADER) {
            /* The sender writes the name NUL-terminated; the NUL is no part
             * of it. */
            host = oxlo_rd_sub_at(&p, at + PART_VALUE, length - PART_HEADER);
            const ptrdiff_t nul = oxlo_rd_find_byte(&host, 0, 0);
            if (nul >= 0)
                host = oxlo_rd_upto(&host, size_t(nul));
            have_host = host.length > 0;
        }
        if (type == ENCRYPTION) {
            uint16_t user = 0;
            oxlo_rd_u16_at(&p, ENCRYPTION_USER_LENGTH, &user);
            if (length > PART_HEADER + 1 && length == p.length && size_t(user) + ENCRYPTION_USER + ENCRYPTION_IV_SIZE <= p.length) {
                collectd_state *s = static_cast<collectd_state *>(oxlo_dissector_state(m, f));
                if (s) {
                    const oxlo_reader name = oxlo_rd_sub_at(&p, ENCRYPTION_USER, user);
                    oxlo_rd_text(&name, s->client_username, sizeof(s->client_username));
                }
                oxlo_dissector_classify(m, f, OXLO_PROTOCOL_COLLECTD, OXLO_PROTOCOL_UNKNOWN);
            } else {
                OXLO_EXCLUDE(m, f);
            }
            return;
        }
        valid++;
        at += length;
    }
    if (valid <= 2) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (have_host)
        oxlo_flow_store_host_name(f, reinterpret_cast<const char *>(host.data), host.length,
                                  OXLO_HOST_LOWER | OXLO_HOST_PRINTABLE | OXLO_HOST_STRIP_SPACES);
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_COLLECTD, OXLO_PROTOCOL_UNKNOWN);
}

int collectd_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const void *st = oxlo_flow_slot_state(f, OXLO_DISSECTOR_collectd);
    int rc = oxlo_recbuf_open_block(out, "collectd");
    rc |= oxlo_recbuf_put_text(out, "client_username",
                               st ? static_cast<const collectd_state *>(st)->client_username : "");
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_COLLECTD};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_collectd = {
    "collectd", search_collectd, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, sizeof(collectd_state), nullptr, collectd_json,
};
} // extern "C"
