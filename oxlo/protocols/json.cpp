/* JSON carried as a payload of its own (or as the body of an HTTP
 * message): after at most a short prefix (a length, a record separator) an
 * opening bracket with printable text after it, and a closing bracket near
 * the end with at most blanks, letters and digits after it. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

/* Text may precede the bracket at positions 0..14, other bytes at 0..7. */
constexpr size_t text_prefix = 15, binary_prefix = 7, window = 16;

bool is_alnum(uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_blank(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_text(uint8_t c) { return (c >= 0x20 && c <= 0x7E) || c == '\t' || c == '\r' || c == '\n'; }

/* Offset of the opening bracket, or -1. */
ptrdiff_t opening(const oxlo_reader &p)
{
    for (size_t i = 0; i < p.length; i++) {
        const uint8_t c = oxlo_rd_peek8(&p, i);
        if (i >= text_prefix)
            return -1;
        if (c == '[' || c == '{')
            return ptrdiff_t(i);
        if (!is_alnum(c) && !is_blank(c) && i > binary_prefix)
            return -1;
    }
    return -1;
}

bool closing_near_end(const oxlo_reader &p)
{
    for (size_t back = 0; back < window && back < p.length; back++) {
        const uint8_t c = oxlo_rd_peek8(&p, p.length - 1 - back);
        if (c == ']' || c == '}')
            return true;
        if (!is_alnum(c) && !is_blank(c))
            return false;
    }
    return false;
}

bool looks_like_json(const oxlo_reader &p)
{
    const ptrdiff_t at = p.length >= 2 ? opening(p) : -1;
    if (at < 0)
        return false;
    for (size_t i = size_t(at); i < p.length && i < size_t(at) + window; i++)
        if (!is_text(oxlo_rd_peek8(&p, i)))
            return false;
    return closing_near_end(p);
}

void search_json(oxlo_module *m, oxlo_flow_state *f)
{
    if (!looks_like_json(oxlo_dissector_packet(m, f).payload)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    if (oxlo_flow_app_protocol(f))
        oxlo_flow_refine_protocol(m, f, OXLO_PROTOCOL_JSON, OXLO_CONFIDENCE_DPI);
    else
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_JSON, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_JSON};

} // namespace

extern "C" {

int oxlo_json_payload_check(const uint8_t *data, size_t length)
{
    return data && looks_like_json(oxlo_reader_make(data, length)) ? 1 : 0;
}

extern const oxlo_dissector_def oxlo_dissector_def_json = {
    "JSON", search_json, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
