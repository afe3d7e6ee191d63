/* HL7 health-care messages: in clear over MLLP ("MSH|^~\&" after the
 * start byte), or carried by HTTP with one of its media types. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {

const char *const media_types[] = {"x-application/hl7-v2+er7", "x-application/hl7-v2+xml",
                                   "x-application/hl7-v3+xml", "x-application/fhir+xml",
                                   "x-application/fhir+json",  "x-application/xml+cda"};

bool ends_nocase(const oxlo_reader &v, const char *text)
{
    const size_t n = strlen(text);
    return n <= v.length && oxlo_rd_match_n(&v, v.length - n, text, n, 1);
}

void search_hl7(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const bool http = oxlo_flow_app_protocol(f) == OXLO_PROTOCOL_HTTP || oxlo_flow_master_protocol(f) == OXLO_PROTOCOL_HTTP;
    /* A request HTTP still reads may yet make the flow HTTP. */
    if (!http && oxlo_http_request_waiting(f))
        return;
    if (!http) {
        uint8_t bar = 0;
        if (pkt.payload.length > 100 && oxlo_rd_match(&pkt.payload, 1, "MSH|^~\\&", 0) &&
            oxlo_rd_u8_at(&pkt.payload, 9, &bar) && bar == '|')
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_HL7, OXLO_PROTOCOL_UNKNOWN);
        else
            OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_parse_payload_lines(m, f);
    const oxlo_payload_line &ct = (*oxlo_dissector_lines(m, nullptr)).content_type;
    const oxlo_reader type = oxlo_reader_make(ct.ptr, ct.ptr ? ct.len : 0);
    for (const char *t : media_types)
        if (ends_nocase(type, t)) {
            oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_HL7, OXLO_PROTOCOL_HTTP, OXLO_CONFIDENCE_DPI);
            return;
        }
}

const uint16_t protocols[] = {OXLO_PROTOCOL_HL7};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_hl7 = {
    "HL7", search_hl7, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
