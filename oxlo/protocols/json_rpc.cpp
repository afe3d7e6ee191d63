/* JSON-RPC: a JSON object with a "jsonrpc" member, sent raw over TCP or as
 * the body of HTTP messages typed application/json-rpc. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {

/* Over TCP, asks the stream for one byte more than the view holds (the
 * text goes on until its end shows). true while waiting. */
bool wait_for_more(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt)
{
    return pkt.l4 == OXLO_L4_TCP && oxlo_dissector_need(m, f, pkt.payload.length + 1) == 0;
}

const char member[] = "\"jsonrpc\":";
/* The most bytes of an object read from the stream before the rule is
 * applied to what has arrived. */
constexpr size_t OBJECT_MAX = 8192;

/* Whether the object that starts p ends in it (its closing brace, strings
 * and their escapes passed over). */
bool object_closed(const oxlo_reader &p)
{
    unsigned depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < p.length; i++) {
        const uint8_t c = oxlo_rd_peek8(&p, i);
        if (in_string) {
            if (c == '\\')
                i++;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            depth++;
        } else if ((c == '}' || c == ']') && depth && --depth == 0) {
            return true;
        }
    }
    return false;
}

/* Over TCP the object is read from the stream: one the segments cut is
 * waited for until the member shows or the object ends, as far as the
 * bound. True while waiting. */
bool object_waits(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt)
{
    const oxlo_reader &p = pkt.payload;
    uint8_t first = 0;
    if (pkt.l4 != OXLO_L4_TCP || p.length >= OBJECT_MAX || !oxlo_rd_u8_at(&p, 0, &first) || first != '{')
        return false;
    if ((p.length > 30 && oxlo_rd_contains(&p, member, 0)) || object_closed(p))
        return false;
    return wait_for_more(m, f, pkt);
}

void search_json_rpc(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (oxlo_flow_app_protocol(f) == OXLO_PROTOCOL_HTTP) {
        oxlo_parse_payload_lines(m, f);
        const oxlo_payload_line &t = (*oxlo_dissector_lines(m, nullptr)).content_type;
        const oxlo_reader type = oxlo_reader_make(t.ptr, t.len);
        if (type.length >= 20 && oxlo_rd_match(&type, type.length - 20, "application/json-rpc", 1))
            oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_JSON_RPC, OXLO_PROTOCOL_HTTP, OXLO_CONFIDENCE_DPI);
        return;
    }
    /* A request HTTP still reads may yet make the flow HTTP; the view is
     * kept meanwhile, so that the object is read from its start. */
    if (!oxlo_flow_app_protocol(f) && oxlo_http_request_waiting(f)) {
        wait_for_more(m, f, pkt);
        return;
    }
    if (object_waits(m, f, pkt))
        return;
    uint8_t first = 0;
    if (p.length > 30 && oxlo_rd_u8_at(&p, 0, &first) && first == '{' && oxlo_rd_contains(&p, member, 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_JSON_RPC, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_JSON_RPC};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_json_rpc = {
    "JSON-RPC", search_json_rpc, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
