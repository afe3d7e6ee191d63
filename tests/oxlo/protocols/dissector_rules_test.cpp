// Single rules of several dissectors, each beside the near miss that must
// not pass it: SOCKS5 method answers, SMTP's end of an AUTH LOGIN exchange,
// IMAP lines without a tag, Telegram's STUN follow-up, MySQL versions,
// Kerberos message types and sizes, NetBIOS transaction ids, SSH MAC
// negotiation and OpenVPN's packet budget.
#include "dissector_kit.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_risk_ids.h"
#include "protocols/media_private.h"

#include <cstring>

namespace {

struct Rules : kit::engine {};

std::string be16(uint16_t v) { return std::string{char(v >> 8), char(v & 0xFF)}; }
std::string be32(uint32_t v) { return be16(uint16_t(v >> 16)) + be16(uint16_t(v)); }

TEST_F(Rules, socks5_answer_names_a_method_the_client_offered)
{
    const struct {
        const char *what;
        std::string greeting, answer;
        bool socks;
    } cases[] = {
        {"no authentication", kit::raw("\x05\x01\x00", 3), kit::raw("\x05\x00", 2), true},
        {"no acceptable method", kit::raw("\x05\x01\x00", 3), kit::raw("\x05\xFF", 2), false},
        {"a method not offered", kit::raw("\x05\x01\x00", 3), kit::raw("\x05\x02", 2), false},
        {"user and password", kit::raw("\x05\x02\x00\x02", 4), kit::raw("\x05\x02", 2), true},
        // curl -U offers three methods; ssh -D picks none (captured).
        {"curl with credentials", kit::raw("\x05\x03\x00\x01\x02", 5), kit::raw("\x05\x00", 2), true},
    };
    for (const auto &c : cases) {
        kit::conversation s(m, 1080);
        s.handshake();
        s.client(c.greeting);
        s.server(c.answer);
        EXPECT_EQ(s.app() == OXLO_PROTOCOL_SOCKS, c.socks) << c.what;
    }
}

TEST_F(Rules, smtp_line_after_both_credentials_clears_the_host_name)
{
    // User and password of an AUTH LOGIN sent at once (pipelined), with or
    // without a further base64 line behind them.
    for (bool third_line : {false, true}) {
        kit::conversation c(m, 25);
        c.handshake();
        c.server("220 mail.vesk.test ESMTP Postfix\r\n");
        c.client("EHLO client.vesk.test\r\n");
        c.server("250-mail.vesk.test\r\n250 AUTH LOGIN PLAIN\r\n");
        c.client("AUTH LOGIN\r\n");
        c.server("334 VXNlcm5hbWU6\r\n");
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_SMTP);
        EXPECT_STREQ(oxlo_flow_host_name(c.f), "mail.vesk.test");
        c.client(std::string("Ym9i\r\nc2VjcmV0\r\n") + (third_line ? "bW9yZQ==\r\n" : "")); // bob, secret
        EXPECT_STREQ(oxlo_flow_host_name(c.f), third_line ? "" : "mail.vesk.test") << third_line;
    }
}

TEST_F(Rules, imap_line_without_a_tag_waits_on_the_packet_budget)
{
    // Between recognised exchanges a line without a tag decides nothing.
    kit::conversation c(m, 143);
    c.handshake();
    c.server("* OK IMAP4rev1 ready\r\n");
    c.client("a1 CAPABILITY\r\n");
    c.server("(\\Seen \\Draft)\r\n");
    c.client("a2 LOGIN bob secret\r\n");
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_IMAP);

    // Near miss: before any exchange it excludes.
    kit::conversation first(m, 143);
    first.handshake();
    first.server("(\\Seen \\Draft)\r\n");
    first.server("* OK IMAP4rev1 ready\r\n");
    first.client("a1 CAPABILITY\r\n");
    first.client("a2 LOGIN bob secret\r\n");
    EXPECT_NE(first.app(), OXLO_PROTOCOL_IMAP);
}

TEST_F(Rules, telegram_call_gets_the_encapsulated_stun_follow_up)
{
    for (size_t run : {size_t(12), size_t(11), size_t(13)}) {
        kit::conversation c(m, 530, OXLO_L4_UDP);
        c.client(std::string(8, '\x01') + std::string(run, '\xFF') + std::string(40, '\x02'));
        if (run == 12) {
            EXPECT_EQ(c.app(), OXLO_PROTOCOL_TELEGRAM);
            EXPECT_EQ(c.f->extra_dissection, stun_search_again_encapsulated);
        } else {
            EXPECT_NE(c.app(), OXLO_PROTOCOL_TELEGRAM) << run;
        }
    }
}

// A protocol-10 server greeting with the given version text.
std::string mysql_greeting(const std::string &version)
{
    std::string body = std::string(1, '\x0a') + version + std::string(1, '\0') + std::string(4, '\x01') +
                       std::string(8, 's') + std::string(1, '\0') + std::string(18, '\x02') + std::string(12, 't') +
                       std::string(1, '\0') + "mysql_native_password" + std::string(1, '\0');
    const size_t n = body.size();
    return std::string{char(n & 0xFF), char(n >> 8), char(n >> 16), 0} + body;
}

TEST_F(Rules, mysql_greeting_versions)
{
    const struct {
        const char *version;
        bool mysql;
    } cases[] = {{"8.0.36", true}, {"4.1.22", true}, {"5.5.5-10.11.6-MariaDB", true}, {"9.0.1", false},
                 {"3.23.58", false}};
    for (const auto &c : cases) {
        kit::conversation s(m, 3306);
        s.handshake();
        const std::string g = mysql_greeting(c.version);
        ASSERT_GE(g.size(), 71u);
        ASSERT_LE(g.size(), 119u);
        s.server(g);
        EXPECT_EQ(s.app() == OXLO_PROTOCOL_MYSQL, c.mysql) << c.version;
    }
}

// A Kerberos-like message of n bytes whose type sits at `at` (behind
// "03 02 01" when pattern is set).
std::string krb_message(size_t n, size_t at, uint8_t type, bool pattern)
{
    std::string msg(n, '\x30');
    if (pattern)
        memcpy(&msg[at], "\x03\x02\x01", 3);
    msg[at + 3] = char(type);
    return msg;
}

TEST_F(Rules, kerberos_message_type_and_size)
{
    const struct {
        const char *what;
        uint8_t l4;
        std::string message; // the record length is added on TCP
        bool kerberos;
    } cases[] = {
        {"AS-REQ behind the pattern", OXLO_L4_UDP, krb_message(80, 10, 10, true), true},
        {"no pattern, AS-REQ at 19", OXLO_L4_UDP, krb_message(80, 16, 10, false), true},
        {"no pattern, no type at 19", OXLO_L4_UDP, krb_message(80, 16, 11, false), false},
        {"pattern at 16 is past the scan", OXLO_L4_UDP, krb_message(80, 16, 30, true), true},
        {"64 bytes over UDP", OXLO_L4_UDP, krb_message(64, 10, 10, true), false},
        // Over TCP the four bytes of the record length count towards 65.
        {"61-byte message in a record", OXLO_L4_TCP, krb_message(61, 10, 10, true), true},
        {"60-byte message in a record", OXLO_L4_TCP, krb_message(60, 10, 10, true), false},
    };
    for (const auto &c : cases) {
        kit::conversation k(m, 88, c.l4);
        if (c.l4 == OXLO_L4_TCP) {
            k.handshake();
            k.client(be32(uint32_t(c.message.size())) + c.message);
        } else {
            k.client(c.message);
        }
        EXPECT_EQ(k.app() == OXLO_PROTOCOL_KERBEROS, c.kerberos) << c.what;
    }
}

// A name-service packet with one question for a 32-byte encoded name.
std::string nbns(uint16_t id, uint16_t flags, uint16_t qd, uint16_t an, uint16_t ns, uint16_t ar)
{
    std::string name;
    for (char ch : std::string("WS01           ") + '\0') {
        name += char('A' + ((uint8_t(ch) >> 4) & 0x0F));
        name += char('A' + (uint8_t(ch) & 0x0F));
    }
    return be16(id) + be16(flags) + be16(qd) + be16(an) + be16(ns) + be16(ar) + std::string(1, '\x20') + name +
           std::string(1, '\0') + be16(0x0020) + be16(0x0001);
}

TEST_F(Rules, netbios_fixed_transaction_ids)
{
    const struct {
        uint16_t id, flags, qd, ar;
        bool netbios;
    } cases[] = {
        {0x1234, 0x0110, 1, 0, true},  // a broadcast query: a known form
        {0x1234, 0x0110, 2, 0, false}, // two questions: no known form
        {0x86AD, 0x0110, 2, 0, true},  {0x0029, 0x0110, 2, 0, true}, {0x1029, 0x0110, 2, 1, true},
        {0x0129, 0x0110, 2, 0, false},
    };
    for (const auto &c : cases) {
        kit::conversation n(m, 137, OXLO_L4_UDP, 137);
        const std::string p = nbns(c.id, c.flags, c.qd, 0, 0, c.ar);
        ASSERT_EQ(p.size(), 50u);
        n.client(p);
        EXPECT_EQ(n.app() == OXLO_PROTOCOL_NETBIOS, c.netbios) << std::hex << c.id << " " << c.qd;
    }
}

std::string name_list(const std::string &names) { return be32(uint32_t(names.size())) + names; }
std::string kexinit(const std::string &enc, const std::string &mac)
{
    std::string body = std::string(1, char(20)) + std::string(16, 'c') + name_list("curve25519-sha256") +
                       name_list("ssh-ed25519") + name_list(enc) + name_list(enc) + name_list(mac) + name_list(mac) +
                       name_list("none") + name_list("none") + name_list("") + name_list("") + std::string(5, '\0');
    const size_t padding = 8 - (body.size() + 5) % 8 + 4;
    body = std::string(1, char(padding)) + body + std::string(padding, '\0');
    return be32(uint32_t(body.size())) + body;
}

struct SshData : kit::engine {
    std::vector<std::array<const char *, 3>> knobs() override { return {{"ssh", "metadata.ssh_data", "enable"}}; }
};

TEST_F(SshData, mac_falls_back_to_the_servers_list)
{
    for (bool client_kexinit : {true, false}) {
        kit::conversation c(m, 22);
        c.handshake();
        c.server("SSH-2.0-OpenSSH_10.0p2 Debian-5\r\n");
        c.client("SSH-2.0-OpenSSH_10.0p2 Debian-5\r\n");
        if (client_kexinit)
            c.client(kexinit("aes256-ctr,aes128-ctr", "umac-64@openssh.com,hmac-sha2-256"));
        c.server(kexinit("aes128-ctr", "hmac-sha2-256,umac-64@openssh.com"));
        const std::string block = kit::json_block(m, c.f, OXLO_PROTOCOL_SSH);
        // With the client's list its first name the server has; without,
        // the server's first. A cipher is not guessed without the client's.
        EXPECT_NE(block.find(client_kexinit ? "\"mac_c2s\":\"umac-64@openssh.com\"" : "\"mac_c2s\":\"hmac-sha2-256\""),
                  std::string::npos)
            << block;
        if (client_kexinit)
            EXPECT_NE(block.find("\"cipher_c2s\":\"aes128-ctr\""), std::string::npos) << block;
        else
            EXPECT_EQ(block.find("\"cipher_c2s\""), std::string::npos) << block;
    }
}

TEST_F(Rules, ssh_obsolete_banner_risk_carries_no_message)
{
    kit::conversation c(m, 22);
    c.handshake();
    c.server("SSH-2.0-OpenSSH_10.0p2 Debian-5\r\n");
    c.client("SSH-2.0-OpenSSH_8.4p1 Debian-5\r\n");
    EXPECT_TRUE(c.risk(OXLO_SSH_OBSOLETE_CLIENT_VERSION_OR_CIPHER));
    EXPECT_EQ(c.messages().find("\"18\""), std::string::npos) << c.messages();
}

// An OpenVPN control message over TCP: length, opcode and key id 0, the
// session id, an empty ack array and a packet id.
std::string ovpn_tcp(uint8_t opcode, uint32_t packet_id)
{
    const std::string body = std::string(1, char(opcode << 3)) + std::string(8, 'S') + std::string(1, '\0') +
                             be32(packet_id) + std::string(8, 'p');
    return be16(uint16_t(body.size())) + body;
}

TEST_F(Rules, openvpn_budget_counts_payload_packets)
{
    // The client's reset and four control messages before any answer: the
    // fifth message decides. The handshake and pure ACKs around them do not
    // use up the budget of undecided packets; a sixth payload packet would.
    for (int acks : {0, 3}) {
        kit::conversation c(m, 1194);
        c.handshake();
        for (uint32_t i = 0; i < 5; i++) {
            c.client(ovpn_tcp(i == 0 ? 7 : 4, i));
            for (int a = 0; a < acks; a++)
                c.segment(false, "", 0x10);
        }
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_OPENVPN) << acks;
    }
}

} // namespace
