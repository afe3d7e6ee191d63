// RTMP, MPEG-TS, Mumble and IAX on crafted conversations: each positive
// beside the near miss that must not match (a byte, a length or an answer
// off), and the RTMP first-flight count that must not wrap.
#include "dissector_kit.h"
#include "oxlo_protocol_ids.h"

#include <cstring>
#include <vector>

namespace {

struct StreamingVoice : kit::engine {};

std::string bytes(std::initializer_list<int> v)
{
    std::string s;
    for (int b : v)
        s.push_back(char(b));
    return s;
}

// A version-3 opening of n bytes (C0 and what follows of C1).
std::string rtmp_flight(size_t n) { return n ? "\x03" + std::string(n - 1, 'c') : ""; }

// count transport packets of 188 bytes, sync byte at each start unless `broken` names one.
std::string ts(size_t count, int broken = -1)
{
    std::string s;
    for (size_t i = 0; i < count; i++)
        s += std::string(1, int(i) == broken ? 'H' : 'G') + std::string(187, '\xFF');
    return s;
}

std::string ident(uint64_t v)
{
    std::string s;
    for (int i = 7; i >= 0; i--)
        s.push_back(char(v >> (8 * i)));
    return s;
}
std::string mumble_ping(uint64_t v) { return std::string(4, '\0') + ident(v); }
std::string mumble_pong(uint64_t v) { return bytes({0, 1, 4, 0}) + ident(v) + std::string(12, '\x01'); }

// An IAX2 full control frame (source call 1, no sequence numbers yet).
std::string iax(int subclass, const std::string &elements = "", int oseq = 0)
{
    return bytes({0x80, 0x01, 0, 0, 0, 0, 0, 3, oseq, 0, 6, subclass}) + elements;
}
std::string element(int type, const std::string &value) { return bytes({type, int(value.size())}) + value; }
std::string elements(int n)
{
    std::string s;
    for (int i = 0; i < n; i++)
        s += element(0x06, "u" + std::to_string(i));
    return s;
}

struct step {
    bool from_client;
    std::string payload;
};

struct one {
    const char *what;
    uint16_t port;
    uint8_t l4;
    bool handshake;
    std::vector<step> steps;
    uint16_t expected, near_miss_of;
};

TEST_F(StreamingVoice, conversations_and_near_misses)
{
    const std::string s0 = rtmp_flight(1537 + 1536);
    const std::string regreq = iax(13, element(0x06, "iaxmodem") + element(0x13, bytes({0, 60})));
    const one cases[] = {
        {"RTMP: C0+C1 in one segment, answered", 1935, OXLO_L4_TCP, true, {{true, rtmp_flight(1537)}, {false, s0}},
         OXLO_PROTOCOL_RTMP, 0},
        {"RTMP: C0+C1 over two segments, port of no meaning", 19350, OXLO_L4_TCP, true,
         {{true, rtmp_flight(1448)}, {true, std::string(89, 'c')}, {false, s0}}, OXLO_PROTOCOL_RTMP, 0},
        {"RTMP: a 1538-byte first flight", 1935, OXLO_L4_TCP, true, {{true, rtmp_flight(1538)}, {false, s0}}, 0,
         OXLO_PROTOCOL_RTMP},
        {"RTMP: 1538 bytes over two segments", 1935, OXLO_L4_TCP, true,
         {{true, rtmp_flight(1000)}, {true, std::string(538, 'c')}, {false, s0}}, 0, OXLO_PROTOCOL_RTMP},
        // 1000 + 65073 + 1000 is 1537 modulo 65536: a 16-bit sum would let it through.
        {"RTMP: a large first flight does not wrap the count", 1935, OXLO_L4_TCP, true,
         {{true, rtmp_flight(1000)}, {true, std::string(65073, 'c')}, {true, std::string(1000, 'c')}, {false, s0}}, 0,
         OXLO_PROTOCOL_RTMP},
        {"RTMP: answered before C1 is complete", 1935, OXLO_L4_TCP, true, {{true, rtmp_flight(1000)}, {false, s0}}, 0,
         OXLO_PROTOCOL_RTMP},
        {"RTMP: answer of another version", 1935, OXLO_L4_TCP, true, {{true, rtmp_flight(1537)}, {false, "\x06" + s0.substr(1)}},
         0, OXLO_PROTOCOL_RTMP},
        {"RTMP: first flight of another version", 1935, OXLO_L4_TCP, true,
         {{true, "\x06" + rtmp_flight(1537).substr(1)}, {false, s0}}, 0, OXLO_PROTOCOL_RTMP},
        {"RTMP: no TCP handshake seen", 1935, OXLO_L4_TCP, false, {{true, rtmp_flight(1537)}, {false, s0}}, 0,
         OXLO_PROTOCOL_RTMP},
        {"MPEG-TS: two packets", 1234, OXLO_L4_UDP, false, {{true, ts(2)}}, OXLO_PROTOCOL_MPEG_TS, 0},
        {"MPEG-TS: seven packets, port of no meaning", 41234, OXLO_L4_UDP, false, {{true, ts(7)}}, OXLO_PROTOCOL_MPEG_TS, 0},
        {"MPEG-TS: second sync byte missing", 1234, OXLO_L4_UDP, false, {{true, ts(2, 1)}}, 0, OXLO_PROTOCOL_MPEG_TS},
        {"MPEG-TS: one byte over", 1234, OXLO_L4_UDP, false, {{true, ts(2) + "G"}}, 0, OXLO_PROTOCOL_MPEG_TS},
        {"Mumble: ping answered", 64738, OXLO_L4_UDP, false,
         {{true, mumble_ping(0x0102030405060708)}, {false, mumble_pong(0x0102030405060708)}}, OXLO_PROTOCOL_MUMBLE, 0},
        {"Mumble: answer with another timestamp", 64738, OXLO_L4_UDP, false,
         {{true, mumble_ping(0x0102030405060708)}, {false, mumble_pong(0x0102030405060709)}}, 0, OXLO_PROTOCOL_MUMBLE},
        {"Mumble: answer without a ping", 64738, OXLO_L4_UDP, false,
         {{false, mumble_pong(1)}, {true, mumble_ping(1)}, {false, mumble_pong(1)}}, 0, OXLO_PROTOCOL_MUMBLE},
        {"Mumble: ping not opening with zeros", 64738, OXLO_L4_UDP, false,
         {{true, bytes({0, 0, 0, 1}) + ident(7)}, {false, mumble_pong(7)}}, 0, OXLO_PROTOCOL_MUMBLE},
        {"IAX: a bare 12-byte frame", 4569, OXLO_L4_UDP, false, {{true, iax(13)}}, OXLO_PROTOCOL_IAX, 0},
        {"IAX: registration request", 4569, OXLO_L4_UDP, false, {{true, regreq}}, OXLO_PROTOCOL_IAX, 0},
        {"IAX: 14 elements end exactly", 4569, OXLO_L4_UDP, false, {{true, iax(1, elements(14))}}, OXLO_PROTOCOL_IAX, 0},
        {"IAX: 15 elements are too many", 4569, OXLO_L4_UDP, false, {{true, iax(1, elements(15))}}, 0, OXLO_PROTOCOL_IAX},
        {"IAX: an element past the end", 4569, OXLO_L4_UDP, false, {{true, regreq.substr(0, regreq.size() - 1)}}, 0,
         OXLO_PROTOCOL_IAX},
        {"IAX: a byte after the last element", 4569, OXLO_L4_UDP, false, {{true, regreq + "x"}}, 0, OXLO_PROTOCOL_IAX},
        {"IAX: poke (subclass 30)", 4569, OXLO_L4_UDP, false, {{true, iax(30)}}, 0, OXLO_PROTOCOL_IAX},
        {"IAX: sequence number in use", 4569, OXLO_L4_UDP, false, {{true, iax(13, "", 1)}}, 0, OXLO_PROTOCOL_IAX},
        {"IAX: other port", 4570, OXLO_L4_UDP, false, {{true, regreq}}, 0, OXLO_PROTOCOL_IAX},
    };
    uint16_t client_port = 40000;
    for (const one &c : cases) {
        kit::conversation conv(m, c.port, c.l4, client_port++);
        if (c.handshake)
            conv.handshake();
        for (const step &s : c.steps)
            s.from_client ? conv.client(s.payload) : conv.server(s.payload);
        if (c.expected) {
            EXPECT_EQ(conv.app(), c.expected) << c.what;
            EXPECT_TRUE(conv.by_inspection()) << c.what;
        } else {
            EXPECT_FALSE(conv.app() == c.near_miss_of && conv.by_inspection()) << c.what;
        }
    }
}

// The RTMP answer only counts once the client's first flight is whole; it
// is not taken on the first packet alone.
TEST_F(StreamingVoice, rtmp_waits_for_the_answer)
{
    kit::conversation conv(m, 1935, OXLO_L4_TCP);
    conv.handshake();
    conv.client(rtmp_flight(1537));
    EXPECT_EQ(conv.app(), 0);
    conv.server(rtmp_flight(1537 + 1536));
    EXPECT_EQ(conv.app(), OXLO_PROTOCOL_RTMP);
}

} // namespace
