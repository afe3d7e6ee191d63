// Network infrastructure dissectors on their first messages, each with a
// near miss that must not match, the IP protocols other than TCP and UDP,
// and the facts and risks the stateful ones keep. NTP, SNMP, Syslog,
// RADIUS, Munin, RMCP, NetFlow, ICMP and IGMP are also replayed from real
// peers in tests/captures/infra.
#include "dissector_kit.h"
#include "oxlo_flow_json.h"
#include "oxlo_private.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_serializer.h"

namespace {

struct Infrastructure : kit::engine {};

std::string be16(uint16_t v) { return std::string{char(v >> 8), char(v)}; }
std::string be32(uint32_t v) { return be16(uint16_t(v >> 16)) + be16(uint16_t(v)); }
std::string le32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

// The flow's "oxlo" block as JSON text.
std::string json(const kit::conversation &c)
{
    oxlo_recbuf s;
    if (oxlo_recbuf_init(&s, OXLO_SER_FORMAT_JSON) != 0)
        return "";
    std::string out;
    if (oxlo_flow_info_serialize(c.m, c.f, &s, c.last) == 0) {
        uint32_t n = 0;
        const char *text = oxlo_recbuf_output(&s, &n);
        out.assign(text, n);
    }
    oxlo_recbuf_release(&s);
    return out;
}

// A TLV of the MikroTik discovery: 16-bit type and length.
std::string mndp_tlv(uint16_t type, const std::string &value) { return be16(type) + be16(uint16_t(value.size())) + value; }

std::string ikev2_sa_init(uint8_t flags)
{
    // One proposal (IKE, 4 transforms): AES-CBC with a 256-bit key, PRF
    // HMAC-SHA2-256, integrity HMAC-SHA2-256-128, DH group 19.
    std::string transforms = std::string("\x03\x00", 2) + be16(12) + std::string("\x01\x00", 2) + be16(12) +
                             be16(0x800E) + be16(256);
    transforms += std::string("\x03\x00", 2) + be16(8) + std::string("\x02\x00", 2) + be16(5);
    transforms += std::string("\x03\x00", 2) + be16(8) + std::string("\x03\x00", 2) + be16(12);
    transforms += std::string("\x00\x00", 2) + be16(8) + std::string("\x04\x00", 2) + be16(19);
    const std::string proposal = std::string("\x00\x00", 2) + be16(uint16_t(8 + transforms.size())) +
                                 std::string("\x01\x01\x00\x04", 4) + transforms;
    const std::string sa = std::string("\x00\x00", 2) + be16(uint16_t(4 + proposal.size())) + proposal;
    std::string header = std::string(8, '\x11') + std::string(8, '\0') + "\x21\x20\x22" + char(flags) + be32(0);
    return header + be32(uint32_t(28 + sa.size())) + sa;
}

struct exchange {
    const char *what;
    uint16_t port;
    uint8_t l4;
    std::vector<std::pair<bool, std::string>> packets;
    uint16_t expected; // 0: must not be named `protocol`
    uint16_t protocol;
    uint16_t client_port = 40000;
};

std::vector<exchange> cases()
{
    const std::string ntp_request = std::string("\x23\x00\x06\x20", 4) + std::string(44, '\0');
    const std::string natpmp_map = std::string("\x00\x01\x00\x00", 4) + be16(1234) + be16(5678) + be32(3600);
    const std::string v5 = be16(5) + be16(1) + be32(1000) + be32(1700000000) + std::string(12, '\0') + std::string(48, 'r');
    const std::string sflow = be32(5) + be32(1) + std::string(24, 's');
    return {
        {"NTP client request", 123, OXLO_L4_UDP, {{true, ntp_request}}, OXLO_PROTOCOL_NTP, 0},
        {"NTP: version 5", 123, OXLO_L4_UDP, {{true, std::string("\x2B\x00\x06\x20", 4) + std::string(44, '\0')}}, 0, OXLO_PROTOCOL_NTP},
        {"NTP: 47 bytes", 123, OXLO_L4_UDP, {{true, ntp_request.substr(0, 47)}}, 0, OXLO_PROTOCOL_NTP},
        {"NTP: not on port 123", 1123, OXLO_L4_UDP, {{true, ntp_request}}, 0, OXLO_PROTOCOL_NTP, 41123},
        {"NAT-PMP external address request", 5351, OXLO_L4_UDP, {{true, std::string("\x00\x00", 2)}}, OXLO_PROTOCOL_NAT_PMP, 0},
        {"NAT-PMP mapping request", 5351, OXLO_L4_UDP, {{true, natpmp_map}}, OXLO_PROTOCOL_NAT_PMP, 0},
        {"NAT-PMP: mapping request with a reserved field set", 5351, OXLO_L4_UDP,
         {{true, std::string("\x00\x01\x00\x01", 4) + natpmp_map.substr(4)}}, 0, OXLO_PROTOCOL_NAT_PMP},
        {"NetFlow v5 with one record", 2055, OXLO_L4_UDP, {{true, v5}}, OXLO_PROTOCOL_NETFLOW, 0},
        {"NetFlow v5: one byte more than its record", 2055, OXLO_L4_UDP, {{true, v5 + "x"}}, 0, OXLO_PROTOCOL_NETFLOW},
        {"IPFIX message", 4739, OXLO_L4_UDP, {{true, be16(10) + be16(24) + be32(1700000000) + std::string(16, 'i')}}, OXLO_PROTOCOL_NETFLOW, 0},
        {"IPFIX: length of another message", 4739, OXLO_L4_UDP, {{true, be16(10) + be16(28) + be32(1700000000) + std::string(16, 'i')}}, 0, OXLO_PROTOCOL_NETFLOW},
        {"sFlow: the second datagram", 6343, OXLO_L4_UDP, {{true, sflow}, {true, sflow}}, OXLO_PROTOCOL_SFLOW, 0},
        {"sFlow: one datagram waits", 6343, OXLO_L4_UDP, {{true, sflow}}, 0, OXLO_PROTOCOL_SFLOW},
        {"sFlow: version 4", 6343, OXLO_L4_UDP, {{true, be32(4) + sflow.substr(4)}, {true, be32(4) + sflow.substr(4)}}, 0, OXLO_PROTOCOL_SFLOW},
        {"Syslog RFC 3164 on a private port", 5140, OXLO_L4_UDP, {{true, "<13>Dec 10 10:00:00 host vesk: hello"}}, OXLO_PROTOCOL_SYSLOG, 0},
        {"Syslog: a tag glued to its colon", 5140, OXLO_L4_UDP, {{true, "<13>vesk:hello there, world"}}, 0, OXLO_PROTOCOL_SYSLOG},
        {"RADIUS Access-Request", 1812, OXLO_L4_UDP, {{true, std::string("\x01\x07", 2) + be16(20) + std::string(16, 'a')}}, OXLO_PROTOCOL_RADIUS, 0},
        {"RADIUS: length off by one", 1812, OXLO_L4_UDP, {{true, std::string("\x01\x07", 2) + be16(21) + std::string(16, 'a')}}, 0, OXLO_PROTOCOL_RADIUS},
        {"Zabbix request", 10050, OXLO_L4_TCP, {{true, std::string("ZBXD\x01\x09\0\0\0\0\0\0\0agent.ping", 22)}}, OXLO_PROTOCOL_ZABBIX, 0},
        {"Zabbix: lower case", 10050, OXLO_L4_TCP, {{true, "zbxd\x01 agent.ping"}}, 0, OXLO_PROTOCOL_ZABBIX},
        {"Munin greeting", 4949, OXLO_L4_TCP, {{false, "# munin node at node1.vesk.test\n"}}, OXLO_PROTOCOL_MUNIN, 0},
        {"Munin: another greeting", 4949, OXLO_L4_TCP, {{false, "# munin nodes at node1\n"}}, 0, OXLO_PROTOCOL_MUNIN},
        {"Kismet", 2501, OXLO_L4_TCP, {{false, "*KISMET: 0.0.0 1234 \x01vesk\x01\n"}}, OXLO_PROTOCOL_KISMET, 0},
        {"Kismet: no blank", 2501, OXLO_L4_TCP, {{false, "*KISMET:0.0.0 1234\n"}}, 0, OXLO_PROTOCOL_KISMET},
        {"GLBP hello", 3222, OXLO_L4_UDP, {{true, std::string("\x01\x00", 2) + be16(10) + std::string(12, 'g')}}, OXLO_PROTOCOL_GLBP, 0, 3222},
        {"GLBP: group 1024", 3222, OXLO_L4_UDP, {{true, std::string("\x01\x00", 2) + be16(1024) + std::string(12, 'g')}}, 0, OXLO_PROTOCOL_GLBP, 3222},
        {"LDP hello over UDP", 646, OXLO_L4_UDP, {{true, be16(1) + be16(26) + std::string(6, 'l') + be16(0x0100) + std::string(18, 'h')}}, OXLO_PROTOCOL_LDP, 0},
        {"LDP: an initialization over UDP", 646, OXLO_L4_UDP, {{true, be16(1) + be16(26) + std::string(6, 'l') + be16(0x0200) + std::string(18, 'h')}}, 0, OXLO_PROTOCOL_LDP},
        {"LDP initialization over TCP", 646, OXLO_L4_TCP, {{true, be16(1) + be16(26) + std::string(6, 'l') + be16(0x0200) + std::string(18, 'h')}}, OXLO_PROTOCOL_LDP, 0},
        {"LISP control on both ports", 4342, OXLO_L4_UDP, {{true, std::string(24, 'q')}}, OXLO_PROTOCOL_LISP, 0, 4342},
        {"LISP over TCP with its trailer", 4342, OXLO_L4_TCP, {{true, std::string("\x00\x00", 2) + be16(12) + std::string(4, 'x') + be32(0x9FACADE9)}}, OXLO_PROTOCOL_LISP, 0},
        {"LISP over TCP: wrong trailer", 4342, OXLO_L4_TCP, {{true, std::string("\x00\x00", 2) + be16(12) + std::string(4, 'x') + be32(0x9FACADE8)}}, 0, OXLO_PROTOCOL_LISP},
        {"PFCP heartbeat", 8805, OXLO_L4_UDP, {{true, std::string("\x21\x01", 2) + be16(12) + std::string(12, 'p')}}, OXLO_PROTOCOL_PFCP, 0},
        {"PFCP: message type 58", 8805, OXLO_L4_UDP, {{true, std::string("\x21\x3A", 2) + be16(12) + std::string(12, 'p')}}, 0, OXLO_PROTOCOL_PFCP},
        {"RMCP presence ping", 623, OXLO_L4_UDP, {{true, std::string("\x06\x00\xFF\x06\x00\x00\x11\xBE\x80\x00\x00\x00", 12)}}, OXLO_PROTOCOL_RMCP, 0},
        {"RMCP: class 8", 623, OXLO_L4_UDP, {{true, std::string("\x06\x00\x01\x08\x00\x00\x11\xBE", 8)}}, 0, OXLO_PROTOCOL_RMCP},
        {"Roughtime request (NONC, PAD)", 2002, OXLO_L4_UDP,
         {{true, le32(2) + le32(64) + "NONC" + std::string("PAD\xFF", 4) + std::string(64 + 944, '\0')}}, OXLO_PROTOCOL_ROUGHTIME, 0},
        {"Roughtime: an unknown tag", 2002, OXLO_L4_UDP,
         {{true, le32(2) + le32(64) + "NONC" + "PADX" + std::string(64 + 944, '\0')}}, 0, OXLO_PROTOCOL_ROUGHTIME},
        {"RIPE Atlas", 33333, OXLO_L4_UDP, {{true, "MGLNDD_0123456789abcdefgh"}}, OXLO_PROTOCOL_RIPEATLAS, 0},
        {"RIPE Atlas: 26 bytes", 33333, OXLO_L4_UDP, {{true, "MGLNDD_0123456789abcdefghi"}}, 0, OXLO_PROTOCOL_RIPEATLAS},
        {"HP virtual group", 5223, OXLO_L4_TCP, {{true, std::string("\x16\x00\x08\x00vesk", 8)}}, OXLO_PROTOCOL_HP_VIRTGRP, 0},
        {"HP virtual group: length off", 5223, OXLO_L4_TCP, {{true, std::string("\x16\x00\x09\x00vesk", 8)}}, 0, OXLO_PROTOCOL_HP_VIRTGRP},
        {"Meraki cloud", 7351, OXLO_L4_UDP, {{true, std::string("\xFE\xF7\x28\x91\x01", 5)}}, OXLO_PROTOCOL_MERAKICLOUD, 0},
        {"Meraki cloud: other port", 7352, OXLO_L4_UDP, {{true, std::string("\xFE\xF7\x28\x91\x01", 5)}}, 0, OXLO_PROTOCOL_MERAKICLOUD},
        {"NetMotion: both sides, then a repeat", 5008, OXLO_L4_UDP,
         {{true, be16(16) + "L\x01" + be16(7) + std::string(6, 'n') + be32(1)},
          {false, be16(16) + "L\x01" + be16(8) + std::string(6, 'n') + be32(2)},
          {true, be16(16) + "L\x01" + be16(7) + std::string(6, 'n') + be32(1)}},
         OXLO_PROTOCOL_NETMOTION, 0},
        {"NetMotion: one side only", 5008, OXLO_L4_UDP,
         {{true, be16(16) + "L\x01" + be16(7) + std::string(6, 'n') + be32(1)},
          {true, be16(16) + "L\x01" + be16(7) + std::string(6, 'n') + be32(1)}},
         0, OXLO_PROTOCOL_NETMOTION},
        {"Nest log sink: three records", 11095, OXLO_L4_TCP,
         {{true, std::string("\x00\x01\x10\x13logs", 8)}, {true, std::string("\x00\x02\x00\x13logs", 8)}, {true, std::string("\x00\x01\x00\x13logs", 8)}},
         OXLO_PROTOCOL_NESTLOGSINK, 0},
        {"Nest log sink: two records", 11095, OXLO_L4_TCP,
         {{true, std::string("\x00\x01\x10\x13logs", 8)}, {true, std::string("\x00\x02\x00\x13logs", 8)}}, 0, OXLO_PROTOCOL_NESTLOGSINK},
        {"OpenFlow hello", 6653, OXLO_L4_TCP, {{true, std::string("\x06\x00\x00\x08\x00\x00\x00\x01", 8)}}, OXLO_PROTOCOL_OPENFLOW, 0},
        {"OpenFlow: version 4", 6653, OXLO_L4_TCP, {{true, std::string("\x04\x00\x00\x08\x00\x00\x00\x01", 8)}}, 0, OXLO_PROTOCOL_OPENFLOW},
        // Read whole from the stream: cut in the header, two at once with the
        // second cut, and a length that never completes.
        {"OpenFlow hello cut in its length", 6653, OXLO_L4_TCP, kit::cut(true, std::string("\x06\x00\x00\x08\x00\x00\x00\x01", 8), {3}), OXLO_PROTOCOL_OPENFLOW, 0},
        {"OpenFlow: two hellos, the second cut", 6653, OXLO_L4_TCP, kit::cut(true, std::string("\x06\x00\x00\x08\x00\x00\x00\x01", 8) + std::string("\x06\x00\x00\x08\x00\x00\x00\x01", 8), {12}), OXLO_PROTOCOL_OPENFLOW, 0},
        {"OpenFlow: a length that never completes", 6653, OXLO_L4_TCP,
         kit::cut(true, std::string("\x06\x00\x01\x08\x00\x00\x00\x01", 8), {4}), 0, OXLO_PROTOCOL_OPENFLOW},
        {"LDP initialization over TCP, header alone", 646, OXLO_L4_TCP,
         kit::cut(true, be16(1) + be16(26) + std::string(6, 'l') + be16(0x0200) + std::string(18, 'h'), {4}), OXLO_PROTOCOL_LDP, 0},
        {"VMware heartbeat", 902, OXLO_L4_UDP, {{true, "\xA4" + std::string(65, 'v')}}, OXLO_PROTOCOL_VMWARE, 0},
        {"VMware: 65 bytes", 902, OXLO_L4_UDP, {{true, "\xA4" + std::string(64, 'v')}}, 0, OXLO_PROTOCOL_VMWARE},
        {"Ookla HI, HELLO", 8080, OXLO_L4_TCP, {{true, "HI\n"}, {false, "HELLO 2.9 (2.9.0) 2026-01-01.0000.0 vesk\n"}}, OXLO_PROTOCOL_OOKLA, 0},
        {"Ookla: HELLO without HI", 8080, OXLO_L4_TCP, {{true, "GET / HTTP/1.1\r\n\r\n"}, {false, "HELLO 2.9\n"}}, 0, OXLO_PROTOCOL_OOKLA},
        {"UBNT discovery request", 10001, OXLO_L4_UDP, {{true, std::string("\x01\x00\x00\x00", 4)}}, OXLO_PROTOCOL_UBNTAC2, 0},
        {"UBNT: length one short", 10001, OXLO_L4_UDP, {{true, std::string("\x01\x00\x00\x01\x03\x00", 6)}}, 0, OXLO_PROTOCOL_UBNTAC2},
        {"GTP-U G-PDU", 2152, OXLO_L4_UDP, {{true, std::string("\x30\xFF", 2) + be16(4) + be32(1) + "data"}}, OXLO_PROTOCOL_GTP_U, 0, 2152},
        {"GTP-C v1 echo request with a sequence number", 2123, OXLO_L4_UDP, {{true, std::string("\x32\x01", 2) + be16(4) + be32(0) + be32(0x08000000)}}, OXLO_PROTOCOL_GTP_C, 0, 2123},
        {"GTP-C v1: length counting the mandatory header", 2123, OXLO_L4_UDP, {{true, std::string("\x32\x01", 2) + be16(12) + be32(0) + be32(0x08000000)}}, 0, OXLO_PROTOCOL_GTP_C, 2123},
        {"GTP-C v2 echo", 2123, OXLO_L4_UDP, {{true, std::string("\x40\x01", 2) + be16(4) + be32(7)}}, OXLO_PROTOCOL_GTP_C, 0, 2123},
        {"GTP-C v2: length off", 2123, OXLO_L4_UDP, {{true, std::string("\x40\x01", 2) + be16(5) + be32(7)}}, 0, OXLO_PROTOCOL_GTP_C, 2123},
        {"GTP' echo", 3386, OXLO_L4_UDP, {{true, std::string("\x0E\x01", 2) + be16(0) + be16(1)}}, OXLO_PROTOCOL_GTP_PRIME, 0},
        {"GTP': protocol-type bit set", 3386, OXLO_L4_UDP, {{true, std::string("\x1E\x01", 2) + be16(0) + be16(1)}}, 0, OXLO_PROTOCOL_GTP_PRIME},
        {"HSRP: not to the all-routers group", 1985, OXLO_L4_UDP, {{true, std::string(20, '\0')}}, 0, OXLO_PROTOCOL_HSRP, 1985},
        {"IKEv2 on a private port", 5000, OXLO_L4_UDP, {{true, ikev2_sa_init(0x08)}}, OXLO_PROTOCOL_IPSEC, 0},
        {"IKE: version 3 on a private port", 5000, OXLO_L4_UDP, {{true, ikev2_sa_init(0x08).replace(17, 1, "\x30")}}, 0, OXLO_PROTOCOL_IPSEC},
    };
}

TEST_F(Infrastructure, first_messages_and_near_misses)
{
    for (const exchange &e : cases()) {
        kit::conversation c(m, e.port, e.l4, e.client_port);
        c.now = 1765360000000ull; // packet times of this decade, for the exporters' clocks
        if (e.l4 == OXLO_L4_TCP)
            c.handshake();
        for (const auto &p : e.packets)
            p.first ? c.client(p.second) : c.server(p.second);
        if (e.expected) {
            EXPECT_EQ(c.app(), e.expected) << e.what;
            EXPECT_TRUE(c.by_inspection()) << e.what;
        } else {
            EXPECT_NE(c.app(), e.protocol) << e.what;
        }
    }
}

TEST_F(Infrastructure, netflow_waits_for_an_export_time_in_the_past)
{
    const std::string v5 = be16(5) + be16(1) + be32(1000) + be32(1765360100) + std::string(12, '\0') + std::string(48, 'r');
    kit::conversation c(m, 2055, OXLO_L4_UDP);
    c.now = 1765360000000ull; // 100 s before the export time
    c.client(v5);
    EXPECT_NE(c.app(), OXLO_PROTOCOL_NETFLOW);
    c.now += 200000;
    c.client(v5);
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_NETFLOW);
}

// Other IP protocols, fed as raw IP payloads.
TEST_F(Infrastructure, ip_protocols_by_number)
{
    const std::pair<uint8_t, uint16_t> rows[] = {
        {2, OXLO_PROTOCOL_IGMP},  {4, OXLO_PROTOCOL_IP_IN_IP}, {8, OXLO_PROTOCOL_EGP},      {47, OXLO_PROTOCOL_GRE},
        {50, OXLO_PROTOCOL_ESP},  {51, OXLO_PROTOCOL_AH},      {89, OXLO_PROTOCOL_IP_OSPF}, {103, OXLO_PROTOCOL_IP_PIM},
        {112, OXLO_PROTOCOL_VRRP}, {113, OXLO_PROTOCOL_PGM},   {132, OXLO_PROTOCOL_SCTP},
    };
    for (const auto &row : rows) {
        kit::conversation c(m, 0, row.first);
        c.feed(c.wrap(pkt::bytes(24, 0x42), true));
        EXPECT_EQ(c.app(), row.second) << int(row.first);
        EXPECT_TRUE(c.by_inspection()) << int(row.first);
    }
    kit::conversation unknown(m, 0, 99);
    unknown.feed(unknown.wrap(pkt::bytes(24, 0x42), true));
    EXPECT_EQ(unknown.app(), OXLO_PROTOCOL_UNKNOWN);
}

pkt::bytes icmp(uint8_t type, uint8_t code, const std::string &data, bool fix_checksum = true)
{
    const std::string head{char(type), char(code), 0, 0, 0x12, 0x34, 0, 1};
    const std::string all = head + data;
    pkt::bytes b(all.begin(), all.end());
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < b.size(); i += 2)
        sum += uint32_t(b[i] << 8 | b[i + 1]);
    if (b.size() & 1)
        sum += uint32_t(b.back() << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    const uint16_t check = uint16_t(~sum + (fix_checksum ? 0 : 1));
    b[2] = uint8_t(check >> 8);
    b[3] = uint8_t(check);
    return b;
}

TEST_F(Infrastructure, icmp_risks)
{
    struct row {
        const char *what;
        pkt::bytes message;
        const char *risk_text; // nullptr: no risk 17
    };
    const std::string ping_data(48, 'p');
    const row rows[] = {
        {"echo request", icmp(8, 0, ping_data), nullptr},
        {"wrong checksum", icmp(8, 0, ping_data, false), "Invalid ICMP checksum"},
        {"type 44", icmp(44, 0, ping_data), "Invalid type (44)/code(0)"},
        {"code 16", icmp(3, 16, ping_data), "Invalid type (3)/code(16)"},
        {"four bytes", pkt::bytes{8, 0, 0xF7, 0xFF}, "Packet too short (4 vs 8)"},
    };
    for (const row &r : rows) {
        kit::conversation c(m, 0, 1);
        c.feed(c.wrap(r.message, true));
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_ICMP) << r.what;
        EXPECT_EQ(c.risk(OXLO_MALFORMED_PACKET), r.risk_text != nullptr) << r.what;
        if (r.risk_text) {
            EXPECT_NE(c.messages().find(r.risk_text), std::string::npos) << r.what << ": " << c.messages();
        }
    }
    // The entropy of the echo data is exported; random-looking data is
    // suspicious once the message is malformed too, not in a plain echo.
    std::string noise;
    for (int i = 0; i < 256; i++)
        noise += char((i * 73 + 41) & 0xFF);
    kit::conversation echo(m, 0, 1);
    echo.feed(echo.wrap(icmp(8, 0, noise), true));
    EXPECT_FALSE(echo.risk(OXLO_SUSPICIOUS_ENTROPY));
    EXPECT_NE(json(echo).find("\"entropy\":8.000000"), std::string::npos) << json(echo);
    kit::conversation odd(m, 0, 1);
    odd.feed(odd.wrap(icmp(44, 0, noise), true));
    EXPECT_TRUE(odd.risk(OXLO_SUSPICIOUS_ENTROPY));
}

TEST_F(Infrastructure, icmpv6_type_and_code)
{
    kit::conversation good(m, 0, 58, 40000, true);
    good.feed(good.wrap(pkt::bytes{128, 0, 0, 0, 0, 1, 0, 1, 'x'}, true));
    EXPECT_EQ(good.app(), OXLO_PROTOCOL_ICMPV6);
    EXPECT_FALSE(good.risk(OXLO_MALFORMED_PACKET));
    kit::conversation bad(m, 0, 58, 40000, true);
    bad.feed(bad.wrap(pkt::bytes{5, 0, 0, 0, 0, 1, 0, 1}, true));
    EXPECT_NE(bad.messages().find("Invalid type (5)/code(0)"), std::string::npos) << bad.messages();
}

std::string snmp_v2c_response(uint8_t error_status)
{
    const std::string pdu_body = std::string("\x02\x01\x2A", 3) + "\x02\x01" + char(error_status) + std::string("\x02\x01\x01\x30\x00", 5);
    const std::string pdu = std::string("\xA2", 1) + char(pdu_body.size()) + pdu_body;
    const std::string body = std::string("\x02\x01\x01\x04\x06public", 11) + pdu;
    return std::string("\x30", 1) + char(body.size()) + body;
}

TEST_F(Infrastructure, snmp_error_status_of_the_response)
{
    kit::conversation c(m, 161, OXLO_L4_UDP);
    c.client(snmp_v2c_response(0).replace(13, 1, "\xA0"));
    ASSERT_EQ(c.app(), OXLO_PROTOCOL_SNMP);
    c.server(snmp_v2c_response(2));
    EXPECT_TRUE(c.risk(OXLO_ERROR_CODE_DETECTED));
    EXPECT_NE(c.messages().find("SNMP Error 2"), std::string::npos) << c.messages();
    EXPECT_EQ(oxlo_flow_error_code(c.f), 2);
    EXPECT_NE(json(c).find("\"snmp\": {\"version\":1,\"primitive\":2,\"error_status\":2}"), std::string::npos) << json(c);

    // A BER length one past the datagram, or an element running past it.
    kit::conversation longer(m, 161, OXLO_L4_UDP);
    std::string cut = snmp_v2c_response(0);
    cut[1] = char(cut[1] + 1);
    longer.client(cut);
    EXPECT_NE(longer.app(), OXLO_PROTOCOL_SNMP);
    kit::conversation inner(m, 161, OXLO_L4_UDP);
    inner.client(snmp_v2c_response(0));
    std::string overrun = snmp_v2c_response(5);
    overrun[14] = '\x7F'; // the PDU claims more than there is
    inner.server(overrun);
    EXPECT_FALSE(inner.risk(OXLO_ERROR_CODE_DETECTED));
}

TEST_F(Infrastructure, ipsec_header_risk_and_proposals)
{
    // A bad version on the IKE port is still IKE, with a risk.
    kit::conversation bad(m, 500, OXLO_L4_UDP, 500);
    bad.client(ikev2_sa_init(0x08).replace(17, 1, "\x30"));
    EXPECT_EQ(bad.app(), OXLO_PROTOCOL_IPSEC);
    EXPECT_NE(bad.messages().find("Invalid IPSec/ISAKMP Header"), std::string::npos);

    // An IKE_AUTH cut into fragments starts with an Encrypted Fragment
    // payload (53); a payload type past the known ones is still bad.
    struct {
        char next;
        bool malformed;
    } firsts[] = {{53, false}, {46, false}, {49, true}, {54, true}};
    for (const auto &k : firsts) {
        kit::conversation auth(m, 500, OXLO_L4_UDP, 500);
        std::string msg = ikev2_sa_init(0x08);
        msg[16] = k.next;
        msg[18] = 35;
        auth.client(msg);
        EXPECT_EQ(auth.app(), OXLO_PROTOCOL_IPSEC) << int(k.next);
        EXPECT_EQ(auth.risk(OXLO_MALFORMED_PACKET), k.malformed) << int(k.next);
    }

    kit::conversation c(m, 500, OXLO_L4_UDP, 500);
    c.client(ikev2_sa_init(0x08));
    c.server(ikev2_sa_init(0x20));
    const std::string j = json(c);
    EXPECT_NE(j.find("\"ike_version\":\"2.0\""), std::string::npos) << j;
    EXPECT_NE(j.find("{\"type\":\"request\",\"protocol_id\":1,\"num_transforms\":4,\"encryption_algorithm\":\"AES_CBC\","
                     "\"encryption_key_bits\":256,\"pseudo_random_algorithm\":\"HMAC_SHA2_256\","
                     "\"integrity_algorithm\":\"HMAC_SHA2_256_128\",\"diffie_hellman_group\":\"ECP_256\""),
              std::string::npos) << j;
    EXPECT_NE(j.find("{\"type\":\"response\",\"protocol_id\":1"), std::string::npos) << j;

    // A transform whose length runs past its proposal keeps nothing of it.
    std::string overrun = ikev2_sa_init(0x08);
    overrun[28 + 4 + 8 + 2] = '\x7F';
    kit::conversation o(m, 500, OXLO_L4_UDP, 500);
    o.client(overrun);
    EXPECT_EQ(o.app(), OXLO_PROTOCOL_IPSEC);
    EXPECT_NE(json(o).find("\"encryption_algorithm\":\"Unknown\""), std::string::npos) << json(o);
}

TEST_F(Infrastructure, natpmp_response_risks)
{
    struct row {
        const char *what;
        std::string response;
        const char *risk_text;
    };
    const row rows[] = {
        {"address answer with an error and an address", std::string("\x00\x80", 2) + be16(3) + be32(1) + be32(0x0A000001),
         "Address Response: Result code indicates an error, but External IPv4 Address is set"},
        {"mapping answer with a zero port", std::string("\x00\x81", 2) + be16(0) + be32(1) + be16(1234) + be16(0) + be32(60),
         "Port Mapping Response: Internal/External port must not 0"},
        {"mapping request with no internal port", std::string("\x00\x01\x00\x00", 4) + be16(0) + be16(80) + be32(60),
         "Request Port Mapping: Internal port must not 0"},
        {"not a NAT-PMP message", std::string("\x01\x00", 2), "Invalid NATPMP Header"},
    };
    for (const row &r : rows) {
        kit::conversation c(m, 5351, OXLO_L4_UDP);
        c.client(std::string("\x00\x00", 2));
        ASSERT_EQ(c.app(), OXLO_PROTOCOL_NAT_PMP) << r.what;
        c.server(r.response);
        EXPECT_NE(c.messages().find(r.risk_text), std::string::npos) << r.what << ": " << c.messages();
    }
    kit::conversation ok(m, 5351, OXLO_L4_UDP);
    ok.client(std::string("\x00\x00", 2));
    ok.server(std::string("\x00\x80", 2) + be16(0) + be32(1) + be32(0xC0A80001));
    EXPECT_FALSE(ok.risk(OXLO_MALFORMED_PACKET));
    EXPECT_NE(json(ok).find("\"natpmp\": {\"result\":0,\"internal_port\":0,\"external_port\":0,\"external_address\":\"192.168.0.1\"}"),
              std::string::npos) << json(ok);
}

TEST_F(Infrastructure, mikrotik_reads_the_record_that_ends_the_datagram)
{
    const std::string mndp = std::string("\x00\x00\x00\x01", 4) + mndp_tlv(1, "\x4C\x5E\x0C\x01\x02\x03") +
                             mndp_tlv(5, "router-one") + mndp_tlv(7, "6.49.10") + mndp_tlv(16, "ether1");
    kit::conversation c(m, 5678, OXLO_L4_UDP, 5678);
    pkt::ip4_opts o;
    o.dst = 0xFFFFFFFFu;
    c.feed(pkt::ipv4(OXLO_L4_UDP, pkt::udp(5678, 5678, mndp), o));
    ASSERT_EQ(c.app(), OXLO_PROTOCOL_MIKROTIK);
    const std::string j = json(c);
    EXPECT_NE(j.find("\"mikrotik\": {\"mac_address\":\"4C:5E:0C:01:02:03\",\"identity\":\"router-one\","
                     "\"version\":\"6.49.10\",\"iface_name\":\"ether1\"}"), std::string::npos) << j;

    // A record running past the datagram is not read; to a unicast address
    // it is no discovery at all.
    kit::conversation cut(m, 5678, OXLO_L4_UDP, 5678);
    cut.feed(pkt::ipv4(OXLO_L4_UDP, pkt::udp(5678, 5678, mndp.substr(0, mndp.size() - 1)), o));
    EXPECT_EQ(json(cut).find("iface_name"), std::string::npos);
    kit::conversation unicast(m, 5678, OXLO_L4_UDP, 5678);
    unicast.client(mndp);
    EXPECT_NE(unicast.app(), OXLO_PROTOCOL_MIKROTIK);
}

// The remembered client's next connection to 8080, unreadable by any
// dissector, is named Ookla when the engine gives up on it; over IPv6 too.
TEST_F(Infrastructure, ookla_remembers_its_client)
{
    for (const bool v6 : {false, true}) {
        kit::conversation c(m, 8080, OXLO_L4_TCP, 40000, v6);
        c.handshake();
        EXPECT_FALSE(oxlo_ookla_cache_contains(m, c.f, v6));
        c.client("HI\n");
        c.server("HELLO 2.9 (2.9.0) 2026-01-01.0000.0 vesk\n");
        ASSERT_EQ(c.app(), OXLO_PROTOCOL_OOKLA) << v6;
        EXPECT_TRUE(oxlo_ookla_cache_contains(m, c.f, v6));

        kit::conversation next(m, 8080, OXLO_L4_TCP, 40001, v6);
        next.handshake();
        next.client(std::string("\x9a\x41\xe0\x07\x5c\x21\xd3\x68\x02\xbf", 10));
        oxlo_flow_giveup(m, next.f);
        EXPECT_EQ(next.app(), OXLO_PROTOCOL_OOKLA) << v6;
    }
}

TEST_F(Infrastructure, hsrp_to_its_groups)
{
    struct row {
        uint32_t group;
        std::string hello;
        bool hsrp;
    };
    const std::string v1 = std::string(20, '\0');
    const std::string v2 = std::string("\x01\x28\x02\x00\x00\x04", 6) + std::string(36, 'h');
    const row rows[] = {
        {0xE0000002u, v1, true},
        {0xE0000002u, std::string("\x00\x00\x00\x00\x00\x00\x00\x01", 8) + std::string(12, '\0'), false},
        {0xE0000002u, v1.substr(0, 19), false},
        {0xE0000066u, v2, true},
        {0xE0000066u, v2.substr(0, 41), false},
    };
    for (const row &r : rows) {
        kit::conversation c(m, 1985, OXLO_L4_UDP, 1985);
        pkt::ip4_opts o;
        o.dst = r.group;
        c.feed(pkt::ipv4(OXLO_L4_UDP, pkt::udp(1985, 1985, r.hello), o));
        EXPECT_EQ(c.app() == OXLO_PROTOCOL_HSRP, r.hsrp) << std::hex << r.group << " " << r.hello.size();
    }
}

TEST_F(Infrastructure, ubnt_firmware_and_ntp_records)
{
    const std::string firmware = "XM.ar7240.v5.6.2";
    const std::string body = std::string("\x03", 1) + be16(uint16_t(firmware.size())) + firmware;
    kit::conversation u(m, 10001, OXLO_L4_UDP);
    u.server(std::string("\x01\x00", 2) + be16(uint16_t(body.size())) + body);
    ASSERT_EQ(u.app(), OXLO_PROTOCOL_UBNTAC2);
    EXPECT_NE(json(u).find("\"ubntac2\": {\"version\":\"XM.ar7240.v5.6.2\"}"), std::string::npos) << json(u);

    kit::conversation n(m, 123, OXLO_L4_UDP);
    n.client(std::string("\x23\x00\x06\x20", 4) + std::string(44, '\0'));
    n.server(std::string("\x24\x01\x06\xEC", 4) + be32(0x00010000) + be32(0x00008000) + "GPS" + std::string(37, '\0'));
    const std::string j = json(n);
    EXPECT_NE(j.find("\"0\": {\"leap_indicator\":0,\"version\":4,\"mode\":3"), std::string::npos) << j;
    EXPECT_NE(j.find("\"1\": {\"leap_indicator\":0,\"version\":4,\"mode\":4,\"stratum\":1,\"ppol\":6,\"precision\":-20,"
                     "\"root_delay\":1.000000,\"root_dispersion\":0.500000,\"ref_id\":\"GPS\""), std::string::npos) << j;
}

} // namespace
