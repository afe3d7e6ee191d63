#include "dissector_kit.h"

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

} // namespace
