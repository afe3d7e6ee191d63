/* Zabbix agent and server messages: every one starts with "ZBXD". */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"

namespace {

void search_zabbix(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    if (p.length > 3 && oxlo_rd_match(&p, 0, "ZBXD", 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_ZABBIX, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_ZABBIX};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_zabbix = {
    "Zabbix", search_zabbix, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION, protocols, sizeof(protocols) / sizeof(protocols[0]), 0, nullptr, nullptr,
};

} // extern "C"
