#include "dissector_kit.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_discovery.h"

namespace {

std::string hex(const char *h)
{
    std::string out;
    for (size_t i = 0; h[i] && h[i + 1]; i += 2)
        out += char(std::stoi(std::string(h + i, 2), nullptr, 16));
    return out;
}

using WebApps = kit::engine;

TEST_F(WebApps, http2_preface_also_after_the_servers_settings)
{
    kit::conversation c(m, 9999);
    c.handshake();
    c.server(hex("000006040000000000000300000064"));
    EXPECT_EQ(c.app(), 0);
    c.client("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + hex("000000040000000000"));
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_HTTP2);
    EXPECT_TRUE(c.by_inspection());

    kit::conversation miss(m, 9999);
    miss.handshake();
    miss.client("PRI * HTTP/1.1\r\n\r\nSM\r\n\r\nxxxxxxx");
    EXPECT_NE(miss.app(), OXLO_PROTOCOL_HTTP2);
}

// A masked client frame needs its 4-byte key counted; 126 and 127 announce
// 16- and 64-bit lengths. Frames of python3-websockets, as recorded.
TEST_F(WebApps, websocket_frames_with_mask_and_extended_lengths)
{
    std::string masked_300 = hex("81fe012cd040b8aa") + std::string(300, 'y');
    struct {
        const char *what;
        std::string frame;
        bool websocket;
    } cases[] = {
        {"server text, 7-bit length", hex("810568656c6c6f"), true},
        {"masked client text", hex("8185bc26c474d443a818d3"), true},
        {"masked, 16-bit length", masked_300, true},
        {"server, 16-bit length", hex("817e012c") + std::string(300, 'x'), true},
        {"masked, 64-bit length", hex("82ff00000000000000c85dd86b84") + std::string(200, 'z'), true},
        {"a 70,000-byte frame does not fit one packet", hex("82ff0000000000011170") + std::string(70000, 'z'), false},
        {"one byte short", hex("8185bc26c474d443a818"), false},
        {"opcode 3 is reserved", hex("830568656c6c6f"), false},
        {"mask bit with no key", hex("8185") + "hello", false},
    };
    for (auto &t : cases) {
        kit::conversation c(m, 8765);
        c.handshake();
        c.client(t.frame.substr(0, 1400));
        for (size_t at = 1400; at < t.frame.size() && c.app() == 0; at += 1400)
            c.client(t.frame.substr(at, 1400));
        EXPECT_EQ(c.app() == OXLO_PROTOCOL_WEBSOCKET, t.websocket) << t.what;
    }
    // Frames read whole from the stream: cut in the extended length and in
    // the mask, two at once with the second cut.
    const std::string server_300 = hex("817e012c") + std::string(300, 'x');
    const struct {
        const char *what;
        kit::segments segments;
    } cut_frames[] = {
        {"cut in the extended length, then in the payload", kit::cut(true, server_300, {3, 100})},
        {"masked, cut in the mask", kit::cut(true, masked_300, {5})},
        {"two frames, the second cut", kit::cut(true, hex("810568656c6c6f") + hex("810568656c6c6f"), {10})},
    };
    for (const auto &t : cut_frames) {
        kit::conversation c(m, 8765);
        c.handshake();
        c.send(t.segments);
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_WEBSOCKET) << t.what;
    }
}

TEST_F(WebApps, websocket_upgrade_on_http_and_the_chisel_tunnel)
{
    kit::conversation c(m, 80);
    c.handshake();
    c.client("GET /chat HTTP/1.1\r\nHost: ws.vesk.test\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_WEBSOCKET);
    EXPECT_EQ(c.master(), OXLO_PROTOCOL_HTTP);
    EXPECT_FALSE(c.risk(OXLO_OBFUSCATED_TRAFFIC));

    kit::conversation t(m, 80);
    t.handshake();
    t.client("GET / HTTP/1.1\r\nHost: a.vesk.test\r\nUpgrade: websocket\r\nSec-WebSocket-Protocol: chisel-v3\r\n\r\n");
    EXPECT_EQ(t.app(), OXLO_PROTOCOL_WEBSOCKET);
    EXPECT_TRUE(t.risk(OXLO_OBFUSCATED_TRAFFIC));
    EXPECT_NE(t.messages().find("Obfuscated SSH-in-HTTP-WebSocket traffic"), std::string::npos) << t.messages();

    kit::conversation plain(m, 80);
    plain.handshake();
    plain.client("GET / HTTP/1.1\r\nHost: a.vesk.test\r\nUpgrade: h2c\r\n\r\n");
    EXPECT_EQ(plain.app(), OXLO_PROTOCOL_HTTP);
}

TEST_F(WebApps, json_payloads)
{
    struct {
        const char *what;
        std::string payload;
        bool json;
    } cases[] = {
        {"empty object", "{}", true},
        {"length prefix then an array", "42\n[1, 2, {\"a\": \"b\"}]\r\n", true},
        {"binary prefix of 4 bytes", std::string("\x00\x00\x00\x10", 4) + "{\"id\":1,\"ok\":true}", true},
        {"9 unprintable bytes first", std::string(9, '\x01') + "{\"id\":1}", false},
        {"15 letters before the brace", "abcdefghijklmno{\"a\":1}", false},
        {"control byte inside", std::string("{\"a\":\x01\"b\"}"), false},
        {"no closing bracket near the end", "{\"a\": 1, " + std::string(20, 'x') + ".", false},
        {"no bracket", "hello world", false},
    };
    for (auto &t : cases) {
        kit::conversation c(m, 7777);
        c.handshake();
        c.client(t.payload);
        EXPECT_EQ(c.app() == OXLO_PROTOCOL_JSON, t.json) << t.what;
    }
}

TEST_F(WebApps, messagepack_payloads)
{
    // nvim's msgpack-rpc request [0, 1, "nvim_get_api_info", []].
    std::string rpc = hex("940001b1") + "nvim_get_api_info" + hex("90");
    std::string map = hex("82d903") + "key" + hex("d905") + "value" + hex("d903") + "two" + hex("d903") + "abc";
    struct {
        const char *what;
        std::string payload;
        bool msgpack;
    } cases[] = {
        {"msgpack-rpc request", rpc, true},
        {"map of str8 keys and values", map, true},
        {"32 positive fixints", std::string(32, '\x05'), false},
        {"reserved byte 0xc1", hex("c1c1c1c1"), false},
        {"string with a control byte", hex("93a3") + std::string("a\x01z", 3) + hex("a3") + "abc", false},
        {"str32 longer than the packet, nearly nothing read", hex("db00010000") + "abc", false},
    };
    for (auto &t : cases) {
        kit::conversation c(m, 6666);
        c.handshake();
        c.client(t.payload);
        EXPECT_EQ(c.app() == OXLO_PROTOCOL_MESSAGEPACK, t.msgpack) << t.what;
    }
}

TEST_F(WebApps, framed_protocols_and_their_near_misses)
{
    const std::string v2 = hex("0d0a0d0a000d0a515549540a2111000c7f0000017f000001cd1c1f42");
    struct {
        const char *what;
        std::string payload;
        uint16_t proto;
        bool match;
    } cases[] = {
        {"AJP CPing", hex("123400010a"), OXLO_PROTOCOL_AJP, true},
        {"AJP forward request", hex("1234000802") + "GET /", OXLO_PROTOCOL_AJP, true},
        {"AJP to the container with a reply code", hex("1234000103"), OXLO_PROTOCOL_AJP, false},
        {"AJP CPong from the container", hex("414200010900"), OXLO_PROTOCOL_AJP, true},
        {"AJP zero length", hex("123400000a"), OXLO_PROTOCOL_AJP, false},
        {"PROXY v2 signature", v2, OXLO_PROTOCOL_HAPROXY, true},
        {"PROXY v1 line alone", "PROXY TCP4 10.0.0.2 10.0.0.1 40000 80\r\n", OXLO_PROTOCOL_HAPROXY, true},
        {"PROXY v1 line with the request after it in the same write",
         "PROXY TCP4 10.0.0.2 10.0.0.1 40000 80\r\nGET / HTTP/1.1\r\n\r\n", OXLO_PROTOCOL_HAPROXY, true},
        {"PROXY TCP text with no line end in the longest header", "PROXY TCP4 " + std::string(120, '1'),
         OXLO_PROTOCOL_HAPROXY, false},
        {"JSON-RPC request", "{\"jsonrpc\": \"2.0\", \"method\": \"sum\", \"id\": 1}", OXLO_PROTOCOL_JSON_RPC, true},
        {"JSON without jsonrpc member", "{\"method\": \"sum\", \"params\": [1, 2], \"id\": 1}", OXLO_PROTOCOL_JSON_RPC,
         false},
    };
    for (auto &t : cases) {
        kit::conversation c(m, 9009);
        c.handshake();
        c.client(t.payload);
        EXPECT_EQ(c.app() == t.proto && c.by_inspection(), t.match) << t.what << " (app " << c.app() << ")";
    }
}

// FastCGI records as nginx writes them: BEGIN_REQUEST, PARAMS, an empty
// PARAMS and an empty STDIN in one payload. Pair lengths of 128 and more
// take four bytes with the top bit set.
std::string fcgi_record(uint8_t type, const std::string &content)
{
    const size_t padding = (8 - content.size() % 8) % 8;
    return std::string{1, char(type), 0, 1, char(content.size() >> 8), char(content.size()), char(padding), 0} +
           content + std::string(padding, '\0');
}
std::string fcgi_length(size_t n)
{
    if (n < 128)
        return std::string(1, char(n));
    return std::string{char(0x80 | (n >> 24)), char(n >> 16), char(n >> 8), char(n)};
}
std::string fcgi_pair(const std::string &name, const std::string &value)
{
    return fcgi_length(name.size()) + fcgi_length(value.size()) + name + value;
}

TEST_F(WebApps, fastcgi_request_with_long_pairs)
{
    const std::string agent = "vesk-" + std::string(200, 'a');
    const std::string params = fcgi_pair("REQUEST_METHOD", "GET") + fcgi_pair("SCRIPT_URL", "/long") +
                               fcgi_pair("HTTP_HOST", "app.vesk.test") + fcgi_pair("HTTP_USER_AGENT", agent);
    const std::string request = fcgi_record(1, hex("0001000000000000")) + fcgi_record(4, params) +
                                fcgi_record(4, "") + fcgi_record(5, "");
    kit::conversation c(m, 9000);
    c.handshake();
    c.client(request);
    ASSERT_EQ(c.app(), OXLO_PROTOCOL_FASTCGI);
    EXPECT_TRUE(c.by_inspection());
    EXPECT_STREQ(oxlo_flow_host_name(c.f), "app.vesk.test");
    EXPECT_STREQ(oxlo_flow_fastcgi_field(c.f, "method"), "GET");
    EXPECT_STREQ(oxlo_flow_fastcgi_field(c.f, "url"), "/long");
    EXPECT_EQ(std::string(oxlo_flow_fastcgi_field(c.f, "user_agent")), agent.substr(0, 31));
    EXPECT_FALSE(c.risk(OXLO_MALFORMED_PACKET)) << c.messages();

    std::string cut = params;
    cut.back() = 'b';
    cut.pop_back(); /* the last value is one byte short of its length */
    kit::conversation bad(m, 9000);
    bad.handshake();
    bad.client(fcgi_record(1, hex("0001000000000000")) + fcgi_record(4, cut));
    EXPECT_EQ(bad.app(), OXLO_PROTOCOL_FASTCGI);
    EXPECT_NE(bad.messages().find("Invalid FastCGI PARAMS header"), std::string::npos) << bad.messages();

    kit::conversation host(m, 9000);
    host.handshake();
    host.client(fcgi_record(4, fcgi_pair("HTTP_HOST", "bad host$")));
    EXPECT_NE(host.messages().find("Invalid host bad host$"), std::string::npos) << host.messages();
    EXPECT_TRUE(host.risk(OXLO_POSSIBLE_EXPLOIT));

    kit::conversation miss(m, 9000);
    miss.handshake();
    miss.client(fcgi_record(1, hex("0001000000000000")) + "x");
    EXPECT_NE(miss.app(), OXLO_PROTOCOL_FASTCGI);
}

// The host's service becomes the master of the FastCGI flow.
TEST_F(WebApps, fastcgi_pairs_with_the_service_of_its_host)
{
    struct {
        const char *host;
        uint16_t master;
    } cases[] = {{"teams.microsoft.com", OXLO_PROTOCOL_TEAMS}, {"app.vesk.test", 0}};
    for (const auto &k : cases) {
        kit::conversation c(m, 9000);
        c.handshake();
        c.client(fcgi_record(1, hex("0001000000000000")) +
                 fcgi_record(4, fcgi_pair("REQUEST_METHOD", "GET") + fcgi_pair("HTTP_HOST", k.host)) +
                 fcgi_record(4, "") + fcgi_record(5, ""));
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_FASTCGI) << k.host;
        EXPECT_EQ(c.master(), k.master) << k.host;
    }
}

// The follow-up reads until the empty PARAMS record that ends the
// request's variables; a request that carries it needs none.
TEST_F(WebApps, fastcgi_follow_up_ends_at_the_empty_params_record)
{
    const std::string begin = fcgi_record(1, hex("0001000000000000")) +
                              fcgi_record(4, fcgi_pair("REQUEST_METHOD", "POST") + fcgi_pair("HTTP_HOST", "app.vesk.test"));
    struct {
        const char *what;
        std::string first, next;
        bool following;
    } cases[] = {
        {"whole request", begin + fcgi_record(4, "") + fcgi_record(5, ""), "", false},
        {"empty PARAMS next", begin, fcgi_record(4, "") + fcgi_record(5, "body"), false},
        {"near miss: STDIN next", begin, fcgi_record(5, "body"), true},
    };
    for (const auto &k : cases) {
        kit::conversation c(m, 9000);
        c.handshake();
        c.client(k.first);
        ASSERT_EQ(c.app(), OXLO_PROTOCOL_FASTCGI) << k.what;
        if (!k.next.empty())
            c.client(k.next);
        EXPECT_EQ(oxlo_dissector_extra_active(c.f, nullptr) != 0, k.following) << k.what;
    }
}

std::string strict_thrift(uint8_t type, const std::string &name, uint32_t length)
{
    return std::string{char(0x80), 1, 0, char(type), char(length >> 24), char(length >> 16), char(length >> 8),
                       char(length)} +
           name + hex("0000000100");
}

TEST_F(WebApps, thrift_messages)
{
    kit::conversation call(m, 9090);
    call.handshake();
    call.client(strict_thrift(1, "ping", 4));
    ASSERT_EQ(call.app(), OXLO_PROTOCOL_THRIFT);
    EXPECT_STREQ(oxlo_flow_thrift_method(call.f), "ping");

    kit::conversation exception(m, 9090);
    exception.handshake();
    exception.client(strict_thrift(3, "divide", 6));
    EXPECT_EQ(exception.app(), OXLO_PROTOCOL_THRIFT);
    EXPECT_NE(exception.messages().find("Apache Thrift Exception"), std::string::npos) << exception.messages();

    kit::conversation zero(m, 9090);
    zero.handshake();
    zero.client(strict_thrift(0, "ping", 4));
    EXPECT_NE(zero.messages().find("Invalid message type"), std::string::npos) << zero.messages();

    // A name length near 2^32 must not wrap around the fit check.
    kit::conversation wrap(m, 9090);
    wrap.handshake();
    wrap.client(strict_thrift(1, "ping", 0xFFFFFFFC));
    EXPECT_NE(wrap.app(), OXLO_PROTOCOL_THRIFT);

    // The framed transport: the frame length alone in a segment before the
    // message (as Cassandra's Thrift clients send it), or in front of it in
    // one segment. A lone length followed by something else is no Thrift.
    const std::string ping = strict_thrift(1, "describe_cluster_name", 21);
    const std::string length = hex("00000022");
    const struct {
        const char *name;
        std::vector<std::string> segments;
        bool thrift;
    } framed[] = {
        {"length alone, then the message", {length, ping}, true},
        {"length and message together", {length + ping}, true},
        {"length alone, then no message", {length, "GET / HTTP/1.1\r\n\r\n"}, false},
        {"length one past the message", {hex("00000023") + ping}, false},
        {"frame cut after its length and in the method name", {length + ping.substr(0, 10), ping.substr(10)}, true},
        {"two frames at once, the second cut", {length + ping + length + ping.substr(0, 6)}, true},
        {"a frame length that never completes", {hex("00000100"), ping}, false},
    };
    for (const auto &c : framed) {
        kit::conversation flow(m, 9160);
        flow.handshake();
        for (const auto &segment : c.segments)
            flow.client(segment);
        EXPECT_EQ(flow.app() == OXLO_PROTOCOL_THRIFT, c.thrift) << c.name;
        if (c.thrift) {
            EXPECT_STREQ(oxlo_flow_thrift_method(flow.f), "describe_cluster_name");
        }
    }

    kit::conversation compact(m, 9090, OXLO_L4_UDP);
    compact.client(hex("8221") + hex("000000") + std::string(1, char(4)) + "ping" + hex("00"));
    EXPECT_EQ(compact.app(), OXLO_PROTOCOL_THRIFT);
    EXPECT_STREQ(oxlo_flow_thrift_method(compact.f), "ping");
}

TEST_F(WebApps, soap_and_json_rpc_over_http)
{
    kit::conversation soap(m, 80);
    soap.handshake();
    soap.client("POST /svc HTTP/1.1\r\nHost: ws.vesk.test\r\nContent-Type: text/xml\r\nSOAPAction: \"urn:Get\"\r\n"
                "Content-Length: 5\r\n\r\n<x/>\n");
    EXPECT_EQ(soap.app(), OXLO_PROTOCOL_SOAP);
    EXPECT_EQ(soap.master(), OXLO_PROTOCOL_HTTP);

    kit::conversation rpc(m, 80);
    rpc.handshake();
    rpc.client("POST /rpc HTTP/1.1\r\nHost: rpc.vesk.test\r\nContent-Type: application/json-rpc\r\n"
               "Content-Length: 2\r\n\r\n{}");
    EXPECT_EQ(rpc.app(), OXLO_PROTOCOL_JSON_RPC);
    EXPECT_EQ(rpc.master(), OXLO_PROTOCOL_HTTP);

    kit::conversation thrift(m, 80);
    thrift.handshake();
    thrift.client("POST /t HTTP/1.1\r\nHost: t.vesk.test\r\nContent-Type: application/vnd.apache.thrift.binary\r\n"
                  "Content-Length: 2\r\n\r\nxx");
    EXPECT_EQ(thrift.app(), OXLO_PROTOCOL_THRIFT);

    kit::conversation xml(m, 7070);
    xml.handshake();
    xml.client("<?xml version=\"1.0\" encoding=\"utf-8\"?><Envelope/>");
    xml.server("<?xml version=\"1.0\"?><Envelope/>");
    xml.client("<a/>");
    EXPECT_NE(xml.app(), OXLO_PROTOCOL_SOAP) << "three packets are not enough";
    xml.server("<b/>");
    EXPECT_EQ(xml.app(), OXLO_PROTOCOL_SOAP);
}

// The protocols carried in HTTP are named from the request as HTTP put it
// together: cut into small segments, its header lines still name them, and
// a segment of it is no message of theirs.
TEST_F(WebApps, protocols_inside_http_read_the_whole_request_however_it_is_cut)
{
    struct {
        const char *what;
        uint16_t port;
        std::string request;
        uint16_t app;
    } cases[] = {
        {"SOAPAction header", 8080,
         "POST /svc HTTP/1.1\r\nHost: ws.vesk.test\r\nContent-Type: text/xml\r\nSOAPAction: \"urn:Get\"\r\n"
         "Content-Length: 5\r\n\r\n<x/>\n",
         OXLO_PROTOCOL_SOAP},
        {"JSON-RPC content type", 8080,
         "POST /rpc HTTP/1.1\r\nHost: rpc.vesk.test\r\nUser-Agent: curl/7.88.1\r\nContent-Type: application/json-rpc\r\n"
         "Content-Length: 2\r\n\r\n{}",
         OXLO_PROTOCOL_JSON_RPC},
        {"WebSocket upgrade", 8765,
         "GET /chat HTTP/1.1\r\nHost: ws.vesk.test\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n",
         OXLO_PROTOCOL_WEBSOCKET},
        {"IPP on its own port", 631,
         "POST /printers/vesk HTTP/1.1\r\nHost: 10.0.0.1:631\r\nContent-Type: application/ipp\r\n"
         "Content-Length: 9\r\n\r\n\x02\x00\x00\x0b\x00\x00\x00\x01\x03",
         OXLO_PROTOCOL_IPP},
        {"DASH segment", 8000, "GET /video/seg-1.m4s HTTP/1.1\r\nHost: 10.0.0.1:8000\r\nUser-Agent: x\r\n\r\n",
         OXLO_PROTOCOL_MPEGDASH},
    };
    for (const auto &k : cases)
        for (size_t cut : {size_t(1), size_t(7), size_t(30), k.request.size()}) {
            kit::conversation c(m, k.port);
            c.handshake();
            for (size_t at = 0; at < k.request.size(); at += cut)
                c.client(k.request.substr(at, cut));
            EXPECT_EQ(c.app(), k.app) << k.what << ", " << cut << "-byte segments";
            EXPECT_EQ(c.master(), OXLO_PROTOCOL_HTTP) << k.what << ", " << cut << "-byte segments";
        }
}

// Each opening is named as its receiver reads it, however the network cut
// the sender's write: one byte a segment, three, or all at once (PSH on the
// segment that ends the write only).
TEST_F(WebApps, openings_are_named_however_the_sender_cuts_them)
{
    const std::string fcgi = fcgi_record(1, hex("0001000000000000")) +
                             fcgi_record(4, fcgi_pair("REQUEST_METHOD", "GET") + fcgi_pair("HTTP_HOST", "app.vesk.test")) +
                             fcgi_record(4, "") + fcgi_record(5, "");
    struct {
        const char *what;
        std::string bytes;
        uint16_t app;
        const char *host;
    } cases[] = {
        {"HTTP/2 preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + hex("000000040000000000"), OXLO_PROTOCOL_HTTP2, ""},
        {"PROXY v2 signature", hex("0d0a0d0a000d0a515549540a2111000c7f0000017f000001cd1c1f42"), OXLO_PROTOCOL_HAPROXY, ""},
        {"PROXY v1 line and the request", "PROXY TCP4 10.0.0.2 10.0.0.1 40000 80\r\nGET / HTTP/1.1\r\n\r\n",
         OXLO_PROTOCOL_HAPROXY, ""},
        {"AJP CPing", hex("123400010a"), OXLO_PROTOCOL_AJP, ""},
        {"JRMI opening", "JRMI" + hex("00024b"), OXLO_PROTOCOL_JRMI, ""},
        {"GIOP request", "GIOP" + hex("010000000000000c") + std::string(12, 'r'), OXLO_PROTOCOL_CORBA, ""},
        {"DRDA block", hex("000ed00100010008") + "abcdef", OXLO_PROTOCOL_DRDA, ""},
        {"MessagePack map", hex("82d9046e616d65d90476657368d9046b696e64d90474657374"), OXLO_PROTOCOL_MESSAGEPACK, ""},
        {"FastCGI request", fcgi, OXLO_PROTOCOL_FASTCGI, "app.vesk.test"},
        {"JSON-RPC request", "{\"id\": 1, \"method\": \"sum\", \"params\": [1, 2], \"jsonrpc\": \"2.0\"}",
         OXLO_PROTOCOL_JSON_RPC, ""},
    };
    for (const auto &k : cases)
        for (size_t cut : {size_t(1), size_t(3), k.bytes.size()}) {
            kit::conversation c(m, 9009);
            c.handshake();
            for (size_t at = 0; at < k.bytes.size(); at += cut)
                c.segment(true, k.bytes.substr(at, cut), at + cut >= k.bytes.size() ? 0x18 : 0x10);
            EXPECT_EQ(c.app(), k.app) << k.what << ", " << cut << "-byte segments";
            EXPECT_STREQ(oxlo_flow_host_name(c.f), k.host) << k.what << ", " << cut << "-byte segments";
        }
    // Written a byte at a time: while HTTP weighs "G" as a method, the
    // frame reader keeps the bytes, and never takes a frame from the middle.
    kit::conversation c(m, 9009);
    c.handshake();
    const std::string giop = "GIOP" + hex("010000000000000c") + std::string(12, 'r');
    for (char b : giop)
        c.client(std::string(1, b));
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_CORBA);
}

} // namespace
