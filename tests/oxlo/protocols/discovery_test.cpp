#include "dissector_kit.h"
#include "oxlo_discovery.h"

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

} // namespace
