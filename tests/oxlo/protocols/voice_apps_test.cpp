// LINE calls, KakaoTalk voice, Viber and WhatsApp on packets built from
// their byte layouts, each with a near miss that must not match; LINE's
// byte-3 sequence and where it meets RTP; Viber beside RTP counting. Every
// dissector is registered, so the order in which they are tried counts.
#include "dissector_kit.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_hosts.h"

#include <cstring>

namespace {

constexpr uint32_t LINE_RELAY = 0x935C8205; /* 147.92.130.5 */
constexpr uint32_t KAKAO_TEST = 0xC6336407; /* 198.51.100.7, in the range the test loads */
constexpr uint32_t BROADCAST = 0xFFFFFFFF;

struct voice_apps : kit::engine {
    void SetUp() override
    {
        kit::engine::SetUp();
        // No KakaoTalk network is built in; sites load theirs, as here.
        char rule[] = "198.51.0.0/16";
        ASSERT_EQ(oxlo_add_address_rule(m, rule, OXLO_PROTOCOL_KAKAOTALK, 0), 0);
    }
};

std::string le16(unsigned v) { return std::string{char(v), char(v >> 8)}; }
std::string pad(std::string s, size_t n, char c = 'x')
{
    s.resize(n, c);
    return s;
}

bool named(const kit::conversation &c, uint16_t id) { return c.app() == id || c.master() == id; }

struct exchange {
    const char *what;
    uint16_t port;
    uint8_t l4;
    std::vector<std::pair<bool, std::string>> packets; // from_client, payload
    uint16_t expected;                                 // 0: must not be named `protocol`
    uint16_t protocol = 0;
    uint32_t server = 0x0a000001;
};

std::vector<exchange> cases()
{
    const uint8_t T = OXLO_L4_TCP, U = OXLO_L4_UDP;
    const uint16_t LC = OXLO_PROTOCOL_LINECALL, KV = OXLO_PROTOCOL_KAKAOTALK_VOICE, VB = OXLO_PROTOCOL_VIBER,
                   WA = OXLO_PROTOCOL_WHATSAPP;
    const std::string line_media = std::string("\xD8\x95\x00\x01\x06\x02", 6);
    const std::string tcp_fc = pad(le16(24) + std::string("\x00\x00\x00\x00\xFC\x00\x00\x80", 8), 24);
    const std::string tcp_0380 = pad(le16(16) + std::string("\x00\x00\x03\x80\x00\x00\x00\x00\x0A", 9), 16);
    const std::string ed4("ED\x00\x01\x00\x00\x04\x08", 8), ed2("ED\x00\x01\x00\x00\x02\x08", 8);
    return {
        // LINE towards its relays: fixed forms, named on one packet.
        {"LINE 110-byte B6 18 00 6A", 50010, U, {{true, pad(std::string("\xB6\x18\x00\x6A", 4), 110)}}, LC, 0, LINE_RELAY},
        {"LINE: the same form off its network", 50010, U, {{true, pad(std::string("\xB6\x18\x00\x6A", 4), 110)}}, 0, LC},
        {"LINE: 111 bytes B6 18 00 6A", 50010, U, {{true, pad(std::string("\xB6\x18\x00\x6A", 4), 111)}}, 0, LC, LINE_RELAY},
        {"LINE 8-byte B6 07 00 04", 50010, U, {{true, pad(std::string("\xB6\x07\x00\x04", 4), 8)}}, LC, 0, LINE_RELAY},
        {"LINE: 9 bytes B6 07 00 04", 50010, U, {{true, pad(std::string("\xB6\x07\x00\x04", 4), 9)}}, 0, LC, LINE_RELAY},
        {"LINE 16-byte B6 09 00 0C", 50010, U, {{true, pad(std::string("\xB6\x09\x00\x0C", 4), 16)}}, LC, 0, LINE_RELAY},
        {"LINE 46-byte B6 07 00 06", 50010, U, {{true, pad(std::string("\xB6\x07\x00\x06", 4), 46)}}, LC, 0, LINE_RELAY},
        {"LINE D0 DA, two bytes", 50010, U, {{true, "\xD0\xDA"}}, LC, 0, LINE_RELAY},
        {"LINE D0 B4, 149 bytes", 50010, U, {{true, pad("\xD0\xB4", 149)}}, LC, 0, LINE_RELAY},
        {"LINE: D0 DB, 150 bytes", 50010, U, {{true, pad("\xD0\xDB", 150)}}, 0, LC, LINE_RELAY},
        {"LINE: D0 DC", 50010, U, {{true, pad("\xD0\xDC", 40)}}, 0, LC, LINE_RELAY},
        {"LINE D8 9x with 06 02, 150 bytes", 50010, U, {{true, pad(line_media, 150)}}, LC, 0, LINE_RELAY},
        {"LINE D9 Ex with 06 02", 50010, U, {{true, pad("\xD9\xE7" + line_media.substr(2), 400)}}, LC, 0, LINE_RELAY},
        {"LINE: D8 9x, 149 bytes", 50010, U, {{true, pad(line_media, 149)}}, 0, LC, LINE_RELAY},
        {"LINE: D8 Ax", 50010, U, {{true, pad("\xD8\xA5" + line_media.substr(2), 400)}}, 0, LC, LINE_RELAY},
        {"LINE DA with 06 02, 738 bytes", 50010, U, {{true, pad(std::string("\xDA\x00", 2) + line_media.substr(2), 738)}}, LC, 0, LINE_RELAY},
        {"LINE: DB with 06 02, 737 bytes", 50010, U, {{true, pad(std::string("\xDB\x00", 2) + line_media.substr(2), 737)}}, 0, LC, LINE_RELAY},
        {"LINE: DA with 06 03", 50010, U, {{true, pad(std::string("\xDA\x00\x00\x01\x06\x03", 6), 800)}}, 0, LC, LINE_RELAY},

        // KakaoTalk voice: a mark and the service's network.
        {"KakaoTalk 0x81 first", 30000, U, {{true, std::string("\x81\x01\x01\x01", 4)}}, KV, 0, KAKAO_TEST},
        {"KakaoTalk 0xC8 second", 30000, U, {{true, std::string("\x01\xC8\x01\x01\x01", 5)}}, KV, 0, KAKAO_TEST},
        {"KakaoTalk zero third", 30000, U, {{true, std::string("\x01\x01\x00\x01", 4)}}, KV, 0, KAKAO_TEST},
        {"KakaoTalk 12 fourth", 30000, U, {{true, std::string("\x01\x01\x01\x0C", 4)}}, KV, 0, KAKAO_TEST},
        {"KakaoTalk: no mark", 30000, U, {{true, std::string("\x01\x01\x01\x01\x00", 5)}}, 0, KV, KAKAO_TEST},
        {"KakaoTalk: three bytes", 30000, U, {{true, std::string("\x81\x01\x00", 3)}}, 0, KV, KAKAO_TEST},
        {"KakaoTalk: a mark off its network", 30000, U, {{true, std::string("\x81\x01\x01\x01", 4)}}, 0, KV},

        // Viber over UDP.
        {"Viber type 3", 7985, U, {{true, pad(std::string("\x11\x22\x03\x00", 4), 12)}}, VB},
        {"Viber type 9, 20 bytes", 7985, U, {{true, pad(std::string("\x11\x22\x09\x00", 4), 20)}}, VB},
        {"Viber type 1 with 00 05 00", 7985, U, {{true, pad(std::string("\x11\x22\x01\x00\x05\x00", 6), 30)}}, VB},
        {"Viber type 25, 34 bytes", 7985, U, {{true, pad(std::string("\x11\x22\x19\x00", 4), 34)}}, VB},
        {"Viber type 27, 34 bytes", 7985, U, {{true, pad(std::string("\x11\x22\x1B\x00", 4), 34)}}, VB},
        {"Viber: type 3 with 1 after", 7985, U, {{true, pad(std::string("\x11\x22\x03\x01", 4), 12)}}, 0, VB},
        {"Viber: type 25, 35 bytes", 7985, U, {{true, pad(std::string("\x11\x22\x19\x00", 4), 35)}}, 0, VB},
        {"Viber: type 1 with 00 06 00", 7985, U, {{true, pad(std::string("\x11\x22\x01\x00\x06\x00", 6), 30)}}, 0, VB},
        {"Viber short packets wait for the form", 7985, U,
         {{true, "abc"}, {false, "abcde"}, {true, pad(std::string("\x11\x22\x03\x00", 4), 12)}}, VB},
        {"Viber: a fourth short packet gives up", 7985, U,
         {{true, "a"}, {false, "b"}, {true, "c"}, {false, "d"}, {true, pad(std::string("\x11\x22\x03\x00", 4), 12)}}, 0, VB},
        {"Viber a known type waits for its form", 7985, U,
         {{true, pad(std::string("\x11\x22\x09\x00", 4), 21)}, {false, pad(std::string("\x11\x22\x03\x00", 4), 12)}}, VB},
        {"Viber: another type gives up", 7985, U,
         {{true, pad(std::string("\x11\x22\x02\x00", 4), 21)}, {false, pad(std::string("\x11\x22\x03\x00", 4), 12)}}, 0, VB},
        {"Viber: the form to the broadcast address", 7985, U, {{true, pad(std::string("\x11\x22\x03\x00", 4), 12)}}, 0, VB,
         BROADCAST},

        // Viber over TCP.
        {"Viber TCP FC .. 80", 5242, T, {{true, tcp_fc}}, VB},
        {"Viber TCP 03 80 .. 10", 5242, T, {{true, tcp_0380}}, VB},
        {"Viber: TCP length one short", 5242, T, {{true, tcp_fc.substr(0, 23)}}, 0, VB},
        {"Viber: TCP 03 80 with 11", 5242, T, {{true, tcp_0380.substr(0, 10) + "\x0B" + tcp_0380.substr(11)}}, 0, VB},
        {"Viber: TCP of 10 bytes", 5242, T, {{true, le16(10) + std::string("\x00\x00\x03\x80\x00\x00\x00\x00", 8)}}, 0, VB},

        // WhatsApp.
        {"WhatsApp WA 01 05", 5222, T, {{true, std::string("WA\x01\x05\x00\x08", 6)}}, WA},
        {"WhatsApp: WA 01 05 alone", 5222, T, {{true, std::string("WA\x01\x05", 4)}}, 0, WA},
        {"WhatsApp: WA 01 05 second", 5222, T, {{true, std::string("ED\x00", 3)}, {true, std::string("WA\x01\x05\x00", 5)}}, 0, WA},
        {"WhatsApp prologue 04 08 whole", 5222, T, {{true, ed4 + "more"}}, WA},
        {"WhatsApp prologue 02 08 whole", 5222, T, {{true, ed2}}, WA},
        {"WhatsApp prologue over three packets", 5222, T,
         {{true, ed2.substr(0, 3)}, {true, ed2.substr(3, 4)}, {true, ed2.substr(7) + "rest"}}, WA},
        {"WhatsApp prologue split after byte 6", 5222, T, {{true, ed4.substr(0, 7)}, {true, ed4.substr(7)}}, WA},
        /* Read from the stream: the segments a prologue was cut into are
         * not counted as packets of their own. */
        {"WhatsApp prologue over four packets", 5222, T,
         {{true, ed4.substr(0, 2)}, {true, ed4.substr(2, 2)}, {true, ed4.substr(4, 2)}, {true, ed4.substr(6)}}, WA},
        {"WhatsApp: another write before the prologue", 5222, T,
         {{true, "x"}, {false, "y"}, {false, "z"}, {true, ed4}}, 0, WA},
        {"WhatsApp: 03 08 at the end", 5222, T, {{true, ed4.substr(0, 4)}, {true, std::string("\x00\x00\x03\x08", 4)}}, 0, WA},
    };
}

TEST_F(voice_apps, forms_and_near_misses)
{
    for (const exchange &e : cases()) {
        kit::conversation c(m, e.port, e.l4);
        c.server_address = e.server;
        if (e.l4 == OXLO_L4_TCP)
            c.handshake();
        for (const auto &p : e.packets)
            p.first ? c.client(p.second) : c.server(p.second);
        if (e.expected) {
            EXPECT_TRUE(named(c, e.expected)) << e.what << ": app " << c.app() << " master " << c.master();
            EXPECT_TRUE(c.by_inspection()) << e.what;
        } else {
            EXPECT_FALSE(named(c, e.protocol)) << e.what;
        }
    }
}

// A packet of the byte-3 sequence; one that is not RTP starts with 0x10.
std::string seq_packet(uint8_t b3, bool rtp_like = false, size_t n = 20)
{
    return pad(std::string{char(rtp_like ? 0x80 : 0x10), 0, 0x33, char(b3)}, n, 'L');
}

struct step {
    bool from_client;
    uint8_t b3;
    bool rtp_like;
};

// Drives the steps; what the flow was named.
uint16_t run_line(oxlo_module *m, const std::vector<step> &steps, size_t *named_after = nullptr)
{
    kit::conversation c(m, 50020, OXLO_L4_UDP);
    for (size_t i = 0; i < steps.size(); i++) {
        if (c.app())
            break;
        steps[i].from_client ? c.client(seq_packet(steps[i].b3, steps[i].rtp_like))
                             : c.server(seq_packet(steps[i].b3, steps[i].rtp_like));
        if (named_after && named(c, OXLO_PROTOCOL_LINECALL) && !*named_after)
            *named_after = i + 1;
    }
    return c.master() ? c.master() : c.app();
}

// Both directions from bases a and b, alternating, n packets each.
std::vector<step> alternating(uint8_t a, uint8_t b, int n)
{
    std::vector<step> s;
    for (int i = 0; i < n; i++) {
        s.push_back({true, uint8_t(a + i), false});
        s.push_back({false, uint8_t(b + i), false});
    }
    return s;
}

TEST_F(voice_apps, line_sequence)
{
    size_t after = 0;
    EXPECT_EQ(run_line(m, alternating(0x10, 0x80, 5), &after), OXLO_PROTOCOL_LINECALL);
    EXPECT_EQ(after, 8u) << "named once both directions followed four times";

    // The 8-bit sum wraps: FE FF 00 01 follows.
    EXPECT_EQ(run_line(m, alternating(0xFE, 0x40, 4)), OXLO_PROTOCOL_LINECALL);

    EXPECT_NE(run_line(m, alternating(0x22, 0x22, 5)), OXLO_PROTOCOL_LINECALL) << "equal bases";
    EXPECT_NE(run_line(m, alternating(0x10, 0x80, 3)), OXLO_PROTOCOL_LINECALL) << "three each";

    std::vector<step> broken = alternating(0x10, 0x80, 5);
    broken[4].b3 = 0x17; /* the client's third packet skips a number */
    EXPECT_NE(run_line(m, broken), OXLO_PROTOCOL_LINECALL);

    // An RTP-looking packet off the sequence is passed over...
    std::vector<step> media = alternating(0x10, 0x80, 4);
    media.insert(media.begin() + 4, step{true, 0x55, true});
    EXPECT_EQ(run_line(m, media), OXLO_PROTOCOL_LINECALL);

    // ...up to the ninth packet. (Repeating one RTP sequence number makes
    // RTP give up on the flow, so only LINE decides.)
    auto late = [&](int media_packets) {
        std::vector<step> s = alternating(0x10, 0x80, 1);
        for (int i = 0; i < media_packets; i++)
            s.push_back({true, 0x55, true});
        for (int i = 1; i < 4; i++) {
            s.push_back({true, uint8_t(0x10 + i), false});
            s.push_back({false, uint8_t(0x80 + i), false});
        }
        return run_line(m, s);
    };
    EXPECT_EQ(late(7), OXLO_PROTOCOL_LINECALL);
    EXPECT_NE(late(8), OXLO_PROTOCOL_LINECALL) << "the tenth packet is RTP";

    kit::conversation short_packet(m, 50020, OXLO_L4_UDP);
    short_packet.client(seq_packet(0x10, false, 10));
    for (const step &s : alternating(0x11, 0x80, 4))
        s.from_client ? short_packet.client(seq_packet(s.b3)) : short_packet.server(seq_packet(s.b3));
    EXPECT_NE(short_packet.master(), OXLO_PROTOCOL_LINECALL) << "ten bytes give up";
}

// RTP names a flow on its third media packet, unless LINE has already seen
// its sequence hold twice each way: the same RTP-looking packets then go to
// LINE. With the server's media packet off the sequence, RTP keeps it.
TEST_F(voice_apps, line_sequence_that_looks_like_rtp)
{
    auto flow = [&](uint8_t server_second) {
        std::vector<step> s = {{true, 0x10, false}, {false, 0x80, false}};
        s.push_back({true, 0x11, true});
        s.push_back({false, server_second, true});
        for (int i = 2; i < 5; i++) {
            s.push_back({true, uint8_t(0x10 + i), true});
            s.push_back({false, uint8_t(server_second + i - 1), true});
        }
        return run_line(m, s);
    };
    EXPECT_EQ(flow(0x81), OXLO_PROTOCOL_LINECALL);
    EXPECT_EQ(flow(0x91), OXLO_PROTOCOL_RTP);
}

// Viber's forms are left alone once RTP started counting the flow.
TEST_F(voice_apps, viber_not_after_rtp_counting)
{
    const std::string form = pad(std::string("\x00\x00\x03\x00", 4), 24);
    kit::conversation plain(m, 7985, OXLO_L4_UDP);
    plain.client(form);
    EXPECT_EQ(plain.app(), OXLO_PROTOCOL_VIBER);

    kit::conversation media(m, 7985, OXLO_L4_UDP);
    media.client("\x80" + form.substr(1)); /* version 2, payload type 0: RTP counts it */
    EXPECT_NE(media.app(), OXLO_PROTOCOL_VIBER);
    media.server("\x80" + form.substr(1, 2) + "\x01" + form.substr(4));
    media.client("\x80" + form.substr(1, 2) + "\x02" + form.substr(4));
    EXPECT_EQ(media.app(), OXLO_PROTOCOL_RTP);
}

// The service may send first: the client end of the flow is looked up too.
TEST_F(voice_apps, kakaotalk_from_its_network)
{
    kit::conversation c(m, 30000, OXLO_L4_UDP);
    pkt::ip4_opts o;
    o.src = KAKAO_TEST;
    o.dst = 0x0a000002;
    c.feed(pkt::ipv4(OXLO_L4_UDP, pkt::udp(30000, 40000, std::string("\x81\x01\x01\x01", 4)), o));
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_KAKAOTALK_VOICE);
    EXPECT_TRUE(c.by_inspection());
}

} // namespace
