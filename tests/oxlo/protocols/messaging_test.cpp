// Messaging and message-queue dissectors on their first messages, each with
// a near miss that must not match. IRC, Jabber, NATS, ZeroMQ, STOMP,
// OpenWire and SMPP are also replayed from real peers in
// tests/captures/messaging.
#include "dissector_kit.h"
#include "oxlo_protocol_ids.h"

namespace {

struct Messaging : kit::engine {};

std::string be32(uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

std::string smpp(uint32_t id, uint32_t status, size_t body)
{
    return be32(uint32_t(16 + body)) + be32(id) + be32(status) + be32(1) + std::string(body, '\0');
}

struct exchange {
    const char *what;
    uint16_t port;
    uint8_t l4;
    std::vector<std::pair<bool, std::string>> packets;
    uint16_t expected; // 0: must not be named `protocol`
    uint16_t protocol;
};

std::vector<exchange> cases()
{
    return {
        {"IRC: NICK, USER, then the server's numerics and a NOTICE", 6697, OXLO_L4_TCP,
         {{true, "NICK alice\r\n"}, {true, "USER alice 0 * :Alice\r\n"},
          {false, ":irc.vesk.test 001 alice :Welcome to the network\r\n"}, {false, ":irc.vesk.test NOTICE alice :hi\r\n"}},
         OXLO_PROTOCOL_IRC, 0},
        {"IRC: a line without its LF", 6667, OXLO_L4_TCP, {{true, "NICK alice"}}, 0, OXLO_PROTOCOL_IRC},
        {"Jabber: stream header split before the namespace", 5222, OXLO_L4_TCP,
         {{true, "<?xml version='1.0'?><stream:stream to='vesk.test' "},
          {true, "<?xml version='1.0'?><stream:stream to='vesk.test' xmlns='jabber:client' "
                 "xmlns:stream='http://etherx.jabber.org/streams' version='1.0'>"}},
         OXLO_PROTOCOL_JABBER, 0},
        {"Jabber: TruPhone's domain", 5222, OXLO_L4_TCP,
         {{true, "<stream:stream to='truphone.com' xmlns:stream=\"http://etherx.jabber.org/streams\">"}},
         OXLO_PROTOCOL_TRUPHONE, 0},
        {"Telegram call: twelve 0xFF", 533, OXLO_L4_UDP, {{true, std::string(8, 'a') + std::string(12, '\xFF') + std::string(30, 'b')}},
         OXLO_PROTOCOL_TELEGRAM, 0},
        {"Telegram: eleven 0xFF", 533, OXLO_L4_UDP, {{true, std::string(8, 'a') + std::string(11, '\xFF') + std::string(30, 'b')}},
         0, OXLO_PROTOCOL_TELEGRAM},
        {"Telegram: thirteen 0xFF", 533, OXLO_L4_UDP, {{true, std::string(8, 'a') + std::string(13, '\xFF') + std::string(30, 'b')}},
         0, OXLO_PROTOCOL_TELEGRAM},
        {"SMPP bind_transceiver", 2775, OXLO_L4_TCP, {{true, smpp(9, 0, 20)}}, OXLO_PROTOCOL_SMPP, 0},
        {"SMPP enquire_link of 16 bytes", 2775, OXLO_L4_TCP, {{true, smpp(21, 0, 0)}}, OXLO_PROTOCOL_SMPP, 0},
        {"SMPP: a bind too short", 2775, OXLO_L4_TCP, {{true, smpp(9, 0, 2)}}, 0, OXLO_PROTOCOL_SMPP},
        {"OICQ", 8000, OXLO_L4_UDP, {{true, std::string("\x02\x3B\x0B\x00\x22\x00\x01\x02", 8)}}, OXLO_PROTOCOL_OICQ, 0},
        {"OICQ: command 500", 8000, OXLO_L4_UDP, {{true, std::string("\x02\x3B\x0B\x01\xF4\x00\x01\x02", 8)}}, 0, OXLO_PROTOCOL_OICQ},
        {"QQ by length", 8000, OXLO_L4_UDP, {{true, std::string("\x02\x00\x38\x00", 4) + std::string(52, 'q')}}, OXLO_PROTOCOL_QQ, 0},
        {"STOMP CONNECT frame", 61613, OXLO_L4_TCP, {{true, "STOMP\naccept-version:1.2\nhost:vesk.test\n\n\0"}}, OXLO_PROTOCOL_STOMP, 0},
        {"STOMP 1.0 client's CONNECT frame", 7613, OXLO_L4_TCP,
         {{true, std::string("CONNECT\naccept-version:1.0\nlogin:guest\npasscode:guest\n\n\0", 56)},
          {false, "CONNECTED\nserver:RabbitMQ/3.10.8\nsession:session-z94Y_0d2pq0Pp54orfEYRw\nheart-beat:0,0\nversion:1.0\n\n"}},
         OXLO_PROTOCOL_STOMP, 0},
        {"STOMP CONNECT frame cut in its command and its headers", 61613, OXLO_L4_TCP,
         {{true, "STO"}, {true, "MP\naccept-vers"}, {true, "ion:1.2\nhost:vesk.test\n\n"}, {true, std::string(1, '\0')}},
         OXLO_PROTOCOL_STOMP, 0},
        {"STOMP: an HTTP CONNECT request", 61613, OXLO_L4_TCP,
         {{true, "CONNECT vesk.test:443 HTTP/1.1\r\nHost: vesk.test:443\r\n\r\n"}}, 0, OXLO_PROTOCOL_STOMP},
        {"NATS INFO", 4222, OXLO_L4_TCP, {{false, "INFO {\"server_id\":\"x\",\"version\":\"2.9\"}\r\n"}}, OXLO_PROTOCOL_NATS, 0},
        {"NATS: no line end", 4222, OXLO_L4_TCP, {{false, "INFO {\"server_id\":\"x\"}"}}, 0, OXLO_PROTOCOL_NATS},
        {"OpenWire WireFormatInfo", 61616, OXLO_L4_TCP,
         {{false, be32(20) + "\x01" "ActiveMQ" + std::string(11, '\0')}}, OXLO_PROTOCOL_OPENWIRE, 0},
        {"OpenWire WireFormatInfo, its length in 1-byte segments", 61616, OXLO_L4_TCP,
         {{false, std::string(1, '\0')}, {false, std::string(1, '\0')}, {false, std::string(1, '\0')},
          {false, std::string(1, '\x14')}, {false, "\x01" "ActiveMQ" + std::string(11, '\0')}},
         OXLO_PROTOCOL_OPENWIRE, 0},
        {"ZeroMQ greeting", 5555, OXLO_L4_TCP, {{true, std::string("\xFF\0\0\0\0\0\0\0\x01\x7F\x03\x00", 12)}}, OXLO_PROTOCOL_ZEROMQ, 0},
        {"ZeroMQ greeting cut inside its signature", 5555, OXLO_L4_TCP,
         {{true, std::string("\xFF\0\0\0", 4)}, {true, std::string("\0\0\0\0\x01", 5)}, {true, std::string("\x7F\x03\x00", 3)}},
         OXLO_PROTOCOL_ZEROMQ, 0},
        {"ZeroMQ: wrong signature end", 5555, OXLO_L4_TCP, {{true, std::string("\xFF\0\0\0\0\0\0\0\x01\x7E\x03\x00", 12)}}, 0, OXLO_PROTOCOL_ZEROMQ},
    };
}

TEST_F(Messaging, first_messages_and_near_misses)
{
    for (const exchange &e : cases()) {
        kit::conversation c(m, e.port, e.l4);
        if (e.l4 == OXLO_L4_TCP)
            c.handshake();
        for (const auto &p : e.packets)
            p.first ? c.client(p.second) : c.server(p.second);
        if (e.expected)
            EXPECT_EQ(c.app(), e.expected) << e.what;
        else
            EXPECT_NE(c.app(), e.protocol) << e.what;
    }
}

// A text opening cut into single-byte segments is read as its peer wrote
// it: named as when whole, and a short frame's NUL ends the wait for more.
TEST_F(Messaging, openings_cut_into_single_bytes)
{
    struct cut_case {
        const char *what;
        uint16_t port;
        bool from_client;
        std::string opening;
        uint16_t expected; // 0: must not be named `protocol`
        uint16_t protocol;
    } cases[] = {
        {"STOMP frame", 61613, true, std::string("STOMP\naccept-version:1.2\nhost:vesk.test\n\n\0", 42), OXLO_PROTOCOL_STOMP, 0},
        {"STOMP: a frame too short for an opening", 61613, true, std::string("STOMP\nhost:a\n\n\0", 15), 0,
         OXLO_PROTOCOL_STOMP},
        {"NATS INFO", 4222, false, "INFO {\"server_id\":\"x\",\"version\":\"2.9\"}\r\n", OXLO_PROTOCOL_NATS, 0},
        {"IRC lines", 6667, true, "NICK alice\r\nUSER alice 0 * :Alice\r\nJOIN #vesk\r\n", OXLO_PROTOCOL_IRC, 0},
    };
    for (const cut_case &e : cases) {
        kit::conversation c(m, e.port);
        c.handshake();
        for (char b : e.opening)
            e.from_client ? c.client(std::string(1, b)) : c.server(std::string(1, b));
        if (e.expected)
            EXPECT_EQ(c.app(), e.expected) << e.what;
        else
            EXPECT_NE(c.app(), e.protocol) << e.what;
    }
}

TEST_F(Messaging, irc_user_name_is_a_credential)
{
    kit::conversation c(m, 6667);
    c.handshake();
    c.client("NICK alice\r\nUSER alice 0 * :Alice\r\n");
    EXPECT_NE(c.messages().find("Found IRC username (alice)"), std::string::npos) << c.messages();
}

} // namespace
