// DNS dissector: crafted queries and responses through the per-packet walk.
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "protocols/dns_private.h"
#include "../detect_fixture.h"
#include "dissector_kit.h"

#include <atomic>
#include <cstdlib>
#include <string>


namespace {

/* The DNS dissector's state of a flow (an empty one when it has none). */
const oxlo_dns_flow *dns_of(const oxlo_flow_state *f)
{
    static const oxlo_dns_flow empty = {};
    const void *d = oxlo_flow_slot_state(f, OXLO_DISSECTOR_dns);
    return d ? static_cast<const oxlo_dns_flow *>(d) : &empty;
}

using namespace detect_test;
using pkt::bytes;

std::string qname(const std::string &dotted)
{
    std::string out;
    size_t start = 0;
    while (start <= dotted.size()) {
        size_t dot = dotted.find('.', start);
        if (dot == std::string::npos)
            dot = dotted.size();
        out += char(dot - start);
        out += dotted.substr(start, dot - start);
        start = dot + 1;
    }
    out += '\0';
    return out;
}

std::string raw(const char *s, size_t n) { return std::string(s, n); }
std::string be16(uint16_t v) { return std::string{char(v >> 8), char(v & 0xFF)}; }
std::string be32(uint32_t v) { return be16(uint16_t(v >> 16)) + be16(uint16_t(v)); }

struct record {
    uint16_t type;
    uint32_t ttl;
    std::string data;
};

// A message: header, one question for `name`, then the answers (names as
// compression pointers to the question).
std::string message(uint16_t flags, const std::string &name, uint16_t qtype,
                    const std::vector<record> &answers = {}, uint16_t arcount = 0,
                    const std::string &tail = "")
{
    std::string m = be16(0x1234) + be16(flags) + be16(1) + be16(uint16_t(answers.size())) + be16(0) +
                    be16(arcount);
    m += qname(name) + be16(qtype) + be16(1);
    for (const record &r : answers)
        m += be16(0xC00C) + be16(r.type) + be16(1) + be32(r.ttl) + be16(uint16_t(r.data.size())) + r.data;
    return m + tail;
}

bytes udp_to_server(const std::string &m, uint16_t sport = 40000, uint16_t dport = 53,
                    uint32_t dst = 0x0a000001)
{
    pkt::ip4_opts o;
    o.dst = dst;
    return pkt::ipv4(17, pkt::udp(sport, dport, m), o);
}

bytes udp_from_server(const std::string &m)
{
    pkt::ip4_opts o;
    o.src = 0x0a000001;
    o.dst = 0x0a000002;
    return pkt::ipv4(17, pkt::udp(53, 40000, m), o);
}

struct dns_fixture : module_fixture {
    void register_dissectors() override { ASSERT_EQ(oxlo_dissector_register_builtin(m, "dns"), 0); }
    std::string risk_text(uint32_t risk)
    {
        for (uint8_t i = 0; i < f->risk_message_count; i++)
            if (f->texts->risk_messages[i].risk == risk)
                return f->texts->risk_messages[i].text;
        return "";
    }
    bool risk(uint32_t r) { return (f->risk_mask >> r) & 1; }
};

TEST_F(dns_fixture, query_classifies_at_first_packet_and_waits_for_the_answer)
{
    oxlo_classification r = feed(udp_to_server(message(0x0100, "www.Vesk.test", 1)));
    EXPECT_EQ(r.app, OXLO_PROTOCOL_DNS);
    EXPECT_STREQ(oxlo_flow_host(f), "www.vesk.test");
    EXPECT_EQ(dns_of(f)->query_seen, 1);
    EXPECT_EQ(dns_of(f)->query_type, 1);
    EXPECT_EQ(dns_of(f)->transaction_id, 0x1234);
    EXPECT_NE(f->extra_dissection, nullptr);
    EXPECT_EQ(f->category, 14u);

    const std::string v4 = raw("\x0a\x00\x00\x07", 4);
    const std::string v6 = std::string("\xfd\x00", 2) + std::string(13, '\0') + "\x09";
    feed(udp_from_server(message(0x8180, "www.vesk.test", 1, {{1, 300, v4}, {28, 60, v6}})));
    EXPECT_EQ(f->extra_dissection, nullptr) << "a response with answers ends the follow-up";
    ASSERT_EQ(dns_of(f)->address_count, 2);
    EXPECT_EQ(std::memcmp(dns_of(f)->addresses[0].address, v4.data(), 4), 0);
    EXPECT_EQ(dns_of(f)->addresses[0].ttl, 300u);
    EXPECT_EQ(dns_of(f)->addresses[1].is_ipv6, 1);
    EXPECT_EQ(dns_of(f)->addresses[1].address[15], 9);
    EXPECT_EQ(dns_of(f)->record_count, 2);
    EXPECT_EQ(f->risk_mask, 0u);
}

TEST_F(dns_fixture, risks_of_responses)
{
    struct {
        const char *what;
        std::string msg;
        uint32_t risk;
        const char *text;
    } cases[] = {
        {"NXDOMAIN", message(0x8183, "nope.vesk.test", 1), 43, "DNS Error Code NXDOMAIN"},
        {"unknown code", message(0x818C, "x.vesk.test", 1), 43, "DNS Error Code 12"},
        {"zero TTL", message(0x8180, "a.vesk.test", 1, {{1, 0, raw("\x0a\x00\x00\x07", 4)}}), 49,
         "DNS Record with zero TTL"},
        {"obsolete type", message(0x8180, "a.vesk.test", 1, {{13, 10, "ab"}}), 23, "Obsolete DNS record type"},
        {"long first label", message(0x0100, std::string(49, 'a') + ".vesk.test", 1), 23, "Long DNS host name"},
        {"odd characters", message(0x0100, "a b.vesk.test", 1), 39, "Invalid chars detected in domain name"},
    };
    for (auto &c : cases) {
        oxlo_flow_state_free(f);
        f = new_flow();
        feed(udp_from_server(c.msg));
        EXPECT_TRUE(risk(c.risk)) << c.what;
        EXPECT_EQ(risk_text(c.risk), c.text) << c.what;
    }
    oxlo_flow_state_free(f);
    f = new_flow();
    feed(udp_to_server(message(0x0100, std::string(48, 'a') + ".vesk.test", 1)));
    EXPECT_FALSE(risk(23)) << "48 characters are still fine";
}

TEST_F(dns_fixture, ptr_answer_keeps_the_target_name)
{
    const std::string target = qname("host.vesk.test");
    feed(udp_from_server(message(0x8180, "7.0.0.10.in-addr.arpa", 12, {{12, 60, target}})));
    EXPECT_STREQ(dns_of(f)->ptr_name, "host.vesk.test");
    EXPECT_STREQ(oxlo_flow_host(f), "7.0.0.10.in-addr.arpa");
}

TEST_F(dns_fixture, truncated_records_are_not_read_past_the_message)
{
    // The answer claims 200 data bytes that are not there; the additional
    // OPT record claims an option longer than itself.
    std::string m = message(0x8180, "a.vesk.test", 1, {{1, 60, raw("\x0a\x00\x00\x07", 4)}});
    m[m.size() - 5] = char(200);
    feed(udp_from_server(m));
    EXPECT_EQ(dns_of(f)->address_count, 0);
    EXPECT_EQ(f->app, OXLO_PROTOCOL_DNS);

    oxlo_flow_state_free(f);
    f = new_flow();
    const std::string opt = std::string("\0", 1) + be16(41) + be16(1232) + be32(0) + be16(4) + be16(3) + be16(40);
    feed(udp_from_server(message(0x8180, "a.vesk.test", 1, {{1, 60, raw("\x0a\x00\x00\x07", 4)}}, 1, opt)));
    EXPECT_EQ(dns_of(f)->edns_payload_size, 1232);
    EXPECT_EQ(dns_of(f)->location[0], '\0');
}

TEST_F(dns_fixture, multicast_port_to_a_unicast_address_is_not_mdns)
{
    feed(udp_to_server(message(0x0100, "printer.local", 1), 5353, 5353, 0x0a000001));
    EXPECT_EQ(f->app, 0);
    oxlo_flow_state_free(f);
    f = new_flow();
    feed(udp_to_server(message(0x0000, "Printer.local", 1), 5353, 5353, 0xe00000fb));
    EXPECT_EQ(f->app, OXLO_PROTOCOL_MDNS);
    EXPECT_STREQ(oxlo_flow_host(f), "printer.local");
}

TEST_F(dns_fixture, tcp_message_follows_the_length_prefix)
{
    const std::string msg = message(0x0100, "www.vesk.test", 28);
    pkt::tcp_opts o;
    feed(pkt::ipv4(6, pkt::tcp(40000, 53, be16(uint16_t(msg.size())) + msg, o)));
    EXPECT_EQ(f->app, OXLO_PROTOCOL_DNS);
    EXPECT_STREQ(oxlo_flow_host(f), "www.vesk.test");
    EXPECT_EQ(dns_of(f)->query_type, 28);
}

// The query of dig +tcp in tests/captures/dns/dns.pcap as other clients
// write it: the 2-byte length in a segment of its own, cut inside the length
// and in the middle, two queries at once with the second cut; a length that
// never completes leaves the flow unnamed.
TEST_F(dns_fixture, tcp_messages_read_whole_from_the_stream)
{
    const std::string query = kit::capture_first("dns/dns.pcap", 53, true);
    ASSERT_GT(query.size(), 14u);
    const std::string longer = be16(uint16_t(query.size() + 100)) + query.substr(2);
    const struct {
        const char *what;
        kit::segments segments;
        bool named;
    } cases[] = {
        {"length alone", kit::cut(true, query, {2}), true},
        {"inside the length, then in the middle", kit::cut(true, query, {1, 20}), true},
        {"two queries at once, the second cut", kit::cut(true, query + query, {query.size() + 9}), true},
        {"a length that never completes", kit::cut(true, longer, {2}), false},
    };
    for (const auto &k : cases) {
        kit::conversation c(m, 53);
        c.handshake();
        c.send(k.segments);
        EXPECT_EQ(c.app() == OXLO_PROTOCOL_DNS && c.by_inspection(), k.named) << k.what;
        EXPECT_STREQ(oxlo_flow_host_name(c.f), k.named ? "www.vesk.test" : "") << k.what;
    }
}

TEST_F(dns_fixture, invalid_headers_exclude_the_dissector)
{
    std::string m = message(0x0100, "a.vesk.test", 1);
    m[4] = 0, m[5] = 49; // 49 questions
    feed(udp_to_server(m));
    EXPECT_EQ(f->app, 0);
    EXPECT_NE(f->excluded[0] | f->excluded[1], 0u);
    feed(udp_to_server(message(0x0100, "a.vesk.test", 1)));
    EXPECT_NE(f->confidence, OXLO_CONFIDENCE_DPI) << "excluded for the flow (at most a port guess)";
    EXPECT_STREQ(oxlo_flow_host(f), "");
}

} // namespace

// A query for a generated-looking name raises risk 16; its answer without an
// error code then raises 27. A known service's name is never tested.
TEST_F(dns_fixture, generated_names_raise_the_dga_risks)
{
    const std::string v4 = raw("\x0a\x00\x00\x07", 4);
    feed(udp_to_server(message(0x0100, "zz9qk2mx7pl4nb8vc3rt.net", 1)));
    EXPECT_TRUE(risk(OXLO_SUSPICIOUS_DGA_DOMAIN));
    EXPECT_EQ(risk_text(OXLO_SUSPICIOUS_DGA_DOMAIN), "zz9qk2mx7pl4nb8vc3rt.net");
    EXPECT_FALSE(risk(OXLO_RISKY_DOMAIN));
    feed(udp_from_server(message(0x8180, "zz9qk2mx7pl4nb8vc3rt.net", 1, {{1, 300, v4}})));
    EXPECT_TRUE(risk(OXLO_RISKY_DOMAIN));
    EXPECT_EQ(risk_text(OXLO_RISKY_DOMAIN), "DGA Name Query with no Error Code");

    for (const char *name : {"www.youtube.com", "www.wikipedia.org"}) {
        oxlo_flow_state_free(f);
        f = new_flow();
        feed(udp_to_server(message(0x0100, name, 1)));
        feed(udp_from_server(message(0x8180, name, 1, {{1, 300, v4}})));
        EXPECT_EQ(f->risk_mask, 0u) << name;
    }
}

// With sub-classification off (the default) a query for a service is DNS,
// so that a rule against the service does not catch its lookups; its answer
// still tells the first packet of the next flow to that address what it is.
TEST_F(dns_fixture, answers_feed_first_packet_classification)
{
    const uint16_t youtube = OXLO_PROTOCOL_YOUTUBE;
    feed(udp_to_server(message(0x0100, "www.youtube.com", 1)));
    EXPECT_EQ(f->app, OXLO_PROTOCOL_DNS);
    EXPECT_EQ(f->master, 0);
    feed(udp_from_server(message(0x8180, "www.youtube.com", 1, {{1, 300, raw("\x0a\x00\x00\x07", 4)}})));

    oxlo_flow_state *next = new_flow();
    pkt::ip4_opts o;
    o.dst = 0x0a000007;
    pkt::tcp_opts syn;
    syn.flags = 0x02;
    oxlo_classification r = feed(pkt::ipv4(6, pkt::tcp(40001, 443, "", syn), o), next);
    EXPECT_EQ(r.fpc_kind, OXLO_FPC_DNS);
    EXPECT_EQ(r.fpc_app, youtube);
    oxlo_flow_state_free(next);
}

struct dns_subclassification_fixture : dns_fixture {
    std::vector<std::array<const char *, 3>> knobs() override { return {{"dns", "subclassification", "1"}}; }
};

TEST_F(dns_subclassification_fixture, knob_on_names_the_service)
{
    feed(udp_to_server(message(0x0100, "www.youtube.com", 1)));
    EXPECT_EQ(f->app, OXLO_PROTOCOL_YOUTUBE);
    EXPECT_EQ(f->master, OXLO_PROTOCOL_DNS);
}

// Texts (host names, risk messages, fingerprints) live out of line: a flow
// that never names a host pays nothing for them.
TEST_F(dns_fixture, only_a_named_flow_holds_a_texts_block)
{
    oxlo_flow_state *nameless = new_flow();
    feed(udp_to_server(std::string("floodxx", 8), 40001, 9999), nameless);
    EXPECT_EQ(nameless->texts, nullptr);
    EXPECT_STREQ(oxlo_flow_host(nameless), "");
    oxlo_flow_state_free(nameless);
    feed(udp_to_server(message(0x0100, "www.vesk.test", 1)));
    ASSERT_NE(f->texts, nullptr);
    EXPECT_STREQ(oxlo_flow_host_name(f), "www.vesk.test");
}

std::atomic<bool> refuse_aligned{false};
void *maybe_aligned(size_t alignment, size_t size)
{
    void *p = nullptr;
    if (refuse_aligned)
        return nullptr;
    return posix_memalign(&p, alignment < sizeof(void *) ? sizeof(void *) : alignment, size) == 0 ? p : nullptr;
}

// A host rule must not be dodged by a lack of memory: a query whose name
// cannot be kept (no chunk for the texts slab) leaves the flow unclassified,
// also for the give-up's guess by port, which would otherwise say DNS.
TEST(DnsWithoutMemory, query_whose_name_cannot_be_kept_ends_unclassified)
{
    oxlo_set_memory_hooks(nullptr, nullptr, nullptr, nullptr, maybe_aligned, free, nullptr, nullptr);
    oxlo_module *m = oxlo_module_new(nullptr);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(oxlo_finalize_initialization(m), 0);
    auto *fl = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
    ASSERT_NE(fl, nullptr);
    memset(fl, 0, oxlo_flow_state_size());
    const bytes q = udp_to_server(message(0x0100, "blocked.vesk.test", 1));
    refuse_aligned = true;
    oxlo_classification r = oxlo_classify_packet(m, fl, q.data(), uint16_t(q.size()), 1000, nullptr);
    refuse_aligned = false;
    EXPECT_EQ(r.app, 0);
    EXPECT_EQ(r.master, 0);
    EXPECT_EQ(r.state, OXLO_STATE_FINISHED);
    EXPECT_STREQ(oxlo_flow_host_name(fl), "");
    EXPECT_EQ(oxlo_classification_fallback(m, fl, 17).app, 0);
    // Later packets change nothing.
    r = oxlo_classify_packet(m, fl, q.data(), uint16_t(q.size()), 1010, nullptr);
    EXPECT_EQ(r.app, 0);
    oxlo_flow_state_free(fl);
    oxlo_module_free(m);
}
