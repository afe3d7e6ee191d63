// The TCP stream view: segments put back in order before dissection, the
// overlap policy of a Linux receiver, the receiver's window, sequence wrap,
// every bound hit and counted, and the kit's need / consume with a small
// length-framed dissector.
#include "detect_fixture.h"
#include "oxlo_dissector.h"
#include "oxlo_stream.h"

#include <string>
#include <vector>

using namespace detect_test;

namespace {

constexpr uint16_t kClientPort = 40000, kServerPort = 40001;
constexpr uint32_t kClient = 0x0a000002, kServer = 0x0a000001;

// What the recording dissector was given: the bytes each call added in
// order, per side, and how many calls.
struct seen_log {
    std::string client, server;
    std::vector<uint32_t> offsets; // stream_offset of each client call
    int calls = 0;
};
seen_log &seen()
{
    static seen_log s;
    return s;
}

void recorder(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    std::string bytes(reinterpret_cast<const char *>(v.segment.data), v.segment.length);
    (v.from_client ? seen().client : seen().server) += bytes;
    if (v.from_client)
        seen().offsets.push_back(v.stream_offset);
    seen().calls++;
}

struct seg {
    bool from_client;
    int32_t at;          // offset from the side's first byte after the SYN
    std::string payload;
    uint8_t flags = 0x18;
};

struct Stream : module_fixture {
    uint32_t client_isn = 1000, server_isn = 5000;

    std::vector<std::array<const char *, 3>> knobs() override
    {
        return {{{nullptr, "packets_limit_per_flow", "0"}}};
    }
    void register_dissectors() override
    {
        oxlo_dissector_add("Recorder", m, recorder, 0x0b2, 1, int(P_MQTT));
    }
    void SetUp() override
    {
        seen() = seen_log{};
        module_fixture::SetUp();
    }
    pkt::bytes packet(bool from_client, uint32_t seq, const std::string &payload, uint8_t flags,
                      uint32_t ack = 0, uint16_t window = 64240, pkt::bytes options = {},
                      uint16_t urgent = 0)
    {
        pkt::tcp_opts o;
        o.flags = flags;
        o.urgent = urgent;
        o.seq = seq;
        o.ack = ack ? ack : (from_client ? server_isn + 1 : client_isn + 1);
        o.window = window;
        o.options = std::move(options);
        pkt::ip4_opts ip;
        ip.src = from_client ? kClient : kServer;
        ip.dst = from_client ? kServer : kClient;
        return pkt::ipv4(6, pkt::tcp(from_client ? kClientPort : kServerPort,
                                     from_client ? kServerPort : kClientPort, payload, o),
                         ip);
    }
    // SYN, SYN-ACK (with the server's window and options), ACK.
    void handshake(uint16_t server_window = 64240, pkt::bytes client_options = {},
                   pkt::bytes server_options = {})
    {
        feed(packet(true, client_isn, "", 0x02, 1, 64240, client_options));
        feed(packet(false, server_isn, "", 0x12, client_isn + 1, server_window, server_options));
        feed(packet(true, client_isn + 1, "", 0x10));
    }
    void send(const seg &s)
    {
        const uint32_t isn = s.from_client ? client_isn : server_isn;
        feed(packet(s.from_client, isn + 1 + uint32_t(s.at), s.payload, s.flags));
    }
    // A fresh module and flow for the next case of a table.
    void reset()
    {
        oxlo_flow_state_free(f);
        oxlo_module_free(m);
        f = nullptr;
        m = nullptr;
        SetUp();
    }
    oxlo_stream_stats stats()
    {
        oxlo_stream_stats st{};
        EXPECT_EQ(oxlo_stream_statistics(m, &st), 0);
        return st;
    }
};

struct stream_case {
    const char *name;
    uint32_t client_isn;
    std::vector<seg> segments;
    std::string client;  // what the client side delivered, in order
    int calls;           // dissector calls (held and stale segments make none)
    uint64_t held, stale, differing;
};

TEST_F(Stream, segments_are_delivered_in_sequence_order_with_the_receivers_overlap_policy)
{
    const stream_case cases[] = {
        {"in order", 1000, {{true, 0, "GET "}, {true, 4, "/ HT"}, {true, 8, "TP"}}, "GET / HTTP", 3, 0, 0, 0},
        {"a segment ahead waits for the gap", 1000, {{true, 4, "BBBB"}, {true, 0, "AAAA"}}, "AAAABBBB", 1, 1, 0, 0},
        {"a fill delivers every held segment after it",
         1000,
         {{true, 9, "DDD"}, {true, 3, "BBB"}, {true, 6, "CCC"}, {true, 0, "AAA"}},
         "AAABBBCCCDDD",
         1,
         3,
         0,
         0},
        {"reversed tiny segments",
         1000,
         {{true, 3, "d"}, {true, 2, "c"}, {true, 1, "b"}, {true, 0, "a"}},
         "abcd",
         1,
         3,
         0,
         0},
        {"a duplicate is a retransmission", 1000, {{true, 0, "ABC"}, {true, 0, "ABC"}, {true, 3, "D"}}, "ABCD", 2, 0, 1, 0},
        {"a decoy before the first byte is never dissected",
         1000,
         {{true, -10, "EVIL"}, {true, 0, "GOOD"}},
         "GOOD",
         1,
         0,
         1,
         0},
        {"a partial retransmission brings only its new bytes", 1000, {{true, 0, "ABCD"}, {true, 2, "CDEF"}}, "ABCDEF", 2, 0, 0, 0},
        {"delivered bytes keep their first copy", 1000, {{true, 0, "ABCD"}, {true, 2, "XXEF"}}, "ABCDEF", 2, 0, 0, 0},
        {"held: the earlier start wins (it came second)",
         1000,
         {{true, 4, "CCCC"}, {true, 2, "bbbbb"}, {true, 0, "AA"}},
         "AAbbbbbC",
         1,
         2,
         0,
         1},
        {"held: the earlier start wins (it came first)",
         1000,
         {{true, 2, "bbbbb"}, {true, 4, "CCCC"}, {true, 0, "AA"}},
         "AAbbbbbC",
         1,
         2,
         0,
         1},
        {"held: an earlier start covering a held one replaces it",
         1000,
         {{true, 4, "CC"}, {true, 2, "bbbbbb"}, {true, 0, "AA"}},
         "AAbbbbbb",
         1,
         2,
         0,
         1},
        {"held: equal start, a longer newcomer replaces",
         1000,
         {{true, 2, "BB"}, {true, 2, "CCCC"}, {true, 0, "AA"}},
         "AACCCC",
         1,
         2,
         0,
         1},
        {"held: equal start, a shorter newcomer is dropped",
         1000,
         {{true, 2, "CCCC"}, {true, 2, "BB"}, {true, 0, "AA"}},
         "AACCCC",
         1,
         1,
         0,
         1},
        {"held: equal start and length, the held copy stays",
         1000,
         {{true, 2, "CC"}, {true, 2, "BB"}, {true, 0, "AA"}},
         "AACC",
         1,
         1,
         0,
         1},
        {"the fill wins over the held bytes it overlaps",
         1000,
         {{true, 2, "xxYY"}, {true, 0, "AAAA"}},
         "AAAAYY",
         1,
         1,
         0,
         1},
        {"sequence numbers wrap at 2^32",
         0xFFFFFFFCu,
         {{true, 4, "EFGH"}, {true, 0, "ABCD"}, {true, 8, "IJ"}},
         "ABCDEFGHIJ",
         2,
         1,
         0,
         0},
    };
    for (const stream_case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        client_isn = c.client_isn;
        handshake();
        for (const seg &s : c.segments)
            send(s);
        EXPECT_EQ(seen().client, c.client);
        EXPECT_EQ(seen().calls, c.calls);
        const oxlo_stream_stats st = stats();
        EXPECT_EQ(st.segments_held, c.held);
        EXPECT_EQ(st.segments_stale, c.stale);
        EXPECT_EQ(st.overlaps_differing, c.differing);
        EXPECT_EQ(oxlo_flow_risk_bits(f) >> 50 & 1, c.differing ? 1u : 0u);
        // Every held byte was delivered: nothing stays held.
        EXPECT_EQ(st.bytes_now, 0u);
    }
}

TEST_F(Stream, in_order_flow_allocates_nothing_and_offsets_count_from_the_syn)
{
    handshake();
    send({true, 0, "abc"});
    send({false, 0, "server"});
    send({true, 3, "defg"});
    EXPECT_EQ(oxlo_flow_stream(f), nullptr);
    EXPECT_EQ(seen().server, "server");
    EXPECT_EQ(seen().offsets, (std::vector<uint32_t>{0, 3}));
}

TEST_F(Stream, segments_beyond_the_receivers_window_are_ignored)
{
    // Window 100, not scaled (the SYN-ACK has no window-scale option).
    handshake(100, {1, 3, 3, 4});
    send({true, 150, "far"});
    EXPECT_EQ(stats().segments_out_of_window, 1u);
    EXPECT_EQ(stats().segments_held, 0u);
    send({true, 50, "near"});
    EXPECT_EQ(stats().segments_held, 1u);

    // Both SYNs scale by 2^4: the server's next window of 100 means 1,600
    // (the SYN-ACK's own window is never scaled).
    oxlo_flow_state_free(f);
    f = new_flow();
    handshake(100, {1, 3, 3, 4}, {1, 3, 3, 4});
    send({true, 150, "far"});
    EXPECT_EQ(stats().segments_out_of_window, 2u);
    feed(packet(false, server_isn + 1, "", 0x10, client_isn + 1, 100));
    send({true, 150, "far"});
    EXPECT_EQ(stats().segments_out_of_window, 2u);
    EXPECT_EQ(stats().segments_held, 2u);
    send({true, 1700, "beyond"});
    EXPECT_EQ(stats().segments_out_of_window, 3u);
}

TEST_F(Stream, a_flow_seen_without_its_handshake_starts_at_its_first_segment)
{
    send({true, 0, "first"});
    send({true, 10, "later"}); // a gap of five bytes: held
    send({true, 5, "gap!!"});
    EXPECT_EQ(seen().client, "firstgap!!later");
    EXPECT_EQ(seen().calls, 2);
}

// Each bound, once passed, is counted; the direction then drops what it
// held and delivers segments as they come (the gap is skipped).
TEST_F(Stream, every_bound_is_counted_and_the_direction_degrades)
{
    struct bound_case {
        const char *name;
        std::function<void(Stream &)> run;
        uint64_t oxlo_stream_stats::*counter;
    };
    const bound_case cases[] = {
        {"held segments",
         [](Stream &t) {
             for (int i = 0; i <= int(OXLO_STREAM_DIR_SEGMENTS); i++)
                 t.send({true, 2 + 2 * i, "x"});
         },
         &oxlo_stream_stats::segment_cap_hits},
        {"held bytes",
         [](Stream &t) {
             for (int i = 0; i < 33; i++)
                 t.send({true, 1000 + 1000 * i, std::string(1000, 'y')});
         },
         &oxlo_stream_stats::byte_cap_hits},
        {"gap timeout",
         [](Stream &t) {
             t.send({true, 4, "late"});
             t.now += OXLO_STREAM_GAP_TIMEOUT_MS + 1;
             t.send({false, 0, "tick"});
         },
         &oxlo_stream_stats::gap_timeouts},
    };
    for (const bound_case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        handshake();
        c.run(*this);
        const oxlo_stream_stats st = stats();
        EXPECT_EQ(st.*c.counter, 1u);
        EXPECT_TRUE(f->tcp->stream_flags[1] & OXLO_STREAM_DEGRADED); // the client's direction bit is 1
        EXPECT_EQ(st.bytes_now, 0u);
        // Degraded: a segment ahead is delivered at once.
        const size_t before = seen().client.size();
        send({true, 60000, "jump"});
        EXPECT_EQ(seen().client.substr(before), "jump");
    }
}

TEST_F(Stream, the_module_cap_bounds_the_bytes_of_all_flows)
{
    std::vector<oxlo_flow_state *> flows;
    const std::string big(32000, 'z');
    uint64_t hits = 0;
    for (int i = 0; i < 2100 && hits == 0; i++) {
        oxlo_flow_state *fl = new_flow();
        flows.push_back(fl);
        pkt::tcp_opts o;
        o.seq = 1;
        feed(pkt::ipv4(6, pkt::tcp(uint16_t(20000 + i), kServerPort, "s", o)), fl);
        o.seq = 10;
        feed(pkt::ipv4(6, pkt::tcp(uint16_t(20000 + i), kServerPort, big, o)), fl);
        hits = stats().module_cap_hits;
    }
    EXPECT_EQ(hits, 1u);
    EXPECT_LE(stats().bytes_now, uint64_t(OXLO_STREAM_MODULE_BYTES));
    EXPECT_GT(stats().bytes_now, uint64_t(OXLO_STREAM_MODULE_BYTES) - 32000u);
    for (oxlo_flow_state *fl : flows)
        oxlo_flow_state_free(fl);
    EXPECT_EQ(stats().bytes_now, 0u);
}

// ---- the kit: a length-framed dissector ------------------------------------
// Its PDU is a 2-byte length and that many bytes; "PING" classifies, "SKIP"
// is consumed and the next PDU read from the rest.
struct framed_log {
    std::vector<std::string> views;      // each call's whole view
    std::vector<uint16_t> payload_packets;
    std::vector<uint32_t> offsets;
    int need_result = 0;
};
framed_log &framed()
{
    static framed_log l;
    return l;
}

void framed_dissector(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    if (!v.from_client)
        return;
    framed().views.emplace_back(reinterpret_cast<const char *>(v.payload.data), v.payload.length);
    framed().payload_packets.push_back(v.payload_packets);
    framed().offsets.push_back(v.stream_offset);
    size_t at = 0;
    for (;;) {
        uint16_t len = 0;
        if (!oxlo_rd_u16_at(&v.payload, at, &len) || !oxlo_rd_has(&v.payload, at + 2, len)) {
            oxlo_dissector_consume(m, f, at);
            framed().need_result = oxlo_dissector_need(m, f, len ? 2u + len : 2u);
            return;
        }
        if (oxlo_rd_match(&v.payload, at + 2, "PING", 0) && len == 4) {
            oxlo_dissector_classify(m, f, P_MQTT, 0);
            return;
        }
        if (!oxlo_rd_match(&v.payload, at + 2, "SKIP", 0)) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        at += 2u + len;
    }
}

struct Framed : Stream {
    std::vector<std::array<const char *, 3>> knobs() override
    {
        // A budget that tiny segments would spend long before the PDU ends.
        return {{{nullptr, "packets_limit_per_flow", "6"}}};
    }
    void register_dissectors() override
    {
        framed() = framed_log{};
        oxlo_dissector_add("Framed", m, framed_dissector, 0x0b2, 1, int(P_MQTT));
    }
};

TEST_F(Framed, a_pdu_over_tiny_segments_is_read_whole_without_spending_the_budget)
{
    handshake();
    const std::string pdu = std::string("\x00\x04", 2) + "PING";
    for (size_t i = 0; i < pdu.size(); i++) {
        EXPECT_EQ(f->app, 0);
        if (i) {
            EXPECT_EQ(oxlo_flow_detection_pending(m, f), 1) << i;
        }
        send({true, int32_t(i), pdu.substr(i, 1)});
        // The server's ACK of every byte: packets that carry nothing.
        feed(packet(false, server_isn + 1, "", 0x10, client_isn + 2 + uint32_t(i)));
    }
    // Called with 1 byte (needs 2), with 2 (needs 6), then once whole;
    // the three segments in between went to its discount.
    EXPECT_EQ(f->app, P_MQTT);
    ASSERT_EQ(framed().views.size(), 3u);
    EXPECT_EQ(framed().views[2], pdu);
    EXPECT_EQ(framed().payload_packets, (std::vector<uint16_t>{1, 2, 3}));
    EXPECT_EQ(f->payload_packets, 6u);
    // No give-up mid-PDU, and the packets that only brought more of it
    // (segments and ACKs alike) count as the PDU does: the handshake and
    // the first byte are all the limit of 6 saw.
    EXPECT_EQ(f->packets_processed, 4u);
    EXPECT_EQ(oxlo_flow_detection_pending(m, f), 0);
    EXPECT_EQ(oxlo_flow_stream(f), nullptr); // detection ended: the kept bytes went
}

TEST_F(Framed, consume_keeps_the_rest_for_the_next_view)
{
    handshake();
    // A whole PDU to skip and the first byte of the next one.
    send({true, 0, std::string("\x00\x04", 2) + "SKIP" + std::string("\x00", 1)});
    send({true, 7, std::string("\x04", 1) + "PI"});
    send({true, 10, "NG"});
    EXPECT_EQ(f->app, P_MQTT);
    ASSERT_EQ(framed().views.size(), 3u);
    EXPECT_EQ(framed().views[1], std::string("\x00\x04PI", 4));
    EXPECT_EQ(framed().offsets, (std::vector<uint32_t>{0, 6, 6}));
}

TEST_F(Framed, a_waiting_dissector_keeps_the_flow_alive_and_the_bounds_end_the_wait)
{
    handshake();
    send({true, 0, std::string("\x00\x10", 2)}); // 16 bytes to come
    EXPECT_EQ(oxlo_flow_detection_pending(m, f), 1);
    // Duplicates only: they bring nothing, and the idle bound ends the wait.
    for (uint32_t i = 0; i <= OXLO_STREAM_IDLE_PACKETS; i++)
        send({true, 0, std::string("\x00\x10", 2)});
    EXPECT_EQ(stats().idle_packet_cap_hits, 1u);
    EXPECT_EQ(oxlo_flow_detection_pending(m, f), 0);
    // No kept view any more: from here packets count again, and the limit
    // of 6 gives the flow up (the duplicates of the wait did not count).
    EXPECT_LT(f->packets_processed, 6u);
    for (int i = 0; i < 6 && f->state != OXLO_STATE_FINISHED; i++)
        send({true, 2 + 16 * i, "0123456789abcdef"});
    EXPECT_EQ(f->state, OXLO_STATE_FINISHED);
}

TEST_F(Framed, need_is_refused_beyond_the_bound_and_outside_tcp)
{
    handshake();
    // A length of 65,535 bytes: more than a direction may keep.
    send({true, 0, std::string("\xff\xff", 2)});
    EXPECT_EQ(framed().need_result, -1);
    EXPECT_EQ(oxlo_flow_detection_pending(m, f), 0);
    EXPECT_EQ(oxlo_dissector_need(m, f, 10), -1); // outside a dissector's call
    EXPECT_EQ(oxlo_dissector_need(nullptr, f, 10), -1);
}

TEST_F(Stream, the_pending_flag_holds_until_a_bound_or_the_end)
{
    handshake();
    oxlo_dissector_pending(m, f, 1);
    EXPECT_EQ(oxlo_flow_detection_pending(m, f), 1);
    oxlo_dissector_pending(m, f, 0);
    EXPECT_EQ(oxlo_flow_detection_pending(m, f), 0);
    oxlo_dissector_pending(m, f, 1);
    for (uint32_t i = 0; i <= OXLO_STREAM_IDLE_PACKETS; i++)
        feed(packet(true, client_isn - 50, "old", 0x18));
    EXPECT_EQ(oxlo_flow_detection_pending(m, f), 0);
}

// Bytes held ahead of a gap were never dissected: the flow stays pending
// until the gap fills or the direction degrades.
TEST_F(Stream, held_bytes_keep_the_flow_pending_until_the_gap_fills_or_a_bound)
{
    handshake();
    send({true, 4, "late"});
    EXPECT_EQ(oxlo_flow_detection_pending(m, f), 1);
    send({true, 0, "head"});
    EXPECT_EQ(seen().client, "headlate");
    EXPECT_EQ(oxlo_flow_detection_pending(m, f), 0);

    reset();
    handshake();
    for (uint32_t i = 0; i <= OXLO_STREAM_DIR_SEGMENTS; i++)
        send({true, int32_t(2 + 2 * i), "x"});
    EXPECT_TRUE(f->tcp->stream_flags[1] & OXLO_STREAM_DEGRADED);
    EXPECT_EQ(oxlo_flow_detection_pending(m, f), 0);
}

// With the engine's packet budget in force: 15 segments held ahead of a gap
// and the server's duplicate ACK for each take the flow past 32 packets
// before the first segment comes; the flow still waits for it.
struct Budget : Stream {
    std::vector<std::array<const char *, 3>> knobs() override { return {}; }
};

TEST_F(Budget, held_segments_and_their_duplicate_acks_do_not_spend_the_packet_budget)
{
    handshake();
    for (int32_t i = 1; i <= 15; i++) {
        send({true, 2 * i, "xx"});
        feed(packet(false, server_isn + 1, "", 0x10, client_isn + 1));
    }
    EXPECT_EQ(oxlo_flow_detection_pending(m, f), 1);
    EXPECT_EQ(seen().client, "");
    send({true, 0, "GO"});
    EXPECT_EQ(seen().client, "GO" + std::string(30, 'x'));
}

// ---- the follow-up reader keeps bytes too ----------------------------------
std::vector<std::string> &followed()
{
    static std::vector<std::string> v;
    return v;
}

// Reads length-framed PDUs of the server after classification; done once it
// has read one whole.
int follow_server(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    if (v.from_client || v.payload.length == 0)
        return 1;
    uint16_t len = 0;
    if (!oxlo_rd_u16_at(&v.payload, 0, &len) || !oxlo_rd_has(&v.payload, 2, len))
        return oxlo_dissector_need(m, f, 2u + len) == 0 ? 1 : 0;
    followed().emplace_back(reinterpret_cast<const char *>(v.payload.data) + 2, len);
    return 0;
}

void classify_and_follow(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view v = oxlo_dissector_packet(m, f);
    if (!v.from_client)
        return;
    oxlo_dissector_classify(m, f, P_MQTT, 0);
    oxlo_dissector_extra(f, follow_server, 4);
}

struct Follow : Stream {
    void register_dissectors() override
    {
        followed().clear();
        oxlo_dissector_add("Follow", m, classify_and_follow, 0x0b2, 1, int(P_MQTT));
    }
};

TEST_F(Follow, the_follow_up_reader_waits_for_its_pdu_without_spending_its_budget)
{
    handshake();
    send({true, 0, "hello"});
    ASSERT_EQ(f->app, P_MQTT);
    const std::string pdu = std::string("\x00\x08", 2) + "certname";
    for (size_t i = 0; i < pdu.size(); i++) {
        EXPECT_EQ(oxlo_flow_detection_pending(m, f), i ? 1 : 0) << i;
        send({false, int32_t(i), pdu.substr(i, 1)});
    }
    // Called for the first byte, the second, then the whole PDU; the calls
    // that only asked for the rest are not charged: one of its four packets.
    EXPECT_EQ(f->extra_packets, 1u);
    ASSERT_EQ(followed().size(), 1u);
    EXPECT_EQ(followed()[0], "certname");
    EXPECT_EQ(f->state, OXLO_STATE_FINISHED);
    EXPECT_EQ(oxlo_flow_detection_pending(m, f), 0);
}

} // namespace

// The handshake as the server reads it: a SYN's bytes are not the stream's
// (a receiver without a Fast Open cookie discards them), and the ISN is the
// one the server's SYN-ACK acknowledged, whatever other SYN came after; and
// urgent data, which the server's stack takes out of the stream.
TEST_F(Stream, the_stream_starts_at_the_isn_the_server_acknowledged)
{
    struct raw {
        bool from_client;
        uint32_t seq, ack;
        uint8_t flags;
        std::string payload;
        uint16_t urgent = 0;
    };
    struct handshake_case {
        const char *name;
        std::vector<raw> packets;
        std::string client;
        bool tcp_issues, degraded;
    };
    const handshake_case cases[] = {
        {"SYN data the server did not acknowledge is not read; its retransmission is",
         {{true, 1000, 0, 0x02, "DECOY"}, {false, 5000, 1001, 0x12, ""}, {true, 1001, 5001, 0x18, "REAL"}},
         "REAL",
         false,
         false},
        {"SYN data the server acknowledged was taken unread: the direction degrades",
         {{true, 1000, 0, 0x02, "HELLO"}, {false, 5000, 1006, 0x12, ""}, {true, 1006, 5001, 0x18, "MORE"}},
         "MORE",
         true,
         true},
        {"a second SYN after the SYN-ACK does not move the stream",
         {{true, 1000, 0, 0x02, ""},
          {false, 5000, 1001, 0x12, ""},
          {true, 90000, 0, 0x02, ""},
          {true, 90001, 5001, 0x18, "DECOY"},
          {true, 1001, 5001, 0x18, "REAL"}},
         "REAL",
         true,
         false},
        {"a second SYN before the SYN-ACK: the acknowledged ISN wins",
         {{true, 1000, 0, 0x02, ""},
          {true, 90000, 0, 0x02, ""},
          {false, 5000, 1001, 0x12, ""},
          {true, 90001, 5001, 0x18, "DECOY"},
          {true, 1001, 5001, 0x18, "REAL"}},
         "REAL",
         true,
         false},
        // A receiver without SO_OOBINLINE takes the urgent byte out of the
        // stream: nothing of the direction is read from there on, not the
        // urgent segment itself, nor what follows.
        {"urgent data: the direction is read no further",
         {{true, 1000, 0, 0x02, ""},
          {false, 5000, 1001, 0x12, ""},
          {true, 1001, 5001, 0x18, "GET "},
          {true, 1005, 5001, 0x38, "blockXed", 6},
          {true, 1013, 5001, 0x18, "REST"}},
         "GET ",
         true,
         true},
        {"an urgent pointer without bytes marks a byte still to come",
         {{true, 1000, 0, 0x02, ""},
          {false, 5000, 1001, 0x12, ""},
          {true, 1001, 5001, 0x30, "", 6},
          {true, 1001, 5001, 0x18, "blockXed"}},
         "",
         true,
         true},
        {"a retransmitted SYN with the same ISN changes nothing",
         {{true, 1000, 0, 0x02, ""},
          {false, 5000, 1001, 0x12, ""},
          {true, 1000, 0, 0x02, ""},
          {true, 1001, 5001, 0x18, "REAL"}},
         "REAL",
         false,
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        for (const auto &p : c.packets)
            feed(packet(p.from_client, p.seq, p.payload, p.flags, p.ack ? p.ack : 1, 64240, {}, p.urgent));
        EXPECT_EQ(seen().client, c.client);
        EXPECT_EQ(oxlo_flow_risk_bits(f) >> 50 & 1, c.tcp_issues ? 1u : 0u);
        EXPECT_EQ((f->tcp->stream_flags[1] & OXLO_STREAM_DEGRADED) != 0, c.degraded); // client: bit 1
    }
}
