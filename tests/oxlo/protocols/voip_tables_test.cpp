// The table-driven VoIP and streaming matchers on messages built from their
// layouts: each case a flow that names the protocol and a near miss (one
// byte, one length, the port or the address off) that must not, the ones
// that decide by packet count, and flows of stricter dissectors that these
// loose matchers must leave alone. Every dissector is registered.
#include "dissector_kit.h"
#include "oxlo_protocol_ids.h"

#include <vector>

namespace {

struct VoipTables : kit::engine {};

std::string bytes(std::initializer_list<int> v)
{
    std::string s;
    for (int x : v)
        s.push_back(char(x));
    return s;
}
std::string be16(size_t v) { return bytes({int(v >> 8 & 0xFF), int(v & 0xFF)}); }
std::string le32(size_t v) { return bytes({int(v & 0xFF), int(v >> 8 & 0xFF), int(v >> 16 & 0xFF), int(v >> 24 & 0xFF)}); }

// A Skinny message: length of what follows the 8-byte header, version, id.
std::string skinny(uint32_t version, uint32_t id, size_t body = 4, int length_off = 0)
{
    return le32(body + 4 + length_off) + le32(version) + le32(id) + std::string(body, 's');
}

// An SD-RTN request naming a server; `spare` bytes follow the name, and the
// declared name length may claim more than is there.
std::string sd_rtn(const std::string &name, int claim_more = 0, int byte18 = 0)
{
    return std::string(6, 'a') + "!" + std::string(5, 'b') + "\x04SNI" + be16(name.size() + claim_more) + bytes({byte18}) + name;
}

// A FLUTE packet with h header words and the FDT right after them.
std::string flute(int h, size_t total = 300, int version_byte = 0x10)
{
    std::string s = bytes({version_byte, 0, h, 0}) + std::string(size_t(4 * h), 'h') +
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FDT-Instance Expires=\"1\">";
    s.resize(total, ' ');
    return s;
}

std::string tpkt(const std::string &body, int length_off = 0) { return bytes({3, 0}) + be16(body.size() + 4 + length_off) + body; }

// A Q.931 SETUP: discriminator 8, a two-byte call reference, message type 5.
std::string q931(int ref_length = 2) { return bytes({8, ref_length, 0x12, 0x34, 0x05}) + std::string(20, 'q'); }

std::string ras(int byte4 = 6) { return std::string(4, 'r') + bytes({byte4, 0, 8, 0x91, 0x4A}) + std::string(16, 'r'); }

std::string with_tag(size_t size, const std::string &tag)
{
    std::string s(size, 'p');
    if (size >= tag.size() + 30)
        s.replace(30, tag.size(), tag);
    return s;
}

constexpr uint32_t public_server = 0xCB007105; /* 203.0.113.5 */

struct flow_case {
    const char *what;
    uint16_t port;
    uint8_t l4;
    std::vector<std::string> packets; /* all from the client */
    uint16_t expected, near_miss_of;
    const char *host = nullptr;
    uint16_t client_port = 40000;
    uint32_t server = 0;
};

TEST_F(VoipTables, messages_and_near_misses)
{
    const uint8_t T = OXLO_L4_TCP, U = OXLO_L4_UDP;
    const std::string ts_init = "TS3INIT1" + bytes({0, 0x65, 0x88, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    const std::string mgcp_crcx = "CRCX 1204 aaln/1@GW-2567.Example.NET MGCP 1.0\r\nC: A3C47F21456789F0\r\n";
    const std::string fixed_imo = bytes({0x09, 0x02}) + std::string(8, 'i');
    const flow_case cases[] = {
        {"Skinny keep-alive", 2000, T, {skinny(0, 0x0000)}, OXLO_PROTOCOL_CISCOSKINNY, 0},
        {"Skinny register, version 17", 2000, T, {skinny(17, 0x0001, 60)}, OXLO_PROTOCOL_CISCOSKINNY, 0},
        {"Skinny message 0x8101", 2000, T, {skinny(22, 0x8101)}, OXLO_PROTOCOL_CISCOSKINNY, 0},
        {"Skinny: version 12", 2000, T, {skinny(12, 0x0001)}, 0, OXLO_PROTOCOL_CISCOSKINNY},
        {"Skinny: id 353", 2000, T, {skinny(0, 353)}, 0, OXLO_PROTOCOL_CISCOSKINNY},
        {"Skinny: length one off", 2000, T, {skinny(0, 1, 4, 1)}, 0, OXLO_PROTOCOL_CISCOSKINNY},
        {"Skinny: not port 2000", 2001, T, {skinny(0, 0x0000)}, 0, OXLO_PROTOCOL_CISCOSKINNY},
        {"TeamSpeak UDP init", 9987, U, {ts_init}, OXLO_PROTOCOL_TEAMSPEAK, 0},
        {"TeamSpeak UDP init: 19 bytes", 9987, U, {ts_init.substr(0, 19)}, 0, OXLO_PROTOCOL_TEAMSPEAK},
        {"TeamSpeak TCP", 30033, T, {bytes({0xF4, 0xBE, 0x03, 0x00}) + std::string(20, 't')}, OXLO_PROTOCOL_TEAMSPEAK, 0},
        {"TeamSpeak TCP: F4 BE 04 00", 30033, T, {bytes({0xF4, 0xBE, 0x04, 0x00}) + std::string(20, 't')}, 0, OXLO_PROTOCOL_TEAMSPEAK},
        {"Spotify discovery", 57621, U, {"SpotUdp0" + std::string(32, 'x')}, OXLO_PROTOCOL_SPOTIFY, 0, nullptr, 57621},
        {"Spotify discovery: one port other", 57621, U, {"SpotUdp0" + std::string(32, 'x')}, 0, OXLO_PROTOCOL_SPOTIFY, nullptr, 40000},
        {"Spotify TCP hello", 4070, T, {bytes({0, 4, 0, 0, 1, 0x2C, 0x52, 0x0F, 0x50, 1, 2, 3})}, OXLO_PROTOCOL_SPOTIFY, 0},
        {"Spotify TCP hello: 0x10 at 7", 4070, T, {bytes({0, 4, 0, 0, 1, 0x2C, 0x52, 0x10, 0x50, 1, 2, 3})}, 0, OXLO_PROTOCOL_SPOTIFY},
        {"SD-RTN", 8443, U, {sd_rtn("Edge.Example.IO")}, OXLO_PROTOCOL_SD_RTN, 0, "edge.example.io"},
        {"SD-RTN: name one byte short", 8443, U, {sd_rtn("edge.example.io", 1)}, 0, OXLO_PROTOCOL_SD_RTN},
        {"SD-RTN: name length past the end", 8443, U, {sd_rtn("edge.example.io", 0xFF00)}, 0, OXLO_PROTOCOL_SD_RTN},
        {"SD-RTN: byte 18 set", 8443, U, {sd_rtn("edge.example.io", 0, 1)}, 0, OXLO_PROTOCOL_SD_RTN},
        {"Megaco, long token", 2944, U, {"MEGACO/1 [10.0.0.2]:2944\r\nTransaction = 1 {}\r\n"}, OXLO_PROTOCOL_MEGACO, 0},
        {"Megaco, short token and a name", 2944, U, {"!/1 <mg1.example.net>\nT=1{}"}, OXLO_PROTOCOL_MEGACO, 0},
        {"Megaco: no bracket", 2944, U, {"MEGACO/1 10.0.0.2:2944\r\nTransaction = 1 {}\r\n"}, 0, OXLO_PROTOCOL_MEGACO},
        {"Megaco: version 2 short token", 2944, U, {"!/2 [10.0.0.2]:2944 T=1{}"}, 0, OXLO_PROTOCOL_MEGACO},
        {"MGCP create connection", 2427, U, {mgcp_crcx}, OXLO_PROTOCOL_MGCP, 0, "gw-2567.example.net"},
        {"MGCP endpoint without a domain", 2427, U, {"RSIP 7 gateway1 MGCP 1.0\n"}, OXLO_PROTOCOL_MGCP, 0, "gateway1"},
        {"MGCP: no line end", 2427, U, {"RSIP 7 gateway1 MGCP 1.0"}, 0, OXLO_PROTOCOL_MGCP},
        {"MGCP: unknown verb", 2427, U, {"CRCY 1204 aaln/1@gw MGCP 1.0\r\n"}, 0, OXLO_PROTOCOL_MGCP},
        {"MGCP: protocol token cut", 2427, U, {"CRCX 1204 aaln/1@gw MGC\n"}, 0, OXLO_PROTOCOL_MGCP},
        {"FLUTE FDT", 4001, U, {flute(2)}, OXLO_PROTOCOL_FLUTE, 0},
        {"FLUTE FDT, no header words", 4001, U, {flute(0)}, OXLO_PROTOCOL_FLUTE, 0},
        {"FLUTE: 250 bytes", 4001, U, {flute(2, 250)}, 0, OXLO_PROTOCOL_FLUTE},
        {"FLUTE: header words past the end", 4001, U, {flute(0, 300).substr(0, 2) + bytes({0xFF}) + flute(0, 300).substr(3)}, 0,
         OXLO_PROTOCOL_FLUTE},
        {"H.323 Q.931 setup", 1720, T, {tpkt(q931())}, OXLO_PROTOCOL_H323, 0},
        {"H.323 H.225 identifier", 1720, T, {tpkt(bytes({0x01, 0x02, 0x03, 0x06, 0x00, 0x08, 0x81, 0x75}) + std::string(16, 'h'))}, OXLO_PROTOCOL_H323, 0},
        {"H.323: TPKT length off", 1720, T, {tpkt(q931(), 1)}, 0, OXLO_PROTOCOL_H323},
        {"H.323: call reference length 4", 1720, T, {tpkt(q931(4))}, 0, OXLO_PROTOCOL_H323},
        {"H.323 RAS", 1719, U, {ras()}, OXLO_PROTOCOL_H323, 0},
        {"H.323 RAS: other port", 1718, U, {ras()}, 0, OXLO_PROTOCOL_H323},
        {"H.323 RAS: byte 4 off", 1719, U, {ras(7)}, 0, OXLO_PROTOCOL_H323},
        {"NOE keep-alive", 32512, U, {bytes({5})}, OXLO_PROTOCOL_NOE, 0},
        {"NOE control", 32512, U, {bytes({7, 0, 3, 0, 9})}, OXLO_PROTOCOL_NOE, 0},
        {"NOE long", 32512, U, {bytes({0, 6, 0x62, 0x6C}) + std::string(24, 'n')}, OXLO_PROTOCOL_NOE, 0},
        {"NOE: control with zero at 2", 32512, U, {bytes({7, 0, 0, 0, 9})}, 0, OXLO_PROTOCOL_NOE},
        {"NOE: long at 24 bytes", 32512, U, {bytes({0, 6, 0x62, 0x6C}) + std::string(20, 'n')}, 0, OXLO_PROTOCOL_NOE},
        {"IMO 09 02", 10000, U, {fixed_imo}, OXLO_PROTOCOL_IMO, 0},
        {"IMO 00 09 03", 10000, U, {bytes({0, 9, 3}) + std::string(8, 'i')}, OXLO_PROTOCOL_IMO, 0},
        {"IMO 1099 bytes", 10000, U, {bytes({0x88, 0x49, 0x1A, 0}) + std::string(1095, 'i')}, OXLO_PROTOCOL_IMO, 0},
        {"IMO: 09 02 in 11 bytes", 10000, U, {fixed_imo + "i"}, 0, OXLO_PROTOCOL_IMO},
        {"IMO: two equal bytes", 10000, U, {"\x2A", "\x2A"}, OXLO_PROTOCOL_IMO, 0},
        {"IMO: a different byte", 10000, U, {"\x2A", "\x2B", "\x2A"}, 0, OXLO_PROTOCOL_IMO},
        {"IMO: the newer byte is remembered", 10000, U, {"\x2A", "\x2B", "\x2B"}, OXLO_PROTOCOL_IMO, 0},
        {"IMO: another packet between", 10000, U, {"\x2A", std::string(20, 'z'), "\x2A"}, 0, OXLO_PROTOCOL_IMO},
        {"IMO: after ten packets", 10000, U, {"a0", "a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8", "a9", fixed_imo}, 0,
         OXLO_PROTOCOL_IMO},
        {"IMO: at the tenth packet", 10000, U, {"a0", "a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8", fixed_imo}, OXLO_PROTOCOL_IMO, 0},
        {"iQIYI", 8000, U, {with_tag(121, "PPStream")}, OXLO_PROTOCOL_IQIYI, 0},
        {"iQIYI, 299 bytes", 8000, U, {with_tag(299, "PPStream")}, OXLO_PROTOCOL_IQIYI, 0},
        {"iQIYI: 120 bytes", 8000, U, {with_tag(120, "PPStream")}, 0, OXLO_PROTOCOL_IQIYI},
        {"iQIYI: 300 bytes", 8000, U, {with_tag(300, "PPStream")}, 0, OXLO_PROTOCOL_IQIYI},
        {"Sonos 48 bytes", 12301, U, {std::string(48, 'o')}, OXLO_PROTOCOL_SONOS, 0, nullptr, 40000, public_server},
        {"Sonos 7080 small", 7080, U, {std::string(150, 'o')}, OXLO_PROTOCOL_SONOS, 0, nullptr, 40000, public_server},
        {"Sonos 7080, 1001 bytes", 7080, U, {std::string(1001, 'o')}, OXLO_PROTOCOL_SONOS, 0, nullptr, 40000, public_server},
        {"Sonos: private server", 12301, U, {std::string(48, 'o')}, 0, OXLO_PROTOCOL_SONOS},
        {"Sonos: multicast server", 12301, U, {std::string(48, 'o')}, 0, OXLO_PROTOCOL_SONOS, nullptr, 40000, 0xEF000001},
        {"Sonos: 7080, 500 bytes", 7080, U, {std::string(500, 'o')}, 0, OXLO_PROTOCOL_SONOS, nullptr, 40000, public_server},
        {"Sonos: 49 bytes", 12301, U, {std::string(49, 'o')}, 0, OXLO_PROTOCOL_SONOS, nullptr, 40000, public_server},
    };
    for (const flow_case &c : cases) {
        kit::conversation conv(m, c.port, c.l4, c.client_port);
        if (c.server)
            conv.server_address = c.server;
        if (c.l4 == T)
            conv.handshake();
        for (const std::string &p : c.packets)
            conv.client(p);
        if (c.expected) {
            EXPECT_EQ(conv.app(), c.expected) << c.what;
            EXPECT_TRUE(conv.by_inspection()) << c.what;
        } else {
            EXPECT_NE(conv.app(), c.near_miss_of) << c.what;
        }
        if (c.host) {
            const char *host = oxlo_flow_host_name(conv.f);
            EXPECT_STREQ(host ? host : "", c.host) << c.what;
        }
    }
}

// The short TeamSpeak UDP forms are common shapes: they wait for the third
// packet, and a packet of another shape before it ends the wait.
TEST_F(VoipTables, teamspeak_short_forms_wait_for_the_third_packet)
{
    const std::string forms[] = {
        bytes({1, 0, 0, 1}),
        bytes({1, 7, 7, 1, 9, 9, 9, 9}),
        bytes({1, 0, 5, 2, 0}),
        bytes({1, 0, 5, 2}) + std::string(7, 'k') + std::string(5, '\0'),
    };
    for (const std::string &form : forms) {
        kit::conversation conv(m, 9987, OXLO_L4_UDP);
        conv.client(form);
        conv.server(form);
        EXPECT_EQ(conv.app(), 0) << "two packets are not enough, size " << form.size();
        conv.client(form);
        EXPECT_EQ(conv.app(), OXLO_PROTOCOL_TEAMSPEAK) << "size " << form.size();
    }

    kit::conversation stray(m, 9987, OXLO_L4_UDP, 40001);
    stray.client(forms[0]);
    stray.client(bytes({1, 0, 0, 1, 0, 0})); /* six bytes: no form of that size */
    stray.client(forms[0]);
    EXPECT_NE(stray.app(), OXLO_PROTOCOL_TEAMSPEAK);

    kit::conversation tail(m, 9987, OXLO_L4_UDP, 40002);
    const std::string dirty_tail = bytes({1, 0, 5, 2}) + std::string(7, 'k') + bytes({0, 0, 0, 0, 1});
    for (int i = 0; i < 3; i++)
        tail.client(dirty_tail);
    EXPECT_NE(tail.app(), OXLO_PROTOCOL_TEAMSPEAK) << "bytes 11..15 must be zero";
}

// FLUTE and Sonos decide on the flow's first packet: a match later is not
// taken.
TEST_F(VoipTables, one_packet_deciders)
{
    kit::conversation fl(m, 4001, OXLO_L4_UDP);
    fl.client(flute(2, 300, 0x11));
    fl.client(flute(2));
    EXPECT_NE(fl.app(), OXLO_PROTOCOL_FLUTE);

    kit::conversation so(m, 12301, OXLO_L4_UDP);
    so.server_address = public_server;
    so.server(std::string(48, 'o')); /* towards the private client */
    so.client(std::string(48, 'o'));
    EXPECT_NE(so.app(), OXLO_PROTOCOL_SONOS);
}

// Flows that stricter dissectors name, in shapes these matchers also look
// at: with every dissector registered they keep their own protocol.
TEST_F(VoipTables, stricter_dissectors_keep_their_flows)
{
    auto rtp = [](uint16_t seq) {
        return bytes({0x80, 0x00}) + be16(seq) + le32(160u * seq) + le32(0x1234) + std::string(160, '\xFF');
    };
    const std::string stun_binding = bytes({0, 1, 0, 0, 0x21, 0x12, 0xA4, 0x42}) + std::string(12, 'T');
    struct other {
        const char *what;
        uint16_t port;
        std::vector<std::pair<bool, std::string>> packets; /* from the client? */
        uint16_t expected;
    } flows[] = {
        {"Mudfish pings (equal one-byte packets)", 10003, {{true, "P"}, {false, "P"}}, OXLO_PROTOCOL_MUDFISH},
        {"RTP voice", 5004, {{true, rtp(1)}, {true, rtp(2)}, {true, rtp(3)}, {true, rtp(4)}}, OXLO_PROTOCOL_RTP},
        {"STUN binding request", 3478, {{true, stun_binding}}, OXLO_PROTOCOL_STUN},
    };
    for (const other &o : flows) {
        kit::conversation conv(m, o.port, OXLO_L4_UDP);
        for (const auto &[from_client, payload] : o.packets)
            from_client ? conv.client(payload) : conv.server(payload);
        EXPECT_EQ(conv.app() ? conv.app() : conv.master(), o.expected) << o.what;
    }
}

} // namespace
