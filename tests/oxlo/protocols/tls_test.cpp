// TLS and DTLS dissector, fingerprints and certificates: crafted hellos,
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "protocols/tls/tls_private.h"
// records and certificates through the per-packet walk.
#include "../detect_fixture.h"
#include "oxlo_names.h"

#include <string>
#include <vector>


namespace {

/* The TLS dissector's state of a flow (an empty one when it has none). */
const oxlo_tls_flow *tls_state_of(const oxlo_flow_state *f)
{
    static const oxlo_tls_flow empty = {};
    const void *t = oxlo_flow_slot_state(f, OXLO_DISSECTOR_tls);
    return t ? static_cast<const oxlo_tls_flow *>(t) : &empty;
}

using namespace detect_test;
using pkt::bytes;

std::string u8(unsigned v) { return std::string(1, char(v & 0xFF)); }
std::string be16(unsigned v) { return u8(v >> 8) + u8(v); }
std::string be24(unsigned v) { return u8(v >> 16) + be16(v & 0xFFFF); }
std::string ext(unsigned id, const std::string &data) { return be16(id) + be16(unsigned(data.size())) + data; }
std::string sni(const std::string &name) { return ext(0, be16(unsigned(name.size() + 3)) + u8(0) + be16(unsigned(name.size())) + name); }
std::string alpn(const std::vector<std::string> &names)
{
    std::string list;
    for (auto &n : names)
        list += u8(unsigned(n.size())) + n;
    return ext(16, be16(unsigned(list.size())) + list);
}
std::string versions(const std::vector<unsigned> &v)
{
    std::string list;
    for (unsigned x : v)
        list += be16(x);
    return ext(43, u8(unsigned(list.size())) + list);
}

struct hello_opts {
    unsigned legacy = 0x0303;
    std::vector<unsigned> ciphers = {0x1301, 0x1302, 0xc02f};
    std::string extensions;
    bool dtls = false;
};

// The ClientHello message (handshake header included).
std::string client_hello(const hello_opts &o)
{
    std::string body = be16(o.legacy) + std::string(32, 'r') + u8(0);
    if (o.dtls)
        body += u8(0); // empty cookie
    std::string c;
    for (unsigned x : o.ciphers)
        c += be16(x);
    body += be16(unsigned(c.size())) + c + u8(1) + u8(0);
    body += be16(unsigned(o.extensions.size())) + o.extensions;
    if (o.dtls) // message sequence, fragment offset and length
        return u8(1) + be24(unsigned(body.size())) + be16(0) + be24(0) + be24(unsigned(body.size())) + body;
    return u8(1) + be24(unsigned(body.size())) + body;
}

std::string record(unsigned type, const std::string &body) { return u8(type) + "\x03\x03" + be16(unsigned(body.size())) + body; }

struct tls_fixture : module_fixture {
    uint32_t seq[2] = {1000, 5000};
    void register_dissectors() override { ASSERT_EQ(oxlo_dissector_register_builtin(m, "tls"), 0); }
    bytes client(const std::string &payload, uint32_t at = 0)
    {
        pkt::tcp_opts o;
        o.seq = at ? at : seq[0];
        if (!at)
            seq[0] += uint32_t(payload.size());
        return pkt::ipv4(6, pkt::tcp(40000, 443, payload, o));
    }
    bytes server(const std::string &payload)
    {
        pkt::tcp_opts o;
        o.seq = seq[1];
        seq[1] += uint32_t(payload.size());
        pkt::ip4_opts ip;
        ip.src = 0x0a000001;
        ip.dst = 0x0a000002;
        return pkt::ipv4(6, pkt::tcp(443, 40000, payload, o), ip);
    }
    bytes dtls(const std::string &payload)
    {
        return pkt::ipv4(17, pkt::udp(40000, 4433, payload));
    }
    bool risk(uint32_t r) const { return (f->risk_mask >> r) & 1; }
    std::string risk_text(uint32_t r) const
    {
        for (uint8_t i = 0; i < f->risk_message_count; i++)
            if (f->texts->risk_messages[i].risk == r)
                return f->texts->risk_messages[i].text;
        return "";
    }
    void reset()
    {
        oxlo_flow_state_free(f);
        f = new_flow();
        seq[0] = 1000;
        seq[1] = 5000;
    }
};

TEST_F(tls_fixture, client_hello_split_over_three_segments_is_parsed_at_the_last)
{
    hello_opts o;
    o.extensions = sni("www.vesk.test") + alpn({"h2", "http/1.1"}) + versions({0x0304, 0x0303});
    const std::string rec = record(22, client_hello(o));
    const size_t a = rec.size() / 3, b = 2 * rec.size() / 3;
    feed(client(rec.substr(0, a)));
    feed(client(rec.substr(a, b - a)));
    EXPECT_EQ(f->app, 0);
    feed(client(rec.substr(b)));
    EXPECT_EQ(f->app, OXLO_PROTOCOL_TLS);
    EXPECT_STREQ(oxlo_flow_host(f), "www.vesk.test");
    EXPECT_STREQ(tls_state_of(f)->alpn_offered, "h2,http/1.1");
    EXPECT_EQ(std::string(tls_state_of(f)->ja4_client).substr(0, 11), "t13d0303h2_");

    // The same segments out of order: the last one is held until the
    // middle one fills the gap, and the hello is read in sequence order.
    reset();
    feed(client(rec.substr(0, a), 1000));
    feed(client(rec.substr(b), 1000 + uint32_t(b)));
    EXPECT_EQ(f->app, 0);
    feed(client(rec.substr(a, b - a), 1000 + uint32_t(a)));
    EXPECT_EQ(f->app, OXLO_PROTOCOL_TLS);
    EXPECT_STREQ(oxlo_flow_host(f), "www.vesk.test");
}

// A hello cut into several records, as clients that limit their record size
// send it: the message is joined across records and segments, also from
// 1-byte records and from segments cut inside a record header.
TEST_F(tls_fixture, client_hello_split_over_records_is_joined)
{
    hello_opts o;
    o.extensions = sni("blocked.vesk.test") + alpn({"h2"}) + versions({0x0304, 0x0303});
    const std::string msg = client_hello(o);
    struct {
        const char *what;
        size_t record_size;
        size_t segments;
    } cases[] = {
        {"two records in one segment", msg.size() / 2 + 1, 1},
        {"two records over two segments", msg.size() / 2 + 1, 2},
        {"1-byte records in one segment", 1, 1},
        {"1-byte records over three segments", 1, 3},
        {"7-byte records over five segments", 7, 5},
    };
    for (const auto &c : cases) {
        reset();
        std::string stream;
        for (size_t i = 0; i < msg.size(); i += c.record_size)
            stream += record(22, msg.substr(i, c.record_size));
        size_t at = 0;
        for (size_t k = 1; k <= c.segments; k++) {
            const size_t end = stream.size() * k / c.segments;
            feed(client(stream.substr(at, end - at)));
            at = end;
        }
        EXPECT_EQ(f->app, OXLO_PROTOCOL_TLS) << c.what;
        EXPECT_STREQ(oxlo_flow_host(f), "blocked.vesk.test") << c.what;
        EXPECT_STREQ(tls_state_of(f)->alpn_offered, "h2") << c.what;
    }
}

// A packet of 13,000 empty records is walked once (no move of the buffer per
// record) and leaves the flow able to take the hello that follows.
TEST_F(tls_fixture, packet_of_empty_records_then_a_hello)
{
    std::string many;
    while (many.size() + 5 <= 65000)
        many += record(22, "");
    ASSERT_EQ(many.size() / 5, 13000u);
    feed(client(many));
    EXPECT_EQ(f->app, 0);
    hello_opts o;
    o.extensions = sni("www.vesk.test");
    feed(client(record(22, client_hello(o))));
    EXPECT_EQ(f->app, OXLO_PROTOCOL_TLS);
    EXPECT_STREQ(oxlo_flow_host(f), "www.vesk.test");
}

TEST_F(tls_fixture, records_that_are_not_tls_end_the_search)
{
    for (const std::string &bad : {std::string("\x13\x03\x03\x00\x05hello", 10), std::string("\x16\x02\x03\x00\x05hello", 10)}) {
        reset();
        feed(client(bad));
        EXPECT_EQ(f->app, 0);
        EXPECT_TRUE(oxlo_flow_dissector_excluded(f, 0)) << int(bad[0]) << "/" << int(bad[1]);
    }
}

// A server name is stored in the canonical form a host rule is matched in.
TEST_F(tls_fixture, server_name_is_stored_in_canonical_form)
{
    struct {
        const char *sni, *host;
    } cases[] = {{"Blocked.Example.", "blocked.example"}, {"blocked.example", "blocked.example"},
                 {"blocked.example.evil", "blocked.example.evil"}};
    for (const auto &c : cases) {
        reset();
        hello_opts o;
        o.extensions = sni(c.sni);
        feed(client(record(22, client_hello(o))));
        EXPECT_EQ(f->app, OXLO_PROTOCOL_TLS) << c.sni;
        EXPECT_STREQ(oxlo_flow_host(f), c.host) << c.sni;
    }
}

TEST_F(tls_fixture, hello_risks)
{
    struct {
        const char *what;
        std::string extensions;
        unsigned legacy;
        uint32_t risk;
        const char *text;
    } cases[] = {
        {"ALPN without SNI", alpn({"h2"}), 0x0303, 24, "SNI should always be present"},
        {"ALPN h2 without SNI", alpn({"h2"}), 0x0303, 52, "h2"},
        {"TLS 1.1 without ALPN", "", 0x0302, 24, "SNI should always be present"},
        {"obsolete version", sni("a.vesk.test"), 0x0301, 7, "TLSv1"},
        {"unknown extension", sni("a.vesk.test") + ext(0x1234, ""), 0x0303, 33, "Extn id 4660"},
        {"extension 53 over TCP", sni("a.vesk.test") + ext(53, ""), 0x0303, 33, "Extn id 53"},
        {"padding", sni("a.vesk.test") + ext(21, std::string(501, '\0')), 0x0303, 56, "Abnormal Client Hello/Padding length"},
        {"uncommon ALPN", sni("a.vesk.test") + alpn({"vesk-proto"}), 0x0303, 31, "vesk-proto"},
    };
    for (auto &c : cases) {
        reset();
        hello_opts o;
        o.legacy = c.legacy;
        o.extensions = c.extensions;
        feed(client(record(22, client_hello(o))));
        EXPECT_TRUE(risk(c.risk)) << c.what;
        EXPECT_EQ(risk_text(c.risk), c.text) << c.what;
    }
    reset();
    hello_opts o;
    o.legacy = 0x0302;
    feed(client(record(22, client_hello(o))));
    EXPECT_FALSE(risk(15)) << "TLS 1.1 without ALPN is not 'No ALPN'";
    EXPECT_FALSE(risk(52));
}

TEST_F(tls_fixture, onion_router_hello_is_recognised)
{
    hello_opts o;
    o.extensions = sni("www.a1b2c3.com") + ext(0x16, "");
    feed(client(record(22, client_hello(o))));
    EXPECT_EQ(f->app, OXLO_PROTOCOL_TOR);
}

TEST_F(tls_fixture, lengths_that_pass_the_message_stop_the_parse)
{
    struct {
        const char *what;
        size_t offset; // byte of the ClientHello message to overwrite
        std::string bytes;
    } cases[] = {
        {"session id past the end", 38, u8(0xFF)},
        {"cipher list past the end", 39, be16(0xFFF0)},
        {"compression methods past the end", 47, u8(0xF0)},
        {"extensions past the end", 49, be16(0xFFF0)},
        {"extension past the extensions", 53, be16(0x7FFF)},
        {"server name past its extension", 58, be16(0x7FFF)},
    };
    for (auto &c : cases) {
        reset();
        hello_opts o;
        o.extensions = sni("a.vesk.test");
        std::string msg = client_hello(o);
        msg.replace(c.offset, c.bytes.size(), c.bytes);
        feed(client(record(22, msg)));
        EXPECT_STREQ(oxlo_flow_host(f), "") << c.what;
    }
}

TEST_F(tls_fixture, alerts)
{
    hello_opts o;
    o.extensions = sni("a.vesk.test");
    feed(client(record(22, client_hello(o))));
    feed(server(record(21, std::string("\x01\x00", 2))));
    EXPECT_FALSE(tls_state_of(f)->state_flags & 0x20) << "a warning clears the alert mark";
    feed(server(record(21, std::string("\x02\x28", 2))));
    EXPECT_TRUE(risk(34));
    EXPECT_EQ(risk_text(34), "Found fatal TLS alert");
}

struct tls_blocks_fixture : tls_fixture {
    std::vector<std::array<const char *, 3>> knobs() override
    {
        return {{{"tls", "max_num_blocks_to_analyze", "256"}}};
    }
};

TEST_F(tls_blocks_fixture, block_count_stops_at_the_knobs_maximum)
{
    hello_opts o;
    o.extensions = sni("a.vesk.test");
    feed(client(record(22, client_hello(o))));
    std::string many;
    for (int i = 0; i < 300; i++)
        many += record(23, "x");
    feed(client(many));
    EXPECT_EQ(tls_state_of(f)->block_count, 256);
    EXPECT_EQ(tls_state_of(f)->blocks[0].kind, TLS_BLOCK_HS_CLIENT_HELLO);
    EXPECT_EQ(tls_state_of(f)->blocks[255].kind, TLS_BLOCK_APPLICATION_DATA);
}

TEST_F(tls_fixture, dtls_hello_in_three_fragments_and_the_reassembly_bound)
{
    hello_opts o;
    o.dtls = true;
    o.legacy = 0xFEFD;
    o.extensions = sni("www.vesk.test") + versions({0xFEFD, 0xFEFC});
    const std::string whole = client_hello(o);
    const std::string body = whole.substr(12);
    const unsigned total = unsigned(body.size());
    auto fragment = [&](unsigned off, unsigned len) {
        const std::string hs = u8(1) + be24(total) + be16(0) + be24(off) + be24(len) + body.substr(off, len);
        return std::string("\x16\xfe\xfd", 3) + be16(0) + std::string(6, '\0') + be16(unsigned(hs.size())) + hs;
    };
    const unsigned a = total / 3, b = 2 * total / 3;
    feed(dtls(fragment(0, a)));
    feed(dtls(fragment(a, b - a)));
    EXPECT_STREQ(oxlo_flow_host(f), "");
    feed(dtls(fragment(b, total - b)));
    EXPECT_STREQ(oxlo_flow_host(f), "www.vesk.test");
    EXPECT_EQ(f->app, OXLO_PROTOCOL_DTLS);
    // DTLS 1.3 (0xFEFC) is newer than DTLS 1.2 (0xFEFD) although smaller.
    EXPECT_EQ(std::string(tls_state_of(f)->ja4_client).substr(0, 4), "dd3d");

    // A fragment announcing a message beyond the bound is not buffered.
    reset();
    const std::string hs = u8(1) + be24(0x100000) + be16(0) + be24(0) + be24(20) + std::string(20, 'x');
    feed(dtls(std::string("\x16\xfe\xfd", 3) + be16(0) + std::string(6, '\0') + be16(unsigned(hs.size())) + hs));
    EXPECT_EQ(tls_state_of(f)->dtls_reassembly[0].buffer, nullptr);
    EXPECT_EQ(tls_state_of(f)->dtls_reassembly[1].buffer, nullptr);
}

TEST(tls_certificate_names, a_wildcard_covers_one_leftmost_label)
{
    struct {
        const char *name, *server;
        int match;
    } cases[] = {
        {"*.example.com", "mail.example.com", 1},
        {"*.example.com", "x.example.com.evil.net", 0},
        {"*.example.com", "a.b.example.com", 0},
        {"*.example.com", "example.com", 0},
        {"*.example.com", "mail.example.org", 0},
        {"www.example.com", "www.example.com", 1},
        {"www.example.com", "www.example.co", 0},
        {"*.local", "printer-local", 1},
    };
    for (auto &c : cases)
        EXPECT_EQ(tls_cert_name_matches(c.name, c.server), c.match) << c.name << " / " << c.server;
}

// A small DER certificate body: issuer, validity, subject, SAN.
std::string attr(unsigned x, const std::string &v) { return std::string("\x06\x03\x55\x04", 4) + u8(x) + u8(0x0c) + u8(unsigned(v.size())) + v; }
std::string der_time(bool generalized, const std::string &t) { return u8(generalized ? 0x18 : 0x17) + u8(unsigned(t.size())) + t; }
std::string validity(const std::string &from, const std::string &until)
{
    const std::string inner = from + until;
    return u8(0x30) + u8(unsigned(inner.size())) + inner;
}
std::string san(const std::vector<std::string> &names)
{
    std::string seq;
    for (auto &n : names)
        seq += u8(0x82) + u8(unsigned(n.size())) + n;
    const std::string octet = u8(0x30) + u8(unsigned(seq.size())) + seq;
    return std::string("\x55\x1d\x11\x04", 4) + u8(unsigned(octet.size())) + octet;
}

TEST_F(tls_fixture, certificate_facts_and_bounds)
{
    const std::string cert = attr(3, "Vesk CA") + validity(der_time(false, "240101000000Z"), der_time(true, "20550101000000Z")) +
                             attr(3, "www.vesk.test") + san({"*.vesk.test"});
    std::strcpy(oxlo_flow_texts_make(nullptr, f, 1)->host_name, "mail.vesk.test");
    m->det.packet.time_ms = 1735689600000ull; // 2025-01-01
    auto *exact = static_cast<uint8_t *>(std::malloc(cert.size()));
    std::memcpy(exact, cert.data(), cert.size());
    tls_process_certificate(m, f, exact, cert.size());
    std::free(exact);
    EXPECT_STREQ(tls_state_of(f)->cert_issuer_dn, "CN=Vesk CA");
    EXPECT_STREQ(tls_state_of(f)->cert_subject_dn, "CN=www.vesk.test");
    EXPECT_STREQ(tls_state_of(f)->cert_server_names, "*.vesk.test");
    EXPECT_EQ(tls_state_of(f)->cert_not_before, 1704067200u);
    EXPECT_EQ(tls_state_of(f)->cert_not_after, 2682374400u) << "GeneralizedTime in 2055";
    EXPECT_FALSE(risk(10)) << "mail.vesk.test is covered by *.vesk.test";
    EXPECT_FALSE(risk(9));
    EXPECT_TRUE(risk(32)) << "a validity of 31 years";

    // An attribute whose value runs past the certificate's end is not read,
    // even when the bytes after the certificate would hold it.
    reset();
    const std::string cut = attr(3, "Vesk CA") + validity(der_time(false, "240101000000Z"), der_time(false, "250101000000Z")) +
                            attr(3, "spill-over-value");
    tls_process_certificate(m, f, reinterpret_cast<const uint8_t *>(cut.data()), cut.size() - 6);
    EXPECT_EQ(tls_state_of(f)->cert_subject_dn, nullptr);
}

TEST(tls_fingerprints, version_chars)
{
    const std::pair<unsigned, const char *> cases[] = {{0x0002, "s2"}, {0x0200, "00"}, {0x0300, "s3"}, {0x0301, "10"},
                                                       {0x0304, "13"}, {0xFEFF, "d1"}, {0xFEFD, "d2"}, {0xFEFC, "d3"},
                                                       {0x7F1C, "00"}};
    for (auto &c : cases) {
        char out[2];
        tls_version_chars(out, uint16_t(c.first));
        EXPECT_EQ(std::string(out, 2), c.second) << std::hex << c.first;
    }
}

} // namespace

namespace {
struct tls_no_subclassification_fixture : tls_fixture {
    std::vector<std::array<const char *, 3>> knobs() override { return {{"tls", "subclassification", "0"}}; }
};
} // namespace

// The server name names the service unless sub-classification is off.
TEST_F(tls_fixture, server_name_sub_classifies)
{
    hello_opts o;
    o.extensions = sni("www.youtube.com");
    feed(client(record(22, client_hello(o))));
    EXPECT_EQ(f->app, OXLO_PROTOCOL_YOUTUBE);
    EXPECT_EQ(f->master, OXLO_PROTOCOL_TLS);
}

TEST_F(tls_no_subclassification_fixture, knob_off_keeps_tls)
{
    hello_opts o;
    o.extensions = sni("www.youtube.com");
    feed(client(record(22, client_hello(o))));
    EXPECT_EQ(f->app, OXLO_PROTOCOL_TLS);
    EXPECT_EQ(f->master, 0);
    EXPECT_STREQ(oxlo_flow_host(f), "www.youtube.com");
}
