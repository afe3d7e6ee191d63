/* Dissector registration and dispatch.
 *
 * Every dissector registers once per module while the module is finalized.
 * The registration order below fixes the dissector indexes and so the order
 * in which the call lists try them. The engine sorts the registered
 * dissectors into four call lists by the packet conditions they need and,
 * for each packet of an unclassified flow, walks the matching list until a
 * dissector stores a protocol. */
#include "oxlo_private.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

extern "C" {
void register_dns_dissector(oxlo_module *module);
void register_tls_dissector(oxlo_module *module);
}

namespace {

typedef void (*register_fn)(oxlo_module *module);

struct builtin_dissector {
    const char *file;   /* protocols/<file>.cpp */
    register_fn reg;    /* its registration, nullptr until the file exists */
};

/* Registration order of the built-in dissectors, by source file under
 * protocols/. A dissector that is not written yet keeps nullptr and is not
 * registered; adding one means declaring its registration function above
 * this table and putting it in its own slot, never moving a slot. */
const builtin_dissector builtin_order[] = {
    {"http", init_http_dissector}, {"blizzard", nullptr}, {"tls", register_tls_dissector}, {"rtp", nullptr},
    {"rtsp", nullptr}, {"rdp", nullptr}, {"stun", nullptr}, {"sip", nullptr}, {"mudfish", nullptr},
    {"imo", nullptr}, {"teredo", nullptr}, {"edonkey", nullptr}, {"gnutella", nullptr},
    {"nats", nullptr}, {"socks45", nullptr}, {"irc", nullptr}, {"jabber", nullptr},
    {"mail_pop", nullptr}, {"mail_imap", nullptr}, {"mail_smtp", nullptr}, {"usenet", nullptr},
    {"dns", register_dns_dissector}, {"vmware", nullptr}, {"non_tcp_udp", nullptr}, {"iax", nullptr},
    {"mgcp", nullptr}, {"qq", nullptr}, {"ssh", nullptr}, {"vnc", nullptr}, {"vxlan", nullptr},
    {"teamviewer", nullptr}, {"dhcp", nullptr}, {"steam", nullptr}, {"xbox", nullptr},
    {"smb", nullptr}, {"mining", nullptr}, {"telnet", nullptr}, {"ntp", nullptr}, {"nfs", nullptr},
    {"ssdp", nullptr}, {"postgres", nullptr}, {"mysql", nullptr}, {"bgp", nullptr},
    {"snmp_proto", nullptr}, {"kerberos", nullptr}, {"syslog", nullptr}, {"netbios", nullptr},
    {"ipp", nullptr}, {"ldap", nullptr}, {"xdmcp", nullptr}, {"tftp", nullptr},
    {"mssql_tds", nullptr}, {"pptp", nullptr}, {"dhcpv6", nullptr}, {"afp", nullptr},
    {"checkmk", nullptr}, {"cpha", nullptr}, {"nexon", nullptr}, {"dofus", nullptr},
    {"crossfire", nullptr}, {"guildwars2", nullptr}, {"armagetron", nullptr}, {"dropbox", nullptr},
    {"sonos", nullptr}, {"spotify", nullptr}, {"radius_proto", nullptr}, {"citrix", nullptr},
    {"hcl_notes", nullptr}, {"gtp", nullptr}, {"hsrp", nullptr}, {"dcerpc", nullptr},
    {"netflow", nullptr}, {"sflow", nullptr}, {"h323", nullptr}, {"openvpn", nullptr},
    {"noe", nullptr}, {"ciscovpn", nullptr}, {"teamspeak", nullptr}, {"skinny", nullptr},
    {"rsync", nullptr}, {"whoisdas", nullptr}, {"oracle", nullptr}, {"corba", nullptr},
    {"rtmp", nullptr}, {"ftp_control", nullptr}, {"ftp_data", nullptr}, {"megaco", nullptr},
    {"resp", nullptr}, {"zeromq", nullptr}, {"telegram", nullptr}, {"quic", nullptr},
    {"diameter", nullptr}, {"eaq", nullptr}, {"kakaotalk_voice", nullptr}, {"mikrotik", nullptr},
    {"mpegts", nullptr}, {"ubntac2", nullptr}, {"coap", nullptr}, {"mqtt", nullptr},
    {"someip", nullptr}, {"rx", nullptr}, {"git", nullptr}, {"drda", nullptr}, {"bjnp", nullptr},
    {"smpp", nullptr}, {"tinc", nullptr}, {"fix", nullptr}, {"nintendo", nullptr},
    {"modbus", nullptr}, {"capwap", nullptr}, {"zabbix", nullptr}, {"viber", nullptr},
    {"bittorrent", nullptr}, {"whatsapp", nullptr}, {"ookla", nullptr}, {"amqp", nullptr},
    {"steam_datagram_relay", nullptr}, {"lisp", nullptr}, {"ajp", nullptr}, {"memcached", nullptr},
    {"nest_log_sink", nullptr}, {"wireguard", nullptr}, {"amazon_video", nullptr},
    {"s7comm", nullptr}, {"iec60870_5_104", nullptr}, {"dnp3", nullptr}, {"websocket", nullptr},
    {"soap", nullptr}, {"dnscrypt", nullptr}, {"mongodb", nullptr}, {"among_us", nullptr},
    {"hpvirtgrp", nullptr}, {"genshin_impact", nullptr}, {"z3950", nullptr},
    {"avast_securedns", nullptr}, {"cassandra", nullptr}, {"ethernet_ip", nullptr},
    {"wsd", nullptr}, {"tocaboca", nullptr}, {"sd_rtn", nullptr}, {"raknet", nullptr},
    {"xiaomi", nullptr}, {"mpegdash", nullptr}, {"rsh", nullptr}, {"ipsec", nullptr},
    {"collectd", nullptr}, {"i3d", nullptr}, {"riotgames", nullptr}, {"ultrasurf", nullptr},
    {"threema", nullptr}, {"alicloud", nullptr}, {"avast", nullptr}, {"softether", nullptr},
    {"activision", nullptr}, {"discord", nullptr}, {"tivoconnect", nullptr}, {"kismet", nullptr},
    {"fastcgi", nullptr}, {"natpmp", nullptr}, {"syncthing", nullptr}, {"crynet", nullptr},
    {"line", nullptr}, {"munin", nullptr}, {"elastic_search", nullptr}, {"tuya_lp", nullptr},
    {"tplink_shp", nullptr}, {"merakicloud", nullptr}, {"tailscale", nullptr},
    {"source_engine", nullptr}, {"bacnet", nullptr}, {"oicq", nullptr}, {"hots", nullptr},
    {"epicgames", nullptr}, {"bitcoin", nullptr}, {"thrift", nullptr}, {"slp", nullptr},
    {"http2", nullptr}, {"haproxy", nullptr}, {"rmcp", nullptr}, {"can", nullptr},
    {"protobuf", nullptr}, {"ethereum", nullptr}, {"ptpv2", nullptr}, {"hart_ip", nullptr},
    {"rtps", nullptr}, {"opc_ua", nullptr}, {"fins", nullptr}, {"ethersio", nullptr},
    {"beckhoff_ads", nullptr}, {"iso9506_1_mms", nullptr}, {"ieee_c37118", nullptr},
    {"ethersbus", nullptr}, {"monero", nullptr}, {"profinet_io", nullptr}, {"hislip", nullptr},
    {"uftp", nullptr}, {"openflow", nullptr}, {"json_rpc", nullptr}, {"kafka", nullptr},
    {"nomachine", nullptr}, {"iec62056", nullptr}, {"hl7", nullptr}, {"dicom", nullptr},
    {"ceph", nullptr}, {"roughtime", nullptr}, {"kcp", nullptr}, {"mumble", nullptr},
    {"zoom", nullptr}, {"yojimbo", nullptr}, {"stomp", nullptr}, {"radmin", nullptr},
    {"raft", nullptr}, {"cip", nullptr}, {"gearman", nullptr}, {"tencent_games", nullptr},
    {"gaijin_entertainment", nullptr}, {"c1222", nullptr}, {"dlep", nullptr}, {"bfd", nullptr},
    {"netease_games", nullptr}, {"path_of_exile", nullptr}, {"pfcp", nullptr}, {"flute", nullptr},
    {"lol_wild_rift", nullptr}, {"teso", nullptr}, {"ldp", nullptr}, {"knxnet_ip", nullptr},
    {"bfcp", nullptr}, {"iqiyi", nullptr}, {"egd", nullptr}, {"cod_mobile", nullptr},
    {"zug", nullptr}, {"jrmi", nullptr}, {"ripe_atlas", nullptr}, {"cloudflare_warp", nullptr},
    {"nano", nullptr}, {"openwire", nullptr}, {"cnp_ip", nullptr}, {"atg", nullptr},
    {"trdp", nullptr}, {"lustre", nullptr}, {"dingtalk", nullptr}, {"paltalk", nullptr},
    {"lagofast", nullptr}, {"gearup_booster", nullptr}, {"msdo", nullptr}, {"melsec", nullptr},
    {"hamachi", nullptr}, {"glbp", nullptr}, {"easyweather", nullptr}, {"tristation", nullptr},
    {"samsung_sdp", nullptr}, {"matter", nullptr}, {"json", nullptr}, {"msgpack", nullptr},
    {"sbe", nullptr}, {"iris", nullptr}, {"netmotion", nullptr},
};

static_assert(sizeof(builtin_order) / sizeof(builtin_order[0]) == 258,
              "every built-in dissector has its slot");

constexpr uint32_t list_tcp_payload = 0;
constexpr uint32_t list_tcp_no_payload = 1;
constexpr uint32_t list_udp = 2;

bool in_list(uint32_t list, dissector_flow_mask sel)
{
    const bool any = sel & OXLO_SEL_ANY;
    const bool tcp = sel & (OXLO_SEL_TCP | OXLO_SEL_TCP_OR_UDP);
    const bool udp = sel & (OXLO_SEL_UDP | OXLO_SEL_TCP_OR_UDP);
    switch (list) {
    case list_tcp_payload:
        return tcp || any;
    case list_tcp_no_payload:
        return (tcp || any) && !(sel & OXLO_SEL_PAYLOAD);
    case list_udp:
        return udp || any;
    default: /* other IP */
        return !(sel & (OXLO_SEL_TCP | OXLO_SEL_UDP | OXLO_SEL_TCP_OR_UDP)) || any;
    }
}

bool eligible(const oxlo_dissector_entry *e, dissector_flow_mask packet_set)
{
    return (e->selection & packet_set) == e->selection;
}

const oxlo_dissector_entry *dissector_of(const oxlo_module *module, uint16_t id)
{
    const oxlo_proto_defaults *p = oxlo_proto_defaults_get(const_cast<oxlo_module *>(module), id);
    if (!p || p->dissector_index >= module->det.dissector_count)
        return nullptr;
    return &module->det.dissectors[p->dissector_index];
}

void call_dissector(oxlo_module *module, oxlo_flow_state *flow, const oxlo_dissector_entry *e)
{
    module->det.current_dissector = e->index;
    e->callback(module, flow);
}

/* Runs the dissectors of P's sub-protocols; returns how many were called. */
uint32_t subprotocol_pass(oxlo_module *module, oxlo_flow_state *flow, uint16_t proto,
                          dissector_flow_mask packet_set)
{
    const oxlo_proto_defaults *p = oxlo_proto_defaults_get(module, proto);
    if (!p || !p->subprotocols)
        return 0;
    uint32_t calls = 0;
    for (uint32_t i = 0; i < p->subprotocol_count; i++) {
        const uint16_t sub = p->subprotocols[i];
        if (sub == 0xFFFE || sub == flow->app || sub == flow->master)
            continue;
        const oxlo_proto_defaults *sp = oxlo_proto_defaults_get(module, sub);
        if (!sp || sp->dissector_index >= module->det.dissector_count)
            continue;
        const oxlo_dissector_entry *e = &module->det.dissectors[sp->dissector_index];
        if (!e->callback || !eligible(e, packet_set) ||
            oxlo_flow_dissector_excluded(flow, e->index))
            continue;
        call_dissector(module, flow, e);
        calls++;
    }
    return calls;
}

} // namespace

extern "C" {

int oxlo_dissector_add(const char *name, oxlo_module *module, oxlo_dissector_callback callback,
                       dissector_flow_mask selection, int count, ...)
{
    if (!module || !callback || !module->det.dissectors)
        return -2;
    oxlo_detection_part *det = &module->det;
    if (det->dissector_count > OXLO_MAX_DISSECTORS - 1) {
        printf("[OXLO] Internal Error. Too many dissectors!!\n");
        return -1;
    }
    const uint32_t index = det->dissector_count;
    int first = -1;
    va_list ap;
    va_start(ap, count);
    for (int i = 0; i < count; i++) {
        const int id = va_arg(ap, int);
        if (id < 0 || id > 0xFFFF || !oxlo_protocol_enabled(module, id))
            continue;
        oxlo_proto_defaults *p = oxlo_proto_defaults_get(module, (uint16_t)id);
        if (!p)
            continue;
        if (p->dissector_index != OXLO_NO_DISSECTOR) {
            /* The protocol has a dissector already: the newcomer only takes
             * over its routine. */
            if (p->dissector_index < det->dissector_count)
                det->dissectors[p->dissector_index].callback = callback;
            va_end(ap);
            return 0;
        }
        p->dissector_index = (uint16_t)index;
        if (first < 0)
            first = id;
    }
    va_end(ap);
    if (first < 0)
        return -1;
    oxlo_dissector_entry *e = &det->dissectors[index];
    memset(e, 0, sizeof(*e));
    snprintf(e->name, sizeof(e->name), "%s", name ? name : "");
    e->index = (uint16_t)index;
    e->callback = callback;
    e->first_protocol = (uint16_t)first;
    e->selection = selection;
    det->dissector_count++;
    return 0;
}

int oxlo_dissectors_init(oxlo_module *module)
{
    if (!module)
        return -1;
    oxlo_dissectors_free(module);
    /* A protocol's dissector index is only meaningful for this table. */
    for (uint32_t id = 0;; id++) {
        oxlo_proto_defaults *p = oxlo_proto_defaults_get(module, (uint16_t)id);
        if (!p || id >= 0xFFFF)
            break;
        p->dissector_index = OXLO_NO_DISSECTOR;
    }
    module->det.dissectors = static_cast<oxlo_dissector_entry *>(
        oxlo_heap_calloc(OXLO_MAX_DISSECTORS, sizeof(oxlo_dissector_entry)));
    if (!module->det.dissectors) {
        printf("Error dissectors_init\n");
        return -1;
    }
    module->det.dissector_count = 0;
    for (const builtin_dissector &b : builtin_order)
        if (b.reg)
            b.reg(module);
    return 0;
}

int oxlo_dissectors_finish(oxlo_module *module)
{
    if (!module || !module->det.dissectors)
        return -1;
    oxlo_detection_part *det = &module->det;
    oxlo_detection_settings_load(module);
    void *smaller = oxlo_heap_realloc(det->dissectors,
                                      (det->dissector_count + 1) * sizeof(oxlo_dissector_entry));
    if (smaller)
        det->dissectors = static_cast<oxlo_dissector_entry *>(smaller);

    uint32_t counts[4] = {0, 0, 0, 0};
    for (uint32_t l = 0; l < 4; l++)
        for (uint32_t i = 0; i < det->dissector_count; i++)
            if (in_list(l, det->dissectors[i].selection))
                counts[l]++;
    const uint32_t total = counts[0] + counts[1] + counts[2] + counts[3];
    oxlo_heap_free(det->call_lists);
    det->call_lists = static_cast<oxlo_dissector_entry **>(
        oxlo_heap_calloc(total + 1, sizeof(oxlo_dissector_entry *)));
    if (!det->call_lists) {
        printf("Error dissectors_init\n");
        return -1;
    }
    uint32_t pos = 0;
    for (uint32_t l = 0; l < 4; l++)
        for (uint32_t i = 0; i < det->dissector_count; i++)
            if (in_list(l, det->dissectors[i].selection))
                det->call_lists[pos++] = &det->dissectors[i];
    det->tcp_payload_count = counts[0];
    det->tcp_no_payload_count = counts[1];
    det->udp_count = counts[2];
    det->other_count = counts[3];
    return 0;
}

void oxlo_dissectors_free(oxlo_module *module)
{
    if (!module)
        return;
    oxlo_heap_free(module->det.call_lists);
    oxlo_heap_free(module->det.dissectors);
    module->det.call_lists = nullptr;
    module->det.dissectors = nullptr;
    module->det.dissector_count = 0;
    module->det.tcp_payload_count = module->det.tcp_no_payload_count = 0;
    module->det.udp_count = module->det.other_count = 0;
}

oxlo_dissector_entry **oxlo_dissector_list(oxlo_module *module, uint32_t which, uint32_t *count)
{
    oxlo_detection_part *det = &module->det;
    const uint32_t counts[4] = {det->tcp_payload_count, det->tcp_no_payload_count, det->udp_count,
                                det->other_count};
    *count = 0;
    if (!det->call_lists || which > 3)
        return nullptr;
    uint32_t offset = 0;
    for (uint32_t l = 0; l < which; l++)
        offset += counts[l];
    *count = counts[which];
    return det->call_lists + offset;
}

int oxlo_flow_dissector_excluded(const oxlo_flow_state *flow, uint32_t index)
{
    if (index >= OXLO_MAX_DISSECTORS)
        return 1;
    return (flow->excluded[index / 64] >> (index % 64)) & 1u;
}

void oxlo_flow_skip_dissector(oxlo_module *module, oxlo_flow_state *flow, uint16_t index,
                              const char *file, const char *function, int line)
{
    (void)module;
    (void)file;
    (void)function;
    (void)line;
    if (!flow || index >= OXLO_MAX_DISSECTORS)
        return;
    flow->excluded[index / 64] |= uint64_t(1) << (index % 64);
}

uint32_t oxlo_dissect_flow(oxlo_module *module, oxlo_flow_state *flow, dissector_flow_mask packet_set,
                           oxlo_dissector_entry **list, uint32_t count)
{
    uint32_t calls = 0;
    oxlo_dissector_callback guessed_cb = nullptr;

    const uint16_t guess = flow->partial_guess ? flow->partial_guess : flow->guess_by_port;
    const oxlo_dissector_entry *g = guess ? dissector_of(module, guess) : nullptr;
    if (g && g->callback && !oxlo_flow_dissector_excluded(flow, g->index) &&
        eligible(g, packet_set)) {
        call_dissector(module, flow, g);
        calls++;
        guessed_cb = g->callback;
    }

    if (flow->app) {
        calls += subprotocol_pass(module, flow, flow->app, packet_set);
    } else {
        for (uint32_t i = 0; i < count; i++) {
            const oxlo_dissector_entry *e = list[i];
            if (e->callback == guessed_cb || !eligible(e, packet_set) ||
                oxlo_flow_dissector_excluded(flow, e->index))
                continue;
            call_dissector(module, flow, e);
            calls++;
            if (flow->app) {
                calls += subprotocol_pass(module, flow, flow->app, packet_set);
                break;
            }
        }
    }
    if (flow->master)
        calls += subprotocol_pass(module, flow, flow->master, packet_set);
    return calls;
}

const char *oxlo_transport_name(int transport)
{
    switch (transport) {
    case 1:
        return "TCP";
    case 2:
        return "UDP";
    case 3:
        return "TCP/UDP";
    default:
        return "";
    }
}

int oxlo_protocol_dissector_transport(oxlo_module *module, uint16_t id)
{
    if (!module || !module->det.dissectors)
        return 0;
    const oxlo_dissector_entry *e = dissector_of(module, id);
    if (!e || !e->callback)
        return 0;
    if (e->selection & OXLO_SEL_TCP)
        return 1;
    if (e->selection & OXLO_SEL_UDP)
        return 2;
    if (e->selection & OXLO_SEL_TCP_OR_UDP)
        return 3;
    return 0;
}

} // extern "C"
