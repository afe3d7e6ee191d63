#include "detect_fixture.h"
#include "oxlo_protocol_ids.h"

using namespace detect_test;
using pkt::bytes;

namespace {

using Dispatch = module_fixture;

bytes tcp_to_mqtt(const std::string &payload, uint8_t flags = 0x18, uint32_t seq = 1000)
{
    pkt::tcp_opts o;
    o.flags = flags;
    o.seq = seq;
    return pkt::ipv4(6, pkt::tcp(40000, 1883, payload, o));
}

TEST_F(Dispatch, registration_builds_the_call_lists)
{
    EXPECT_EQ(m->det.dissector_count, 2u);
    EXPECT_STREQ(m->det.dissectors[0].name, "ProbeTCP");
    EXPECT_EQ(m->det.dissectors[1].first_protocol, P_COAP);
    EXPECT_EQ(oxlo_proto_defaults_get(m, P_COAP)->dissector_index, 1);
    uint32_t n = 0;
    oxlo_dissector_entry **l = oxlo_dissector_list(m, 0, &n);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(l[0]->first_protocol, P_MQTT);
    oxlo_dissector_list(m, 1, &n);
    EXPECT_EQ(n, 0u); // needs payload
    l = oxlo_dissector_list(m, 2, &n);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(l[0]->first_protocol, P_COAP);
    oxlo_dissector_list(m, 3, &n);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(oxlo_protocol_dissector_transport(m, P_MQTT), 1);
    EXPECT_EQ(oxlo_protocol_dissector_transport(m, P_COAP), 2);
    EXPECT_EQ(oxlo_protocol_dissector_transport(m, P_HTTP), 0);
    EXPECT_STREQ(oxlo_transport_name(3), "TCP/UDP");
    EXPECT_STREQ(oxlo_transport_name(9), "");
}

TEST_F(Dispatch, dissector_runs_only_on_its_selection)
{
    struct sel_case {
        const char *name;
        bytes packet;
        bool called;
    };
    const sel_case cases[] = {
        {"tcp_payload", tcp_to_mqtt("hello"), true},
        {"tcp_without_payload", tcp_to_mqtt("", 0x10), false},
        {"udp_payload", pkt::ipv4(17, pkt::udp(40000, 1883, "hello")), false},
        {"ipv6_tcp_payload", pkt::ipv6(6, pkt::tcp(40000, 1883, "hello")), true},
    };
    for (const sel_case &c : cases) {
        log().calls.clear();
        oxlo_flow_state *fl = new_flow();
        feed(c.packet, fl);
        const bool tcp_called = !log().calls.empty() && log().calls[0].rfind("222:", 0) == 0;
        EXPECT_EQ(tcp_called, c.called) << c.name;
        oxlo_flow_state_free(fl);
    }
}

TEST_F(Dispatch, retransmitted_segment_is_not_dissected)
{
    pkt::tcp_opts syn;
    syn.flags = 0x02;
    syn.seq = 999;
    feed(pkt::ipv4(6, pkt::tcp(40000, 1883, "", syn)));
    pkt::tcp_opts synack;
    synack.flags = 0x12;
    synack.seq = 5000;
    synack.ack = 1000;
    feed(pkt::ipv4(6, pkt::tcp(1883, 40000, "", synack), {0x0a000001, 0x0a000002}));
    feed(tcp_to_mqtt("first", 0x18, 1000));
    feed(tcp_to_mqtt("first", 0x18, 1000)); // the same bytes again
    ASSERT_EQ(log().calls.size(), 1u);
    EXPECT_EQ(log().calls[0], "222:first");
    feed(tcp_to_mqtt("MATCH", 0x18, 1005));
    EXPECT_EQ(f->app, P_MQTT);
}

// Two TCP dissectors on a port that guesses nothing: the one that excluded
// itself stays away while the other goes on reading the flow.
struct Exclusion : module_fixture {
    void register_dissectors() override
    {
        oxlo_dissector_add("First", m, probe<P_MQTT>, 0x0b2, 1, int(P_MQTT));
        oxlo_dissector_add("Second", m, probe<P_HTTP>, 0x0b2, 1, int(P_HTTP));
    }
};

TEST_F(Exclusion, excluded_dissector_is_never_called_again)
{
    uint32_t seq = 1000;
    for (const char *payload : {"EXCL222", "MATCH", "MATCH"}) {
        pkt::tcp_opts o;
        o.seq = seq;
        feed(pkt::ipv4(6, pkt::tcp(40000, 40001, payload, o)));
        seq += uint32_t(strlen(payload));
    }
    EXPECT_EQ(log().calls, (std::vector<std::string>{"222:EXCL222", "7:EXCL222", "7:MATCH"}));
    EXPECT_EQ(f->app, P_HTTP);
    EXPECT_TRUE(oxlo_flow_dissector_excluded(f, 0));
    EXPECT_FALSE(oxlo_flow_dissector_excluded(f, 1));
}

TEST_F(Dispatch, classifies_on_the_matching_packet)
{
    feed(tcp_to_mqtt("wait"));
    EXPECT_EQ(f->app, 0);
    const oxlo_classification r = feed(tcp_to_mqtt("MATCH", 0x18, 1004));
    EXPECT_EQ(r.app, P_MQTT);
    EXPECT_EQ(oxlo_flow_confidence(f), OXLO_CONFIDENCE_DPI);
    EXPECT_EQ(r.stack.count, 1);
    EXPECT_EQ(r.stack.ids[0], P_MQTT);
    EXPECT_EQ(log().calls.size(), 2u);
}

// Two TCP dissectors: the one for the port's protocol runs first, and when it
// classifies, the list walk does not run on that packet.
struct GuessedFirst : module_fixture {
    void register_dissectors() override
    {
        oxlo_dissector_add("First", m, probe<P_MQTT>, 0x0b2, 1, int(P_MQTT));
        oxlo_dissector_add("ForPort", m, probe<P_HTTP>, 0x0b2, 1, int(P_HTTP));
    }
};

TEST_F(GuessedFirst, guessed_dissector_runs_first)
{
    feed(pkt::ipv4(6, pkt::tcp(40000, 80, "wait")));
    EXPECT_EQ(log().calls, (std::vector<std::string>{"7:wait", "222:wait"}));
    log().calls.clear();
    oxlo_flow_state *fl = new_flow();
    feed(pkt::ipv4(6, pkt::tcp(40000, 80, "MATCH")), fl);
    EXPECT_EQ(log().calls, std::vector<std::string>{"7:MATCH"});
    EXPECT_EQ(fl->app, P_HTTP);
    oxlo_flow_state_free(fl);
}

// A second registration for a protocol that has a dissector replaces only
// its routine; the 289th registration is refused with a message.
struct Registration : module_fixture {
    void register_dissectors() override {}
};

TEST_F(Registration, replacing_a_routine_keeps_the_count)
{
    ASSERT_EQ(oxlo_dissectors_init(m), 0);
    const uint32_t builtin = m->det.dissector_count; // the built-in dissectors written so far
    // YouTube is named by host names only: no built-in dissector has it.
    oxlo_dissector_add("Old", m, probe<P_MQTT>, 0x0b2, 1, int(OXLO_PROTOCOL_YOUTUBE));
    oxlo_dissector_add("New", m, probe<P_COAP>, 0x094, 1, int(OXLO_PROTOCOL_YOUTUBE));
    EXPECT_EQ(m->det.dissector_count, builtin + 1u);
    EXPECT_STREQ(m->det.dissectors[builtin].name, "Old");
    EXPECT_EQ(m->det.dissectors[builtin].callback, &probe<P_COAP>);
    EXPECT_EQ(m->det.dissectors[builtin].selection, 0x0b2u);
}

TEST_F(Registration, refuses_the_289th_dissector)
{
    ASSERT_EQ(oxlo_dissectors_init(m), 0);
    drop_builtin_dissectors();
    for (int id = 1; id <= 288; id++)
        ASSERT_EQ(oxlo_dissector_add("Many", m, probe<P_MQTT>, 0x0b2, 1, id), 0) << id;
    EXPECT_EQ(m->det.dissector_count, 288u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(oxlo_dissector_add("OneTooMany", m, probe<P_MQTT>, 0x0b2, 1, 300), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[OXLO] Internal Error. Too many dissectors!!\n");
    EXPECT_EQ(m->det.dissector_count, 288u);
    ASSERT_EQ(oxlo_dissectors_finish(m), 0);
    uint32_t n = 0;
    oxlo_dissector_list(m, 0, &n);
    EXPECT_EQ(n, 288u);
}

struct DisabledProtocol : module_fixture {
    std::vector<std::array<const char *, 3>> knobs() override { return {{{"222", "enable", "0"}}}; }
    void register_dissectors() override {}
};

TEST_F(DisabledProtocol, registration_of_disabled_protocols_leaves_no_trace)
{
    ASSERT_EQ(oxlo_dissectors_init(m), 0);
    const uint32_t builtin = m->det.dissector_count;
    EXPECT_EQ(oxlo_dissector_add("Off", m, probe<P_MQTT>, 0x0b2, 1, int(P_MQTT)), -1);
    EXPECT_EQ(m->det.dissector_count, builtin);
    EXPECT_EQ(oxlo_proto_defaults_get(m, P_MQTT)->dissector_index, OXLO_NO_DISSECTOR);
}

} // namespace
