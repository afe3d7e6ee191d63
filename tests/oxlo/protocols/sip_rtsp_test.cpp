// SIP, RTSP and MpegDash on crafted messages: SIP's request table, its
// 4-byte frame, keep-alive and packet budget, the From/To and IMSI capture
// (knobs included) and its JSON block; RTSP by version line or tunnelled
// content type, alone or over HTTP; MpegDash requests over HTTP. Each
// positive has a near miss beside it.
#include "dissector_kit.h"
#include "oxlo_dissector_kit.h"
#include "oxlo_private.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_serializer.h"

#include <string>

namespace {

struct sip_rtsp : kit::engine {};

std::string be16(size_t v) { return std::string{char(v >> 8 & 0xFF), char(v & 0xFF)}; }

std::string request(const std::string &first_line, const std::string &headers = "")
{
    return first_line + "\r\nVia: SIP/2.0/UDP 10.0.0.2:5060;branch=z9hG4bK1\r\n" + headers +
           "Call-ID: 1@10.0.0.2\r\nCSeq: 1 INVITE\r\nContent-Length: 0\r\n\r\n";
}

std::string invite(const std::string &from_user, const std::string &to_user = "bob")
{
    return request("INVITE sip:" + to_user + "@10.0.0.1 SIP/2.0",
                   "From: Alice <sip:" + from_user + "@10.0.0.2>;tag=1\r\nTo:  <sip:" + to_user + "@10.0.0.1>  \r\n");
}

std::string framed(const std::string &text) { return std::string(2, '\0') + be16(text.size()) + text; }


bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// What names a flow SIP on its first packet, and what does not.
TEST_F(sip_rtsp, sip_first_packets)
{
    const std::string options = request("OPTIONS sip:x@10.0.0.1 SIP/2.0");
    struct row {
        const char *what;
        uint8_t l4;
        std::string payload;
        bool sip;
    } rows[] = {
        {"INVITE sip:", OXLO_L4_UDP, invite("alice"), true},
        {"lower-case method", OXLO_L4_UDP, request("invite sip:bob@10.0.0.1 SIP/2.0"), true},
        {"OPTIONS sip: (an HTTP method too)", OXLO_L4_UDP, options, true},
        {"OPTIONS tel:", OXLO_L4_UDP, request("OPTIONS tel:+15551234567 SIP/2.0"), true},
        {"REGISTER over TCP", OXLO_L4_TCP, request("REGISTER sip:10.0.0.1 SIP/2.0"), true},
        {"a response", OXLO_L4_UDP, "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 10.0.0.2\r\n\r\n", true},
        {"framed request", OXLO_L4_TCP, framed(options), true},
        {"keep-alive", OXLO_L4_UDP, "hello", true},
        {"framed keep-alive", OXLO_L4_UDP, framed("hello"), true},
        {"five other bytes", OXLO_L4_UDP, "hellp", false},
        {"frame length one off", OXLO_L4_TCP, std::string(2, '\0') + be16(options.size() + 1) + options, false},
        {"request line under 30 bytes", OXLO_L4_UDP, "INVITE sip:b@h SIP/2.0\r\n\r\n", false},
        {"INVITE tel: (no such entry)", OXLO_L4_UDP, request("INVITE tel:+15551234567 SIP/2.0"), false},
        {"method not in the table", OXLO_L4_UDP, request("UPDATE sip:bob@10.0.0.1 SIP/2.0"), false},
        {"method without its scheme", OXLO_L4_UDP, request("INVITEsip:bob@10.0.0.1 SIP/2.0"), false},
        {"binary first byte", OXLO_L4_UDP, "\x01" + invite("alice"), false},
    };
    uint16_t client_port = 41000;
    for (const row &r : rows) {
        kit::conversation c(m, 5060, r.l4, client_port++);
        if (r.l4 == OXLO_L4_TCP)
            c.handshake();
        c.client(r.payload);
        EXPECT_EQ(c.app() == OXLO_PROTOCOL_SIP, r.sip) << r.what;
        if (r.sip) {
            EXPECT_TRUE(c.by_inspection()) << r.what;
        }
    }
}

// SIP registered alone: repeated text lines would name the flow for other
// dissectors long before SIP's budget runs out.
struct sip_alone : kit::engine {
    void SetUp() override
    {
        kit::engine::SetUp();
        ASSERT_EQ(oxlo_dissectors_init(m), 0);
        forget_builtin_dissectors();
        ASSERT_EQ(oxlo_dissector_register_builtin(m, "sip"), 0);
        ASSERT_EQ(oxlo_dissectors_finish(m), 0);
    }
};

// A flow that never shows a known request is given up after 7 packets
// with payload; the TCP handshake does not count.
TEST_F(sip_alone, sip_waits_seven_packets)
{
    const std::string tel = request("INVITE tel:+15551234567 SIP/2.0");
    for (uint8_t l4 : {OXLO_L4_UDP, OXLO_L4_TCP}) {
        for (int waited : {6, 7}) {
            kit::conversation c(m, 5060, l4, uint16_t(42000 + waited));
            if (l4 == OXLO_L4_TCP)
                c.handshake();
            for (int i = 0; i < waited; i++)
                c.client(tel);
            EXPECT_EQ(c.app(), 0) << int(l4) << " after " << waited;
            c.client(invite("alice"));
            EXPECT_EQ(c.app() == OXLO_PROTOCOL_SIP, waited < 7) << int(l4) << " packet " << waited + 1;
        }
    }
}

// The user part of a sip: URI is an IMSI when it is 14 or 15 digits.
TEST_F(sip_rtsp, sip_from_to_and_imsi)
{
    struct row {
        const char *what;
        std::string user;
        bool imsi;
    } rows[] = {
        {"15 digits", "001010123456789", true},
        {"14 digits", "00101012345678", true},
        {"16 digits", "0010101234567890", false},
        {"13 digits", "0010101234567", false},
        {"a letter among 15", "00101012345678a", false},
    };
    uint16_t client_port = 43000;
    for (const row &r : rows) {
        kit::conversation c(m, 5060, OXLO_L4_UDP, client_port++);
        c.client(invite(r.user, r.user));
        const std::string block = kit::json_block(m, c.f, OXLO_PROTOCOL_SIP);
        EXPECT_TRUE(has(block, "\"from\":\"Alice <sip:" + r.user + "@10.0.0.2>;tag=1\"")) << r.what << block;
        EXPECT_TRUE(has(block, "\"to\":\"<sip:" + r.user + "@10.0.0.1>\"")) << r.what << block;
        EXPECT_EQ(has(block, "\"from_imsi\":\"" + r.user + "\""), r.imsi) << r.what << block;
        EXPECT_EQ(has(block, "\"to_imsi\":\"" + r.user + "\""), r.imsi) << r.what << block;
        EXPECT_EQ(has(block, "imsi"), r.imsi) << r.what << block;
    }
}

// Only the exact "From:" and "To:" spellings are read; headers missing from
// the classifying packet are taken from the next ones.
TEST_F(sip_rtsp, sip_headers_from_later_packets)
{
    kit::conversation c(m, 5060, OXLO_L4_UDP);
    c.client("hello");
    ASSERT_EQ(c.app(), OXLO_PROTOCOL_SIP);
    const std::string empty = kit::json_block(m, c.f, OXLO_PROTOCOL_SIP);
    EXPECT_TRUE(has(empty, "sip") && !has(empty, "from") && !has(empty, "to")) << empty;
    c.client(request("MESSAGE sip:bob@10.0.0.1 SIP/2.0", "from: <sip:001010123456789@h>\r\nf: x\r\nTo: <sip:bob@h>\r\n"));
    c.server(request("SIP/2.0 200 OK", "From: <sip:001010123456789@h>;tag=2\r\nTo: <sip:carol@h>\r\n"));
    const std::string block = kit::json_block(m, c.f, OXLO_PROTOCOL_SIP);
    EXPECT_TRUE(has(block, "\"from\":\"<sip:001010123456789@h>;tag=2\",\"from_imsi\":\"001010123456789\"")) << block;
    EXPECT_TRUE(has(block, "\"to\":\"<sip:bob@h>\"")) << block; // the first To: kept
}

struct sip_from_off : kit::engine {
    std::vector<std::array<const char *, 3>> knobs() override
    {
        return {{"sip", "metadata.attribute.from", "disable"}, {"sip", "metadata.attribute.to_imsi", "disable"}};
    }
};

// Each knob switches its own member off; the IMSI of From is read from the
// kept From value, so it goes with it.
TEST_F(sip_from_off, knobs_leave_members_out)
{
    kit::conversation c(m, 5060, OXLO_L4_UDP);
    c.client(invite("001010123456789", "001019876543210"));
    ASSERT_EQ(c.app(), OXLO_PROTOCOL_SIP);
    const std::string block = kit::json_block(m, c.f, OXLO_PROTOCOL_SIP);
    EXPECT_TRUE(has(block, "\"to\":\"<sip:001019876543210@10.0.0.1>\"")) << block;
    EXPECT_FALSE(has(block, "from")) << block;
    EXPECT_FALSE(has(block, "imsi")) << block;
}

// RTSP by its version line, or a tunnel's content type over HTTP; over TCP
// the same whether the message comes whole or in 5-byte segments.
TEST_F(sip_rtsp, rtsp_messages)
{
    const std::string ua = "User-Agent: Lavf59.27.100\r\n";
    struct row {
        const char *what;
        uint8_t l4;
        uint16_t port;
        std::string payload;
        uint16_t app, master;
    } rows[] = {
        {"OPTIONS request", OXLO_L4_TCP, 8554, "OPTIONS rtsp://10.0.0.1:8554/x RTSP/1.0\r\nCSeq: 1\r\n" + ua + "\r\n",
         OXLO_PROTOCOL_RTSP, 0},
        {"a reply", OXLO_L4_TCP, 554, "RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n", OXLO_PROTOCOL_RTSP, 0},
        {"over UDP", OXLO_L4_UDP, 554, "DESCRIBE rtsp://10.0.0.1/x RTSP/1.0\r\nCSeq: 2\r\n\r\n", OXLO_PROTOCOL_RTSP, 0},
        {"tunnel GET", OXLO_L4_TCP, 80,
         "GET /x HTTP/1.1\r\nHost: cam\r\n" + ua + "Accept: application/x-rtsp-tunnelled\r\n\r\n", OXLO_PROTOCOL_RTSP,
         OXLO_PROTOCOL_HTTP},
        {"tunnel POST", OXLO_L4_TCP, 80,
         "POST /x HTTP/1.1\r\nHost: cam\r\n" + ua + "Content-Type: application/x-rtsp-tunnelled\r\nContent-Length: 32767\r\n\r\n",
         OXLO_PROTOCOL_RTSP, OXLO_PROTOCOL_HTTP},
        {"another version", OXLO_L4_TCP, 8554, "OPTIONS rtsp://10.0.0.1/x RTSP/2.0\r\nCSeq: 1\r\n\r\n", 0, 0},
        {"no line end", OXLO_L4_UDP, 554, "RTSP/1.0 200 OK", 0, 0},
        {"other content type", OXLO_L4_TCP, 80,
         "GET /x HTTP/1.1\r\nHost: cam\r\nAccept: application/x-rtsp-tunnelled-not\r\n\r\n", OXLO_PROTOCOL_HTTP, 0},
    };
    uint16_t client_port = 44000;
    for (const row &r : rows)
        for (size_t cut : {r.payload.size(), size_t(5)}) {
            if (r.l4 != OXLO_L4_TCP && cut != r.payload.size())
                continue;
            kit::conversation c(m, r.port, r.l4, client_port++);
            if (r.l4 == OXLO_L4_TCP)
                c.handshake();
            for (size_t at = 0; at < r.payload.size(); at += cut)
                c.client(r.payload.substr(at, cut));
            EXPECT_EQ(c.app(), r.app) << r.what << ", " << cut << "-byte segments";
            EXPECT_EQ(c.master(), r.master) << r.what << ", " << cut << "-byte segments";
            if (r.app == OXLO_PROTOCOL_RTSP && r.payload.find("Lavf") != std::string::npos) {
                EXPECT_STREQ(oxlo_flow_user_agent(c.f), "Lavf59.27.100") << r.what << ", " << cut << "-byte segments";
            }
        }
}

// MpegDash is read from requests of flows HTTP named.
TEST_F(sip_rtsp, mpegdash_requests)
{
    struct row {
        const char *what;
        std::string payload;
        bool dash;
    } rows[] = {
        {"segment", "GET /v/seg-1.m4s HTTP/1.1\r\nHost: cdn\r\n\r\n", true},
        {"movie", "GET /movie.mp4 HTTP/1.1\r\nHost: cdn\r\n\r\n", true},
        {"MP4 body", "POST /up HTTP/1.1\r\nHost: cdn\r\nContent-Type: video/mp4\r\n\r\n", true},
        {"DASH header", "GET /live HTTP/1.1\r\nHost: cdn\r\nDASH-Client: 1\r\n\r\n", true},
        {"HTTP/1.0 request", "GET /movie.mp4 HTTP/1.0\r\nHost: cdn\r\n\r\n", false},
        {"query after the name", "GET /movie.mp4?t=1 HTTP/1.1\r\nHost: cdn\r\n\r\n", false},
        {"other body", "POST /up HTTP/1.1\r\nHost: cdn\r\nContent-Type: video/webm\r\n\r\n", false},
        {"a page", "GET /index.html HTTP/1.1\r\nHost: cdn\r\n\r\n", false},
    };
    uint16_t client_port = 45000;
    for (const row &r : rows) {
        kit::conversation c(m, 80, OXLO_L4_TCP, client_port++);
        c.handshake();
        c.client(r.payload);
        EXPECT_EQ(c.app(), r.dash ? OXLO_PROTOCOL_MPEGDASH : OXLO_PROTOCOL_HTTP) << r.what;
        EXPECT_EQ(c.master(), r.dash ? OXLO_PROTOCOL_HTTP : 0) << r.what;
    }
}

} // namespace
