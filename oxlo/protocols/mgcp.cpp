/* MGCP commands from a call agent to a media gateway, one text line:
 * "<verb> <transaction> <endpoint> MGCP <version>". The endpoint names the
 * gateway as local-part@domain; its domain (or the whole endpoint without an
 * '@') becomes the flow's host name. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {


const char *const verbs[] = {"AUEP", "AUCX", "CRCX", "DLCX", "EPCF", "MDCX", "NTFY", "RQNT", "RSIP"};

bool known_verb(const oxlo_reader &p)
{
    for (const char *v : verbs)
        if (oxlo_rd_match_n(&p, 0, v, 4, 0))
            return oxlo_rd_peek8(&p, 4) == ' ';
    return false;
}

/* The endpoint of a command line, or an empty range when the line is not one. */
oxlo_reader endpoint_of(const oxlo_reader &p)
{
    const oxlo_reader none = oxlo_reader_make(nullptr, 0);
    const ptrdiff_t after_transaction = oxlo_rd_find_byte(&p, 5, ' ');
    if (after_transaction < 0)
        return none;
    const size_t start = size_t(after_transaction) + 1;
    const ptrdiff_t end = oxlo_rd_find_byte(&p, start, ' ');
    /* The payload ends in CR or LF, which "MGCP " never holds: comparing
     * fewer bytes than remain could not succeed either. */
    if (end < 0 || !oxlo_rd_match_n(&p, size_t(end) + 1, "MGCP ", 5, 0))
        return none;
    return oxlo_rd_sub_at(&p, start, size_t(end) - start);
}

void search_mgcp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader &p = oxlo_dissector_packet(m, f).payload;
    const uint8_t last = oxlo_rd_peek8(&p, p.length - 1);
    if (p.length <= 7 || (last != '\n' && last != '\r') || !known_verb(p)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const oxlo_reader ep = endpoint_of(p);
    if (!ep.data) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const ptrdiff_t at = oxlo_rd_find_byte(&ep, 0, '@');
    const oxlo_reader host = at < 0 ? ep : oxlo_rd_from(&ep, size_t(at) + 1);
    if (host.length)
        oxlo_flow_store_host_name(f, reinterpret_cast<const char *>(host.data), host.length,
                                  OXLO_HOST_LOWER | OXLO_HOST_PRINTABLE | OXLO_HOST_STRIP_SPACES);
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_MGCP, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_MGCP};

} // namespace

extern "C" {
extern const oxlo_dissector_def oxlo_dissector_def_mgcp = {
    "MGCP", search_mgcp, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, protocols, 1, 0, nullptr, nullptr,
};
} // extern "C"
