// TLS over the reassembled TCP stream: a real ClientHello (curl's, from
// tests/captures/tls/tls_cases.pcap) sent the ways a client trying to walk
// past a server-name rule sends it: in tiny segments, in many small records,
// with records cut across segments, out of order, with overlapping segments
// carrying other bytes. Each must give the server name and TLS by
// inspection, and nothing may be decided before the hello is whole.
#include "dissector_kit.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_tls_dns.h"

#include <functional>
#include <string>
#include <vector>

namespace {

// The first payload of a side in connection `nth` of the TLS capture.
std::string first_payload(unsigned nth, bool from_client)
{
    for (const auto &p : kit::capture_payloads("tls/tls_cases.pcap", 443, nth))
        if (p.first == from_client)
            return p.second;
    return {};
}

std::string u8(unsigned v) { return std::string(1, char(v & 0xFF)); }
std::string be16(unsigned v) { return u8(v >> 8) + u8(v); }
std::string record(const std::string &body) { return "\x16\x03\x01" + be16(unsigned(body.size())) + body; }

// One TCP segment: its offset in the client's stream and its bytes.
struct segment {
    size_t at;
    std::string bytes;
};

std::vector<segment> cut(const std::string &stream, size_t size)
{
    std::vector<segment> out;
    for (size_t i = 0; i < stream.size(); i += size)
        out.push_back({i, stream.substr(i, size)});
    return out;
}

// The handshake message cut into `count` records, each in a segment of its
// own (records_per_segment 1) or the record stream cut into segments of
// `segment_size` bytes.
std::string as_records(const std::string &message, size_t count)
{
    const size_t size = (message.size() + count - 1) / count;
    std::string stream;
    for (size_t i = 0; i < message.size(); i += size)
        stream += record(message.substr(i, size));
    return stream;
}
std::vector<segment> record_per_segment(const std::string &message, size_t count)
{
    const size_t size = (message.size() + count - 1) / count;
    std::vector<segment> out;
    size_t at = 0;
    for (size_t i = 0; i < message.size(); i += size) {
        out.push_back({at, record(message.substr(i, size))});
        at += out.back().bytes.size();
    }
    return out;
}

struct TlsStream : kit::engine {
    std::string hello_record; // one record: header and the whole ClientHello
    std::string hello;        // the ClientHello message alone
    void SetUp() override
    {
        kit::engine::SetUp();
        // The second connection of the capture: curl --tlsv1.3 --http1.1,
        // a 512-byte hello (padded) with the server name www.vesk.test.
        hello_record = first_payload(1, true);
        ASSERT_EQ(hello_record.size(), 517u);
        ASSERT_NE(hello_record.find("www.vesk.test"), std::string::npos);
        hello = hello_record.substr(5);
    }

    // Sends the segments after the handshake, at their offsets of the
    // client's stream (first byte at sequence 1000). `before_last` runs just
    // before the last segment.
    void send(kit::conversation &c, const std::vector<segment> &segments,
              const std::function<void()> &before_last = {})
    {
        c.handshake();
        for (size_t i = 0; i < segments.size(); i++) {
            if (i + 1 == segments.size() && before_last)
                before_last();
            pkt::tcp_opts o;
            o.seq = 1000 + uint32_t(segments[i].at);
            o.ack = c.server_seq;
            c.feed(c.wrap(pkt::tcp(c.client_port, c.port, segments[i].bytes, o), true));
        }
    }
};

TEST_F(TlsStream, client_hello_however_it_is_cut_gives_the_server_name)
{
    struct shape {
        const char *what;
        std::function<std::vector<segment>()> segments;
    };
    const std::vector<shape> shapes = {
        {"whole", [&] { return cut(hello_record, hello_record.size()); }},
        {"1-byte segments", [&] { return cut(hello_record, 1); }},
        {"4-byte segments", [&] { return cut(hello_record, 4); }},
        {"16-byte segments", [&] { return cut(hello_record, 16); }},
        {"16 records, one segment each", [&] { return record_per_segment(hello, 16); }},
        {"32 records, one segment each", [&] { return record_per_segment(hello, 32); }},
        {"64 records, one segment each", [&] { return record_per_segment(hello, 64); }},
        {"1-byte records, one segment each", [&] { return record_per_segment(hello, hello.size()); }},
        {"32 records in 13-byte segments (headers cut)", [&] { return cut(as_records(hello, 32), 13); }},
        {"64 records in three segments", [&] { return cut(as_records(hello, 64), (as_records(hello, 64).size() + 2) / 3); }},
        {"two segments in reverse order",
         [&] {
             auto s = cut(hello_record, 300);
             return std::vector<segment>{s[1], s[0]};
         }},
        {"16-byte segments, the last first",
         [&] {
             auto s = cut(hello_record, 16);
             s.insert(s.begin(), s.back());
             s.pop_back();
             return s;
         }},
        {"overlapping segment with other bytes",
         [&] {
             // The second segment starts 40 bytes early, where the server
             // name lies, and carries another name there; the receiver keeps
             // the bytes it has (the first copy).
             const size_t name = hello_record.find("www.vesk.test");
             std::string decoy = hello_record.substr(name - 27);
             decoy.replace(27, 13, "xxx.blah.test");
             return std::vector<segment>{{0, hello_record.substr(0, name + 13)}, {name - 27, decoy}};
         }},
        {"old sequence number with other bytes in between",
         [&] {
             return std::vector<segment>{{0, hello_record.substr(0, 200)},
                                         {100, std::string(100, 'Z')},
                                         {200, hello_record.substr(200)}};
         }},
    };
    for (const auto &s : shapes) {
        kit::conversation c(m, 443);
        bool decided_early = false;
        send(c, s.segments(), [&] {
            decided_early = c.app() != 0 && !oxlo_flow_detection_pending(m, c.f);
        });
        EXPECT_FALSE(decided_early) << s.what << ": decided before the hello was whole";
        EXPECT_STREQ(oxlo_flow_host_name(c.f), "www.vesk.test") << s.what;
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_TLS) << s.what;
        EXPECT_TRUE(c.by_inspection()) << s.what;
    }
}

// A hello longer than the dissector puts back together (64 KiB) cannot give
// its names: the flow says its stream was not all read, so that it is not
// judged as one without a name.
TEST_F(TlsStream, hello_too_long_to_put_together_is_a_flow_not_all_read)
{
    const std::string message = std::string("\x01\x01\x02\x00", 4) + std::string(16380, 'A');
    kit::conversation c(m, 443);
    send(c, {{0, record(message.substr(0, 8000))}, {8005, record(message.substr(8000))}});
    EXPECT_EQ(oxlo_flow_stream_incomplete(c.f), 1);
    const char *name = oxlo_flow_host_name(c.f);
    EXPECT_TRUE(!name || !*name) << name;
}

// After STARTTLS the mail dissector hands the flow over classified; the
// server name is still to come, and comes however the hello is cut.
TEST_F(TlsStream, starttls_hand_over_waits_for_the_server_name)
{
    kit::conversation c(m, 143);
    c.handshake();
    c.server("* OK Dovecot ready.\r\n");
    c.client("A001 STARTTLS\r\n");
    c.server("A001 OK Begin TLS negotiation now.\r\n");
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_IMAPS);
    EXPECT_TRUE(oxlo_flow_detection_pending(m, c.f)) << "the hello is still to come";
    for (const segment &s : cut(hello_record, 16))
        c.client(s.bytes);
    EXPECT_STREQ(oxlo_flow_host_name(c.f), "www.vesk.test");
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_IMAPS);
    EXPECT_TRUE(oxlo_flow_detection_pending(m, c.f)) << "a TLS 1.3 hello: the server may ask for another";
    c.server(first_payload(1, false));
    EXPECT_FALSE(oxlo_flow_detection_pending(m, c.f));
}

// A record that is no hello (a warning alert, which servers pass over before
// the hello) makes the flow TLS, but its server name is still to come: the
// flow stays pending until the hello, whose name then counts.
TEST_F(TlsStream, record_before_the_hello_leaves_the_name_pending)
{
    kit::conversation c(m, 443);
    c.handshake();
    c.client(std::string("\x15\x03\x01\x00\x02\x01\x5a", 7)); // warning: user canceled
    EXPECT_TRUE(c.app() == 0 || oxlo_flow_detection_pending(m, c.f));
    for (const segment &s : cut(hello_record, 16))
        c.client(s.bytes);
    EXPECT_STREQ(oxlo_flow_host_name(c.f), "www.vesk.test");
    c.server(first_payload(1, false));
    EXPECT_FALSE(oxlo_flow_detection_pending(m, c.f));
}

// A TLS 1.3 hello can be answered with a HelloRetryRequest, after which the
// client sends a second hello, and that one may name another server: the
// flow stays pending until the server's real hello or the second client
// hello, and every name either hello carried reaches the rules. A server
// hello that only resembles a retry request, a server that refuses, and a
// TLS 1.2 hello (no retry can come) end the wait at once.
TEST_F(TlsStream, hello_retry_request_keeps_the_flow_for_the_second_hello)
{
    // curl's TLS 1.3 hello and s_server's answer: its ServerHello record,
    // turned into a retry request by giving it the retry random.
    const std::string answer = first_payload(1, false);
    ASSERT_EQ(uint8_t(answer[5]), 2u) << "a ServerHello first";
    const std::string server_hello = answer.substr(0, 5 + ((uint8_t(answer[3]) << 8) | uint8_t(answer[4])));
    static const unsigned char retry_random[32] = {
        0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C, 0x02, 0x1E, 0x65, 0xB8, 0x91,
        0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB, 0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};
    std::string retry = server_hello, almost = server_hello;
    retry.replace(11, 32, reinterpret_cast<const char *>(retry_random), 32);
    almost.replace(11, 32, reinterpret_cast<const char *>(retry_random), 32);
    almost[42] = char(almost[42] ^ 1);
    const std::string ccs("\x14\x03\x03\x00\x01\x01", 6);
    std::string second = hello_record;
    second.replace(second.find("www.vesk.test"), 13, "xxx.blah.test");
    const std::string alert("\x15\x03\x03\x00\x02\x02\x28", 7);

    struct step {
        bool from_client;
        std::vector<std::string> segments;
        bool pending_after;
    };
    struct shape {
        const char *what;
        std::string first;
        std::vector<step> steps;
        const char *host, *hosts;
    };
    const std::vector<shape> shapes = {
        {"the server's hello", hello_record, {{false, {answer}, false}}, "www.vesk.test", "www.vesk.test"},
        {"retry, then a second hello naming another server",
         hello_record,
         {{false, {retry}, true}, {true, {ccs + second}, false}},
         "xxx.blah.test", "xxx.blah.test,www.vesk.test"},
        {"retry with the server's change cipher spec, second hello in 16-byte segments",
         hello_record,
         {{false, {retry + ccs}, true}, {true, {ccs}, true}, {true, [&] {
               std::vector<std::string> out;
               for (const segment &s : cut(second, 16))
                   out.push_back(s.bytes);
               return out;
           }(), false}},
         "xxx.blah.test", "xxx.blah.test,www.vesk.test"},
        {"retry, then the same name again", hello_record, {{false, {retry}, true}, {true, {hello_record}, false}},
         "www.vesk.test", "www.vesk.test"},
        {"near miss: a random one bit off the retry value", hello_record, {{false, {almost}, false}},
         "www.vesk.test", "www.vesk.test"},
        {"the server refuses the hello", hello_record, {{false, {alert}, false}}, "www.vesk.test", "www.vesk.test"},
        {"a TLS 1.2 hello", first_payload(0, true), {}, "www.vesk.test", "www.vesk.test"},
    };
    for (const auto &s : shapes) {
        kit::conversation c(m, 443);
        c.handshake();
        c.client(s.first);
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_TLS) << s.what;
        EXPECT_EQ(oxlo_flow_detection_pending(m, c.f) != 0, !s.steps.empty()) << s.what << ": after the first hello";
        for (size_t i = 0; i < s.steps.size(); i++) {
            for (const std::string &bytes : s.steps[i].segments) {
                // A pure ACK between: it neither ends the wait nor spends it.
                c.segment(!s.steps[i].from_client, "", 0x10);
                s.steps[i].from_client ? c.client(bytes) : c.server(bytes);
            }
            EXPECT_EQ(oxlo_flow_detection_pending(m, c.f) != 0, s.steps[i].pending_after) << s.what << ", step " << i;
        }
        EXPECT_STREQ(oxlo_flow_host_name(c.f), s.host) << s.what;
        std::string names;
        for (unsigned i = 0; const char *h = oxlo_flow_host_candidates(c.f, i); i++)
            names += std::string(i ? "," : "") + h;
        EXPECT_EQ(names, s.hosts) << s.what;
    }

    // Packets while the server's answer is awaited do not use up the wait:
    // a burst of them (past the reading's budget and the engine's packet
    // limit) before the retry request still leaves the second hello read.
    kit::conversation c(m, 443);
    c.handshake();
    c.client(hello_record);
    for (int i = 0; i < 300; i++)
        c.segment(true, "", 0x10);
    EXPECT_TRUE(oxlo_flow_detection_pending(m, c.f));
    c.server(retry);
    c.client(ccs + second);
    EXPECT_STREQ(oxlo_flow_host_name(c.f), "xxx.blah.test");
    EXPECT_FALSE(oxlo_flow_detection_pending(m, c.f));

    // A server that never answers: past the bound the flow is decided on
    // the hello it has.
    kit::conversation silent(m, 443);
    silent.handshake();
    silent.client(hello_record);
    silent.now += 11000;
    silent.segment(true, "", 0x10);
    EXPECT_FALSE(oxlo_flow_detection_pending(m, silent.f));
}

// After the hello the follow-up reading takes the server's flight: cut into
// 16-byte segments (about 45 of them) it still fits the reading's budget of
// packets, as only the segments that complete a record are counted.
TEST_F(TlsStream, server_flight_in_tiny_segments_is_read_after_the_hello)
{
    // The first connection of the capture: openssl s_client -tls1_2 against
    // s_server with a self-signed certificate; the server answers the hello
    // with its hello, certificate, key exchange and hello done.
    const std::string from_client = first_payload(0, true), from_server = first_payload(0, false);
    ASSERT_GT(from_server.size(), 600u);
    kit::conversation c(m, 443);
    c.handshake();
    for (const segment &s : cut(from_client, 16))
        c.client(s.bytes);
    EXPECT_STREQ(oxlo_flow_host_name(c.f), "www.vesk.test");
    for (const segment &s : cut(from_server, 16))
        c.server(s.bytes);
    EXPECT_STREQ(oxlo_flow_tls_alpn_negotiated(c.f), "h2");
    EXPECT_STREQ(oxlo_flow_tls_cert_subject(c.f), "C=XX, O=Vesk Test, CN=www.vesk.test");
}

// A hello that never completes names no server and is not taken for TLS by
// inspection; nor is a record claiming more than a record can hold.
TEST_F(TlsStream, near_misses)
{
    {
        kit::conversation c(m, 443);
        auto s = cut(hello_record.substr(0, hello_record.size() - 10), 16);
        send(c, s);
        EXPECT_STREQ(oxlo_flow_host_name(c.f), "") << "truncated hello";
        EXPECT_FALSE(c.by_inspection()) << "truncated hello";
    }
    {
        kit::conversation c(m, 443);
        std::string big = hello_record;
        big.replace(3, 2, be16(0xFFF0)); // above the largest record TLS allows
        big += std::string(2000, 'p');
        send(c, cut(big, 1400));
        EXPECT_STREQ(oxlo_flow_host_name(c.f), "") << "oversized record";
        EXPECT_FALSE(c.by_inspection()) << "oversized record";
    }
}

} // namespace

// The session id of a hello is 32 bytes the client chooses. Sent in a
// segment of its own, between the start of the hello and the rest, they may
// open another protocol's conversation; read alone, a looser matcher would
// take the flow for that protocol before the server name is read. Cut
// anywhere else, the hello gives its name too.
TEST_F(TlsStream, segment_inside_the_hello_is_not_read_as_another_opening)
{
    const size_t session_id = 5 + 4 + 2 + 32 + 1; /* record, handshake header, version, random, its length */
    ASSERT_EQ(uint8_t(hello_record[session_id - 1]), 32);
    const struct {
        const char *what;
        std::string opening;
    } openings[] = {
        {"AMQP protocol header", std::string("AMQP\0\0\x09\x01", 8)},
        {"rsync greeting", "@RSYNCD: 31.0\n"},
        {"BitTorrent handshake", "\x13" "BitTorrent protocol"},
        {"SMPP bind", std::string("\0\0\0\x20\0\0\0\x02\0\0\0\0\0\0\0\x01", 16)},
    };
    for (const auto &o : openings)
        for (uint16_t port : {443, 8443}) {
            std::string h = hello_record;
            h.replace(session_id, o.opening.size(), o.opening);
            const size_t end = session_id + o.opening.size();
            kit::conversation c(m, port);
            send(c, {{0, h.substr(0, session_id)}, {session_id, h.substr(session_id, end - session_id)},
                     {end, h.substr(end)}});
            EXPECT_EQ(c.app(), OXLO_PROTOCOL_TLS) << o.what << ", port " << port;
            EXPECT_STREQ(oxlo_flow_host_name(c.f), "www.vesk.test") << o.what << ", port " << port;
        }
    for (size_t at = 1; at < hello_record.size(); at++) {
        kit::conversation c(m, 8443);
        send(c, {{0, hello_record.substr(0, at)}, {at, hello_record.substr(at)}});
        EXPECT_STREQ(oxlo_flow_host_name(c.f), "www.vesk.test") << "cut at " << at;
    }
}
