#include "oxlo_private.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_risks.h"
#include "oxlo_hosts.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <set>
#include <string>

namespace {

struct Checks : ::testing::Test {
    oxlo_module *m = nullptr;
    oxlo_flow_state *f = nullptr;
    void SetUp() override
    {
        m = oxlo_module_new(nullptr);
        ASSERT_NE(m, nullptr);
        ASSERT_EQ(oxlo_finalize_initialization(m), 0);
        f = fresh();
    }
    void TearDown() override
    {
        oxlo_flow_state_free(f);
        oxlo_module_free(m);
    }
    static oxlo_flow_state *fresh()
    {
        auto *fl = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
        memset(fl, 0, oxlo_flow_state_size());
        return fl;
    }
    std::string messages() const
    {
        char buf[1024];
        const char *t = oxlo_flow_risk_messages_text(f, buf, sizeof(buf), 0);
        return t ? t : "";
    }
    std::set<int> risks() const
    {
        std::set<int> s;
        for (int r = 1; r < OXLO_MAX_RISK; r++)
            if (oxlo_flow_risk_is_set(f, r))
                s.insert(r);
        return s;
    }
    /* A TCP flow 10.0.0.2 -> 10.0.0.1 where the client is packet direction 0. */
    void tcp_flow(uint16_t server_port)
    {
        f->l4_protocol = 6;
        ASSERT_NE(oxlo_flow_tcp_make(m, f), nullptr);
        inet_pton(AF_INET, "10.0.0.2", f->client_address);
        inet_pton(AF_INET, "10.0.0.1", f->server_address);
        f->client_port = htons(40000);
        f->server_port = htons(server_port);
    }
};

constexpr uint8_t SYN = 0x02, RST = 0x04, PSH = 0x08, ACK = 0x10;

} // namespace

TEST_F(Checks, one_way_traffic_by_destination)
{
    /* UDP to a broadcast address: nothing. */
    f->l4_protocol = 17;
    inet_pton(AF_INET, "10.0.0.255", f->server_address);
    f->packets_dir[0] = 3;
    end_of_detection_risks(m, f);
    EXPECT_TRUE(risks().empty());
    EXPECT_EQ(f->state, OXLO_STATE_FINISHED);
    EXPECT_TRUE(f->flags_b & OXLO_FLOW_EOD_DONE);

    oxlo_flow_state_free(f);
    f = fresh();
    tcp_flow(80);
    f->packets_dir[0] = 2;
    f->tcp->tcp_flags_dir[0] = SYN | ACK;
    end_of_detection_risks(m, f);
    EXPECT_EQ(risks(), std::set<int>{OXLO_UNIDIRECTIONAL_TRAFFIC});
    EXPECT_EQ(messages(), "No server to client traffic");
}

TEST_F(Checks, refused_connections)
{
    /* Messages come highest risk id first: 55, 50, 46. */
    struct Case {
        uint8_t flags0, flags1;
        uint16_t packets1, payload_packets;
        const char *messages;
    } cases[] = {
        {SYN, RST | ACK, 1, 0, "TCP probing attempt;Connection refused (server)"},
        {ACK, RST, 1, 0, "TCP probing attempt;Connection refused"},
        {SYN | ACK | PSH, RST | ACK, 1, 2, "TCP probing attempt;Connection refused"},
        {SYN | RST, 0, 0, 0, "TCP probing attempt;Connection refused (client);No server to client traffic"},
        {SYN | ACK | PSH, ACK | PSH, 3, 2, ""},
    };
    for (const Case &c : cases) {
        oxlo_flow_state_free(f);
        f = fresh();
        tcp_flow(80);
        f->tcp->tcp_flags_dir[0] = c.flags0;
        f->tcp->tcp_flags_dir[1] = c.flags1;
        f->packets_dir[0] = 1;
        f->packets_dir[1] = c.packets1;
        f->payload_packets = c.payload_packets;
        end_of_detection_risks(m, f);
        EXPECT_EQ(messages(), c.messages) << int(c.flags0) << "/" << int(c.flags1);
    }
}

TEST_F(Checks, slow_handshake_needs_both_times_in_order)
{
    struct Case {
        uint64_t syn, synack, ack;
        const char *message;
    } cases[] = {
        {1000, 3000, 3100, "Slow TCP 3WH (SYN_ACK): 2.0 sec"},
        {1000, 1100, 2700, "Slow TCP 3WH (ACK): 1.6 sec"},
        {0, 5000, 5100, ""},     /* first seen at the SYN-ACK: no SYN time */
        {1000, 0, 9000, ""},     /* no SYN-ACK time */
        {9000, 1000, 1200, ""},  /* times out of order never wrap */
        {1000, 2500, 4000, ""},  /* exactly 1,500 ms is not slow */
    };
    for (const Case &c : cases) {
        oxlo_flow_state_free(f);
        f = fresh();
        tcp_flow(80);
        f->packets_dir[0] = f->packets_dir[1] = 2;
        f->tcp->syn_ms = c.syn;
        f->tcp->synack_ms = c.synack;
        f->tcp->first_ack_ms = c.ack;
        end_of_detection_risks(m, f);
        EXPECT_EQ(messages(), c.message) << c.syn << " " << c.synack << " " << c.ack;
    }
}

TEST_F(Checks, tls_probing_without_server_name)
{
    tcp_flow(443);
    f->app = 91;
    f->confidence = OXLO_CONFIDENCE_DPI;
    f->packets_dir[0] = f->packets_dir[1] = 3;
    f->tcp->tcp_flags_dir[0] = f->tcp->tcp_flags_dir[1] = PSH | ACK;
    f->payload_packets_dir[0] = 1;
    end_of_detection_risks(m, f);
    EXPECT_EQ(messages(), "TLS Probing");
}

TEST_F(Checks, eod_runs_once_and_reports_a_second_finish)
{
    tcp_flow(80);
    f->packets_dir[0] = f->packets_dir[1] = 1;
    f->state = OXLO_STATE_FINISHED;
    testing::internal::CaptureStdout();
    end_of_detection_risks(m, f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Already classified!\n");
    f->state = OXLO_STATE_MONITORING;
    end_of_detection_risks(m, f);
    EXPECT_EQ(f->state, OXLO_STATE_MONITORING);
}

TEST_F(Checks, dga_cases_independent_of_word_tables)
{
    struct Case {
        const char *name;
        int generated;
    } cases[] = {
        {"abc-defghijklmnopqrstu.com", 0}, {"1.0.0.127.in-addr.arpa", 0}, {"b.a.ip6.arpa", 0},
        {"printer.local", 0},             {"nas.lan", 0},                 {"router.home", 0},
        {"www.abcd", 0},                  {"noDotsAtAllInThisName", 0},   {"192.168.10.20", 0},
        {"my_host.example.com", 0},       {"", 0},                        {"12.34.56", 0},
        {"aaaaaaxyz.com", 1},             {"wwwwwwwwwww.example.com", 1}, {"zz9qk2mx7pl4nb8vc3rt.net", 1},
        {"a.b.c.d.e.f.example.com", 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(oxlo_host_name_dga_test(m, nullptr, c.name, 1, 0, 0), c.generated) << c.name;
    /* The label-count rule can be switched off; the skip flag and a flow
     * with a master protocol never test. */
    EXPECT_EQ(oxlo_host_name_dga_test(m, nullptr, "a.b.c.d.e.f.example.com", 0, 0, 0), 0);
    EXPECT_EQ(oxlo_host_name_dga_test(m, nullptr, "aaaaaaxyz.com", 1, 0, 1), 0);
    f->master = 7;
    EXPECT_EQ(oxlo_host_name_dga_test(m, f, "aaaaaaxyz.com", 1, 0, 0), 0);
    f->master = 0;
    EXPECT_EQ(oxlo_host_name_dga_test(m, f, "aaaaaaxyz.com", 1, 0, 0), 1);
    EXPECT_EQ(messages(), "aaaaaaxyz.com");
    EXPECT_EQ(oxlo_host_name_dga_test(m, nullptr, nullptr, 1, 0, 0), 0);
}

TEST_F(Checks, dga_leaves_real_domain_names_alone)
{
    /* Registered names from the private section of the public suffix list. */
    const char *names[] = {"homesecuritymac.com", "pagespeedmobilizer.com", "prequalifyme.today", "folionetwork.site", "boldlygoingnowhere.org", "sellsyourhome.org", "servecounterstrike.com", "dyndns.dappnode.io", "fi.cloudplatform.fi", "awsglobalaccelerator.com", "trycloudflare.com", "demo.datacenter.fi", "jelastic.dogado.eu", "browsersafetymark.io", "fedorainfracloud.org", "pages.wiardweb.com", "azurewebsites.net", "diskussionsbereich.de", "app.banzaicloud.io", "instances.spawn.cc", "1.azurestaticapps.net", "builtwithdark.com", "u.channelsdvr.net", "cloud.nospamproxy.com", "privatelink.snowflake.app", "centralus.azurestaticapps.net", "direct.quickconnect.cn", "2.azurestaticapps.net", "scalebook.scw.cloud", "jed.wafaicloud.com", "appspaceusercontent.com", "sites.static.land", "appspacehosted.com", "azurestaticapps.net", "instance.datadetect.com", "homeoffice.gov.uk", "router.management", "wpenginepowered.com", "custom.metacentrum.cz", "customer.speedpartner.de", "devices.resinstaging.io", "cloudfunctions.net", "pythonanywhere.com", "mysecuritycamera.net", "issmarterthanyou.com", "localhost.daplie.me", "id.firewalledreplit.co", "serveminecraft.net", "couchpotatofries.org", "weeklylottery.org.uk", "de.trendhosting.cloud", "js.wpenginepowered.com", "beta.tailscale.net", "trafficplex.cloud", "myspreadshop.com.au", "wellbeingzone.co.uk", "bmoattachments.org", "ondigitalocean.app", "ezproxy.kuleuven.be", "barsyonline.co.uk", 
                           "wikipedia.org", "stackoverflow.com", "debian.org", "www.kernel.org",
                           "mail.google.com", "login.microsoftonline.com"};
    for (const char *n : names)
        EXPECT_EQ(oxlo_host_name_dga_test(m, nullptr, n, 1, 0, 0), 0) << n;
}

TEST_F(Checks, dga_callback_replaces_the_builtin_test)
{
    ASSERT_EQ(oxlo_set_dga_callback(m, [](const char *name, int) { return strcmp(name, "example.org") == 0 ? 1 : 0; }), 0);
    EXPECT_EQ(oxlo_host_name_dga_test(m, f, "example.org", 1, 0, 0), 1);
    EXPECT_EQ(oxlo_host_name_dga_test(m, f, "aaaaaaxyz.com", 1, 0, 0), 0);
    EXPECT_EQ(messages(), "example.org");
    oxlo_set_dga_callback(m, nullptr);
    EXPECT_EQ(oxlo_host_name_dga_test(m, nullptr, "aaaaaaxyz.com", 1, 0, 0), 1);
}

TEST_F(Checks, suffix_and_default_port_lookup)
{
    EXPECT_EQ(oxlo_str_has_suffix(nullptr, "host.example.com", ".com"), 1);
    EXPECT_EQ(oxlo_str_has_suffix(m, "com", ".com"), 0);
    EXPECT_EQ(oxlo_str_has_suffix(m, nullptr, ".com"), 0);
    const oxlo_default_port_node *n = oxlo_default_port_lookup(m, 6, 40000, 80);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->protocol_id, OXLO_PROTOCOL_HTTP);
    EXPECT_EQ(oxlo_default_port_lookup(m, 6, 0, 80), nullptr);
    EXPECT_EQ(oxlo_default_port_lookup(m, 6, 40000, 0), nullptr);
    EXPECT_EQ(oxlo_default_port_lookup(nullptr, 6, 40000, 80), nullptr);
}

// With the public suffix list the test reads the registered domain: the
// labels a CDN puts in front of its domain are not the client's choice.
TEST_F(Checks, dga_tests_the_registered_domain)
{
    const char *psl = oxlo_public_suffix_list_default_path();
    if (!psl)
        GTEST_SKIP() << "no public suffix list installed";
    struct Case {
        const char *name;
        int as_given, registered;
    } cases[] = {
        {"zz9qk2mx7pl4nb8vc3rt.cloudfront.net", 1, 0},
        {"zz9qk2mx7pl4nb8vc3rt.blob.core.windows.net", 1, 0},
        {"zz9qk2mx7pl4nb8vc3rt.net", 1, 1},
        {"xkqzvbtrwplmnq.co.uk", 1, 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(oxlo_host_name_dga_test(m, nullptr, c.name, 1, 0, 0), c.as_given) << c.name;
    ASSERT_EQ(oxlo_load_public_suffix_list(m, psl), 0);
    for (const Case &c : cases)
        EXPECT_EQ(oxlo_host_name_dga_test(m, nullptr, c.name, 1, 0, 0), c.registered) << c.name;
    /* The message names the host as given. */
    EXPECT_EQ(oxlo_host_name_dga_test(m, f, "www.xkqzvbtrwplmnq.co.uk", 1, 0, 0), 1);
    EXPECT_EQ(messages(), "www.xkqzvbtrwplmnq.co.uk");
}
