// The Teams and speed-test caches through the per-packet walk: what one flow
// teaches them names the client's later flows. A custom protocols file
// names a speed-test host and an address of the cloud Teams runs on.
#include "dissector_kit.h"
#include "oxlo_hosts.h"
#include "oxlo_protocol_ids.h"

#include <unistd.h>

namespace {

std::string u8(unsigned v) { return std::string(1, char(v & 0xFF)); }
std::string be16(unsigned v) { return u8(v >> 8) + u8(v); }
std::string be24(unsigned v) { return u8(v >> 16) + be16(v & 0xFFFF); }
std::string record(unsigned type, const std::string &body) { return u8(type) + "\x03\x03" + be16(unsigned(body.size())) + body; }
std::string sni(const std::string &name)
{
    const std::string list = u8(0) + be16(unsigned(name.size())) + name;
    return be16(0) + be16(unsigned(list.size() + 2)) + be16(unsigned(list.size())) + list;
}
std::string handshake_message(unsigned type, const std::string &body) { return u8(type) + be24(unsigned(body.size())) + body; }

std::string client_hello(const std::string &server_name)
{
    const std::string ext = server_name.empty() ? "" : sni(server_name);
    const std::string body = be16(0x0303) + std::string(32, 'r') + u8(0) + be16(4) + be16(0x1301) + be16(0xc02f) +
                             u8(1) + u8(0) + be16(unsigned(ext.size())) + ext;
    return record(22, handshake_message(1, body));
}

std::string server_hello()
{
    const std::string body = be16(0x0303) + std::string(32, 's') + u8(0) + be16(0xc02f) + u8(0) + be16(0);
    return record(22, handshake_message(2, body));
}

// A TLS 1.2 exchange: both hellos, both change-cipher-specs, data both ways.
void tls_exchange(kit::conversation &c, const std::string &server_name)
{
    c.handshake();
    c.client(client_hello(server_name));
    c.server(server_hello());
    c.client(record(20, "\x01") + record(22, std::string(40, 'f')));
    c.server(record(20, "\x01") + record(22, std::string(40, 'F')));
    c.client(record(23, std::string(100, 'a')));
    c.server(record(23, std::string(300, 'b')));
}

constexpr uint32_t CLOUD = 0xc6336407; // 198.51.100.7, named Azure by the file below
constexpr uint32_t OTHER = 0x0a000001;

struct ServiceCaches : kit::engine {
    void SetUp() override
    {
        m = oxlo_module_new(nullptr);
        ASSERT_NE(m, nullptr);
        for (auto &k : knobs())
            ASSERT_EQ(oxlo_set_config(m, k[0], k[1], k[2]), 0) << k[1];
        char dir[] = "/tmp/oxlo_caches_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        const std::string file = std::string(dir) + "/protos.txt";
        FILE *out = fopen(file.c_str(), "w");
        ASSERT_NE(out, nullptr);
        fputs("host:\"speed.vesk.test\"@Ookla\nip:198.51.100.7/32@Azure\n", out);
        fclose(out);
        ASSERT_EQ(oxlo_load_custom_protocols_file(m, file.c_str()), 0);
        unlink(file.c_str());
        rmdir(dir);
        ASSERT_EQ(oxlo_finalize_initialization(m), 0);
    }
};

struct flow_result {
    uint16_t master, app;
};

flow_result tls_to(oxlo_module *m, uint32_t server, uint16_t port, const std::string &name, uint16_t from = 40000)
{
    kit::conversation c(m, port, OXLO_L4_TCP, from);
    c.server_address = server;
    tls_exchange(c, name);
    return {c.master(), c.app()};
}

// A Teams client over TCP is remembered: its next TLS flow to an address of
// Teams' cloud is Teams. Before that, or to another address, it stays TLS.
TEST_F(ServiceCaches, teams_over_tcp_names_the_clients_cloud_tls_flows)
{
    struct {
        const char *what;
        uint32_t server;
        std::string name;
        flow_result want;
    } steps[] = {
        {"near miss: cloud address, client not yet known", CLOUD, "", {0, OXLO_PROTOCOL_TLS}},
        {"Teams by its server name", OTHER, "teams.microsoft.com", {OXLO_PROTOCOL_TLS, OXLO_PROTOCOL_TEAMS}},
        {"cloud address, known client", CLOUD, "", {OXLO_PROTOCOL_TLS, OXLO_PROTOCOL_TEAMS}},
        {"near miss: known client, other address", OTHER, "", {0, OXLO_PROTOCOL_TLS}},
    };
    uint16_t port = 40000;
    for (const auto &s : steps) {
        const flow_result r = tls_to(m, s.server, 443, s.name, port++);
        EXPECT_EQ(r.app, s.want.app) << s.what;
        EXPECT_EQ(r.master, s.want.master) << s.what;
    }
}

// A STUN flow to the cloud on a relay port is a Teams call, and its client
// is remembered for the TLS flows that follow.
TEST_F(ServiceCaches, teams_call_over_stun_names_the_clients_cloud_tls_flows)
{
    EXPECT_EQ(tls_to(m, CLOUD, 443, "").app, OXLO_PROTOCOL_TLS);
    kit::conversation call(m, 3478, OXLO_L4_UDP, 50010);
    call.server_address = CLOUD;
    const std::string binding = kit::raw("\x00\x01\x00\x00\x21\x12\xa4\x42", 8) + "vesktxn00001";
    call.client(binding);
    call.server(kit::raw("\x01\x01\x00\x00\x21\x12\xa4\x42", 8) + "vesktxn00001");
    ASSERT_EQ(call.app(), OXLO_PROTOCOL_TEAMSCALL) << call.master();
    const flow_result r = tls_to(m, CLOUD, 443, "", 40001);
    EXPECT_EQ(r.app, OXLO_PROTOCOL_TEAMS);
    EXPECT_EQ(r.master, OXLO_PROTOCOL_TLS);
}

// The speed-test check runs once the TLS dissector has seen its blocks; the
// exchange above is eight (two hellos, two change-cipher-specs, two
// finished messages, data both ways).
struct SpeedTestCache : ServiceCaches {
    std::vector<std::array<const char *, 3>> knobs() override { return {{"tls", "max_num_blocks_to_analyze", "8"}}; }
};

// A speed-test host name remembers the client; its TLS flow on the test
// port 8080 is then the speed test, its TLS flows on other ports are not.
TEST_F(SpeedTestCache, speed_test_host_names_the_clients_tls_on_8080)
{
    struct {
        const char *what;
        uint16_t port;
        std::string name;
        flow_result want;
    } steps[] = {
        {"near miss: 8080 before the client is known", 8080, "", {0, OXLO_PROTOCOL_TLS}},
        {"the service by its host name", 443, "speed.vesk.test", {OXLO_PROTOCOL_TLS, OXLO_PROTOCOL_OOKLA}},
        {"8080, known client", 8080, "", {OXLO_PROTOCOL_TLS, OXLO_PROTOCOL_OOKLA}},
        {"near miss: known client, port 8443", 8443, "", {0, OXLO_PROTOCOL_TLS}},
    };
    uint16_t port = 40000;
    for (const auto &s : steps) {
        const flow_result r = tls_to(m, OTHER, s.port, s.name, port++);
        EXPECT_EQ(r.app, s.want.app) << s.what;
        EXPECT_EQ(r.master, s.want.master) << s.what;
    }
}

} // namespace
