#include "dissector_kit.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "protocols/tls/tls_private.h"

namespace {

TEST(ObfuscatedTlsModels, a_typical_handshake_sits_on_model_one)
{
    const uint32_t typical[4] = {1850, 4903, 785, 1051};
    EXPECT_LT(tls_model_distance(0, typical), 0.01f);
    EXPECT_TRUE(tls_bursts_match(typical));
    const uint32_t small_client[4] = {213, 4515, 108, 308};
    EXPECT_LT(tls_model_distance(2, small_client), 0.01f);
    EXPECT_TRUE(tls_bursts_match(small_client));
    const uint32_t bulk[4] = {60000, 200, 60000, 200};
    EXPECT_FALSE(tls_bursts_match(bulk));
    const uint32_t ssh_like[4] = {41, 41, 1500, 1100};
    EXPECT_FALSE(tls_bursts_match(ssh_like));
}

struct Heuristic : kit::engine {
    const char *bits = "0x01";
    std::vector<std::array<const char *, 3>> knobs() override { return {{"tls", "dpi.heuristics", bits}}; }
};
struct HeuristicOff : Heuristic {
    HeuristicOff() { bits = "0x00"; }
};

// Bursts of a hidden handshake: the client's hello in `hello_packets`
// packets, the server's flight, the client's finish, the server's answer,
// then the client's next packet.
void hidden_handshake(kit::conversation &c, int hello_packets)
{
    c.handshake();
    for (int i = 0; i < hello_packets; i++)
        c.client(std::string(1850 / hello_packets, char(0x5A + i)));
    for (int i = 0; i < 3; i++)
        c.server(std::string(1400, 's'));
    c.server(std::string(4903 - 3 * 1400, 's'));
    c.client(std::string(785, 'c'));
    c.server(std::string(1051, 'd'));
    c.client(std::string(90, 'e'));
}

TEST_F(Heuristic, a_handshake_on_a_flow_that_is_not_tls_raises_the_risk)
{
    kit::conversation c(m, 5555);
    hidden_handshake(c, 1);
    EXPECT_TRUE(c.risk(OXLO_OBFUSCATED_TRAFFIC)) << c.messages();
    EXPECT_NE(c.messages().find("Obfuscated TLS traffic"), std::string::npos) << c.messages();
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_TLS);
    EXPECT_EQ(oxlo_flow_confidence(c.f), OXLO_CONFIDENCE_DPI_AGGRESSIVE);
}

TEST_F(Heuristic, a_client_burst_of_four_packets_is_never_evaluated)
{
    kit::conversation c(m, 5555);
    hidden_handshake(c, 4);
    EXPECT_FALSE(c.risk(OXLO_OBFUSCATED_TRAFFIC)) << c.messages();
}

// An SSH key exchange with a post-quantum hybrid: its four bursts sit
// within model one's threshold, but the client's offer outweighs the
// server's answer, which a handshake's certificate flight never does.
TEST_F(Heuristic, bursts_whose_server_flight_is_smaller_than_the_hello_do_not_match)
{
    const uint32_t kex[4] = {1560, 1088, 1208, 1564};
    ASSERT_LT(tls_model_distance(0, kex), 3.0f);
    kit::conversation c(m, 5555);
    c.handshake();
    c.client(std::string(1560, 'k'));
    c.server(std::string(1088, 'K'));
    c.client(std::string(1208, 'e'));
    c.server(std::string(1400, 'r'));
    c.server(std::string(164, 'r'));
    c.client(std::string(60, 'n'));
    EXPECT_FALSE(c.risk(OXLO_OBFUSCATED_TRAFFIC)) << c.messages();
}

TEST_F(Heuristic, a_server_that_speaks_first_ends_it)
{
    kit::conversation c(m, 5555);
    c.handshake();
    c.server(std::string(100, 'b'));
    c.client(std::string(1850, 'a'));
    c.server(std::string(1400, 's'));
    c.server(std::string(1400, 's'));
    c.server(std::string(1400, 's'));
    c.server(std::string(703, 's'));
    c.client(std::string(785, 'c'));
    c.server(std::string(1051, 'd'));
    c.client(std::string(90, 'e'));
    EXPECT_FALSE(c.risk(OXLO_OBFUSCATED_TRAFFIC));
}

TEST_F(HeuristicOff, with_the_default_knob_it_never_starts)
{
    kit::conversation c(m, 5555);
    hidden_handshake(c, 1);
    EXPECT_FALSE(c.risk(OXLO_OBFUSCATED_TRAFFIC));
}

} // namespace

namespace {

struct WebSocketHeuristic : Heuristic {
    WebSocketHeuristic() { bits = "0x04"; }
};

// After a WebSocket upgrade the heuristic reads the tunnel: a TLS
// handshake's bursts inside it raise the risk. Without the knob's bit, or
// without the upgrade, the same bursts raise nothing.
void upgrade_then_handshake(kit::conversation &c, bool upgrade)
{
    c.handshake();
    c.client(std::string("GET /tunnel HTTP/1.1\r\nHost: ws.vesk.test\r\nUser-Agent: vesk-test/1\r\n") +
             (upgrade ? "Upgrade: websocket\r\nConnection: Upgrade\r\n" : "") + "\r\n");
    c.server(upgrade ? "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n"
                     : "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    c.client(std::string(1850, 'h'));
    for (int i = 0; i < 3; i++)
        c.server(std::string(1400, 's'));
    c.server(std::string(4903 - 3 * 1400, 's'));
    c.client(std::string(785, 'c'));
    c.server(std::string(1051, 'd'));
    c.client(std::string(90, 'e'));
}

TEST_F(WebSocketHeuristic, tls_inside_a_websocket_upgrade_raises_the_risk)
{
    kit::conversation c(m, 80);
    upgrade_then_handshake(c, true);
    EXPECT_TRUE(c.risk(OXLO_OBFUSCATED_TRAFFIC)) << c.messages();
    kit::conversation plain(m, 80, OXLO_L4_TCP, 40001);
    upgrade_then_handshake(plain, false);
    EXPECT_FALSE(plain.risk(OXLO_OBFUSCATED_TRAFFIC)) << plain.messages();
}

TEST_F(HeuristicOff, websocket_tunnel_is_not_read_without_the_knob)
{
    kit::conversation c(m, 80);
    upgrade_then_handshake(c, true);
    EXPECT_FALSE(c.risk(OXLO_OBFUSCATED_TRAFFIC)) << c.messages();
}

} // namespace
