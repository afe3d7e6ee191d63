// Remote-access and VPN dissectors on their handshakes, each with a near
// miss that must not match. Real peers (telnetd, ssh -D, openvpn, the
// kernel's vxlan, Xvnc, tincd, xrdp, in.rshd, pptpd) are replayed from
// tests/captures/remote_vpn.
#include "dissector_kit.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"

#include <cstring>

namespace {

struct RemoteVpn : kit::engine {
    std::vector<std::array<const char *, 3>> knobs() override { return {{"openvpn", "dpi.heuristics", "0x01"}}; }
};

std::string le32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

// An X.224 Connection Request in a TPKT: an optional cookie line, then the
// RDP negotiation request asking for the given security protocols.
std::string rdp_request(const std::string &cookie, uint32_t protocols)
{
    std::string x224 = std::string("\xE0\x00\x00\x00\x00\x00", 6) + cookie + std::string("\x01\x00\x08\x00", 4) + le32(protocols);
    std::string tpdu = std::string(1, char(x224.size())) + x224;
    const size_t total = 4 + tpdu.size();
    return std::string{3, 0, char(total >> 8), char(total & 0xFF)} + tpdu;
}

std::string wg(uint8_t type, size_t size, uint32_t a, uint32_t b)
{
    std::string p(size, '\0');
    p[0] = char(type);
    std::string ia = le32(a), ib = le32(b);
    memcpy(&p[4], ia.data(), 4);
    memcpy(&p[8], ib.data(), 4);
    return p;
}

// An OpenVPN control packet over UDP: opcode/key id, session id, an ack
// array acknowledging the peer's session, packet id.
std::string ovpn(uint8_t opcode, char sid, int acks, char remote)
{
    std::string p(1, char(opcode << 3));
    p += std::string(8, sid);
    p += char(acks);
    for (int i = 0; i < acks; i++)
        p += std::string("\0\0\0\0", 4);
    if (acks)
        p += std::string(8, remote);
    p += std::string("\0\0\0\0", 4);
    return p + std::string(14, 'x');
}

TEST_F(RemoteVpn, desktop_protocols)
{
    // The negotiation request follows the cookie line wherever it ends.
    for (const std::string user : {"a", "administrator"}) {
        kit::conversation c(m, 3389);
        c.handshake();
        c.client(rdp_request("Cookie: mstshash=" + user + "\r\n", 0x3));
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_RDP) << user;
        EXPECT_TRUE(c.risk(OXLO_DESKTOP_OR_FILE_SHARING_SESSION));
    }
    kit::conversation vnc(m, 5901);
    vnc.handshake();
    vnc.server("RFB 003.008\n");
    EXPECT_EQ(vnc.app(), 0);
    vnc.client("RFB 003.008\n");
    EXPECT_EQ(vnc.app(), OXLO_PROTOCOL_VNC);
    kit::conversation not_vnc(m, 5901);
    not_vnc.handshake();
    not_vnc.server("RFB 3.8\n");
    EXPECT_NE(not_vnc.app(), OXLO_PROTOCOL_VNC);
}

// A Connection Request with only a cookie (the client wants standard RDP
// security) is answered by a bare Connection Confirm; an answer that is no
// TPKT at all is what marks a probe.
TEST_F(RemoteVpn, rdp_answer_to_a_cookie)
{
    const std::string request = kit::raw("\x03\x00\x00\x22\x1d\xe0\x00\x00\x00\x00\x00", 11) + "Cookie: mstshash=vesk\r\n";
    struct answer_case {
        const char *what;
        std::string answer;
        bool probing;
    } cases[] = {
        {"bare Connection Confirm", kit::raw("\x03\x00\x00\x0b\x06\xd0\x00\x00\x12\x34\x00", 11), false},
        {"an HTTP answer", "HTTP/1.1 400 Bad Request\r\n\r\n", true},
    };
    for (const answer_case &c : cases) {
        kit::conversation conv(m, 3389);
        conv.handshake();
        conv.client(request);
        conv.server(c.answer);
        EXPECT_EQ(conv.app(), OXLO_PROTOCOL_RDP) << c.what;
        EXPECT_EQ(conv.risk(OXLO_PROBING_ATTEMPT), c.probing) << c.what;
    }
}

// The Connection Request and Confirm of tests/captures/remote_vpn/rdp.pcap
// cut after the TPKT header and in the middle; a TPKT length that never
// completes is no RDP.
TEST_F(RemoteVpn, rdp_tpkt_cut_by_segments)
{
    const kit::segments rdp = kit::capture_payloads("remote_vpn/rdp.pcap", 3389);
    ASSERT_GT(rdp.size(), 2u);
    const std::string request = rdp[0].second, confirm = rdp[1].second;
    std::string longer = request;
    longer[2] = 1; /* 256 bytes more than sent */
    const struct {
        const char *what;
        kit::segments segments;
        bool rdp;
    } cases[] = {
        {"request after its header", kit::cut(true, request, {4}), true},
        {"request and confirm cut", {{true, request.substr(0, 2)}, {true, request.substr(2, 20)}, {true, request.substr(22)},
                                     {false, confirm.substr(0, 4)}, {false, confirm.substr(4)}}, true},
        {"a TPKT length that never completes", kit::cut(true, longer, {4}), false},
    };
    for (const auto &k : cases) {
        kit::conversation c(m, 3389);
        c.handshake();
        c.send(k.segments);
        EXPECT_EQ(c.app() == OXLO_PROTOCOL_RDP, k.rdp) << k.what;
    }
}

// Telnet: negotiation classifies; the login dialogue of a real telnetd
// ("<host> login: ", "Password: ") gives the credentials.
TEST_F(RemoteVpn, telnet_login)
{
    kit::conversation c(m, 23);
    c.handshake();
    c.server(std::string("\xFF\xFD\x18\xFF\xFD\x20\xFF\xFD\x23\xFF\xFD\x27", 12));
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_TELNET);
    c.server("\r\nDebian GNU/Linux 12\r\nserver.vesk.test login: ");
    c.client("b");
    c.client("o");
    c.client("b\r\n");
    c.server("Password: ");
    c.client("secret\r\n");
    EXPECT_NE(c.messages().find("Found Telnet username (bob)"), std::string::npos) << c.messages();
    EXPECT_NE(c.messages().find("Found password"), std::string::npos);

    kit::conversation not_telnet(m, 23);
    not_telnet.handshake();
    not_telnet.server(std::string("\xFF\xF0\x18", 3));
    EXPECT_NE(not_telnet.app(), OXLO_PROTOCOL_TELNET);
}

TEST_F(RemoteVpn, socks4_and_socks5)
{
    kit::conversation s5(m, 1080);
    s5.handshake();
    s5.client(std::string("\x05\x02\x00\x02", 4)); // with credentials
    s5.server(std::string("\x05\x02", 2));
    EXPECT_EQ(s5.app(), OXLO_PROTOCOL_SOCKS);

    kit::conversation s4(m, 1080);
    s4.handshake();
    s4.client(std::string("\x04\x01\x00\x50\x0a\x00\x00\x01user\0", 13));
    s4.server(std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8));
    EXPECT_EQ(s4.app(), OXLO_PROTOCOL_SOCKS);

    kit::conversation refused(m, 1080);
    refused.handshake();
    refused.client(std::string("\x05\x01\x00", 3));
    refused.server(std::string("\x05\xFF\x00", 3));
    EXPECT_NE(refused.app(), OXLO_PROTOCOL_SOCKS);
}

TEST_F(RemoteVpn, wireguard_handshake)
{
    kit::conversation c(m, 51820, OXLO_L4_UDP);
    c.client(wg(1, 148, 0x11111111, 0));
    EXPECT_EQ(c.app(), 0);
    c.server(wg(2, 92, 0x22222222, 0x11111111));
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_WIREGUARD);

    kit::conversation wrong(m, 51820, OXLO_L4_UDP);
    wrong.client(wg(1, 148, 0x11111111, 0));
    wrong.server(wg(2, 92, 0x22222222, 0x33333333)); // another receiver index
    EXPECT_NE(wrong.app(), OXLO_PROTOCOL_WIREGUARD);
}

// Client hard reset, then the server's hard reset echoing the client's
// session id after its ack array; STUN's cookie at offset 4 is never OpenVPN.
TEST_F(RemoteVpn, openvpn_hard_resets)
{
    kit::conversation c(m, 1194, OXLO_L4_UDP);
    c.client(ovpn(7, 'C', 0, 0));
    c.server(ovpn(8, 'S', 1, 'C'));
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_OPENVPN);
    EXPECT_TRUE(c.by_inspection());

    kit::conversation other(m, 1194, OXLO_L4_UDP);
    other.client(ovpn(7, 'C', 0, 0));
    other.server(ovpn(8, 'S', 1, 'X'));
    EXPECT_NE(other.app(), OXLO_PROTOCOL_OPENVPN);

    kit::conversation stun(m, 1194, OXLO_L4_UDP);
    stun.client(std::string("\x00\x01\x00\x00\x21\x12\xA4\x42", 8) + std::string(12, 't'));
    EXPECT_NE(stun.app(), OXLO_PROTOCOL_OPENVPN);
}

TEST_F(RemoteVpn, small_tunnels)
{
    struct one_packet {
        const char *what;
        uint16_t port;
        uint8_t l4;
        std::string payload;
        uint16_t expected, near_miss_of;
    } cases[] = {
        {"VXLAN", 4789, OXLO_L4_UDP, std::string("\x08\0\0\0\0\0\x2a\0", 8) + std::string(14, 'e'), OXLO_PROTOCOL_VXLAN, 0},
        {"VXLAN without the I flag", 4789, OXLO_L4_UDP, std::string("\x00\0\0\0\0\0\x2a\0", 8) + std::string(14, 'e'), 0,
         OXLO_PROTOCOL_VXLAN},
        {"PPTP SCCRQ", 1723, OXLO_L4_TCP,
         std::string("\x00\x9c\x00\x01\x1a\x2b\x3c\x4d\x00\x01", 10) + std::string(146, '\0'), OXLO_PROTOCOL_PPTP, 0},
        {"PPTP with another cookie", 1723, OXLO_L4_TCP,
         std::string("\x00\x9c\x00\x01\x1a\x2b\x3c\x4e\x00\x01", 10) + std::string(146, '\0'), 0, OXLO_PROTOCOL_PPTP},
        {"Tailscale disco", 41641, OXLO_L4_UDP, std::string("TS\xF0\x9F\x92\xAC", 6) + "xyz", OXLO_PROTOCOL_TAILSCALE, 0},
        {"Teredo", 3544, OXLO_L4_UDP, std::string("\x60", 1) + std::string(45, '\0'), OXLO_PROTOCOL_TEREDO, 0},
        {"UltraSurf", 443, OXLO_L4_TCP, std::string("\xCC\x1C\x30\x41\x5B\xA4\x38\x66xx", 10), OXLO_PROTOCOL_ULTRASURF, 0},
        {"NoMachine banner", 4000, OXLO_L4_TCP, "NXSH-1.0.0\n", OXLO_PROTOCOL_NOMACHINE, 0},
        {"Citrix ICA greeting", 1494, OXLO_L4_TCP, std::string("\x7F\x7F\x49\x43\x41\x00", 6), OXLO_PROTOCOL_CITRIX, 0},
        {"SoftEther address answer", 5004, OXLO_L4_UDP, "IP=10.0.0.2,PORT=5004", OXLO_PROTOCOL_SOFTETHER, 0},
        {"SoftEther: no port", 5004, OXLO_L4_UDP, "IP=10.0.0.2,PORX=5004", 0, OXLO_PROTOCOL_SOFTETHER},
    };
    for (const one_packet &c : cases) {
        kit::conversation conv(m, c.port, c.l4);
        if (c.l4 == OXLO_L4_TCP)
            conv.handshake();
        conv.client(c.payload);
        if (c.expected)
            EXPECT_EQ(conv.app(), c.expected) << c.what;
        else
            EXPECT_NE(conv.app(), c.near_miss_of) << c.what;
    }
}

// tinc's meta connection: the connecting daemon's ID line, then the other
// daemon's ID and METAKEY, which tincd writes in one segment. Afterwards a
// UDP flow between the two daemons' ports is tinc's data channel.
TEST_F(RemoteVpn, tinc_meta_lines)
{
    const std::string key = "1 429 672 0 0 025F112C22FACDAFE017B849D5D65E9E\n";
    struct meta_case {
        const char *what;
        std::vector<std::pair<bool, std::string>> segments; // from the client?
        bool tinc;
    } cases[] = {
        {"answer's ID and METAKEY in one segment", {{true, "0 client 17\n"}, {false, "0 server 17\n" + key}}, true},
        {"one line to a segment", {{true, "0 client 17\n"}, {false, "0 server 17\n"}, {true, key}}, true},
        {"a line that is no meta line", {{true, "0 client 17\n"}, {false, "0 server 17\n2 9F3A\n"}}, false},
        {"the METAKEY cut off", {{true, "0 client 17\n"}, {false, "0 server 17\n1 429 672 0 0 025F"}}, false},
        {"the METAKEY cut, its rest in the next segment",
         {{true, "0 client 17\n"}, {false, "0 server 17\n1 429 672 0 0 025F"}, {false, key.substr(18)}},
         true},
        {"the ID cut in its middle", {{true, "0 cli"}, {true, "ent 17\n"}, {false, "0 server 17\n" + key}}, true},
        {"text that no meta line starts with", {{true, "GET / HTTP/1.1"}}, false},
        {"another protocol version", {{true, "0 client 18\n"}, {false, "0 server 18\n" + key}}, false},
    };
    for (const meta_case &c : cases) {
        kit::conversation conv(m, 655);
        conv.handshake();
        for (const auto &[from_client, payload] : c.segments)
            from_client ? conv.client(payload) : conv.server(payload);
        EXPECT_EQ(conv.app() == OXLO_PROTOCOL_TINC && conv.by_inspection(), c.tinc) << c.what;
    }
    kit::conversation data(m, 655, OXLO_L4_UDP, 655);
    data.client(std::string(116, '\x5a'));
    EXPECT_EQ(data.app(), OXLO_PROTOCOL_TINC);
    EXPECT_EQ(oxlo_flow_confidence(data.f), OXLO_CONFIDENCE_DPI_CACHE);
}

// rsh's opening: the stderr port and its NUL (an empty port when the client
// wants no stderr connection), then local user, remote user and command;
// rcmd writes them all in one segment, older clients the port first.
TEST_F(RemoteVpn, rsh_opening)
{
    const std::string strings = kit::raw("root\0rshbob\0echo hello\0", 24);
    struct rsh_case {
        const char *what;
        std::vector<std::string> segments;
        bool rsh;
    } cases[] = {
        {"port and strings in one segment", {kit::raw("1022\0", 5) + strings}, true},
        {"port, then the strings", {kit::raw("1022\0", 5), strings}, true},
        {"the port without its NUL", {"1022x" + strings}, false},
        {"the command not NUL-terminated", {kit::raw("1022\0root\0rshbob\0echo hello", 27)}, false},
        /* rcp asks rcmd() for no stderr connection: an empty port, a lone
         * NUL (remote_vpn/rcp.pcap) */
        {"no stderr port, then the strings", {std::string(1, '\0'), strings}, true},
        {"no stderr port and the strings in one segment", {std::string(1, '\0') + strings}, true},
        {"a lone NUL followed by bytes that are no strings", {std::string(1, '\0'), "\x01\x02\x03"}, false},
        {"two NULs", {std::string(2, '\0'), strings}, false},
        {"two NULs in one segment", {std::string(2, '\0') + strings}, false},
    };
    /* The same bytes cut into single-byte segments decide the same. */
    for (const bool cut : {false, true})
    for (const rsh_case &c : cases) {
        kit::conversation conv(m, 514, OXLO_L4_TCP, 1023);
        conv.handshake();
        for (const std::string &payload : c.segments)
            if (cut)
                for (char b : payload)
                    conv.client(std::string(1, b));
            else
                conv.client(payload);
        EXPECT_EQ(conv.app() == OXLO_PROTOCOL_RSH && conv.by_inspection(), c.rsh) << c.what << (cut ? ", cut" : "");
        if (c.rsh) {
            EXPECT_NE(conv.messages().find("User 'rshbob' executing 'echo hello'"), std::string::npos)
                << c.what << ": " << conv.messages();
        }
    }
}

// A PACK whose element count claims far more than the payload holds ends
// at the payload's end.
TEST_F(RemoteVpn, softether_pack_is_bounded)
{
    auto be32 = [](uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    std::string pack = be32(0xFFFFFFFF) + be32(10) + "host_name" + be32(2) + be32(1) + be32(12) + "vpn.vesk.te";
    pack += std::string(120 - pack.size(), '\0');
    kit::conversation c(m, 5004, OXLO_L4_UDP);
    c.client(pack);
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_SOFTETHER);
}

} // namespace
