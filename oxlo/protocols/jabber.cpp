/* Jabber/XMPP: XML streams opened with a <stream:stream> header declaring
 * the streams namespace; some clients frame their stanzas with a length. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

#include <cstdio>

namespace {

/* Namespaces of the XMPP core and extension specifications. */
const char STREAMS_NS[] = "http://etherx.jabber.org/streams";
const char EXTENSION_NS[] = "http://jabber.org/protocol/";
const char COMMANDS_NS[] = "http://jabber.org/protocol/commands";
/* The domain of the TruPhone service. */
const char TRUPHONE_DOMAIN[] = "truphone.com";

bool quoted(const oxlo_reader &p, size_t from, const char *text)
{
    char sq[96], dq[96];
    snprintf(sq, sizeof(sq), "'%s'", text);
    snprintf(dq, sizeof(dq), "\"%s\"", text);
    return oxlo_rd_find(&p, from, sq, 0) >= 0 || oxlo_rd_find(&p, from, dq, 0) >= 0;
}

void search_jabber(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint8_t b0 = 0, b1 = 1, b2 = 0;
    if (p.length < 3) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_rd_u8_at(&p, 0, &b0);
    oxlo_rd_u8_at(&p, 1, &b1);
    oxlo_rd_u8_at(&p, 2, &b2);
    if (b1 == 0 && b2 == p.length) {
        if (pkt.payload_packets > 3)
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_JABBER, OXLO_PROTOCOL_UNKNOWN);
        else if (b0 != 0x25 && b0 != 0x26 && b0 != '0')
            OXLO_EXCLUDE(m, f);
        return;
    }
    if (p.length >= 10) {
        if ((oxlo_rd_match(&p, 0, "<presence ", 0) && oxlo_rd_contains(&p, EXTENSION_NS, 0)) ||
            (oxlo_rd_match(&p, 0, "<iq type='", 0) && oxlo_rd_contains(&p, COMMANDS_NS, 0)) ||
            (p.length == 16 && oxlo_rd_match(&p, 0, "</stream:stream>", 0))) {
            oxlo_dissector_classify(m, f, OXLO_PROTOCOL_JABBER, OXLO_PROTOCOL_UNKNOWN);
            return;
        }
    }
    const bool header = (p.length >= 14 && oxlo_rd_match(&p, 0, "<?xml version=", 0)) ||
                        oxlo_rd_match(&p, 0, "<stream:stream ", 0);
    if (!header) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    char decl_sq[64], decl_dq[64];
    snprintf(decl_sq, sizeof(decl_sq), "xmlns:stream='%s'", STREAMS_NS);
    snprintf(decl_dq, sizeof(decl_dq), "xmlns:stream=\"%s\"", STREAMS_NS);
    if (oxlo_rd_find(&p, 13, decl_sq, 0) < 0 && oxlo_rd_find(&p, 13, decl_dq, 0) < 0)
        return; /* the declaration may come in the next segment */
    if (quoted(p, 0, TRUPHONE_DOMAIN))
        oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_TRUPHONE, OXLO_PROTOCOL_JABBER, OXLO_CONFIDENCE_DPI);
    else
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_JABBER, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_JABBER};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_jabber = {
    "Jabber", search_jabber, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
