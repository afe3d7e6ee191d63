/* JSON-RPC: a JSON object with a "jsonrpc" member, sent raw over TCP or as
 * the body of HTTP messages typed application/json-rpc. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {

void search_json_rpc(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    if (oxlo_flow_app_protocol(f) == OXLO_PROTOCOL_HTTP) {
        oxlo_parse_payload_lines(m, f);
        const oxlo_payload_line &t = (*oxlo_dissector_lines(m, nullptr)).content_type;
        const oxlo_reader type = oxlo_reader_make(t.ptr, t.len);
        if (type.length >= 20 && oxlo_rd_match(&type, type.length - 20, "application/json-rpc", 1))
            oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_JSON_RPC, OXLO_PROTOCOL_HTTP, OXLO_CONFIDENCE_DPI);
        return;
    }
    /* A request HTTP still reads may yet make the flow HTTP. */
    if (!oxlo_flow_app_protocol(f) && oxlo_http_request_waiting(f))
        return;
    uint8_t first = 0;
    if (p.length > 30 && oxlo_rd_u8_at(&p, 0, &first) && first == '{' && oxlo_rd_contains(&p, "\"jsonrpc\":", 0))
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
