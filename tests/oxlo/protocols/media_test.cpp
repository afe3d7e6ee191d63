// STUN/TURN, RTP/RTCP and Zoom on crafted packets, each with a near miss:
// message framing, the addresses and services read from attributes, the
// endpoint cache, media found after the STUN exchange, the nesting cap of
// relayed payloads and the peer-to-peer Zoom lengths.
#include "dissector_kit.h"
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_flow_json.h"
#include "oxlo_serializer.h"

#include <cstring>

namespace {

struct media : kit::engine {};

std::string be16(uint16_t v) { return std::string{char(v >> 8), char(v)}; }
std::string be32(uint32_t v) { return be16(uint16_t(v >> 16)) + be16(uint16_t(v)); }

std::string attr(uint16_t type, const std::string &value)
{
    std::string a = be16(type) + be16(uint16_t(value.size())) + value;
    while (a.size() % 4)
        a += '\0';
    return a;
}

std::string stun(uint16_t type, const std::string &attrs = "", bool cookie = true)
{
    return be16(type) + be16(uint16_t(attrs.size())) + (cookie ? be32(0x2112A442) : be32(0x01020304)) +
           std::string("ABCDEFGHIJKL", 12) + attrs;
}

// XOR-MAPPED-ADDRESS style value of an IPv4 endpoint.
std::string xor_v4(uint32_t address, uint16_t port)
{
    return std::string("\0\x01", 2) + be16(uint16_t(port ^ 0x2112)) + be32(address ^ 0x2112A442);
}

std::string rtp(uint8_t pt, uint16_t seq, size_t body = 20)
{
    return std::string{char(0x80), char(pt)} + be16(seq) + be32(1000u * seq) + be32(0xCAFE) + std::string(body, 'm');
}

std::string rtcp_sender_report() { return std::string{char(0x80), char(200)} + be16(6) + std::string(24, 'r'); }


// Message framing: what is STUN on its first packet and what is not.
TEST_F(media, stun_framing)
{
    const std::string binding = stun(0x0001);
    const std::string classic = stun(0x0001, attr(0x0003, std::string(4, '\0')), false);
    struct row {
        const char *name;
        uint8_t l4;
        uint16_t port;
        std::string payload;
        bool is_stun;
    } rows[] = {
        {"binding request", OXLO_L4_UDP, 3478, binding, true},
        {"on another port", OXLO_L4_UDP, 41000, binding, true},
        {"one trailing byte", OXLO_L4_UDP, 3478, binding + "x", false},
        {"classic form", OXLO_L4_UDP, 3478, classic, true},
        {"classic, attributes overrun", OXLO_L4_UDP, 3478, classic.substr(0, 2) + be16(12) + classic.substr(4) + std::string(4, 'z'), false},
        {"classic, unknown type", OXLO_L4_UDP, 3478, stun(0x0005, "", false), false},
        {"TCP with 2-byte framing", OXLO_L4_TCP, 3478, be16(uint16_t(binding.size())) + binding, true},
        {"TCP without the cookie", OXLO_L4_TCP, 3478, be16(uint16_t(classic.size())) + classic, false},
    };
    for (const row &r : rows) {
        kit::conversation c(m, r.port, r.l4);
        if (r.l4 == OXLO_L4_TCP)
            c.handshake();
        c.client(r.payload);
        EXPECT_EQ(c.master() == OXLO_PROTOCOL_STUN || c.app() == OXLO_PROTOCOL_STUN, r.is_stun) << r.name;
        if (r.is_stun) {
            EXPECT_TRUE(c.by_inspection()) << r.name;
        }
    }
}

// The response's XOR-MAPPED-ADDRESS is the client's own endpoint; a
// RESPONSE-ORIGIN is stored in plain form.
TEST_F(media, addresses_go_to_the_stun_block)
{
    kit::conversation c(m, 3478, OXLO_L4_UDP);
    c.client(stun(0x0001));
    c.server(stun(0x0101, attr(0x0020, xor_v4(0x0a000002, 40000)) +
                              attr(0x802B, std::string("\0\x01", 2) + be16(3478) + be32(0x0a000001))));
    const std::string text = kit::json_block(m, c.f, OXLO_PROTOCOL_STUN);
    EXPECT_NE(text.find("\"mapped_address\":\"10.0.0.2:40000\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"response_origin\":\"10.0.0.1:3478\""), std::string::npos) << text;
    EXPECT_EQ(text.find("peer_address"), std::string::npos) << text;

    // IPv6: the address is XORed with the cookie and the transaction id.
    std::string v6 = std::string("\xfd\x00", 2) + std::string(13, '\0') + "\x02";
    const std::string mask = be32(0x2112A442) + "ABCDEFGHIJKL";
    for (size_t i = 0; i < 16; i++)
        v6[i] = char(v6[i] ^ mask[i]);
    kit::conversation c6(m, 3478, OXLO_L4_UDP, 40000, true);
    c6.client(stun(0x0001));
    c6.server(stun(0x0101, attr(0x0020, std::string("\0\x02", 2) + be16(40000 ^ 0x2112) + v6)));
    const std::string text6 = kit::json_block(m, c6.f, OXLO_PROTOCOL_STUN);
    EXPECT_NE(text6.find("\"mapped_address\":\"[fd00::2]:40000\""), std::string::npos) << text6;
}

// Services from attributes and realms; a realm with '?' gives nothing.
TEST_F(media, call_services)
{
    struct row {
        const char *name;
        std::string payload;
        uint16_t app;
        const char *host;
    } rows[] = {
        {"signal realm", stun(0x0003, attr(0x0014, "turn3.signal.org")), OXLO_PROTOCOL_SIGNALVOIP, "turn3.signal.org"},
        {"realm with '?'", stun(0x0003, attr(0x0014, "a?.signal.org")), 0, ""},
        {"software", stun(0x0001, attr(0x8022, "Cisco-Spark/1.0")), OXLO_PROTOCOL_WEBEX, ""},
        {"zoom attribute", stun(0x0001, attr(0x0101, "zz")), OXLO_PROTOCOL_ZOOM, ""},
        {"teams attribute", stun(0x0001, attr(0x8054, "tttt")), OXLO_PROTOCOL_TEAMSCALL, ""},
        {"whatsapp type", stun(0x0801), OXLO_PROTOCOL_WHATSAPPCALL, ""},
        {"plain binding", stun(0x0001, attr(0x8022, "Cisco-Sp")), 0, ""},
    };
    uint16_t client_port = 41000; /* one endpoint pair per row: the cache must not answer */
    for (const row &r : rows) {
        kit::conversation c(m, uint16_t(client_port - 37000), OXLO_L4_UDP, client_port);
        client_port++;
        c.client(r.payload);
        if (r.app) {
            EXPECT_EQ(c.app(), r.app) << r.name;
        } else {
            EXPECT_TRUE(c.app() == 0 || c.app() == OXLO_PROTOCOL_STUN) << r.name << " " << c.app();
        }
        EXPECT_STREQ(oxlo_flow_host_name(c.f), r.host) << r.name;
    }
}

// The service of the first flow is cached per endpoint: the next flow
// between the same endpoints is known from its first plain message.
TEST_F(media, endpoint_cache)
{
    {
        kit::conversation first(m, 3478, OXLO_L4_UDP);
        first.client(stun(0x0001, attr(0x8022, "Cisco-Spark")));
        ASSERT_EQ(first.app(), OXLO_PROTOCOL_WEBEX);
    }
    kit::conversation second(m, 3478, OXLO_L4_UDP);
    second.client(stun(0x0001));
    EXPECT_EQ(second.app(), OXLO_PROTOCOL_WEBEX);
    EXPECT_EQ(oxlo_flow_confidence(second.f), OXLO_CONFIDENCE_DPI_CACHE);
    kit::conversation elsewhere(m, 3479, OXLO_L4_UDP, 40002);
    elsewhere.client(stun(0x0001));
    EXPECT_NE(elsewhere.app(), OXLO_PROTOCOL_WEBEX);
}

// A DTLS ClientHello inside the STUN flow (the WebRTC path): the service the
// STUN exchange named goes over DTLS; bytes that only look like a record
// header leave the pair as it was.
TEST_F(media, dtls_after_stun)
{
    const std::string body = be16(0xFEFD) + std::string(32, 'r') + std::string(1, '\0') + std::string(1, '\0') +
                             be16(2) + be16(0xC02B) + "\x01" + std::string(1, '\0') + be16(0);
    const std::string hs = std::string("\x01", 1) + std::string(1, '\0') + be16(uint16_t(body.size())) + be16(0) +
                           std::string(3, '\0') + std::string(1, '\0') + be16(uint16_t(body.size())) + body;
    const std::string hello = std::string("\x16\xFE\xFD", 3) + std::string(8, '\0') + be16(uint16_t(hs.size())) + hs;
    kit::conversation call(m, 3478, OXLO_L4_UDP);
    call.client(stun(0x0001, attr(0xFF03, "gggg")));
    ASSERT_EQ(call.app(), OXLO_PROTOCOL_GOOGLECALL);
    call.client(hello);
    EXPECT_EQ(call.app(), OXLO_PROTOCOL_GOOGLECALL);
    EXPECT_EQ(call.master(), OXLO_PROTOCOL_DTLS);

    kit::conversation miss(m, 3478, OXLO_L4_UDP, 40020);
    miss.client(stun(0x0001, attr(0xFF03, "gggg")));
    miss.client(std::string("\x16\xFE\xFD", 3) + std::string(8, '\0') + be16(4) + "junk");
    EXPECT_EQ(miss.app(), OXLO_PROTOCOL_GOOGLECALL);
    EXPECT_NE(miss.master(), OXLO_PROTOCOL_DTLS);
}

// RTP after the STUN exchange: STUN.RTP on a plain flow, the service over
// SRTP after a real sub-classification.
TEST_F(media, media_after_stun)
{
    kit::conversation plain(m, 3478, OXLO_L4_UDP);
    plain.client(stun(0x0001));
    plain.server(stun(0x0101, attr(0x0020, xor_v4(0x0a000002, 40000))));
    plain.client(rtp(0, 1));
    EXPECT_EQ(plain.app(), OXLO_PROTOCOL_RTP);
    EXPECT_EQ(plain.master(), OXLO_PROTOCOL_STUN);
    EXPECT_EQ(oxlo_flow_stream_content(plain.f), 1);
    EXPECT_NE(kit::json_block(m, plain.f, OXLO_PROTOCOL_STUN).find("\"multimedia_flow_types\":\"Audio\""), std::string::npos);

    kit::conversation google(m, 3478, OXLO_L4_UDP, 40010);
    google.client(stun(0x0001, attr(0xFF03, "gggg")));
    google.client(rtp(96, 1));
    EXPECT_EQ(google.app(), OXLO_PROTOCOL_GOOGLECALL);
    EXPECT_EQ(google.master(), OXLO_PROTOCOL_SRTP);
    EXPECT_EQ(oxlo_flow_stream_content(google.f), 2); /* video by the service's dynamic type */
}

// ChannelData frames nest: two levels are read, a datagram of thousands of
// levels stops at the cap (no deep recursion) and its RTP is not reached.
TEST_F(media, relayed_nesting_is_capped)
{
    auto channel = [](const std::string &inner, int levels) {
        std::string p = inner;
        for (int i = 0; i < levels; i++)
            p = "\x40" + std::string(1, '\0') + be16(uint16_t(p.size())) + p;
        return p;
    };
    struct row {
        int levels;
        bool rtp_found;
    } rows[] = {{1, true}, {2, true}, {3, false}, {16000, false}};
    for (const row &r : rows) {
        kit::conversation c(m, 3478, OXLO_L4_UDP);
        c.client(stun(0x0003)); /* Allocate: TURN from here on */
        c.server(stun(0x0103, attr(0x0016, xor_v4(0x0a000001, 50000))));
        c.client(channel(rtp(8, 7), r.levels));
        EXPECT_EQ(c.app() == OXLO_PROTOCOL_RTP, r.rtp_found) << r.levels;
    }
    // DATA inside DATA inside DATA: the same cap.
    std::string data = rtp(0, 3);
    for (int i = 0; i < 4; i++)
        data = stun(0x0017, attr(0x0013, data));
    kit::conversation d(m, 3478, OXLO_L4_UDP);
    d.client(stun(0x0003));
    d.client(data);
    EXPECT_NE(d.app(), OXLO_PROTOCOL_RTP);
}

// RTP on the third packet with moving sequence numbers, RTCP alone on the
// fourth, never on the ports left to other protocols.
TEST_F(media, rtp_and_rtcp)
{
    struct row {
        const char *name;
        uint16_t port;
        std::vector<std::pair<bool, std::string>> packets;
        uint16_t app;
    } rows[] = {
        {"rtp", 5004, {{true, rtp(0, 10)}, {true, rtp(0, 11)}, {true, rtp(0, 12)}}, OXLO_PROTOCOL_RTP},
        {"rtp on another port", 47000, {{true, rtp(26, 10)}, {false, rtp(26, 90)}, {true, rtp(26, 11)}}, OXLO_PROTOCOL_RTP},
        {"repeated sequence", 5004, {{true, rtp(0, 10)}, {true, rtp(0, 11)}, {true, rtp(0, 10)}}, 0},
        {"mdns port", 5353, {{true, rtp(0, 10)}, {true, rtp(0, 11)}, {true, rtp(0, 12)}}, 0},
        {"low port", 999, {{true, rtp(0, 10)}, {true, rtp(0, 11)}, {true, rtp(0, 12)}}, 0},
        {"rtcp, three", 5005, {{true, rtcp_sender_report()}, {true, rtcp_sender_report()}, {true, rtcp_sender_report()}}, 0},
        {"rtcp, four", 5005,
         {{true, rtcp_sender_report()}, {true, rtcp_sender_report()}, {true, rtcp_sender_report()}, {true, rtcp_sender_report()}},
         OXLO_PROTOCOL_RTCP},
        {"version 1", 5004, {{true, "\x40" + rtp(0, 1).substr(1)}, {true, "\x40" + rtp(0, 2).substr(1)}, {true, "\x40" + rtp(0, 3).substr(1)}}, 0},
    };
    for (const row &r : rows) {
        kit::conversation c(m, r.port, OXLO_L4_UDP);
        for (const auto &p : r.packets)
            p.first ? c.client(p.second) : c.server(p.second);
        if (r.app) {
            EXPECT_EQ(c.app(), r.app) << r.name;
        } else {
            EXPECT_TRUE(c.app() != OXLO_PROTOCOL_RTP && c.app() != OXLO_PROTOCOL_RTCP) << r.name;
        }
    }
    kit::conversation video(m, 47000, OXLO_L4_UDP);
    for (uint16_t s = 1; s <= 3; s++)
        video.client(rtp(26, s));
    EXPECT_EQ(oxlo_flow_stream_content(video.f), 2);
}

// Zoom's server media header with RTP inside, and the peer-to-peer framing
// whose lengths must not wrap around.
TEST_F(media, zoom)
{
    // kind 5, 8 bytes of header, media type 16 (video), RTP at offset 24.
    const std::string video = std::string("\x05", 1) + std::string(7, '\0') + "\x10" + std::string(23, '\0') + rtp(98, 5);
    kit::conversation server(m, 8801, OXLO_L4_UDP);
    server.client(video);
    EXPECT_EQ(server.app(), OXLO_PROTOCOL_ZOOM);
    EXPECT_EQ(server.master(), OXLO_PROTOCOL_SRTP);
    EXPECT_EQ(oxlo_flow_stream_content(server.f), 2);
    kit::conversation not_media(m, 8801, OXLO_L4_UDP);
    not_media.client(std::string("\x05", 1) + std::string(7, '\0') + "\x10" + std::string(40, '\0'));
    EXPECT_NE(not_media.app(), OXLO_PROTOCOL_ZOOM);

    auto p2p = [](uint32_t b, uint32_t l, size_t size) {
        std::string p = std::string("\x1F\x02\x01\x00", 4) + std::string(20, 'p') + be32(b);
        p.resize(size, 'q');
        const uint32_t at = b + 28; /* where a 32-bit sum would look */
        if (size_t(at) + 4 <= size)
            p.replace(at, 4, be32(l));
        p.replace(size - 4, 4, std::string(4, '\0'));
        return p;
    };
    struct row {
        const char *name;
        uint32_t b, l;
        size_t size;
        bool zoom;
    } rows[] = {
        {"framed", 8, 40, 84, true},
        {"one byte short", 8, 40, 85, false},
        {"B wraps", 0xFFFFFFF0u, 0x40, 84, false}, /* 32-bit sums would match */
    };
    for (const row &r : rows) {
        kit::conversation c(m, 41000, OXLO_L4_UDP);
        c.client(p2p(r.b, r.l, r.size));
        EXPECT_EQ(c.app() == OXLO_PROTOCOL_ZOOM, r.zoom) << r.name;
    }
}

} // namespace
