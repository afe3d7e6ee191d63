// The address lists behind the crawler and anonymous-subscriber risks: list
// files loaded before finalization, each list's knob, the client-address
// lookup of the per-packet walk, and the lookup-counter reset.
#include "oxlo_private.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_risk_ids.h"
#include "oxlo_hosts.h"
#include "oxlo_risks.h"
#include "packet_builder.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

std::string write_list(const std::string &text)
{
    char path[] = "/tmp/oxlo_risk_list_XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
    return path;
}

uint32_t v4(const char *text)
{
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return ntohl(a.s_addr);
}

// One UDP packet from client to server (IPv4 or IPv6 texts); the risk mask
// the flow carries after it.
uint64_t risks_after_one_packet(oxlo_module *m, const char *client, const char *server)
{
    auto *f = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
    memset(f, 0, oxlo_flow_state_size());
    pkt::bytes b;
    const pkt::bytes udp = pkt::udp(40000, 7777, std::string(24, 'x'));
    if (strchr(client, ':')) {
        b = pkt::ipv6(17, udp);
        inet_pton(AF_INET6, client, b.data() + 8);
        inet_pton(AF_INET6, server, b.data() + 24);
    } else {
        pkt::ip4_opts o;
        o.src = v4(client);
        o.dst = v4(server);
        b = pkt::ipv4(17, udp, o);
    }
    oxlo_classify_packet(m, f, b.data(), uint16_t(b.size()), 1000, nullptr);
    const uint64_t mask = f->risk_mask;
    oxlo_flow_state_free(f);
    return mask;
}

constexpr uint64_t bit(int r) { return uint64_t(1) << r; }
constexpr uint64_t list_risks = bit(OXLO_HTTP_CRAWLER_BOT) | bit(OXLO_ANONYMOUS_SUBSCRIBER);

TEST(RiskLists, loaded_list_raises_its_risk_unless_its_knob_is_off)
{
    const char *crawler_knob = "flow_risk.crawler_bot.list.load";
    const char *tor_knob = "flow_risk.anonymous_subscriber.list.tor.load";
    const char *relay_knob = "flow_risk.anonymous_subscriber.list.icloudprivaterelay.load";
    struct {
        const char *what;
        int kind;
        const char *list;
        const char *knob_off; // switched off before finalization, or null
        const char *client, *server;
        uint64_t want;
    } cases[] = {
        {"crawler prefix", OXLO_RISK_LIST_CRAWLER_BOT, "198.51.100.0/24\n", nullptr, "198.51.100.7", "192.0.2.80",
         bit(OXLO_HTTP_CRAWLER_BOT)},
        {"crawler list off", OXLO_RISK_LIST_CRAWLER_BOT, "198.51.100.0/24\n", crawler_knob, "198.51.100.7",
         "192.0.2.80", 0},
        {"another list's knob leaves it on", OXLO_RISK_LIST_CRAWLER_BOT, "198.51.100.0/24\n", tor_knob,
         "198.51.100.7", "192.0.2.80", bit(OXLO_HTTP_CRAWLER_BOT)},
        {"outside the prefix", OXLO_RISK_LIST_CRAWLER_BOT, "198.51.100.0/24\n", nullptr, "198.51.101.7",
         "192.0.2.80", 0},
        {"the server is not looked up", OXLO_RISK_LIST_CRAWLER_BOT, "192.0.2.80\n", nullptr, "198.51.100.7",
         "192.0.2.80", 0},
        {"tor exit", OXLO_RISK_LIST_TOR, "# exits\n203.0.113.5\n\n", nullptr, "203.0.113.5", "192.0.2.80",
         bit(OXLO_ANONYMOUS_SUBSCRIBER)},
        {"tor list off", OXLO_RISK_LIST_TOR, "203.0.113.5\n", tor_knob, "203.0.113.5", "192.0.2.80", 0},
        {"relay range, IPv6", OXLO_RISK_LIST_PRIVATE_RELAY, "2001:db8:100::/48\n", nullptr, "2001:db8:100::1",
         "2001:db8:ffff::2", bit(OXLO_ANONYMOUS_SUBSCRIBER)},
        {"relay list off", OXLO_RISK_LIST_PRIVATE_RELAY, "2001:db8:100::/48\n", relay_knob, "2001:db8:100::1",
         "2001:db8:ffff::2", 0},
        {"IPv4 towards a private server", OXLO_RISK_LIST_CRAWLER_BOT, "198.51.100.0/24\n", nullptr,
         "198.51.100.7", "10.0.0.1", 0},
        {"every list off", OXLO_RISK_LIST_CRAWLER_BOT, "198.51.100.0/24\n", "flow_risk_lists.load",
         "198.51.100.7", "192.0.2.80", 0},
    };
    for (const auto &c : cases) {
        oxlo_module *m = oxlo_module_new(nullptr);
        ASSERT_NE(m, nullptr);
        if (c.knob_off) {
            ASSERT_EQ(oxlo_set_config(m, nullptr, c.knob_off, "0"), 0) << c.knob_off;
        }
        const std::string path = write_list(c.list);
        EXPECT_EQ(oxlo_load_risk_list(m, path.c_str(), c.kind), 1) << c.what;
        unlink(path.c_str());
        ASSERT_EQ(oxlo_finalize_initialization(m), 0);
        EXPECT_EQ(risks_after_one_packet(m, c.client, c.server) & list_risks, c.want) << c.what;
        oxlo_module_free(m);
    }
}

TEST(RiskLists, loader_counts_bad_lines_and_refuses_what_it_cannot_use)
{
    oxlo_module *m = oxlo_module_new(nullptr);
    ASSERT_NE(m, nullptr);
    const std::string good = write_list("# two prefixes\n198.51.100.0/24\n2001:db8::/32  \n");
    EXPECT_EQ(oxlo_load_risk_list(m, good.c_str(), OXLO_RISK_LIST_TOR), 2);
    const std::string bad = write_list("198.51.100.0/33\nnot-an-address\n203.0.113.9/x\n203.0.113.10\n" +
                                       std::string(300, '1') + "\n");
    EXPECT_EQ(oxlo_load_risk_list(m, bad.c_str(), OXLO_RISK_LIST_CRAWLER_BOT), -4);
    EXPECT_EQ(oxlo_load_risk_list(m, good.c_str(), 3), -1) << "no such list";
    EXPECT_EQ(oxlo_load_risk_list(m, "/nonexistent/list", OXLO_RISK_LIST_TOR), -1);
    EXPECT_EQ(oxlo_load_risk_list(nullptr, good.c_str(), OXLO_RISK_LIST_TOR), -1);
    ASSERT_EQ(oxlo_finalize_initialization(m), 0);
    EXPECT_EQ(m->risk_list_pending, nullptr) << "the entries moved into the trees";
    EXPECT_EQ(oxlo_load_risk_list(m, good.c_str(), OXLO_RISK_LIST_TOR), -2) << "too late to be used";
    // The good line of the bad file was kept.
    EXPECT_EQ(risks_after_one_packet(m, "203.0.113.10", "192.0.2.80") & list_risks, bit(OXLO_HTTP_CRAWLER_BOT));
    EXPECT_EQ(risks_after_one_packet(m, "2001:db8::7", "2001:db9::1") & list_risks,
              bit(OXLO_ANONYMOUS_SUBSCRIBER));
    unlink(good.c_str());
    unlink(bad.c_str());
    oxlo_module_free(m);

    // A module freed before finalization frees the entries it kept.
    m = oxlo_module_new(nullptr);
    const std::string one = write_list("198.51.100.1\n");
    EXPECT_EQ(oxlo_load_risk_list(m, one.c_str(), OXLO_RISK_LIST_TOR), 1);
    unlink(one.c_str());
    oxlo_module_free(m);
}

TEST(RiskLists, finalization_zeroes_the_lookup_counters)
{
    oxlo_module *m = oxlo_module_new(nullptr);
    ASSERT_NE(m, nullptr);
    const std::string domains = write_list("risky.example\n");
    ASSERT_EQ(oxlo_load_risky_domains(m, domains.c_str()), 1);
    unlink(domains.c_str());
    // The loader finalizes its automaton; searches before the module is
    // complete are counted and must not show in the module's figures.
    uint32_t id = 0;
    oxlo_automaton_match_id(m->risky_domain_automaton, "risky.example", 13, &id);
    ASSERT_GT(m->risky_domain_automaton->n_search, 0u);
    ASSERT_EQ(oxlo_finalize_initialization(m), 0);
    EXPECT_EQ(m->risky_domain_automaton->n_search, 0u);
    EXPECT_EQ(m->risky_domain_automaton->n_found, 0u);
    EXPECT_EQ(m->host_risk_exception_automaton->n_search, 0u);
    oxlo_module_free(m);
}

} // namespace
