#include "detect_fixture.h"
#include "oxlo_protocol_ids.h"

using namespace detect_test;
using pkt::bytes;

namespace {

// ---- header walk ---------------------------------------------------------

struct walk_case {
    const char *name;
    bytes packet;
    uint32_t flags;
    int rc;
    uint8_t proto;
    uint16_t l4_length;
};

bytes frag_header(uint8_t next, uint16_t offset_words, bool more)
{
    bytes h(8, 0);
    h[0] = next;
    pkt::put16(h, 2, uint16_t((offset_words << 3) | (more ? 1 : 0)));
    h[7] = 9;
    return h;
}

std::vector<walk_case> walk_cases()
{
    const bytes t = pkt::tcp(40000, 80, "GET /");
    const bytes u = pkt::udp(40000, 53, "query");
    pkt::ip4_opts bad_ihl;
    bad_ihl.ihl = 4;
    pkt::ip4_opts long_ihl;
    long_ihl.ihl = 15; // 60 bytes of header in a 45-byte packet
    pkt::ip4_opts udp_long_total;
    udp_long_total.total = 200;
    pkt::ip4_opts second_frag;
    second_frag.frag = 0x0010;
    pkt::ip4_opts first_frag;
    first_frag.frag = 0x2000;
    bytes hbh_too_long(8, 0);
    hbh_too_long[0] = 17;
    hbh_too_long[1] = 3; // 32 bytes announced, 8 + 13 present
    bytes v5 = pkt::ipv4(6, t);
    v5[0] = 0x55;
    bytes v6_short_payload = pkt::ipv6(17, u);
    pkt::put16(v6_short_payload, 4, 400);
    // GSO packets: cut by the queue's copy range, or beyond 64 KiB with a
    // length field of 0; what was captured is walked.
    pkt::ip4_opts gso_total;
    gso_total.total = 0;
    const bytes big = pkt::tcp(40000, 80, std::string(65000, 'g'));
    bytes v6_cut = pkt::ipv6(6, big);
    v6_cut.resize(v6_cut.size() - 500);
    bytes v6_zero = pkt::ipv6(6, big);
    pkt::put16(v6_zero, 4, 0);
    return {
        {"ipv4_tcp", pkt::ipv4(6, t), 0, 0, 6, uint16_t(t.size())},
        {"ipv4_header_below_20", pkt::ipv4(6, t, bad_ihl), 0, 1, 0, 0},
        {"ipv4_header_beyond_packet", pkt::ipv4(6, bytes(25, 0), long_ihl), 0, 1, 0, 0},
        {"ipv4_udp_total_beyond_capture", pkt::ipv4(17, u, udp_long_total), 0, 1, 0, 0},
        {"ipv4_udp_first_fragment", pkt::ipv4(17, u, first_frag), 0, 0, 17, uint16_t(u.size())},
        {"ipv4_udp_later_fragment", pkt::ipv4(17, u, second_frag), 0, 1, 0, 0},
        {"ipv4_tcp_later_fragment", pkt::ipv4(6, t, second_frag), 0, 1, 0, 0},
        {"ipv4_refused", pkt::ipv4(6, t), 2, 1, 0, 0},
        {"ipv6_udp", pkt::ipv6(17, u), 0, 0, 17, uint16_t(u.size())},
        {"ipv6_first_fragment", pkt::ipv6(44, pkt::cat(frag_header(17, 0, true), u)), 0, 0, 17, uint16_t(u.size())},
        {"ipv6_later_fragment", pkt::ipv6(44, pkt::cat(frag_header(17, 4, false), u)), 0, 1, 0, 0},
        {"ipv6_hop_by_hop_beyond_packet", pkt::ipv6(0, pkt::cat(hbh_too_long, u)), 0, 1, 0, 0},
        {"ipv6_no_next_header", pkt::ipv6(59, u), 0, 1, 0, 0},
        {"ipv6_payload_beyond_capture", v6_short_payload, 0, 1, 0, 0},
        {"ipv6_refused", pkt::ipv6(17, u), 1, 1, 0, 0},
        {"ipv4_tcp_gso_total_0", pkt::ipv4(6, big, gso_total), 0, 0, 6, uint16_t(big.size())},
        {"ipv6_tcp_cut_by_the_copy_range", v6_cut, 0, 0, 6, uint16_t(big.size() - 500)},
        {"ipv6_tcp_gso_length_0", v6_zero, 0, 0, 6, uint16_t(big.size())},
        {"version_5", v5, 0, 1, 0, 0},
    };
}

TEST(L4Decode, walks_headers_and_refuses_what_does_not_fit)
{
    for (const walk_case &c : walk_cases()) {
        const uint8_t *l4 = nullptr;
        uint16_t len = 0;
        uint8_t proto = 0;
        EXPECT_EQ(oxlo_l4_decode(c.packet.data(), uint16_t(c.packet.size()), &l4, &len, &proto, c.flags), c.rc)
            << c.name;
        if (c.rc == 0) {
            EXPECT_EQ(proto, c.proto) << c.name;
            EXPECT_EQ(len, c.l4_length) << c.name;
        }
    }
}

// ---- per-packet walk -----------------------------------------------------

using Detection = module_fixture;

TEST_F(Detection, refuses_null_arguments_and_unfinalized_modules)
{
    const bytes p = pkt::ipv4(6, pkt::tcp(40000, 80, "MATCH"));
    oxlo_classification r = oxlo_classify_packet(nullptr, f, p.data(), uint16_t(p.size()), 1, nullptr);
    EXPECT_EQ(r.app, 0);
    oxlo_module *raw = oxlo_module_new(nullptr);
    r = oxlo_classify_packet(raw, f, p.data(), uint16_t(p.size()), 1, nullptr);
    EXPECT_EQ(r.app, 0);
    EXPECT_EQ(f->packets_processed, 0);
    oxlo_module_free(raw);
}

TEST_F(Detection, bare_ipv4_header_is_counted_without_dissection)
{
    feed(pkt::ipv4(6, bytes()));
    EXPECT_EQ(f->packets_processed, 1);
    EXPECT_TRUE(log().calls.empty());
}

TEST_F(Detection, malformed_tcp_headers_are_counted_not_dissected)
{
    pkt::tcp_opts below_five;
    below_five.data_offset = 2; // would put the payload inside the header
    pkt::tcp_opts beyond;
    beyond.data_offset = 15;    // 60 bytes in a 25-byte segment
    pkt::ip4_opts later_fragment;
    later_fragment.frag = 0x0004;
    const bytes cases[] = {
        pkt::ipv4(6, pkt::tcp(40000, 1883, "MATCH", below_five)),
        pkt::ipv4(6, pkt::tcp(40000, 1883, "MATCH", beyond)),
        pkt::ipv4(6, pkt::tcp(40000, 1883, "MATCH"), later_fragment),
        pkt::ipv4(17, pkt::udp(40000, 5683, "MATCH"), later_fragment),
    };
    uint16_t n = 0;
    for (const bytes &p : cases) {
        feed(p);
        EXPECT_EQ(f->packets_processed, ++n);
    }
    EXPECT_TRUE(log().calls.empty());
    EXPECT_EQ(f->app, 0);
}

TEST_F(Detection, first_udp_fragment_is_inspected)
{
    pkt::ip4_opts first;
    first.frag = 0x2000;
    feed(pkt::ipv4(17, pkt::udp(40000, 5683, "MATCH"), first));
    EXPECT_EQ(f->app, P_COAP);
}

TEST_F(Detection, decides_the_client_from_the_first_packet)
{
    struct dir_case {
        const char *name;
        bytes packet;
        uint16_t client_port;
    };
    pkt::tcp_opts synack;
    synack.flags = 0x12;
    pkt::tcp_opts syn;
    syn.flags = 0x02;
    const dir_case cases[] = {
        {"reply_from_port_80", pkt::ipv4(6, pkt::tcp(80, 40000, "")), 40000},
        {"request_to_port_80", pkt::ipv4(6, pkt::tcp(40000, 80, "")), 40000},
        {"syn_ack_from_high_port", pkt::ipv4(6, pkt::tcp(5000, 6000, "", synack)), 6000},
        {"syn_from_high_port", pkt::ipv4(6, pkt::tcp(6000, 5000, "", syn)), 6000},
    };
    for (const dir_case &c : cases) {
        oxlo_flow_state *fl = new_flow();
        feed(c.packet, fl);
        EXPECT_EQ(oxlo_swap16(fl->client_port), c.client_port) << c.name;
        oxlo_flow_state_free(fl);
    }
}

TEST_F(Detection, caller_direction_hint_is_followed_and_filled_in)
{
    uint8_t info[2] = {2, 0};
    const bytes p = pkt::ipv4(17, pkt::udp(40000, 53, "x"));
    oxlo_classify_packet(m, f, p.data(), uint16_t(p.size()), now, info);
    EXPECT_EQ(oxlo_swap16(f->client_port), 53); // hint 2: the first packet came from the server
    oxlo_flow_state *fl = new_flow();
    uint8_t unknown[2] = {0, 0};
    oxlo_classify_packet(m, fl, p.data(), uint16_t(p.size()), now, unknown);
    EXPECT_EQ(unknown[0], 1);
    oxlo_flow_state_free(fl);
}

TEST_F(Detection, gives_up_on_the_packet_limit)
{
    const bytes p = pkt::ipv4(17, pkt::udp(40000, 53, "wait"));
    for (int i = 1; i <= 31; i++)
        feed(p);
    EXPECT_EQ(log().calls.size(), 31u);
    EXPECT_EQ(f->app, 0);
    const oxlo_classification r = feed(p);
    EXPECT_EQ(log().calls.size(), 31u);
    EXPECT_EQ(r.app, P_DNS);
    EXPECT_EQ(f->confidence, OXLO_CONFIDENCE_MATCH_BY_PORT);
    EXPECT_EQ(r.state, OXLO_STATE_FINISHED);
}

TEST_F(Detection, undissected_payload_gives_up_to_the_port_guess)
{
    // No test dissector takes plain TCP without the 0x0b2 bits: ICMP here.
    bytes icmp(16, 0);
    icmp[0] = 8;
    const oxlo_classification r = feed(pkt::ipv4(1, icmp));
    EXPECT_EQ(r.app, OXLO_PROTOCOL_ICMP);
    EXPECT_EQ(oxlo_flow_confidence(f), OXLO_CONFIDENCE_MATCH_BY_PORT);
}

// A ping's echo request, as iputils ping sends it (a timestamp, then bytes
// counting up), is decided on its own packet without false risks: its
// entropy is no sign of anything, and no reply could have come yet.
TEST_F(Detection, ping_echo_request_raises_no_risk)
{
    bytes icmp = {8, 0, 0, 0, 0x12, 0x34, 0, 1};
    for (uint8_t b : {0x5f, 0x2a, 0x61, 0x69, 0, 0, 0, 0, 0x3c, 0x9f, 0x0b, 0, 0, 0, 0, 0})
        icmp.push_back(b);
    for (uint8_t b = 0x10; b < 0x38; b++)
        icmp.push_back(b);
    const oxlo_classification r = feed(pkt::ipv4(1, icmp));
    EXPECT_EQ(r.app, OXLO_PROTOCOL_ICMP);
    EXPECT_EQ(r.state, OXLO_STATE_FINISHED);
    EXPECT_EQ(oxlo_flow_risk_bits(f), 0u);
}

TEST_F(Detection, scanner_syns_raise_risk_28)
{
    struct scan_case {
        uint16_t window;
        bytes options;
        uint32_t src;
        bool risk;
    };
    const scan_case cases[] = {
        {65535, {}, 0x0a000002, true},                  // zmap
        {1024, {}, 0x0a000002, true},                   // masscan
        {512, {}, 0x0a000002, true},
        {64240, {2, 4, 5, 0xb4}, 0x08080808, true},     // only an MSS, public source
        {64240, {2, 4, 5, 0xb4}, 0x0a000002, false},    // only an MSS, private source
        {64240, {2, 4, 5, 0xb4, 1, 3, 3, 7}, 0x08080808, false},
    };
    for (const scan_case &c : cases) {
        pkt::tcp_opts o;
        o.flags = 0x02;
        o.window = c.window;
        o.options = c.options;
        pkt::ip4_opts ip;
        ip.src = c.src;
        oxlo_flow_state *fl = new_flow();
        feed(pkt::ipv4(6, pkt::tcp(40000, 80, "", o), ip), fl);
        EXPECT_EQ((oxlo_flow_risk_bits(fl) >> 28) & 1, c.risk ? 1u : 0u) << c.window;
        ASSERT_NE(oxlo_flow_tcp_fingerprint_text(fl->tcp), nullptr);
        oxlo_flow_state_free(fl);
    }
}

TEST_F(Detection, tcp_flag_scans_raise_risk_50)
{
    for (uint8_t flags : {uint8_t(0x00), uint8_t(0x29)}) {
        pkt::tcp_opts o;
        o.flags = flags;
        oxlo_flow_state *fl = new_flow();
        feed(pkt::ipv4(6, pkt::tcp(40000, 80, "", o)), fl);
        EXPECT_TRUE((oxlo_flow_risk_bits(fl) >> 50) & 1) << int(flags);
        oxlo_flow_state_free(fl);
    }
}

TEST_F(Detection, fingerprint_format_zero_hashes_the_options)
{
    pkt::tcp_opts o;
    o.flags = 0x02;
    o.window = 64240;
    o.options = {2, 4, 5, 0xb4, 1, 3, 3, 7};
    feed(pkt::ipv4(6, pkt::tcp(40000, 80, "", o)));
    ASSERT_NE(oxlo_flow_tcp_fingerprint_text(f->tcp), nullptr);
    // flag word 2, TTL 64, window, then 12 hex digits of SHA-256("020405b401030307")
    const std::string fp = oxlo_flow_tcp_fingerprint_text(f->tcp);
    EXPECT_EQ(fp.rfind("2_64_64240_", 0), 0u) << fp;
    EXPECT_EQ(fp.size(), std::string("2_64_64240_").size() + 12) << fp;
}

struct FingerprintFormat1 : module_fixture {
    std::vector<std::array<const char *, 3>> knobs() override
    {
        return {{{nullptr, "metadata.tcp_fingerprint_format", "1"}}};
    }
};

TEST_F(FingerprintFormat1, lists_window_options_mss_and_scale)
{
    pkt::tcp_opts o;
    o.flags = 0x02;
    o.window = 64240;
    o.options = {2, 4, 5, 0xb4, 4, 2, 8, 10, 0, 0, 0, 0, 0, 0, 0, 0, 1, 3, 3, 7};
    feed(pkt::ipv4(6, pkt::tcp(40000, 80, "", o)));
    ASSERT_NE(oxlo_flow_tcp_fingerprint_text(f->tcp), nullptr);
    EXPECT_STREQ(oxlo_flow_tcp_fingerprint_text(f->tcp), "64240:2-4-8-1-3:1460:7");
}

// A text longer than the TCP block's room for one is kept whole all the same.
TEST_F(FingerprintFormat1, long_option_list_is_kept_whole)
{
    pkt::tcp_opts o;
    o.flags = 0x02;
    o.window = 1024;
    o.options.assign(36, 1);  // 36 NOPs, then an MSS
    o.options.insert(o.options.end(), {2, 4, 5, 0xb4});
    feed(pkt::ipv4(6, pkt::tcp(40000, 80, "", o)));
    std::string expected = "1024:";
    for (int i = 0; i < 36; i++)
        expected += "1-";
    expected += "2:1460:";
    ASSERT_GT(expected.size(), size_t(OXLO_TCP_FINGERPRINT_INLINE));
    ASSERT_NE(oxlo_flow_tcp_fingerprint_text(f->tcp), nullptr);
    EXPECT_EQ(oxlo_flow_tcp_fingerprint_text(f->tcp), expected);
}

struct NoPacketLimit : module_fixture {
    std::vector<std::array<const char *, 3>> knobs() override
    {
        return {{{nullptr, "packets_limit_per_flow", "0"}}};
    }
};

TEST_F(NoPacketLimit, counters_stop_at_65000)
{
    pkt::tcp_opts ack;
    ack.flags = 0x10;
    const bytes p = pkt::ipv4(6, pkt::tcp(40000, 1883, "", ack));
    for (int i = 0; i < 65010; i++)
        feed(p);
    EXPECT_EQ(f->packets, 65000);
    EXPECT_EQ(f->packets_dir[0] + f->packets_dir[1], 65000);
    EXPECT_EQ(f->packets_processed, 65010);
}

TEST_F(Detection, finished_flows_only_rebuild_the_result)
{
    feed(pkt::ipv4(6, pkt::tcp(40000, 1883, "MATCH")));
    EXPECT_EQ(f->app, P_MQTT);
    const uint16_t before = f->packets_processed;
    const oxlo_classification r = feed(pkt::ipv4(6, pkt::tcp(40000, 1883, "more")));
    EXPECT_EQ(r.app, P_MQTT);
    EXPECT_EQ(r.state, OXLO_STATE_FINISHED);
    EXPECT_EQ(f->packets_processed, before);
}

// ---- malformed headers ---------------------------------------------------

// Base packets whose every truncation and every single-byte corruption is
// fed to the engine: lengths and offsets from the wire must never be
// trusted beyond the captured bytes.
std::vector<bytes> corpus_bases()
{
    pkt::tcp_opts syn;
    syn.flags = 0x02;
    syn.options = {2, 4, 5, 0xb4, 4, 2, 8, 10, 0, 0, 0, 0, 0, 0, 0, 0, 1, 3, 3, 7};
    bytes hbh(8, 0);
    hbh[0] = 44;
    bytes icmp(16, 0);
    icmp[0] = 8;
    return {
        pkt::ipv4(6, pkt::tcp(40000, 1883, "", syn)),
        pkt::ipv4(6, pkt::tcp(40000, 1883, "MATCH payload bytes")),
        pkt::ipv4(17, pkt::udp(40000, 5683, "EXCL udp payload")),
        pkt::ipv6(0, pkt::cat(pkt::cat(hbh, frag_header(17, 0, true)), pkt::udp(40000, 5683, "v6 payload"))),
        pkt::ipv6(6, pkt::tcp(40000, 1883, "MZ", syn)),
        pkt::ipv4(1, icmp),
    };
}

TEST_F(Detection, malformed_header_corpus_is_survived)
{
    size_t fed = 0;
    for (const bytes &base : corpus_bases()) {
        for (size_t cut = 0; cut <= base.size(); cut++) {
            oxlo_flow_state *fl = new_flow();
            feed(bytes(base.begin(), base.begin() + long(cut)), fl);
            oxlo_flow_state_free(fl);
            fed++;
        }
        for (size_t at = 0; at < base.size() && at < 80; at++) {
            for (uint8_t v : {uint8_t(0x00), uint8_t(0xff), uint8_t(0x0f), uint8_t(0x45), uint8_t(0x60)}) {
                bytes bad = base;
                bad[at] = v;
                oxlo_flow_state *fl = new_flow();
                feed(bad, fl);
                feed(bad, fl);
                oxlo_flow_state_free(fl);
                fed++;
            }
        }
    }
    EXPECT_GT(fed, 1000u);
}

} // namespace

namespace {

// Payload sniffing on the first packets of an unclassified flow; the PE
// header offset comes from the payload and must stay inside it.
TEST_F(Detection, executables_and_scripts_in_payload_raise_risks)
{
    struct sniff_case {
        const char *name;
        std::string payload;
        int risk;
        bool raised;
    };
    std::string pe(128, 'x');
    pe[0] = 'M';
    pe[1] = 'Z';
    pe.replace(60, 4, std::string("\x40\0\0\0", 4)); // little-endian 64
    pe.replace(64, 4, std::string("PE\0\0", 4));
    std::string pe_beyond = pe;
    pe_beyond[60] = char(0xF0); // offset past the payload
    pe_beyond[61] = char(0xFF);
    std::string elf(32, '\0');
    elf.replace(0, 4, "\x7f" "ELF");
    elf[20] = 1;
    const sniff_case cases[] = {
        {"pe", pe, 4, true},
        {"pe_offset_beyond_payload", pe_beyond, 4, false},
        {"elf", elf, 4, true},
        {"shell_script", "#!/bin/sh\necho", 40, true},
        {"plain_text", "hello there", 4, false},
    };
    for (const sniff_case &c : cases) {
        oxlo_flow_state *fl = new_flow();
        feed(pkt::ipv4(6, pkt::tcp(40000, 40001, c.payload)), fl);
        EXPECT_EQ(((oxlo_flow_risk_bits(fl) >> c.risk) & 1) != 0, c.raised) << c.name;
        oxlo_flow_state_free(fl);
    }
}

} // namespace

namespace {

// ---- payload tracking ------------------------------------------------------

struct TrackPayload : detect_test::module_fixture {
    std::vector<std::array<const char *, 3>> knobs() override { return {{{nullptr, "flow.track_payload", "1"}}}; }
};

// The tracked text grows with the flow's payload up to the 1,024-byte limit,
// over small packets and a 60 KB one alike, non-printable bytes as '.'; a
// short text stays in its small block, a longer one moves out of it whole.
TEST_F(TrackPayload, keeps_the_first_1024_bytes_over_packets_of_any_size)
{
    std::string expected;
    const std::vector<std::string> payloads = {"ab\x01", "xyz", std::string(70, 'c'), std::string(300, 'd'),
                                               std::string(60000, 'e'), "late"};
    for (const std::string &p : payloads) {
        feed(pkt::ipv4(17, pkt::udp(40000, 9999, p)));
        for (char c : p)
            expected += (c >= 0x20 && c <= 0x7E) ? c : '.';
        expected.resize(std::min<size_t>(expected.size(), 1024));
        ASSERT_NE(f->track_payload, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(f->track_payload), f->track_payload_length), expected);
        EXPECT_EQ(f->track_payload[f->track_payload_length], '\0');
    }
}

} // namespace
