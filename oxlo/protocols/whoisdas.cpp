/* Whois (TCP 43) and the domain availability service (TCP 4321): the
 * client sends one line, the name it asks about, ended by CR LF. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_utils.h"
#include "protocols/framing.h"

namespace {

bool whois_port(uint16_t p) { return p == 43 || p == 4321; }

/* Longest query line waited for. */
constexpr size_t LINE_MAX = 256;

/* The bytes may start a query: name characters so far. */
bool plausible(const oxlo_reader &p)
{
    for (size_t i = 0; i < p.length; i++) {
        const uint8_t c = oxlo_rd_peek8(&p, i);
        if (!(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && !(c >= '0' && c <= '9') && c != '-' &&
            c != '.' && c != '_' && c != '\r')
            return false;
    }
    return true;
}

void search_whois_das(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const bool port = whois_port(pkt.src_port) || whois_port(pkt.dst_port);
    /* The query is read whole however the client cut its write. */
    oxlo_reader p;
    if (oxlo_framing::lines(m, f, pkt, LINE_MAX, port && plausible(pkt.payload), &p))
        return;
    if ((whois_port(pkt.src_port) || whois_port(pkt.dst_port)) && p.length > 2 && oxlo_rd_ends(&p, "\r\n") &&
        oxlo_is_valid_dns_name(reinterpret_cast<const char *>(p.data), p.length - 2)) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_WHOIS_DAS, OXLO_PROTOCOL_UNKNOWN);
        if (whois_port(pkt.dst_port))
            oxlo_flow_store_host_name(f, reinterpret_cast<const char *>(p.data), p.length - 2,
                                      OXLO_HOST_LOWER | OXLO_HOST_PRINTABLE | OXLO_HOST_STRIP_SPACES);
        return;
    }
    OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_WHOIS_DAS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_whoisdas = {
    "Whois-DA", search_whois_das, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
