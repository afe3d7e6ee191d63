/* TFTP over UDP: a 16-bit opcode (1 read, 2 write, 3 data, 4 ack, 5 error,
 * 6 option ack) and then NUL-terminated strings or a block number. A
 * request names the file and the transfer mode and may carry options. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_serializer.h"
#include "oxlo_utils.h"

#include <initializer_list>

namespace {

enum : uint8_t { RRQ = 1, WRQ = 2, DATA = 3, ACK = 4, ERROR = 5, OACK = 6 };
/* Every packet: its 16-bit opcode. Requests then carry the file name,
 * data and acknowledgements the block number, errors their code, option
 * acknowledgements the options. */
constexpr size_t TFTP_OPCODE_HIGH = 0, TFTP_OPCODE = 1, TFTP_FILENAME = 2, TFTP_BLOCK = 2, TFTP_ERROR_CODE = 2,
                 TFTP_OPTIONS = 2, TFTP_HEADER = 4;
constexpr uint8_t TFTP_ERROR_CODE_LAST = 7;

struct tftp_state {
    char filename[128];
    uint16_t data_block, ack_block;
    uint8_t good; /* counted packets, up to 3 */
};

/* The NUL-terminated string at off: its length, or -1 when it does not end
 * inside the payload. */
ptrdiff_t string_at(const oxlo_reader &p, size_t off)
{
    const ptrdiff_t nul = oxlo_rd_find_byte(&p, off, 0);
    return nul < 0 ? -1 : nul - ptrdiff_t(off);
}

/* Option pairs from off to the payload's end: each name and value a
 * non-empty string, no name twice (any option a client asks for: blksize,
 * tsize, timeout, windowsize ...). */
bool options_parse(const oxlo_reader &p, size_t off)
{
    const char *seen[16];
    size_t seen_length[16], count = 0;
    while (off < p.length) {
        const ptrdiff_t name = string_at(p, off);
        if (name <= 0)
            return false;
        const ptrdiff_t value = string_at(p, off + size_t(name) + 1);
        if (value <= 0 || count == 16)
            return false;
        const char *n = reinterpret_cast<const char *>(p.data + off);
        for (size_t i = 0; i < count; i++)
            if (seen_length[i] == size_t(name) && oxlo_compare_nocase(seen[i], n, size_t(name)) == 0)
                return false;
        seen[count] = n;
        seen_length[count++] = size_t(name);
        off += size_t(name) + 1 + size_t(value) + 1;
    }
    return off == p.length;
}

bool request(const oxlo_reader &p, tftp_state *s)
{
    uint8_t last = 1;
    if (!oxlo_rd_u8_at(&p, p.length - 1, &last) || last != 0)
        return false;
    const ptrdiff_t name = string_at(p, TFTP_FILENAME);
    if (name <= 0 || !oxlo_is_printable_text(reinterpret_cast<const char *>(p.data + TFTP_FILENAME), size_t(name)))
        return false;
    const size_t mode_at = TFTP_FILENAME + size_t(name) + 1;
    const ptrdiff_t mode = string_at(p, mode_at);
    if (mode <= 0)
        return false;
    const char *mode_text = reinterpret_cast<const char *>(p.data + mode_at);
    bool known = false;
    for (const char *mm : {"netascii", "octet", "mail"})
        known = known || (strlen(mm) == size_t(mode) && oxlo_compare_nocase(mode_text, mm, size_t(mode)) == 0);
    if (!known || !options_parse(p, mode_at + size_t(mode) + 1))
        return false;
    const size_t keep = size_t(name) < sizeof(s->filename) - 1 ? size_t(name) : sizeof(s->filename) - 1;
    memcpy(s->filename, p.data + TFTP_FILENAME, keep);
    s->filename[keep] = '\0';
    return true;
}

void search_tftp(oxlo_module *m, oxlo_flow_state *f)
{
    tftp_state *s = static_cast<tftp_state *>(oxlo_dissector_state(m, f));
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    uint8_t zero = 1, opcode = 0;
    if (!s || p.length < TFTP_HEADER || !oxlo_rd_u8_at(&p, TFTP_OPCODE_HIGH, &zero) || zero != 0 ||
        !oxlo_rd_u8_at(&p, TFTP_OPCODE, &opcode) ||
        opcode == 0 || opcode > OACK) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    uint16_t block = 0;
    oxlo_rd_u16_at(&p, TFTP_BLOCK, &block);
    bool counts = false;
    switch (opcode) {
    case DATA:
        if (p.length == TFTP_HEADER) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        counts = block == uint16_t(s->data_block + 1) || (s->data_block != 0 && block == s->data_block);
        s->data_block = block;
        break;
    case ACK:
        if (p.length != TFTP_HEADER) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        counts = block == uint16_t(s->ack_block + 1) || block == s->ack_block;
        s->ack_block = block;
        break;
    case ERROR: {
        uint8_t last = 1, high = 1, code = 0xFF;
        if (p.length <= TFTP_HEADER || !oxlo_rd_u8_at(&p, p.length - 1, &last) || last != 0 ||
            !oxlo_rd_u8_at(&p, TFTP_ERROR_CODE, &high) || high != 0 || !oxlo_rd_u8_at(&p, TFTP_ERROR_CODE + 1, &code) ||
            code > TFTP_ERROR_CODE_LAST) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        counts = true;
        break;
    }
    case OACK:
        if (!options_parse(p, TFTP_OPTIONS)) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TFTP, OXLO_PROTOCOL_UNKNOWN);
        return;
    default: /* RRQ, WRQ */
        if (!request(p, s)) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TFTP, OXLO_PROTOCOL_UNKNOWN);
        return;
    }
    if (!counts)
        return;
    if (s->good == 3)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TFTP, OXLO_PROTOCOL_UNKNOWN);
    else
        s->good++;
}

int tftp_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const void *st = oxlo_flow_slot_state(f, OXLO_DISSECTOR_tftp);
    int rc = oxlo_recbuf_open_block(out, "tftp");
    rc |= oxlo_recbuf_put_text(out, "filename", st ? static_cast<const tftp_state *>(st)->filename : "");
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_TFTP};

} // namespace

extern "C" {

const char *oxlo_flow_tftp_filename(const oxlo_flow_state *flow)
{
    const void *st = oxlo_flow_slot_state(flow, OXLO_DISSECTOR_tftp);
    return st ? static_cast<const tftp_state *>(st)->filename : "";
}

extern const oxlo_dissector_def oxlo_dissector_def_tftp = {
    "TFTP", search_tftp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, sizeof(tftp_state), nullptr, tftp_json,
};

} // extern "C"
