/* SOAP: XML messages, mostly over HTTP with a SOAPAction header. A flow
 * whose payload opens an XML document is taken as SOAP once it has gone on
 * for a few packets. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

namespace {

struct soap_state {
    uint8_t xml_seen;
};

void search_soap(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    soap_state *s = static_cast<soap_state *>(oxlo_dissector_state(m, f));
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    /* A request HTTP still reads may yet make the flow HTTP: its lines are
     * read once it is whole (a segment of it is no message). */
    if (!oxlo_flow_app_protocol(f) && oxlo_http_request_waiting(f))
        return;
    oxlo_parse_payload_lines(m, f);
    const oxlo_line_table &t = *oxlo_dissector_lines(m, nullptr);
    for (size_t i = 1; i < OXLO_MAX_PAYLOAD_LINES && t.line[i].len; i++) {
        const oxlo_reader line = oxlo_reader_make(t.line[i].ptr, t.line[i].len);
        if (line.length > 9 && oxlo_rd_match(&line, 0, "SOAPAction", 1)) {
            oxlo_flow_refine_protocol(m, f, OXLO_PROTOCOL_SOAP, OXLO_CONFIDENCE_DPI);
            return;
        }
    }
    if (pkt.payload.length > 18 && oxlo_rd_match(&pkt.payload, 0, "<?xml version=\"1.0\"", 0))
        s->xml_seen = 1;
    if (pkt.payload_packets <= 3)
        return;
    if (s->xml_seen)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SOAP, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_SOAP};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_soap = {
    "SOAP", search_soap, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, sizeof(soap_state), nullptr, nullptr,
};

} // extern "C"
