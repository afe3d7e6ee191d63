// The game dissectors on their messages' layouts: each case a message that
// names the game and a near miss (one byte, one length or the port off)
// that must not.
#include "dissector_kit.h"
#include "oxlo_protocol_ids.h"

#include <cstring>

namespace {

struct Games : kit::engine {};

std::string bytes(std::initializer_list<int> v)
{
    std::string s;
    for (int b : v)
        s.push_back(char(b));
    return s;
}

std::string be16(size_t v) { return bytes({int(v >> 8 & 0xFF), int(v & 0xFF)}); }
std::string be32(size_t v) { return be16(v >> 16) + be16(v & 0xFFFF); }
std::string le32(size_t v) { return bytes({int(v & 0xFF), int(v >> 8 & 0xFF), int(v >> 16 & 0xFF), int(v >> 24 & 0xFF)}); }

std::string armagetron(int type, size_t words)
{
    return bytes({0, type, 0, 0}) + be16(words) + std::string(2 * words, 'a') + std::string(2, '\0');
}

std::string kcp(int command, size_t body) { return std::string(4, 'c') + bytes({command}) + std::string(15, 'k') + le32(body) + std::string(body, 'b'); }

std::string lagofast(size_t body, size_t extra = 0) { return bytes({0x00, 0x6E, 0x5D, 0x03}) + be16(body) + std::string(body + extra, 'l'); }

std::string crynet()
{
    std::string s(0x60 + 10, '\0');
    s[0] = 0x60;
    s[16] = 1;
    s[20] = 7;
    s[24] = 3;
    s[25] = 7;
    return s;
}

std::string teso(const std::string &inside)
{
    std::string body = std::string(300, 't') + inside + std::string(320, 't');
    return be32(body.size()) + body;
}

TEST_F(Games, messages_and_near_misses)
{
    struct one {
        const char *what;
        uint16_t port;
        uint8_t l4;
        std::string payload;
        uint16_t expected, near_miss_of;
    } cases[] = {
        {"Among Us hello", 22023, OXLO_L4_UDP, bytes({8, 0, 1, 0, 0x80, 0xD9, 2, 3}) + "ab", OXLO_PROTOCOL_AMONGUS, 0},
        {"Among Us: one byte off", 22023, OXLO_L4_UDP, bytes({8, 0, 1, 0, 0x80, 0xD9, 2, 4}) + "ab", 0, OXLO_PROTOCOL_AMONGUS},
        {"Armagetron", 4534, OXLO_L4_UDP, armagetron(0x0B, 3), OXLO_PROTOCOL_ARMAGETRON, 0},
        {"Armagetron: word count off", 4534, OXLO_L4_UDP, armagetron(0x0B, 3) + "xx", 0, OXLO_PROTOCOL_ARMAGETRON},
        {"CrossFire UDP", 12060, OXLO_L4_UDP, bytes({0xC7, 0xD9, 0x19, 0x99}) + "abcd", OXLO_PROTOCOL_CROSSFIRE, 0},
        {"CrossFire TCP", 10009, OXLO_L4_TCP, bytes({0xF1, 0}) + le32(1) + std::string(100, 'c') + bytes({0xF2}), OXLO_PROTOCOL_CROSSFIRE, 0},
        {"CrossFire TCP: no trailer", 10009, OXLO_L4_TCP, bytes({0xF1, 0}) + le32(1) + std::string(101, 'c'), 0, OXLO_PROTOCOL_CROSSFIRE},
        {"Dofus", 5555, OXLO_L4_TCP, bytes({5, 0x0A, 3, 'a', 'b', 'c'}), OXLO_PROTOCOL_DOFUS, 0},
        {"Dofus: other port", 5556, OXLO_L4_TCP, bytes({5, 0x0A, 3, 'a', 'b', 'c'}), 0, OXLO_PROTOCOL_DOFUS},
        {"Gaijin updater", 20010, OXLO_L4_UDP, "embeddedupdater." + std::string(100, 'g'), OXLO_PROTOCOL_GAIJINENTERTAINMENT, 0},
        {"Genshin UDP", 22101, OXLO_L4_UDP, bytes({0, 0, 0, 0xFF, 0, 0, 0, 0, 1, 2, 3, 4, 0x49, 0x96, 2, 0xD2, 0xFF, 0xFF}) + "xx",
         OXLO_PROTOCOL_GENSHINIMPACT, 0},
        {"Guild Wars 2", 6112, OXLO_L4_TCP, "P /Sts/Connect STS/1.0\r\nl:" + std::string(40, '1') + "\r\n\r\n", OXLO_PROTOCOL_GUILDWARS2, 0},
        {"Guild Wars 2: other verb", 6112, OXLO_L4_TCP, "G /Sts/Connect STS/1.0\r\nl:" + std::string(40, '1') + "\r\n\r\n", 0,
         OXLO_PROTOCOL_GUILDWARS2},
        {"Heroes of the Storm", 1119, OXLO_L4_UDP, std::string(14, '\0') + bytes({0x40, 0}) + "abcd", OXLO_PROTOCOL_HEROES_OF_THE_STORM, 0},
        {"Heroes: other port", 1200, OXLO_L4_UDP, std::string(14, '\0') + bytes({0x40, 0}) + "abcd", 0, OXLO_PROTOCOL_HEROES_OF_THE_STORM},
        {"i3D", 5000, OXLO_L4_UDP, bytes({0, 1, 0, 0x46, 0, 3, 0xCF, 0xA8}) + std::string(66, 'i'), OXLO_PROTOCOL_I3D, 0},
        {"KCP", 4000, OXLO_L4_UDP, kcp(81, 10), OXLO_PROTOCOL_KCP, 0},
        {"KCP: unknown command", 4000, OXLO_L4_UDP, kcp(85, 10), 0, OXLO_PROTOCOL_KCP},
        {"LagoFast", 30000, OXLO_L4_UDP, lagofast(10), OXLO_PROTOCOL_LAGOFAST, 0},
        {"LagoFast: length off", 30000, OXLO_L4_UDP, lagofast(10, 1), 0, OXLO_PROTOCOL_LAGOFAST},
        {"NetEase", 40000, OXLO_L4_UDP, bytes({0xB3, 0xAF, 0x8D, 0xE8}) + std::string(26, 'n'), OXLO_PROTOCOL_NETEASEGAMES, 0},
        {"Nexon", 8484, OXLO_L4_TCP, le32(24) + le32(100) + std::string(16, 'x'), OXLO_PROTOCOL_NEXON, 0},
        {"Nexon: other type", 8484, OXLO_L4_TCP, le32(24) + le32(101) + std::string(16, 'x'), 0, OXLO_PROTOCOL_NEXON},
        {"Nintendo", 50000, OXLO_L4_UDP, bytes({0x32, 0xAB, 0x98, 0x64, 2}) + std::string(44, 'n'), OXLO_PROTOCOL_NINTENDO, 0},
        {"Riot", 5100, OXLO_L4_UDP, std::string(8, 'r') + bytes({0xAA, 0xAA, 0xAA, 0xAA, 0xBB, 0xBB, 0xBB, 0xBB}), OXLO_PROTOCOL_RIOTGAMES, 0},
        {"Source query", 27015, OXLO_L4_UDP, bytes({0xFF, 0xFF, 0xFF, 0xFF, 'T'}) + "Source Engine Query", OXLO_PROTOCOL_SOURCE_ENGINE, 0},
        {"Source: unknown query", 27015, OXLO_L4_UDP, bytes({0xFF, 0xFF, 0xFF, 0xFF, 'Z'}) + "Source Engine Query", 0,
         OXLO_PROTOCOL_SOURCE_ENGINE},
        {"Steam", 27036, OXLO_L4_UDP, bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x21, 0x4C, 0x5F, 0xA0}) + std::string(32, 's'), OXLO_PROTOCOL_STEAM, 0},
        {"Steam datagram relay", 27015, OXLO_L4_UDP, std::string("\x01\x00sdping", 8) + std::string(100, 'p'), OXLO_PROTOCOL_STEAMDATAGRAMRELAY, 0},
        {"Tencent", 8000, OXLO_L4_TCP, bytes({0x33, 0x66, 0, 0x0B, 0, 0x0B}) + std::string(50, 't'), OXLO_PROTOCOL_TENCENTGAMES, 0},
        {"TESO", 24100, OXLO_L4_TCP, teso("elderscrollsonline.com"), OXLO_PROTOCOL_TES_ONLINE, 0},
        {"TESO: other domain", 24100, OXLO_L4_TCP, teso("example.org"), 0, OXLO_PROTOCOL_TES_ONLINE},
        {"Toca Boca", 5055, OXLO_L4_UDP, std::string(8, '\x7D') + "abcdefgh", OXLO_PROTOCOL_TOCABOCA, 0},
        {"Xbox header", 3075, OXLO_L4_UDP, bytes({0, 0, 0, 0, 2, 0x58, 24, 0, 0, 0}) + "abcdef", OXLO_PROTOCOL_XBOX, 0},
        {"Xbox: size off", 3075, OXLO_L4_UDP, bytes({0, 0, 0, 0, 2, 0x58, 25, 0, 0, 0}) + "abcdef", 0, OXLO_PROTOCOL_XBOX},
        {"netcode", 40000, OXLO_L4_UDP, std::string("\0NETCODE 1.02", 13) + std::string(20, 'y'), OXLO_PROTOCOL_YOJIMBO, 0},
        {"RakNet ACK", 19132, OXLO_L4_UDP, bytes({0xC0, 0, 2, 1, 5, 0, 0, 0, 6, 0, 0, 9, 0, 0}), OXLO_PROTOCOL_RAKNET, 0},
        {"RakNet ACK: a record short", 19132, OXLO_L4_UDP, bytes({0xC0, 0, 2, 1, 5, 0, 0, 0, 6, 0, 0, 9, 0}), 0, OXLO_PROTOCOL_RAKNET},
        {"RakNet datagram", 19132, OXLO_L4_UDP, bytes({0x84, 1, 0, 0, 0x60, 0, 0x18, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c'}),
         OXLO_PROTOCOL_RAKNET, 0},
        {"RakNet datagram: frame past the end", 19132, OXLO_L4_UDP,
         bytes({0x84, 1, 0, 0, 0x60, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c'}), 0, OXLO_PROTOCOL_RAKNET},
        {"GearUP keep-alive", 9999, OXLO_L4_UDP, bytes({0, 0, 0, 7}), OXLO_PROTOCOL_GEARUP_BOOSTER, 0},
        {"GearUP: all zero", 9999, OXLO_L4_UDP, bytes({0, 0, 0, 0}), 0, OXLO_PROTOCOL_GEARUP_BOOSTER},
        {"Wild Rift hello", 5100, OXLO_L4_UDP, bytes({1, 2, 0xC8, 0x41}) + std::string(14, 'w') + "A0B1", OXLO_PROTOCOL_LOLWILDRIFT, 0},
        {"Wild Rift: other tag", 5100, OXLO_L4_UDP, bytes({1, 2, 0xC8, 0x41}) + std::string(14, 'w') + "A0B2", 0, OXLO_PROTOCOL_LOLWILDRIFT},
        {"Mudfish TCP", 8282, OXLO_L4_TCP, "UN v2\r\n", OXLO_PROTOCOL_MUDFISH, 0},
        {"Mudfish TCP: v3", 8282, OXLO_L4_TCP, "UN v3\r\n", 0, OXLO_PROTOCOL_MUDFISH},
        {"Blizzard framed", 1119, OXLO_L4_TCP, std::string(4, 'b') + le32(6) + "abcdef", OXLO_PROTOCOL_BLIZZARD, 0},
        {"World of Warcraft", 3724, OXLO_L4_TCP, "WORLD OF WARCRAFT CONNECTION - CLIENT TO SERVER", OXLO_PROTOCOL_WORLDOFWARCRAFT, 0},
        {"Blizzard pro hello", 3724, OXLO_L4_TCP, std::string("HELLO PRO CLIENT\0", 17), OXLO_PROTOCOL_BLIZZARD, 0},
        {"Blizzard pro hello: no NUL", 3724, OXLO_L4_TCP, std::string("HELLO PRO CLIENTX", 17), 0, OXLO_PROTOCOL_BLIZZARD},
        {"Blizzard UDP", 6112, OXLO_L4_UDP, std::string(14, 'u') + le32(1), OXLO_PROTOCOL_BLIZZARD, 0},
        {"Blizzard UDP: 2 at 14", 6112, OXLO_L4_UDP, std::string(14, 'u') + le32(2), 0, OXLO_PROTOCOL_BLIZZARD},
        {"CryNetwork long", 64100, OXLO_L4_UDP, crynet(), OXLO_PROTOCOL_CRYNETWORK, 0},
        {"CryNetwork: length off", 64100, OXLO_L4_UDP, crynet() + "x", 0, OXLO_PROTOCOL_CRYNETWORK},
        {"CoD Mobile ping", 7500, OXLO_L4_UDP, std::string(8, 'c') + "ping", OXLO_PROTOCOL_COD_MOBILE, 0},
        {"CoD Mobile: other port", 7501, OXLO_L4_UDP, std::string(8, 'c') + "ping", 0, OXLO_PROTOCOL_COD_MOBILE},
        {"Path of Exile", 6112, OXLO_L4_TCP, bytes({0, 3, 0, 'a', 'b', 'c', 'd', 2, 0, 'e', 'f', 'g', 'h', 'i', 0, 0, 0, 0x40, 'j'}),
         OXLO_PROTOCOL_PATHOFEXILE, 0},
        {"Path of Exile: 20 bytes", 6112, OXLO_L4_TCP, bytes({0, 3, 0, 'a', 'b', 'c', 'd', 2, 0, 'e', 'f', 'g', 'h', 'i', 0, 0, 0, 0x40, 'j', 'k'}),
         0, OXLO_PROTOCOL_PATHOFEXILE},
        {"netcode: no NUL", 40000, OXLO_L4_UDP, std::string("xNETCODE 1.02") + std::string(20, 'y'), 0, OXLO_PROTOCOL_YOJIMBO},
    };
    for (const one &c : cases) {
        kit::conversation conv(m, c.port, c.l4);
        if (c.l4 == OXLO_L4_TCP)
            conv.handshake();
        conv.client(c.payload);
        if (c.expected) {
            EXPECT_EQ(conv.app() ? conv.app() : conv.master(), c.expected) << c.what;
            EXPECT_TRUE(conv.by_inspection()) << c.what;
        } else {
            EXPECT_NE(conv.app(), c.near_miss_of) << c.what;
        }
    }
}

TEST_F(Games, xbox_port_messages_need_two)
{
    kit::conversation conv(m, 3074, OXLO_L4_UDP);
    conv.client(std::string(24, '\0'));
    EXPECT_EQ(conv.app(), 0) << "one known message is not enough";
    conv.client(std::string(24, '\0'));
    EXPECT_EQ(conv.app(), OXLO_PROTOCOL_XBOX);
}

TEST_F(Games, packet_counts_and_answers)
{
    // Activision needs five payload packets in its pattern.
    kit::conversation act(m, 3074, OXLO_L4_UDP, 40100);
    const std::string word70 = bytes({70, 0}) + std::string(16, 'a');
    for (int i = 0; i < 4; i++)
        i % 2 ? act.server(word70) : act.client(word70);
    EXPECT_EQ(act.app(), 0) << "four packets are not enough";
    act.client(word70);
    EXPECT_EQ(act.app(), OXLO_PROTOCOL_ACTIVISION);

    // 524 from one side and 525 from the other: one of the two ways round
    // follows the pattern, the other breaks it.
    int named = 0;
    for (int swap = 0; swap < 2; swap++) {
        kit::conversation conv(m, 3074, OXLO_L4_UDP, 40200 + swap);
        const std::string a = bytes({0x0C, 2}) + std::string(16, 'a'), b = bytes({0x0D, 2}) + std::string(16, 'b');
        for (int i = 0; i < 3; i++) {
            conv.client(swap ? b : a);
            conv.server(swap ? a : b);
        }
        named += conv.app() == OXLO_PROTOCOL_ACTIVISION;
    }
    EXPECT_EQ(named, 1);

    // Epic Games: an answer from the same side is ignored until the budget runs out.
    const std::string opening = bytes({0x12, 0x34, 0x56, 0x70}) + std::string(6, 'e') + std::string(24, '\0');
    const std::string answer = bytes({0x12, 0x34, 0x56, 0x78, 'x'});
    kit::conversation epic(m, 7777, OXLO_L4_UDP);
    epic.client(opening);
    epic.server(answer);
    EXPECT_EQ(epic.master() ? epic.master() : epic.app(), OXLO_PROTOCOL_EPICGAMES);
    kit::conversation same_side(m, 7777, OXLO_L4_UDP, 40001);
    same_side.client(opening);
    for (int i = 0; i < 4; i++)
        same_side.client(answer);
    same_side.server(answer);
    EXPECT_NE(same_side.master(), OXLO_PROTOCOL_EPICGAMES);
    EXPECT_NE(same_side.app(), OXLO_PROTOCOL_EPICGAMES);

    // Mudfish pings name the flow from the second one.
    kit::conversation mud(m, 10003, OXLO_L4_UDP);
    mud.client("P");
    EXPECT_EQ(mud.app(), 0);
    mud.server("P");
    EXPECT_EQ(mud.app(), OXLO_PROTOCOL_MUDFISH);

    // CryNetwork digit packets to its port, ten of them.
    kit::conversation cry(m, 61088, OXLO_L4_UDP);
    for (int i = 0; i < 9; i++)
        cry.client("42");
    EXPECT_EQ(cry.app(), 0);
    cry.client("7");
    EXPECT_EQ(cry.app(), OXLO_PROTOCOL_CRYNETWORK);
}

TEST_F(Games, raknet_offline_messages_wait_for_their_packets)
{
    // Open connection reply 1 (0x07, IPv4 form): trusted from the third packet.
    auto reply = [](uint16_t mtu) {
        std::string s(34, 'r');
        s[0] = 0x07;
        s[17] = 4;
        s[24] = char(mtu >> 8);
        s[25] = char(mtu & 0xFF);
        return s;
    };
    kit::conversation conv(m, 19132, OXLO_L4_UDP);
    conv.server(reply(1400));
    EXPECT_EQ(conv.app(), 0);
    conv.server(reply(1400));
    conv.server(reply(1400));
    EXPECT_EQ(conv.app(), OXLO_PROTOCOL_RAKNET);

    kit::conversation big_mtu(m, 19132, OXLO_L4_UDP, 40001);
    for (int i = 0; i < 3; i++)
        big_mtu.server(reply(1501));
    EXPECT_NE(big_mtu.app(), OXLO_PROTOCOL_RAKNET);

    // A big first packet with the offline magic marks the flow: when it
    // strays later it is still RakNet.
    std::string ping(1200, '\0');
    ping[0] = 0x05;
    const char magic[] = "\x00\xFF\xFF\x00\xFE\xFE\xFE\xFE\xFD\xFD\xFD\xFD\x12\x34\x56\x78";
    memcpy(&ping[1], magic, 16);
    ping[17] = 11; /* not a protocol version the check accepts */
    kit::conversation marked(m, 19132, OXLO_L4_UDP, 40002);
    marked.client(ping);
    EXPECT_EQ(marked.app(), OXLO_PROTOCOL_RAKNET);
}

} // namespace
