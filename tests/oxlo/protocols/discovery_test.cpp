#include "dissector_kit.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_discovery.h"
#include "oxlo_risks.h"

namespace {

std::string hex(const char *h)
{
    std::string out;
    for (size_t i = 0; h[i] && h[i + 1]; i += 2)
        out += char(std::stoi(std::string(h + i, 2), nullptr, 16));
    return out;
}

struct Discovery : kit::engine {
    std::vector<std::array<const char *, 3>> knobs() override { return {{"ssdp", "metadata", "enable"}}; }
};

// A BOOTP request with the magic cookie and the options given.
std::string dhcp_message(const std::string &options)
{
    std::string b(236, '\0');
    b[0] = 1, b[1] = 1, b[2] = 6;
    return b + hex("63825363") + options + std::string(1, char(0xFF)) + std::string(60, '\0');
}

// The option walk passes pad bytes and the empty rapid-commit option.
TEST_F(Discovery, dhcp_discover_keeps_options_fingerprint_class_and_host)
{
    kit::conversation c(m, 67, OXLO_L4_UDP, 68);
    std::string options = hex("350101") + hex("3d0701aabbccddeeff") + hex("0000") + hex("5000") +
                          std::string("\x0c\x04WS01", 6) + hex("37050103060f1c") + std::string("\x3c\x07vendorX", 9);
    c.client(dhcp_message(options));
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_DHCP);
    EXPECT_TRUE(c.by_inspection());
    EXPECT_STREQ(oxlo_flow_dhcp_options(c.f), "53,61,80,12,55,60");
    EXPECT_STREQ(oxlo_flow_dhcp_fingerprint(c.f), "1,3,6,15,28");
    EXPECT_STREQ(oxlo_flow_dhcp_class_ident(c.f), "vendorX");
    EXPECT_STREQ(oxlo_flow_host_name(c.f), "ws01");
}

TEST_F(Discovery, dhcp_near_misses_are_not_dhcp)
{
    struct {
        const char *what;
        std::string payload;
        uint16_t port;
    } cases[] = {
        {"plain BOOTP, no message type", dhcp_message(hex("0c0161")), 67},
        {"message type 9", dhcp_message(hex("350109")), 67},
        {"wrong cookie", [] { auto b = dhcp_message(hex("350101")); b[236] = 0x64; return b; }(), 67},
        {"other port", dhcp_message(hex("350101")), 6767},
    };
    for (auto &t : cases) {
        kit::conversation c(m, t.port, OXLO_L4_UDP, 68);
        c.client(t.payload);
        EXPECT_NE(c.app(), OXLO_PROTOCOL_DHCP) << t.what;
    }
}

TEST_F(Discovery, dhcpv6_by_ports_and_message_type)
{
    kit::conversation solicit(m, 547, OXLO_L4_UDP, 546, true);
    solicit.client(hex("015e5fd40001000e000100013") + std::string(8, '\0'));
    EXPECT_EQ(solicit.app(), OXLO_PROTOCOL_DHCPV6);
    kit::conversation bad(m, 547, OXLO_L4_UDP, 546, true);
    bad.client(hex("0e5e5fd400010000"));
    EXPECT_NE(bad.app(), OXLO_PROTOCOL_DHCPV6);
}

// nmblookup's query for VESKSRV<00>, as recorded.
const char *nbns_query = "121d0000000100000000000020464745464644454c4644464346474341434143414341434143414341434141410000200001";

TEST_F(Discovery, netbios_name_query_gives_the_name_without_its_suffix)
{
    kit::conversation c(m, 137, OXLO_L4_UDP, 51111);
    c.client(hex(nbns_query));
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_NETBIOS);
    EXPECT_TRUE(c.by_inspection());
    EXPECT_STREQ(oxlo_flow_host_name(c.f), "vesksrv");
}

TEST_F(Discovery, netbios_session_request_and_near_misses)
{
    // Called name FEEFFDFEEFFD + spaces with suffix 0x20 ("CA"), calling VM<00>.
    std::string called = "\x20" + std::string("FEEFFDFEEFFDCACACACACACACACACAAA") + std::string(1, '\0');
    std::string calling = "\x20" + std::string("FGENCACACACACACACACACACACACACAAA") + std::string(1, '\0');
    kit::conversation c(m, 139);
    c.handshake();
    c.client(hex("81000044") + called + calling);
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_NETBIOS);
    EXPECT_STREQ(oxlo_flow_host_name(c.f), "testes") << "six letters, the spaces and the suffix dropped";

    std::string query = hex(nbns_query);
    query[5] = 2; /* two questions: no name-service form */
    kit::conversation q(m, 137, OXLO_L4_UDP, 51111);
    q.client(query);
    EXPECT_FALSE(q.by_inspection());
    kit::conversation s(m, 139);
    s.handshake();
    s.client(hex("81000045") + called + calling + "x");
    EXPECT_FALSE(s.by_inspection());
}

// The session request of tests/captures/netbios/netbios.pcap cut after its
// header and in a name; a header of another length is not waited for.
TEST_F(Discovery, netbios_session_request_cut_by_segments)
{
    const std::string request = kit::capture_first("netbios/netbios.pcap", 139, true);
    ASSERT_EQ(request.size(), 72u);
    const struct {
        const char *what;
        kit::segments segments;
        bool netbios;
    } cases[] = {
        {"header alone", kit::cut(true, request, {4}), true},
        {"inside the header, then in the called name", kit::cut(true, request, {3, 20}), true},
        {"another length", kit::cut(true, hex("81000046") + request.substr(4) + "xx", {4}), false},
    };
    for (const auto &k : cases) {
        kit::conversation c(m, 139);
        c.handshake();
        c.send(k.segments);
        EXPECT_EQ(c.app() == OXLO_PROTOCOL_NETBIOS && c.by_inspection(), k.netbios) << k.what;
    }
}

TEST_F(Discovery, ssdp_search_keeps_method_and_headers)
{
    kit::conversation c(m, 1900, OXLO_L4_UDP, 40001);
    c.client("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nST: urn:schemas-upnp-org:device:"
             "InternetGatewayDevice:1\r\nMAN: \"ssdp:discover\"\r\nMX: 2\r\nUSER-AGENT: Linux/6 UPnP/1.1 vesk/1\r\n\r\n");
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_SSDP);
    EXPECT_STREQ(oxlo_flow_ssdp_method(c.f), "M-SEARCH");
    EXPECT_STREQ(oxlo_flow_ssdp_header(c.f, "ST"), "urn:schemas-upnp-org:device:InternetGatewayDevice:1");
    EXPECT_STREQ(oxlo_flow_ssdp_header(c.f, "MAN"), "\"ssdp:discover\"");
    EXPECT_STREQ(oxlo_flow_ssdp_header(c.f, "USER_AGENT"), "Linux/6 UPnP/1.1 vesk/1");
    EXPECT_EQ(oxlo_flow_ssdp_header(c.f, "USN"), nullptr);
    EXPECT_STREQ(oxlo_flow_host_name(c.f), "239.255.255.250");

    kit::conversation miss(m, 1900, OXLO_L4_UDP, 40002);
    miss.client("M-SEARCH / HTTP/1.1\r\nHOST: x\r\n\r\n");
    EXPECT_NE(miss.app(), OXLO_PROTOCOL_SSDP);
}

// A NOTIFY's agent goes through HTTP's user-agent checks; an ordinary
// device agent raises nothing.
TEST_F(Discovery, ssdp_user_agent_gets_the_http_checks)
{
    struct {
        const char *agent;
        int risk; /* 0: none of the agent risks */
    } cases[] = {
        {"jndi:ldap://198.51.100.9/a", OXLO_POSSIBLE_EXPLOIT},
        {"UPnP/1.0 DeviceCrawler/2", OXLO_HTTP_CRAWLER_BOT},
        {"${jndi:x}", OXLO_HTTP_SUSPICIOUS_USER_AGENT},
        {"Linux/6.1 UPnP/1.1 MiniUPnPd/2.3.3", 0},
    };
    uint16_t port = 40010;
    for (const auto &k : cases) {
        kit::conversation c(m, 1900, OXLO_L4_UDP, port++);
        c.client(std::string("NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\n"
                             "NTS: ssdp:alive\r\nUSER-AGENT: ") + k.agent + "\r\n\r\n");
        ASSERT_EQ(c.app(), OXLO_PROTOCOL_SSDP) << k.agent;
        EXPECT_STREQ(oxlo_flow_ssdp_header(c.f, "USER_AGENT"), k.agent);
        for (int r : {OXLO_POSSIBLE_EXPLOIT, OXLO_HTTP_CRAWLER_BOT, OXLO_HTTP_SUSPICIOUS_USER_AGENT})
            EXPECT_EQ(c.risk(r), r == k.risk) << k.agent << " risk " << r << ": " << c.messages();
    }
}

// Fixtures from the protocols' layouts (no Debian peer), each beside a
// near miss that must not match.
TEST_F(Discovery, fixtures_and_their_near_misses)
{
    const std::string avast = std::string(11, 'q') + hex("00003209") + "SecureDNS" + std::string(10, 'x');
    std::string avast_miss = avast;
    avast_miss[14] = 0x0A;
    const std::string slp_v2 = hex("0201000017000000000000010002") + "en" + hex("00000001") + "x" + hex("0000");
    struct {
        const char *what;
        std::string payload;
        uint16_t port;
        uint8_t l4;
        uint16_t proto;
        bool match;
    } cases[] = {
        {"AVAST SecureDNS query", avast, 53, OXLO_L4_UDP, OXLO_PROTOCOL_AVASTSECUREDNS, true},
        {"AVAST marker altered", avast_miss, 53, OXLO_L4_UDP, OXLO_PROTOCOL_AVASTSECUREDNS, false},
        {"Samsung SDP search", "SEARCH BSDP/0.1\r\n", 5001, OXLO_L4_UDP, OXLO_PROTOCOL_SAMSUNGSDP, true},
        {"Samsung SDP lower case", "search bsdp/0.1\r\n", 5001, OXLO_L4_UDP, OXLO_PROTOCOL_SAMSUNGSDP, false},
        {"DNSCrypt client query", "r6fnvWj8" + std::string(72, '\x11'), 443, OXLO_L4_UDP, OXLO_PROTOCOL_DNSCRYPT, true},
        {"DNSCrypt certificate query",
         hex("12340100000100000000000001") + "2\rdnscrypt-cert\x07" + "example" + hex("0000100001"), 443, OXLO_L4_UDP,
         OXLO_PROTOCOL_DNSCRYPT, true},
        {"DNSCrypt magic too short", "r6fnvWj8" + std::string(20, '\x11'), 443, OXLO_L4_UDP, OXLO_PROTOCOL_DNSCRYPT,
         false},
        {"SLP v2 service request", slp_v2, 427, OXLO_L4_UDP, OXLO_PROTOCOL_SERVICE_LOCATION_PROTOCOL, true},
        {"SLP v2 wrong length", slp_v2 + "x", 427, OXLO_L4_UDP, OXLO_PROTOCOL_SERVICE_LOCATION_PROTOCOL, false},
        {"SLP v1 function 11", hex("010b000c000000000000abcd"), 427, OXLO_L4_UDP,
         OXLO_PROTOCOL_SERVICE_LOCATION_PROTOCOL, false},
        {"Whois query with a space", "a b\r\n", 43, OXLO_L4_TCP, OXLO_PROTOCOL_WHOIS_DAS, false},
        {"Whois query without CR LF", "example.com\n", 43, OXLO_L4_TCP, OXLO_PROTOCOL_WHOIS_DAS, false},
    };
    for (auto &t : cases) {
        kit::conversation c(m, t.port, t.l4, 40123);
        if (t.l4 == OXLO_L4_TCP)
            c.handshake();
        c.client(t.payload);
        EXPECT_EQ(c.app() == t.proto && c.by_inspection(), t.match) << t.what << " (app " << c.app() << ")";
    }
}

// WS-Discovery: a Probe to the multicast group, and the unicast ProbeMatch
// a responder sends back from 3702 to the prober's port (as wsdd does in
// tests/captures/wsd/wsd.pcap); XML from 3702 without the discovery
// namespace, and a unicast Probe to 3702, are not taken for it.
TEST_F(Discovery, wsd_multicast_messages_and_unicast_answers)
{
    const std::string envelope = "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
                                 "xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\" ";
    const std::string probe = envelope + "xmlns:wsd=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\"><wsd:Probe/>";
    const std::string match = envelope + "xmlns:wsd=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\"><wsd:ProbeMatches/>";
    const std::string match_2009 = envelope + "xmlns:d=\"http://docs.oasis-open.org/ws-dd/ns/discovery/2009/01\"><d:ProbeMatches/>";
    const std::string other = envelope + "xmlns:x=\"urn:example:inventory\"><x:Item/>";
    struct {
        const char *what;
        uint16_t to_port, from_port;
        uint32_t to;
        const std::string &payload;
        bool wsd;
    } cases[] = {
        {"Probe to the multicast group", 3702, 51857, 0xEFFFFFFA, probe, true},
        {"unicast ProbeMatch from 3702", 51857, 3702, 0x0a000001, match, true},
        {"unicast ProbeMatch of the 2009 version", 51857, 3702, 0x0a000001, match_2009, true},
        {"other XML from 3702", 51857, 3702, 0x0a000001, other, false},
        {"Probe sent unicast to 3702", 3702, 51857, 0x0a000001, probe, false},
    };
    for (auto &t : cases) {
        kit::conversation c(m, t.to_port, OXLO_L4_UDP, t.from_port);
        c.server_address = t.to;
        c.client(t.payload);
        EXPECT_EQ(c.app() == OXLO_PROTOCOL_WSD && c.by_inspection(), t.wsd) << t.what << " (app " << c.app() << ")";
    }
}

// A service reply with two URL entries (the second with an authentication
// block) keeps both; one whose URL runs past the payload is malformed.
TEST_F(Discovery, slp_service_reply_urls)
{
    const std::string url1 = "service:printer://10.0.0.9", url2 = "service:wbem://10.0.0.9";
    auto entry = [](const std::string &url, const std::string &auth) {
        return std::string(1, '\0') + hex("0e10") + std::string{char(url.size() >> 8), char(url.size())} + url +
               std::string(1, char(auth.empty() ? 0 : 1)) + auth;
    };
    auto reply = [](const std::string &body) {
        std::string tail = hex("0002") + "en" + body;
        const size_t n = 12 + tail.size();
        return hex("0202") + std::string{char(n >> 16), char(n >> 8), char(n)} + hex("0000000000000a") + tail;
    };
    const std::string body = hex("00000002") + entry(url1, "") + entry(url2, hex("0002000600ff"));
    kit::conversation c(m, 427, OXLO_L4_UDP, 427);
    c.client(reply(body));
    ASSERT_EQ(c.app(), OXLO_PROTOCOL_SERVICE_LOCATION_PROTOCOL);
    EXPECT_STREQ(oxlo_flow_slp_url(c.f, 0), url1.c_str());
    EXPECT_STREQ(oxlo_flow_slp_url(c.f, 1), url2.c_str());
    EXPECT_EQ(oxlo_flow_slp_url(c.f, 2), nullptr);
    EXPECT_FALSE(c.risk(OXLO_MALFORMED_PACKET));

    std::string cut = hex("00000001") + entry(url1, "");
    cut[4 + 4] = char(0x7F); /* URL length far past the payload */
    kit::conversation bad(m, 427, OXLO_L4_UDP, 427);
    bad.client(reply(cut));
    EXPECT_EQ(bad.app(), OXLO_PROTOCOL_SERVICE_LOCATION_PROTOCOL);
    EXPECT_NE(bad.messages().find("Invalid URL entries"), std::string::npos) << bad.messages();
}

TEST_F(Discovery, tivoconnect_beacon_fields_and_malformed_lines)
{
    kit::conversation c(m, 2190, OXLO_L4_UDP, 2190);
    c.client("tivoconnect=1\nmethod=broadcast\nplatform=pc/linux\nmachine=living room\n"
             "identity=uuid:0d2fb2a6-5c3e-4b8a-9a0f-1c2d3e4f5a6b\nservices=TiVoMediaServer:80/http\n");
    ASSERT_EQ(c.app(), OXLO_PROTOCOL_TIVOCONNECT);
    EXPECT_STREQ(oxlo_flow_tivo_field(c.f, "identity_uuid"), "0d2fb2a6-5c3e-4b8a-9a0f-1c2d3e4f5a6b");
    EXPECT_STREQ(oxlo_flow_tivo_field(c.f, "platform"), "pc/linux");
    EXPECT_STREQ(oxlo_flow_tivo_field(c.f, "machine"), "living room");
    EXPECT_STREQ(oxlo_flow_tivo_field(c.f, "services"), "TiVoMediaServer:80/http");
    EXPECT_FALSE(c.risk(OXLO_MALFORMED_PACKET));

    kit::conversation bad(m, 2190, OXLO_L4_UDP, 2190);
    bad.client("TiVoConnect=1\nno value here\nmachine=den");
    EXPECT_EQ(bad.app(), OXLO_PROTOCOL_TIVOCONNECT);
    EXPECT_NE(bad.messages().find("Missing value type in TiViConnect beacon"), std::string::npos) << bad.messages();
    EXPECT_NE(bad.messages().find("TiViConnect beacon malformed packet"), std::string::npos) << bad.messages();

    kit::conversation miss(m, 2190, OXLO_L4_UDP, 2190);
    miss.client("tivoconnect:1\nmachine=den\n");
    EXPECT_NE(miss.app(), OXLO_PROTOCOL_TIVOCONNECT);
}

// Datagram service: the header's source address must be the packet's; a
// datagram longer than 82 bytes carries SMB (mailslot browser announcements).
TEST_F(Discovery, netbios_datagrams_name_their_sender)
{
    auto datagram = [](uint32_t source, size_t data) {
        std::string name = "\x20" + std::string("FGEFFDELFDFCFGCACACACACACACACAAA") + std::string(1, '\0');
        std::string body = name + name + std::string(data, 'm');
        std::string head = {0x11, 0x02, 0x12, 0x34, char(source >> 24), char(source >> 16), char(source >> 8),
                            char(source), 0x00, char(138), char(body.size() >> 8), char(body.size()), 0, 0};
        return head + body;
    };
    kit::conversation small(m, 138, OXLO_L4_UDP, 138);
    small.client(datagram(0x0a000002, 4));
    EXPECT_EQ(small.app(), OXLO_PROTOCOL_NETBIOS);
    EXPECT_STREQ(oxlo_flow_host_name(small.f), "vesksrv");

    kit::conversation smb(m, 138, OXLO_L4_UDP, 138);
    smb.client(datagram(0x0a000002, 40));
    EXPECT_EQ(smb.app(), OXLO_PROTOCOL_SMBV1);
    EXPECT_EQ(smb.master(), OXLO_PROTOCOL_NETBIOS);

    kit::conversation spoofed(m, 138, OXLO_L4_UDP, 138);
    spoofed.client(datagram(0x0a000009, 4));
    EXPECT_FALSE(spoofed.by_inspection());
}

} // namespace
