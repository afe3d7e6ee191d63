#include "detect_fixture.h"
#include "protocols/dissector_kit.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "protocols/tls/tls_private.h"

#include "oxlo_automaton.h"
#include "oxlo_lru.h"
#include "oxlo_hosts.h"
#include "oxlo_risks.h"

#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>

using namespace detect_test;
using pkt::bytes;

namespace {

using FlowState = module_fixture;

TEST_F(FlowState, set_protocol_orders_the_pair)
{
    struct pair_case {
        uint16_t upper, lower, app, master;
    };
    const pair_case cases[] = {
        {0, 7, 7, 0}, {7, 7, 7, 0}, {91, 7, 91, 7}, {126, 0, 126, 0}, {0, 0, 0, 0},
    };
    for (const pair_case &c : cases) {
        oxlo_flow_state *fl = new_flow();
        oxlo_flow_set_protocol(m, fl, c.upper, c.lower, OXLO_CONFIDENCE_DPI);
        EXPECT_EQ(fl->app, c.app) << c.upper << "/" << c.lower;
        EXPECT_EQ(fl->master, c.master) << c.upper << "/" << c.lower;
        EXPECT_EQ(oxlo_flow_confidence(fl), OXLO_CONFIDENCE_DPI);
        oxlo_flow_state_free(fl);
    }
}

TEST_F(FlowState, monitoring_state_keeps_the_pair)
{
    oxlo_flow_set_protocol(m, f, 5, 0, OXLO_CONFIDENCE_DPI);
    f->state = OXLO_STATE_MONITORING;
    testing::internal::CaptureStdout();
    oxlo_flow_set_protocol(m, f, 7, 91, OXLO_CONFIDENCE_DPI);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Impossible to update classification while in monitoring state! 0/5->7/91\n");
    EXPECT_EQ(f->app, OXLO_PROTOCOL_DNS);
}

TEST_F(FlowState, refine_puts_the_id_over_what_is_detected)
{
    oxlo_flow_refine_protocol(m, f, 91, OXLO_CONFIDENCE_DPI);
    EXPECT_EQ(f->app, OXLO_PROTOCOL_TLS);
    EXPECT_EQ(f->master, 0);
    oxlo_flow_refine_protocol(m, f, 126, OXLO_CONFIDENCE_DPI);
    EXPECT_EQ(f->app, OXLO_PROTOCOL_GOOGLE);
    EXPECT_EQ(f->master, OXLO_PROTOCOL_TLS);
    oxlo_flow_reset_protocol(f);
    EXPECT_EQ(f->app + f->master, 0);
    EXPECT_EQ(oxlo_flow_confidence(f), OXLO_CONFIDENCE_UNKNOWN);
}

TEST_F(FlowState, unsafe_breeds_and_remote_desktops_raise_risks)
{
    oxlo_flow_set_protocol(m, f, 16, 0, OXLO_CONFIDENCE_DPI); // SMBv1, Dangerous
    EXPECT_TRUE((oxlo_flow_risk_bits(f) >> 22) & 1);
    oxlo_flow_state *fl = new_flow();
    oxlo_flow_set_protocol(m, fl, 88, 0, OXLO_CONFIDENCE_MATCH_BY_PORT); // RDP
    EXPECT_TRUE((oxlo_flow_risk_bits(fl) >> 30) & 1);
    ASSERT_EQ(fl->risk_message_count, 1);
    EXPECT_STREQ(fl->texts->risk_messages[0].text, "Found RDP");
    oxlo_flow_state_free(fl);
}

TEST(ProtocolStack, top_and_main_protocols)
{
    struct stack_case {
        std::vector<uint16_t> ids;
        uint16_t top, main;
    };
    const stack_case cases[] = {
        {{}, 0, 0},
        {{7}, 7, 7},
        {{91, 126}, 126, 91},
        {{126, 91}, 126, 91},
        {{30, 338}, 338, 30},
        {{87, 338}, 87, 338},
        {{78, 87}, 87, 78},
        {{7, 250, 188}, 188, 188},
    };
    for (const stack_case &c : cases) {
        oxlo_protocol_stack s;
        oxlo_protocol_stack_clear(&s);
        for (uint16_t id : c.ids)
            s.ids[s.count++] = id;
        EXPECT_EQ(oxlo_protocol_stack_top(&s), c.top) << c.ids.size();
        EXPECT_EQ(oxlo_protocol_stack_main(&s), c.main) << c.ids.size();
    }
    oxlo_protocol_stack s{{131, 91}, 2};
    EXPECT_TRUE(oxlo_protocol_stack_has_http(&s));
    EXPECT_TRUE(oxlo_protocol_stack_has_encrypted(&s));
    EXPECT_FALSE(oxlo_protocol_stack_contains(&s, 7));
}

TEST_F(FlowState, stack_grows_in_discovery_order_up_to_seven)
{
    oxlo_flow_set_protocol(m, f, 91, 0, OXLO_CONFIDENCE_DPI);
    oxlo_flow_set_protocol(m, f, 126, 91, OXLO_CONFIDENCE_DPI);
    EXPECT_EQ(f->stack.count, 2);
    EXPECT_EQ(f->stack.ids[0], 91);
    EXPECT_EQ(f->stack.ids[1], 126);
    for (uint16_t id = 200; id < 210; id++)
        oxlo_flow_set_protocol(m, f, id, 0, OXLO_CONFIDENCE_DPI);
    EXPECT_EQ(f->stack.count, 7);
    oxlo_flow_state *fl = new_flow();
    oxlo_flow_set_protocol(m, fl, 87, 0, OXLO_CONFIDENCE_DPI);  // RTP
    oxlo_flow_set_protocol(m, fl, 87, 78, OXLO_CONFIDENCE_DPI); // STUN arrives as master
    EXPECT_EQ(fl->stack.count, 2);
    EXPECT_EQ(fl->stack.ids[0], 78);
    EXPECT_EQ(fl->stack.ids[1], 87);
    oxlo_flow_state_free(fl);
}

TEST_F(FlowState, host_names_keep_their_tail_and_lose_ports)
{
    struct host_case {
        std::string in;
        uint32_t flags;
        const char *out;
    };
    const std::string hundred = std::string(21, 'a') + std::string(79, 'b');
    const host_case cases[] = {
        {hundred, 0, nullptr},
        {"WWW.Example.COM", OXLO_HOST_LOWER, "www.example.com"},
        {"bad\tname\x01", OXLO_HOST_PRINTABLE, "bad name?"},
        {"host.test   ", OXLO_HOST_STRIP_SPACES, "host.test"},
        {"host.test:443", OXLO_HOST_STRIP_PORT, "host.test"},
        // Servers route on the name before the colon whatever follows it.
        {"host.test:99999", OXLO_HOST_STRIP_PORT, "host.test"},
        {"host.test:44a", OXLO_HOST_STRIP_PORT, "host.test"},
        // Every name is stored in the canonical form, flags or not.
        {"Blocked.Example.:80\t", 0, "blocked.example"},
        {"[fe80::1]:8080", OXLO_HOST_STRIP_PORT, "[fe80::1]"},
        {"fe80::1:443", OXLO_HOST_STRIP_PORT, "fe80::1:443"},
        {"", 0, ""},
    };
    for (const host_case &c : cases) {
        const char *stored = oxlo_flow_store_host_name(f, c.in.data(), c.in.size(), c.flags);
        if (c.out)
            EXPECT_STREQ(stored, c.out) << c.in;
        else
            EXPECT_EQ(std::string(stored), std::string(79, 'b'));
        EXPECT_STREQ(oxlo_flow_host_name(f), stored);
    }
}

// Only protocols that carry a host name report it; TLS and QUIC only once
// their client hello was read.
TEST_F(FlowState, host_name_by_protocol_names_only_carriers)
{
    struct carrier_case {
        uint16_t master, app;
        bool client_hello, reported;
    };
    const carrier_case cases[] = {
        {0, OXLO_PROTOCOL_HTTP, false, true},    {OXLO_PROTOCOL_HTTP, 126, false, true},
        {0, OXLO_PROTOCOL_DNS, false, true},     {0, OXLO_PROTOCOL_COLLECTD, false, true},
        {0, OXLO_PROTOCOL_TLS, false, false},    {0, OXLO_PROTOCOL_TLS, true, true},
        {OXLO_PROTOCOL_QUIC, 126, true, true},   {OXLO_PROTOCOL_QUIC, 126, false, false},
        {0, OXLO_PROTOCOL_SSH, false, false},    {0, 0, false, false},
    };
    oxlo_flow_store_host_name(f, "www.example.com", 15, 0);
    for (const carrier_case &c : cases) {
        oxlo_classification cl{};
        cl.master = c.master;
        cl.app = c.app;
        static_cast<oxlo_tls_flow *>(oxlo_flow_slot_state_make(f, OXLO_DISSECTOR_tls, sizeof(oxlo_tls_flow), nullptr))
            ->hello_flags = c.client_hello ? 0x01 : 0;
        const char *host = oxlo_flow_host_name_by_protocol(f, cl);
        if (c.reported)
            EXPECT_STREQ(host, "www.example.com") << c.master << "/" << c.app;
        else
            EXPECT_EQ(host, nullptr) << c.master << "/" << c.app;
    }
    EXPECT_EQ(oxlo_flow_host_name_by_protocol(nullptr, oxlo_classification{}), nullptr);
}

TEST_F(FlowState, user_agent_is_stored_once)
{
    EXPECT_STREQ(oxlo_flow_store_user_agent(f, "curl/7.88.1", 11), "curl/7.88.1");
    EXPECT_EQ(oxlo_flow_store_user_agent(f, "other", 5), nullptr);
    EXPECT_EQ(oxlo_flow_store_user_agent(f, "", 0), nullptr);
}

// A host pattern in the module: storing a protocol on a flow that carries a
// matching name classifies the name, whose match stores a protocol again.
struct HostNames : module_fixture {
    void before_finalize() override
    {
        automaton_pattern p{};
        p.text = oxlo_heap_strdup("vesk.test");
        p.length = 9;
        p.data.id = 126;       // Google
        p.data.category = 5;   // Web
        p.data.breed = 2;
        ASSERT_EQ(automaton_add_pattern(m->host_automaton, &p), 0);
    }
};

TEST_F(HostNames, host_reclassification_does_not_recurse)
{
    oxlo_flow_store_host_name(f, "www.vesk.test", 13, 0);
    oxlo_flow_set_protocol(m, f, 91, 0, OXLO_CONFIDENCE_DPI);
    EXPECT_EQ(f->app, OXLO_PROTOCOL_GOOGLE);
    EXPECT_EQ(f->master, OXLO_PROTOCOL_TLS);
    EXPECT_EQ(f->category, 5u);
    EXPECT_STREQ(f->texts->last_classified_host, "www.vesk.test");
    EXPECT_EQ(f->stack.count, 2);
    // The same name is not classified again; a new one is.
    oxlo_flow_set_protocol(m, f, 7, 0, OXLO_CONFIDENCE_DPI);
    EXPECT_EQ(f->app, OXLO_PROTOCOL_HTTP);
    oxlo_flow_store_host_name(f, "cdn.vesk.test", 13, 0);
    oxlo_flow_set_protocol(m, f, 91, 0, OXLO_CONFIDENCE_DPI);
    EXPECT_EQ(f->app, OXLO_PROTOCOL_GOOGLE);
}

TEST_F(HostNames, lookup_reports_matches)
{
    EXPECT_EQ(oxlo_host_name_classify(m, f, 7, "*.vesk.test", 11), 1);
    EXPECT_EQ(f->app, OXLO_PROTOCOL_GOOGLE);
    EXPECT_EQ(f->master, OXLO_PROTOCOL_HTTP);
    oxlo_flow_state *fl = new_flow();
    EXPECT_EQ(oxlo_host_name_lookup(m, fl, "example.org", 11, nullptr, 7, 1), 0);
    EXPECT_EQ(oxlo_host_name_lookup(m, fl, "www.vesk.test", 13, nullptr, 5, 0), 1);
    EXPECT_EQ(fl->app, 0);          // no protocol stored when asked not to
    EXPECT_EQ(fl->category, 0u);    // a DNS flow keeps its category
    // Protocol by host sees the canonical form of any spelling.
    for (const char *spelling : {"WWW.Vesk.Test.", " www.vesk.test:443", "vesk.test."})
        EXPECT_EQ(oxlo_host_name_lookup(m, fl, spelling, strlen(spelling), nullptr, 5, 0), 1) << spelling;
    for (const char *miss : {"xvesk.test", "vesk.tes"})
        EXPECT_EQ(oxlo_host_name_lookup(m, fl, miss, strlen(miss), nullptr, 5, 0), 0) << miss;
    oxlo_host_match_result r;
    EXPECT_EQ(oxlo_host_match(m, "CDN.Vesk.Test.", 14, &r), OXLO_PROTOCOL_GOOGLE);
    oxlo_flow_state_free(fl);
}

struct NoGuessOnGiveup : module_fixture {
    std::vector<std::array<const char *, 3>> knobs() override
    {
        return {{{nullptr, "dpi.guess_on_giveup", "0"}}};
    }
};

TEST_F(NoGuessOnGiveup, gives_up_without_storing_a_guess)
{
    feed(pkt::ipv4(6, pkt::tcp(40000, 80, "")));
    const oxlo_classification r = oxlo_flow_giveup(m, f);
    EXPECT_EQ(r.app, 0);
    EXPECT_EQ(r.state, OXLO_STATE_FINISHED);
    EXPECT_FALSE(f->flags_a & OXLO_FLOW_BY_GIVEUP);
}

TEST_F(FlowState, giveup_takes_the_port_guess)
{
    feed(pkt::ipv4(6, pkt::tcp(40000, 80, "")));
    const oxlo_classification r = oxlo_flow_giveup(m, f);
    EXPECT_EQ(r.app, P_HTTP);
    EXPECT_TRUE(f->flags_a & OXLO_FLOW_BY_GIVEUP);
    EXPECT_EQ(oxlo_flow_confidence(f), OXLO_CONFIDENCE_MATCH_BY_PORT);
    EXPECT_NE(r.category, 0u);
}

TEST_F(FlowState, fallback_guesses_without_changing_the_flow)
{
    feed(pkt::ipv4(17, pkt::udp(40000, 53, "")));
    const oxlo_classification r = oxlo_classification_fallback(m, f, 17);
    EXPECT_EQ(r.app, P_DNS);
    EXPECT_EQ(r.state, OXLO_STATE_INITIAL);
    EXPECT_EQ(f->app, 0);
    EXPECT_EQ(f->state, OXLO_STATE_INITIAL);
    EXPECT_EQ(oxlo_classification_fallback(m, f, 47).app, OXLO_PROTOCOL_GRE); // GRE by protocol number
    EXPECT_EQ(oxlo_classification_fallback(nullptr, f, 6).app, 0);
}

TEST_F(FlowState, first_packet_classification_records_its_kind)
{
    feed(pkt::ipv4(6, pkt::tcp(40000, 1883, "MATCH")));
    EXPECT_EQ(f->fpc_app, P_MQTT);
    EXPECT_EQ(f->fpc_kind, OXLO_FPC_DPI);
}

TEST_F(FlowState, accessors_answer_null_flows)
{
    EXPECT_EQ(oxlo_flow_app_protocol(nullptr), 0);
    EXPECT_EQ(oxlo_flow_last_seen_sec(nullptr), 0u);
    EXPECT_STREQ(oxlo_flow_host_name(nullptr), "");
    EXPECT_STREQ(oxlo_flow_http_url(nullptr), "");
    uint16_t a, b;
    uint32_t c;
    EXPECT_EQ(oxlo_flow_protocol_fill(nullptr, &a, &b, &c), -2);
    feed(pkt::ipv4(6, pkt::tcp(40000, 1883, "MATCH")));
    EXPECT_EQ(oxlo_flow_protocol_fill(f, &a, &b, &c), 0);
    EXPECT_EQ(b, P_MQTT);
    EXPECT_EQ(oxlo_flow_last_seen_sec(f), now / 1000);
    oxlo_flow_state_free(nullptr);
}

// Flow states come from the flow allocator and go back to it, with every
// text they own, even when the embedding program installs its own hooks.
std::atomic<int> flow_allocs{0}, flow_frees{0};
void *count_flow_alloc(size_t n)
{
    flow_allocs++;
    return std::malloc(n);
}
void count_flow_free(void *p)
{
    flow_frees++;
    std::free(p);
}

// Every UDP dissector looks at a new flow's first packet; those that find
// nothing of theirs (STUN and DTLS among them, whose states own memory)
// leave no state behind, and nothing names a host: such a flow
// costs its state alone.
TEST(FlowAllocation, unknown_udp_payload_leaves_no_state_blocks)
{
    oxlo_module *m = oxlo_module_new(nullptr);
    ASSERT_EQ(oxlo_finalize_initialization(m), 0);
    const char *payloads[] = {"floodxx", "\x8f\x11\x42\x99\x07\xee\x35\x61"};
    for (const char *text : payloads) {
        auto *fl = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
        ASSERT_NE(fl, nullptr);
        std::memset(fl, 0, oxlo_flow_state_size());
        const bytes p = pkt::ipv4(17, pkt::udp(40000, 9999, std::string(text, strlen(text) + 1)));
        oxlo_classify_packet(m, fl, p.data(), uint16_t(p.size()), 1000, nullptr);
        EXPECT_EQ(fl->app, 0) << text;
        EXPECT_EQ(fl->texts, nullptr) << text;
        EXPECT_EQ(fl->tcp, nullptr) << text;
        for (const oxlo_dstate *b = fl->dstates; b; b = b->next)
            ADD_FAILURE() << "state of slot " << b->slot << " kept for " << text;
        oxlo_flow_state_free(fl);
    }
    oxlo_module_free(m);
}

// A TCP flow keeps its TCP part in a block of the module's slab, made on
// its first packet; without memory for it the flow cannot be followed and
// ends unclassified, never with what its bytes alone would have given.
bool fail_aligned = false;
void *maybe_aligned(size_t alignment, size_t n)
{
    void *p = nullptr;
    return !fail_aligned && posix_memalign(&p, alignment, n) == 0 ? p : nullptr;
}

TEST(FlowAllocation, tcp_flow_without_memory_for_its_tcp_block_ends_unclassified)
{
    oxlo_set_memory_hooks(nullptr, nullptr, nullptr, nullptr, maybe_aligned, std::free, nullptr, nullptr);
    oxlo_module *m = oxlo_module_new(nullptr);
    ASSERT_EQ(oxlo_finalize_initialization(m), 0);
    const bytes request = pkt::ipv4(6, pkt::tcp(40000, 80, "GET / HTTP/1.1\r\nHost: www.vesk.test\r\n\r\n"));
    for (bool memory : {false, true}) {
        auto *fl = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
        ASSERT_NE(fl, nullptr);
        std::memset(fl, 0, oxlo_flow_state_size());
        fail_aligned = !memory;
        const oxlo_classification r =
            oxlo_classify_packet(m, fl, request.data(), uint16_t(request.size()), 1000, nullptr);
        fail_aligned = false;
        if (memory) {
            ASSERT_NE(fl->tcp, nullptr);
            EXPECT_EQ(fl->tcp->tcp_flags_dir[0] | fl->tcp->tcp_flags_dir[1], 0x18);
            EXPECT_EQ(r.app, OXLO_PROTOCOL_HTTP);
        } else {
            EXPECT_EQ(fl->tcp, nullptr);
            EXPECT_TRUE(fl->flags_b & OXLO_FLOW_NO_MEMORY);
            EXPECT_EQ(r.app, 0);
            EXPECT_EQ(r.master, 0);
            EXPECT_EQ(r.state, OXLO_STATE_FINISHED);
            // Later packets find the flow finished: still unclassified.
            const oxlo_classification again =
                oxlo_classify_packet(m, fl, request.data(), uint16_t(request.size()), 1001, nullptr);
            EXPECT_EQ(again.app, 0);
        }
        oxlo_flow_state_free(fl);
    }
    oxlo_module_free(m);
}

TEST(FlowAllocation, state_goes_back_to_the_allocator_it_came_from)
{
    oxlo_set_memory_hooks(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, count_flow_alloc,
                          count_flow_free);
    oxlo_module *m = oxlo_module_new(nullptr);
    ASSERT_EQ(oxlo_finalize_initialization(m), 0);
    auto *fl = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
    ASSERT_NE(fl, nullptr);
    std::memset(fl, 0, oxlo_flow_state_size());
    pkt::tcp_opts syn;
    syn.flags = 0x02;
    const bytes p = pkt::ipv4(6, pkt::tcp(40000, 80, "", syn));
    oxlo_classify_packet(m, fl, p.data(), uint16_t(p.size()), 1000, nullptr);
    oxlo_flow_store_user_agent(fl, "agent", 5);
    EXPECT_NE(oxlo_flow_tcp_fingerprint_text(fl->tcp), nullptr);
    oxlo_flow_state_free(fl);
    EXPECT_EQ(flow_allocs.load(), 1);
    EXPECT_EQ(flow_frees.load(), 1);
    oxlo_module_free(m);
}

} // namespace

namespace {

TEST_F(FlowState, address_guess_feeds_the_fallback_and_first_packet_class)
{
    pkt::ip4_opts to_public;
    to_public.dst = 0x08080808; // in the built-in address list of Google
    const oxlo_classification r = feed(pkt::ipv4(6, pkt::tcp(40000, 443, "wait"), to_public));
    EXPECT_EQ(r.guessed_by_address, OXLO_PROTOCOL_GOOGLE);
    EXPECT_EQ(f->fpc_app, OXLO_PROTOCOL_GOOGLE);
    EXPECT_EQ(f->fpc_kind, OXLO_FPC_IP_ADDRESS);
    const oxlo_classification fb = oxlo_classification_fallback(m, f, 6);
    EXPECT_EQ(fb.app, OXLO_PROTOCOL_GOOGLE);
    EXPECT_EQ(fb.master, OXLO_PROTOCOL_TLS);
    EXPECT_EQ(f->app, 0);
}

} // namespace

namespace {

TEST_F(FlowState, first_packet_class_takes_a_dns_announced_server)
{
    oxlo_lru_table *cache = m->lru[OXLO_LRU_FPC_DNS];
    ASSERT_NE(cache, nullptr);
    const uint32_t server = htonl(0x0a000063); // 10.0.0.99
    oxlo_lru_table_add(cache, server, 126, uint32_t(now / 1000));
    pkt::ip4_opts o;
    o.dst = 0x0a000063;
    feed(pkt::ipv4(6, pkt::tcp(40000, 443, "wait"), o));
    EXPECT_EQ(f->fpc_app, OXLO_PROTOCOL_GOOGLE);
    EXPECT_EQ(f->fpc_kind, OXLO_FPC_DNS);
}

} // namespace

namespace {

// Names that are risks in themselves: a listed risky domain (27) and an
// internationalised name in punycode (42), whether or not a protocol matches.
struct RiskyNames : module_fixture {
    std::string list = "/tmp/vesk-risky-" + std::to_string(getpid()) + ".list";
    void before_finalize() override
    {
        FILE *out = fopen(list.c_str(), "w");
        ASSERT_NE(out, nullptr);
        fputs("bad.example\n", out);
        fclose(out);
        ASSERT_EQ(oxlo_load_risky_domains(m, list.c_str()), 1);
    }
    void TearDown() override
    {
        unlink(list.c_str());
        module_fixture::TearDown();
    }
};

TEST_F(RiskyNames, risky_domains_and_punycode_raise_their_risks)
{
    struct {
        const char *name;
        bool risky, punycode;
    } cases[] = {
        {"bad.example", true, false},          {"www.bad.example", true, false},
        {"notbad.example", false, false},      {"xn--bcher-kva.example", false, true},
        {"www.xn--bcher-kva.bad.example", true, true}, {"www.youtube.com", false, false},
    };
    for (const auto &c : cases) {
        oxlo_flow_state *fl = new_flow();
        oxlo_host_name_lookup(m, fl, c.name, strlen(c.name), nullptr, OXLO_PROTOCOL_TLS, 1);
        EXPECT_EQ(oxlo_flow_risk_is_set(fl, OXLO_RISKY_DOMAIN) != 0, c.risky) << c.name;
        EXPECT_EQ(oxlo_flow_risk_is_set(fl, OXLO_PUNYCODE_IDN) != 0, c.punycode) << c.name;
        char text[256];
        if (c.risky || c.punycode) {
            ASSERT_NE(oxlo_flow_risk_messages_text(fl, text, sizeof(text), 0), nullptr);
            EXPECT_NE(std::string(text).find(c.name), std::string::npos) << text;
        }
        oxlo_flow_state_free(fl);
    }
}

// The built-in address lists load per protocol ("ip_list.load"), and a
// protocol whose list is loaded meets the address check of risk 21.
struct NoGoogleList : module_fixture {
    std::vector<std::array<const char *, 3>> knobs() override { return {{"Google", "ip_list.load", "0"}}; }
};

TEST_F(NoGoogleList, ip_list_knob_leaves_the_protocols_list_out)
{
    pkt::ip4_opts o;
    o.dst = 0x08080808;
    const oxlo_classification r = feed(pkt::ipv4(6, pkt::tcp(40000, 443, "wait"), o));
    EXPECT_EQ(r.guessed_by_address, 0);
    const oxlo_proto_defaults *g = oxlo_proto_defaults_get(m, OXLO_PROTOCOL_GOOGLE);
    ASSERT_NE(g, nullptr);
    EXPECT_FALSE(g->flags & OXLO_PROTO_FLAG_IP_LIST);
}

TEST_F(FlowState, protocol_that_does_not_fit_the_server_address)
{
    const oxlo_proto_defaults *g = oxlo_proto_defaults_get(m, OXLO_PROTOCOL_GOOGLE);
    ASSERT_NE(g, nullptr);
    EXPECT_TRUE(g->flags & OXLO_PROTO_FLAG_IP_LIST);
    struct {
        uint32_t server;
        bool risk;
    } cases[] = {{0x08080808, false}, {0x0a000001, true}};
    for (const auto &c : cases) {
        oxlo_flow_state *fl = new_flow();
        pkt::ip4_opts o;
        o.dst = c.server;
        feed(pkt::ipv4(6, pkt::tcp(40000, 443, "wait"), o), fl);
        oxlo_flow_set_protocol(m, fl, OXLO_PROTOCOL_GOOGLE, OXLO_PROTOCOL_TLS, OXLO_CONFIDENCE_DPI);
        oxlo_flow_end_of_detection(m, fl);
        EXPECT_EQ(oxlo_flow_risk_is_set(fl, OXLO_MISMATCHING_PROTOCOL_WITH_IP) != 0, c.risk) << std::hex << c.server;
        oxlo_flow_state_free(fl);
    }
}

} // namespace

namespace {

// The give-up consults what earlier flows left in the caches: BitTorrent by
// address pair or endpoint, mining by address pair, Ookla by client on port
// 8080; each at confidence "DPI partial cache".
TEST_F(FlowState, giveup_consults_the_caches)
{
    const uint32_t now_s = uint32_t(now / 1000); // not later than the flows' packets
    const uint64_t client = htonl(0x0a000002), server = htonl(0x0a000001);
    struct {
        const char *what;
        int cache;
        uint64_t key;
        uint16_t value, port, expect;
    } cases[] = {
        {"bittorrent address pair", OXLO_LRU_BITTORRENT, client << 32 | server, 37, 7000, OXLO_PROTOCOL_BITTORRENT},
        {"bittorrent server endpoint", OXLO_LRU_BITTORRENT, server << 32 | htons(6881), 37, 6881,
         OXLO_PROTOCOL_BITTORRENT},
        {"mining address pair", OXLO_LRU_MINING, client << 32 | server, OXLO_PROTOCOL_MINING, 7000,
         OXLO_PROTOCOL_MINING},
        {"ookla client on 8080", OXLO_LRU_OOKLA, client, 1, 8080, OXLO_PROTOCOL_OOKLA},
        {"ookla client elsewhere", OXLO_LRU_OOKLA, client, 1, 7000, 0},
    };
    for (const auto &c : cases) {
        ASSERT_NE(m->lru[c.cache], nullptr) << c.what;
        oxlo_lru_table_add(m->lru[c.cache], c.key, c.value, now_s);
        oxlo_flow_state *fl = new_flow();
        feed(pkt::ipv4(17, pkt::udp(40000, c.port, "not a known protocol")), fl);
        if (!fl->app)
            oxlo_flow_giveup(m, fl);
        if (c.expect) {
            EXPECT_EQ(fl->app, c.expect) << c.what;
            EXPECT_EQ(oxlo_flow_confidence(fl), OXLO_CONFIDENCE_DPI_PARTIAL_CACHE) << c.what;
        } else {
            EXPECT_NE(oxlo_flow_confidence(fl), OXLO_CONFIDENCE_DPI_PARTIAL_CACHE) << c.what;
        }
        oxlo_flow_state_free(fl);
        uint16_t gone = 0;
        oxlo_lru_table_find(m->lru[c.cache], c.key, &gone, 1, now_s); // the next case starts clean
    }
}

TEST_F(FlowState, undetected_guess_reads_the_addresses)
{
    const oxlo_classification r =
        oxlo_guess_undetected_protocol(m, nullptr, 6, htonl(0x0a000002), 40000, htonl(0x08080808), 443);
    EXPECT_EQ(r.app, OXLO_PROTOCOL_GOOGLE);
    const oxlo_classification p =
        oxlo_guess_undetected_protocol(m, nullptr, 6, htonl(0x0a000002), 40000, htonl(0x0a000001), 80);
    EXPECT_EQ(p.app, OXLO_PROTOCOL_HTTP);
}

} // namespace

namespace {

void expect_same(const oxlo_classification &a, const oxlo_classification &b, const std::string &what)
{
    EXPECT_EQ(a.master, b.master) << what;
    EXPECT_EQ(a.app, b.app) << what;
    EXPECT_EQ(a.stack.count, b.stack.count) << what;
    for (uint16_t i = 0; i < OXLO_PROTOCOL_STACK_SIZE; i++)
        EXPECT_EQ(a.stack.ids[i], b.stack.ids[i]) << what << " stack " << i;
    EXPECT_EQ(a.guessed_by_address, b.guessed_by_address) << what;
    EXPECT_EQ(a.category, b.category) << what;
    EXPECT_EQ(a.breed, b.breed) << what;
    EXPECT_EQ(a.fpc_master, b.fpc_master) << what;
    EXPECT_EQ(a.fpc_app, b.fpc_app) << what;
    EXPECT_EQ(a.fpc_kind, b.fpc_kind) << what;
    EXPECT_EQ(a.address_category, b.address_category) << what;
    EXPECT_EQ(a.state, b.state) << what;
}

using Rebuilt = kit::engine;

// A caller keeps no copy of the classification: rebuilt from the flow state
// after each packet it is what that packet's classify call returned, for a
// flow classified over several packets, one that stays unknown and one
// guessed from its address; the fallback taken in two steps is the fallback.
TEST_F(Rebuilt, classification_from_the_state_is_the_last_result)
{
    const std::string dns_query("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
                                "\x07" "example" "\x03" "com" "\x00\x00\x01\x00\x01",
                                29);
    struct flow_case {
        const char *what;
        uint16_t port;
        uint8_t l4;
        uint32_t server;
        kit::segments payloads;
        bool handshake;
        uint16_t app, guessed; // the last result's application and address guess
    } cases[] = {
        {"http", 80, OXLO_L4_TCP, 0x0a000001,
         {{true, "GET / HTTP/1.1\r\nHost: www.example.com\r\nUser-Agent: curl/7.88.1\r\n"
                 "Accept: */*\r\n\r\n"},
          {false, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}},
         true, OXLO_PROTOCOL_HTTP, 0},
        {"dns", 53, OXLO_L4_UDP, 0x0a000001, {{true, dns_query}}, false, OXLO_PROTOCOL_DNS, 0},
        {"unknown", 40001, OXLO_L4_UDP, 0x0a000001, {{true, "not a known protocol"}, {false, "nor this"}},
         false, 0, 0},
        {"address guess", 443, OXLO_L4_TCP, 0x08080808, {{true, "wait"}}, true, 0, OXLO_PROTOCOL_GOOGLE},
    };
    for (const flow_case &c : cases) {
        kit::conversation conv(m, c.port, c.l4);
        conv.server_address = c.server;
        expect_same(oxlo_flow_classification(m, conv.f), oxlo_classification{}, std::string(c.what) + " fresh");
        if (c.handshake) {
            conv.handshake();
            expect_same(oxlo_flow_classification(m, conv.f), conv.last, std::string(c.what) + " handshake");
        }
        for (size_t i = 0; i < c.payloads.size(); i++) {
            conv.send({c.payloads[i]});
            expect_same(oxlo_flow_classification(m, conv.f), conv.last, c.what + std::to_string(i));
        }
        EXPECT_EQ(conv.last.app, c.app) << c.what;
        EXPECT_EQ(conv.last.guessed_by_address, c.guessed) << c.what;
        const uint32_t guess = oxlo_flow_guess(m, conv.f, c.l4);
        expect_same(oxlo_guess_classification(m, guess), oxlo_classification_fallback(m, conv.f, c.l4),
                    std::string(c.what) + " guess");
    }
    kit::conversation conv(m, 40001, OXLO_L4_UDP);
    EXPECT_EQ(oxlo_flow_guess(nullptr, conv.f, 17), OXLO_GUESS_EMPTY);
    expect_same(oxlo_guess_classification(m, OXLO_GUESS_EMPTY), oxlo_classification{}, "empty guess");
    expect_same(oxlo_flow_classification(nullptr, conv.f), oxlo_classification{}, "no module");
}

} // namespace
