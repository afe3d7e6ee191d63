// Routing, storage, database, RPC, monitoring, VPN, coin and messaging
// dissectors on byte layouts of their first messages, each with a near
// miss that must not match.
#include "dissector_kit.h"
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_serializer.h"

namespace {

struct Services : kit::engine {};

std::string be16(unsigned v) { return std::string{char(v >> 8), char(v)}; }
std::string be32(uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
std::string le16(unsigned v) { return std::string{char(v), char(v >> 8)}; }
std::string le32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string pad(std::string s, size_t n, char c = '\0')
{
    s.resize(n, c);
    return s;
}

struct exchange {
    const char *what;
    uint16_t port;
    uint8_t l4;
    std::vector<std::pair<bool, std::string>> packets; // from_client, payload
    uint16_t expected;                                 // 0: must not be named
    uint16_t protocol = 0;                             // the protocol the near miss must not get
    uint16_t from_port = 40000;
    bool ipv6 = false;
};

// A connectionless DCE/RPC request: an 80-byte header, the body length at
// 74 in the byte order that the data representation at 4 names.
std::string dcerpc_udp(uint8_t drep, const std::string &length_field)
{
    std::string h = pad(std::string{4, 0, 0, 0, char(drep), 0}, 74);
    return pad(h + length_field, 80) + std::string(8, 'b');
}

std::string collectd_part(uint16_t type, const std::string &content)
{
    return be16(type) + be16(unsigned(content.size() + 4)) + content;
}

std::vector<exchange> cases()
{
    const uint8_t T = OXLO_L4_TCP, U = OXLO_L4_UDP;
    const std::string bind = pad(std::string("\x05\x00\x0b\x03\x10\x00\x00\x00", 8) + le16(72) + le16(0) + le32(1), 72);
    const std::string bfcp_body = be32(77) + be16(9) + be16(42) + std::string(4, 'a');
    const std::string discovery = pad(std::string("\x00\x02\x00\x46", 4) + be32(7) + "192.168.100.200", 74);
    const std::string amqp_start = std::string("\x01\x00\x00", 3) + be32(20) + be16(10) + be16(10) + std::string(16, 'p') + "\xCE";
    const std::string bgp_open = std::string(16, '\xFF') + be16(29) + "\x01" + std::string(10, '\x04');
    const std::string diameter = std::string("\x01\x00\x00\x14\x80", 5);
    const std::string dicom = std::string("\x01\x00", 2) + be32(14) + std::string("\x00\x01\x00\x00", 4) + std::string(10, 'A');
    const std::string dss1 = be16(10) + std::string("\xD0\x41", 2) + be16(1) + be16(4) + be16(0x1041);
    const std::string dss2 = be16(12) + std::string("\xD0\x01", 2) + be16(1) + be16(6) + be16(0x2001) + "ab";
    const std::string cql = pad("\x04\x00\x00\x01\x01", 44) + "CQL_VERSION" + std::string("\x00\x05", 2) + "3.0.0xx";
    const std::string collectd_host = collectd_part(0x0000, std::string("probe-7\0", 8));
    const std::string collectd_time = collectd_part(0x0008, std::string(8, '\x01'));
    const std::string collectd_plugin = collectd_part(0x0002, std::string("cpu\0", 4));
    return {
        {"DCERPC bind over TCP", 135, T, {{true, bind}}, OXLO_PROTOCOL_DCERPC},
        {"DCERPC: fragment length one past the payload", 135, T,
         {{true, bind.substr(0, 8) + le16(73) + bind.substr(10)}}, 0, OXLO_PROTOCOL_DCERPC},
        {"DCERPC over UDP, little-endian length", 34000, U, {{true, dcerpc_udp(0x10, le16(8))}}, OXLO_PROTOCOL_DCERPC},
        {"DCERPC over UDP, big-endian length", 34000, U, {{true, dcerpc_udp(0x00, be16(8))}}, OXLO_PROTOCOL_DCERPC},
        {"DCERPC over UDP: little-endian length under big-endian representation", 34000, U,
         {{true, dcerpc_udp(0x00, le16(8))}}, 0, OXLO_PROTOCOL_DCERPC},
        {"Amazon video over TCP", 8080, T, {{false, "\xFE\xED\xFA\xCE" "abcd"}}, OXLO_PROTOCOL_AMAZONVIDEO},
        {"Amazon video: the UDP magic over TCP", 8080, T, {{false, "\xDE\xAD\xBE\xEF" "abcd"}}, 0, OXLO_PROTOCOL_AMAZONVIDEO},
        {"BFCP version 1 over TCP", 5070, T, {{true, std::string("\x20\x01", 2) + be16(1) + bfcp_body}}, OXLO_PROTOCOL_BFCP},
        {"BFCP version 2 over UDP", 5070, U, {{true, std::string("\x40\x01", 2) + be16(1) + bfcp_body}}, OXLO_PROTOCOL_BFCP},
        {"BFCP: version 2 over TCP", 5070, T, {{true, std::string("\x40\x01", 2) + be16(1) + bfcp_body}}, 0, OXLO_PROTOCOL_BFCP},
        {"Discord keep-alive", 50004, U, {{true, "\x13\x37\xCA\xFE" "\x01\x02\x03\x04"}}, OXLO_PROTOCOL_DISCORD},
        {"Discord discovery: the answer comes second", 50004, U, {{true, discovery}, {false, discovery}}, OXLO_PROTOCOL_DISCORD},
        {"Discord: the discovery answer alone", 50004, U, {{true, discovery}}, 0, OXLO_PROTOCOL_DISCORD},
        {"DingTalk login", 443, T,
         {{true, pad(std::string("\x10\x7f\x87\x80\x01\x00\x01\x00\x02\x00\x02\x64\x6B\x03\x00\x20", 16), 91, 'd')}}, OXLO_PROTOCOL_DINGTALK},
        {"DingTalk: 90 bytes", 443, T,
         {{true, pad(std::string("\x10\x7f\x87\x80\x01\x00\x01\x00\x02\x00\x02\x64\x6B\x03\x00\x20", 16), 90, 'd')}}, 0, OXLO_PROTOCOL_DINGTALK},
        {"AFP over DSI", 548, T, {{true, std::string("\x00\x04\x00\x01", 4) + be32(0) + be32(4) + be32(0) + "abcd"}}, OXLO_PROTOCOL_AFP},
        {"AFP: reserved word set", 548, T, {{true, std::string("\x00\x04\x00\x01", 4) + be32(0) + be32(4) + be32(1) + "abcd"}}, 0, OXLO_PROTOCOL_AFP},
        {"AliCloud frame", 443, T, {{true, "\xCE\xFA\xBE\xBA" + be32(4) + "abcd"}}, OXLO_PROTOCOL_ALICLOUD},
        {"AliCloud: length one short", 443, T, {{true, "\xCE\xFA\xBE\xBA" + be32(3) + "abcd"}}, 0, OXLO_PROTOCOL_ALICLOUD},
        {"AMQP Connection.Start after the protocol header", 5672, T,
         {{true, std::string("AMQP\x00\x00\x09\x01", 8)}, {false, amqp_start}}, OXLO_PROTOCOL_AMQP},
        {"AMQP: class 200", 5672, T, {{false, amqp_start.substr(0, 7) + be16(200) + amqp_start.substr(9)}}, 0, OXLO_PROTOCOL_AMQP},
        {"AVAST message", 80, T, {{true, "NOSA" + be16(10) + "abcd"}}, OXLO_PROTOCOL_AVAST},
        {"AVAST: length off by one", 80, T, {{true, "NOSA" + be16(11) + "abcd"}}, 0, OXLO_PROTOCOL_AVAST},
        {"BFD control", 3784, U, {{true, std::string("\x20\x40\x03\x18", 4) + std::string(20, '\x01')}}, OXLO_PROTOCOL_BFD},
        {"BFD echo", 3785, U, {{true, be32(0) + be32(1) + be32(0x12340000)}}, OXLO_PROTOCOL_BFD},
        {"BFD: control to the echo port", 3785, U, {{true, std::string("\x20\x40\x03\x18", 4) + std::string(20, '\x01')}}, 0, OXLO_PROTOCOL_BFD},
        {"BGP OPEN on 179", 179, T, {{true, bgp_open}}, OXLO_PROTOCOL_BGP},
        {"BGP: OPEN on another port", 1179, T, {{true, bgp_open}}, 0, OXLO_PROTOCOL_BGP},
        {"Bitcoin version", 8333, T, {{true, "\xF9\xBE\xB4\xD9version\0\0\0\0\0"}}, OXLO_PROTOCOL_BITCOIN},
        {"Bitcoin: regtest magic", 8333, T, {{true, "\xFA\xBF\xB5\xDAversion"}}, OXLO_PROTOCOL_BITCOIN},
        {"Bitcoin: unknown magic", 8333, T, {{true, "\xF9\xBE\xB4\xDAversion"}}, 0, OXLO_PROTOCOL_BITCOIN},
        {"BJNP discovery", 8611, U, {{true, pad("BJNP\x01\x01", 16)}}, OXLO_PROTOCOL_BJNP},
        {"BJNP: unknown tag", 8611, U, {{true, pad("BJNX\x01\x01", 16)}}, 0, OXLO_PROTOCOL_BJNP},
        {"CAPWAP control", 5246, U, {{true, pad(std::string(13, '\0') + be16(7), 20, 'c')}}, OXLO_PROTOCOL_CAPWAP},
        {"CAPWAP: control header with preamble type 2", 5246, U, {{true, pad("\x02" + std::string(12, '\0') + be16(7), 20, 'c')}}, 0, OXLO_PROTOCOL_CAPWAP},
        {"Cassandra STARTUP", 9042, T, {{true, cql}}, OXLO_PROTOCOL_CASSANDRA},
        {"Cassandra: CQL_VERSION out of place", 9042, T, {{true, cql + "zz"}}, 0, OXLO_PROTOCOL_CASSANDRA},
        {"Ceph banner", 6789, T, {{false, "ceph v027"}}, OXLO_PROTOCOL_CEPH},
        {"Ceph: other banner", 6789, T, {{false, "ceph x027"}}, 0, OXLO_PROTOCOL_CEPH},
        {"Check_MK agent", 6556, T, {{false, "<<<check_mk>>>\nVersion: 2.2\n"}}, OXLO_PROTOCOL_CHECKMK},
        {"Check_MK: other section", 6556, T, {{false, "<<<check_mx>>>\nVersion: 2.2\n"}}, 0, OXLO_PROTOCOL_CHECKMK},
        {"Cisco VPN between 10000 ports", 10000, U, {{true, "\xFE\x57\x7E\x2B" "abcd"}}, OXLO_PROTOCOL_CISCOVPN, 0, 10000},
        {"Cisco VPN: client port 10001", 10000, U, {{true, "\xFE\x57\x7E\x2B" "abcd"}}, 0, OXLO_PROTOCOL_CISCOVPN, 10001},
        {"Cloudflare WARP: its port on another network", 2408, U, {{true, std::string(32, 'w')}}, 0, OXLO_PROTOCOL_CLOUDFLAREWARP},
        {"GIOP request", 2809, T, {{true, pad("GIOP\x01\x02\x01\x00", 24, 'g')}}, OXLO_PROTOCOL_CORBA},
        {"MIOP over UDP", 2809, U, {{true, pad("MIOP\x01\x00", 33, 'g')}}, OXLO_PROTOCOL_CORBA},
        {"Corba: GIOP over UDP", 2809, U, {{true, pad("GIOP\x01\x02\x01\x00", 33, 'g')}}, 0, OXLO_PROTOCOL_CORBA},
        {"Diameter capabilities exchange (257)", 3868, T, {{true, pad(diameter + std::string("\x00\x01\x01", 3), 20)}}, OXLO_PROTOCOL_DIAMETER},
        {"Diameter: command 300", 3868, T, {{true, pad(diameter + std::string("\x00\x01\x2c", 3), 20)}}, 0, OXLO_PROTOCOL_DIAMETER},
        {"DICOM association request", 11112, T, {{true, dicom}}, OXLO_PROTOCOL_DICOM},
        {"DICOM: over IPv6", 11112, T, {{true, dicom}}, 0, OXLO_PROTOCOL_DICOM, 40000, true},
        {"DRDA chained blocks", 50000, T, {{true, dss1 + dss2}}, OXLO_PROTOCOL_DRDA},
        {"DRDA: second block without the magic", 50000, T, {{true, dss1 + be16(12) + "\xD1\x01" + dss2.substr(4)}}, 0, OXLO_PROTOCOL_DRDA},
        {"Dropbox LAN sync", 17500, U, {{true, "{\"host_int\": 1234, \"version\": [2, 0]}"}}, OXLO_PROTOCOL_DROPBOX, 0, 17500},
        {"Dropbox: host_int from another port", 17500, U, {{true, "{\"host_int\": 1234, \"version\": [2, 0]}"}}, 0, OXLO_PROTOCOL_DROPBOX},
        {"eDonkey hello", 4662, T, {{true, "\xE3" + le32(5) + "\x01" "abcd"}}, OXLO_PROTOCOL_EDONKEY},
        {"eDonkey: length short", 4662, T, {{true, "\xE3" + le32(4) + "\x01" "abcd"}}, 0, OXLO_PROTOCOL_EDONKEY},
        {"Elasticsearch transport", 9300, T, {{true, "ES" + be32(4) + "abcd"}}, OXLO_PROTOCOL_ELASTICSEARCH},
        {"Elasticsearch: length past the payload", 9300, T, {{true, "ES" + be32(5) + "abcd"}}, 0, OXLO_PROTOCOL_ELASTICSEARCH},
        {"Ethereum pool login", 8008, T, {{true, "{\"id\":1,\"method\":\"eth_submitLogin\",\"worker\":\"rig\"}"}}, OXLO_PROTOCOL_ETHEREUM},
        {"Ethereum discovery", 30303, U, {{true, pad(std::string(97, 'h') + "\x01", 120)}}, OXLO_PROTOCOL_ETHEREUM},
        {"Ethereum: discovery type 7", 30303, U, {{true, pad(std::string(97, 'h') + "\x07", 120)}}, 0, OXLO_PROTOCOL_ETHEREUM},
        {"FIX logon", 9876, T, {{true, "8=FIX.4.4\x01" "9=70\x01" "35=A\x01"}}, OXLO_PROTOCOL_FIX},
        {"FIX: other begin string", 9876, T, {{true, "8=FIY.4.4\x01" "9=70\x01"}}, 0, OXLO_PROTOCOL_FIX},
        {"collectd host, time and plugin", 25826, U, {{true, collectd_host + collectd_time + collectd_plugin}}, OXLO_PROTOCOL_COLLECTD},
        {"collectd: two parts", 25826, U, {{true, collectd_host + collectd_time}}, 0, OXLO_PROTOCOL_COLLECTD},
    };
}

TEST_F(Services, first_messages_and_near_misses)
{
    for (const exchange &e : cases()) {
        kit::conversation c(m, e.port, e.l4, e.from_port, e.ipv6);
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


// A dotted IPv4 address of 15 characters and a full IPv6 address are kept whole.
TEST_F(Services, discord_keeps_the_whole_client_address)
{
    for (const char *address : {"192.168.100.200", "2001:db8:1234:5678:9abc:def0:1234:5678"}) {
        const std::string answer = pad(std::string("\x00\x02\x00\x46", 4) + be32(7) + address, 74);
        kit::conversation c(m, 50004, OXLO_L4_UDP);
        c.client(answer);
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_UNKNOWN) << "the first packet waits";
        c.server(answer);
        ASSERT_EQ(c.app(), OXLO_PROTOCOL_DISCORD);
        EXPECT_NE(kit::json_block(m, c.f, OXLO_PROTOCOL_DISCORD).find(std::string("\"client_ip\":\"") + address + "\""),
                  std::string::npos)
            << kit::json_block(m, c.f, OXLO_PROTOCOL_DISCORD);
    }
}

TEST_F(Services, collectd_host_name_and_encrypted_user)
{
    kit::conversation plain(m, 25826, OXLO_L4_UDP);
    plain.client(collectd_part(0x0000, std::string("Probe-7\0", 8)) + collectd_part(0x0001, std::string(8, '\1')) +
                 collectd_part(0x0002, std::string("cpu\0", 4)));
    ASSERT_EQ(plain.app(), OXLO_PROTOCOL_COLLECTD);
    EXPECT_STREQ(oxlo_flow_host_name(plain.f), "probe-7");

    kit::conversation sealed(m, 25826, OXLO_L4_UDP);
    const std::string rest = be16(1) + "u" + std::string(32, '\x5a');
    sealed.client(be16(0x0210) + be16(unsigned(rest.size() + 4)) + rest);
    ASSERT_EQ(sealed.app(), OXLO_PROTOCOL_COLLECTD);
    EXPECT_NE(kit::json_block(m, sealed.f, OXLO_PROTOCOL_COLLECTD).find("\"client_username\":\"u\""), std::string::npos);

    // A user name that runs into the IV and hash is not an encrypted part.
    kit::conversation bad(m, 25826, OXLO_L4_UDP);
    const std::string long_user = be16(20) + std::string(33, 'u');
    bad.client(be16(0x0210) + be16(unsigned(long_user.size() + 4)) + long_user);
    EXPECT_NE(bad.app(), OXLO_PROTOCOL_COLLECTD);
}

// The sequence may repeat or grow by one; the fourth packet names the flow.
TEST_F(Services, eaq_sequence)
{
    auto probe = [](const char *digits) { return pad(std::string(digits, 4), 16, 'q'); };
    const char *const steady[] = {"\x00\x00\x04\x01", "\x00\x00\x04\x02", "\x00\x00\x04\x02", "\x00\x00\x04\x03"};
    kit::conversation c(m, 6000, OXLO_L4_UDP);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_UNKNOWN) << i;
        c.client(probe(steady[i]));
    }
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_EAQ);

    kit::conversation jump(m, 6000, OXLO_L4_UDP);
    for (const char *d : {"\x00\x00\x04\x01", "\x00\x00\x04\x03", "\x00\x00\x04\x04", "\x00\x00\x04\x05", "\x00\x00\x04\x06"})
        jump.client(probe(d));
    EXPECT_NE(jump.app(), OXLO_PROTOCOL_EAQ);
}

// The cluster sync comes from 0.0.0.0 between two 8116 ports.
TEST_F(Services, cpha_from_the_unspecified_address)
{
    for (uint32_t source : {0u, 0x0a000002u}) {
        kit::conversation c(m, 8116, OXLO_L4_UDP, 8116);
        pkt::ip4_opts o;
        o.src = source;
        o.dst = 0xe0000012;
        c.feed(pkt::ipv4(OXLO_L4_UDP, pkt::udp(8116, 8116, pad("\x1A\x90\x00\x02", 32, 'c')), o));
        if (source == 0)
            EXPECT_EQ(c.app(), OXLO_PROTOCOL_CPHA);
        else
            EXPECT_NE(c.app(), OXLO_PROTOCOL_CPHA);
    }
}

// WARP is told by its endpoint addresses: the WireGuard port alone is not enough.
TEST_F(Services, cloudflare_warp_on_its_endpoint)
{
    kit::conversation warp(m, 2408, OXLO_L4_UDP);
    warp.server_address = 0xA29FC001; /* 162.159.192.1 */
    warp.client(std::string(32, 'w'));
    EXPECT_EQ(warp.app() ? warp.app() : warp.master(), OXLO_PROTOCOL_CLOUDFLAREWARP);
    EXPECT_TRUE(warp.by_inspection());
}

} // namespace
