// IMAP, POP3, SMTP, Usenet and HCL Notes on the exchanges real clients and
// servers have, each with a near miss that must not match.
#include "dissector_kit.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"

namespace {

struct Mail : kit::engine {};

struct line {
    bool from_client;
    const char *text;
};

void play(kit::conversation &c, std::initializer_list<line> lines)
{
    c.handshake();
    for (const line &l : lines)
        l.from_client ? c.client(l.text) : c.server(l.text);
}

// The server's untagged greeting comes first; a LOGIN gives user and
// password and classifies once it is answered.
TEST_F(Mail, imap_login_after_the_greeting)
{
    kit::conversation c(m, 143);
    play(c, {{false, "* OK [CAPABILITY IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE IDLE LITERAL+ STARTTLS AUTH=PLAIN] Dovecot ready.\r\n"},
             {true, "A001 CAPABILITY\r\n"},
             {false, "* CAPABILITY IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE IDLE LITERAL+ STARTTLS AUTH=PLAIN\r\nA001 OK Pre-login capabilities listed, post-login capabilities have more.\r\n"},
             {true, "A002 LOGIN bob secret\r\n"},
             {false, "A002 OK [CAPABILITY IMAP4rev1] Logged in\r\n"}});
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_IMAP);
    EXPECT_TRUE(c.by_inspection());
    EXPECT_TRUE(c.risk(OXLO_CLEAR_TEXT_CREDENTIALS));
    EXPECT_NE(c.messages().find("Found IMAP username (bob)"), std::string::npos) << c.messages();
}

// AUTHENTICATE in clear text stays IMAP; STARTTLS answered OK becomes IMAPS.
TEST_F(Mail, imap_authenticate_and_starttls)
{
    kit::conversation plain(m, 143);
    play(plain, {{false, "* OK Dovecot ready.\r\n"},
                 {true, "A001 AUTHENTICATE PLAIN AGJvYgBzZWNyZXQ=\r\n"},
                 {false, "A001 OK Logged in\r\n"},
                 {true, "A002 SELECT INBOX\r\n"},
                 {false, "* FLAGS (\\Answered)\r\n"},
                 {false, "* 3 EXISTS\r\n"},
                 {false, "A002 OK Select completed\r\n"}});
    EXPECT_EQ(plain.app(), OXLO_PROTOCOL_IMAP);

    kit::conversation tls(m, 143);
    play(tls, {{false, "* OK Dovecot ready.\r\n"}, {true, "A001 STARTTLS\r\n"}, {false, "A001 OK Begin TLS negotiation now.\r\n"}});
    EXPECT_EQ(tls.app(), OXLO_PROTOCOL_IMAPS);
}

TEST_F(Mail, pop3_user_and_pass)
{
    kit::conversation c(m, 110);
    play(c, {{false, "+OK Dovecot ready.\r\n"},
             {true, "USER bob\r\n"},
             {false, "+OK\r\n"},
             {true, "PASS secret\r\n"},
             {false, "+OK Logged in.\r\n"}});
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_POP3);
    EXPECT_NE(c.messages().find("Found username (bob)"), std::string::npos) << c.messages();

    kit::conversation stls(m, 110);
    play(stls, {{false, "+OK Dovecot ready.\r\n"}, {true, "CAPA\r\n"}, {false, "+OK\r\nSTLS\r\n.\r\n"},
                {true, "STLS\r\n"}, {false, "+OK Begin TLS negotiation now.\r\n"}});
    EXPECT_EQ(stls.app(), OXLO_PROTOCOL_POPS);
}

// The greeting names the server; EHLO, 250 and MAIL classify; AUTH LOGIN
// gives the user name, AUTH PLAIN user and password.
TEST_F(Mail, smtp_greeting_auth_and_starttls)
{
    /* The same session as written, and with every write cut into single
     * bytes: far more segments than the flow's packet limit and the
     * follow-up's budget, which count messages. */
    for (const bool cut : {false, true}) {
        kit::conversation c(m, 25);
        c.handshake();
        const line session[] = {{false, "220 mail.vesk.test ESMTP Postfix (Debian/GNU)\r\n"},
                                {true, "EHLO client.vesk.test\r\n"},
                                {false, "250-mail.vesk.test\r\n250-AUTH PLAIN LOGIN\r\n250 8BITMIME\r\n"},
                                {true, "AUTH LOGIN\r\n"},
                                {false, "334 VXNlcm5hbWU6\r\n"},
                                {true, "Ym9i\r\n"},
                                {false, "334 UGFzc3dvcmQ6\r\n"},
                                {true, "c2VjcmV0\r\n"}};
        for (const line &l : session) {
            const std::string text = l.text;
            for (size_t at = 0; at < text.size(); at += cut ? 1 : text.size())
                l.from_client ? c.client(text.substr(at, cut ? 1 : text.size())) : c.server(text.substr(at, cut ? 1 : text.size()));
        }
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_SMTP) << (cut ? "cut" : "whole");
        EXPECT_STREQ(oxlo_flow_host_name(c.f), "mail.vesk.test");
        EXPECT_NE(c.messages().find("Found SMTP username (bob)"), std::string::npos) << c.messages();
        EXPECT_NE(c.messages().find("Found password"), std::string::npos) << (cut ? "cut: " : "whole: ") << c.messages();
    }

    kit::conversation plain(m, 587);
    play(plain, {{false, "220 mx.vesk.test ESMTP\r\n"}, {true, "EHLO x\r\n"}, {false, "250 OK\r\n"},
                 {true, "AUTH PLAIN AGJvYgBzZWNyZXQ=\r\n"}});
    EXPECT_NE(plain.messages().find("Found username (bob)"), std::string::npos) << plain.messages();

    kit::conversation tls(m, 25);
    play(tls, {{false, "220 mx.vesk.test ESMTP\r\n"}, {true, "EHLO x\r\n"}, {false, "250-mx\r\n250 STARTTLS\r\n"},
               {true, "STARTTLS\r\n"}, {false, "220 2.0.0 Ready to start TLS\r\n"}});
    EXPECT_EQ(tls.app(), OXLO_PROTOCOL_SMTPS);
}

TEST_F(Mail, usenet_reader_and_hcl_notes)
{
    kit::conversation news(m, 119);
    play(news, {{false, "200 news.vesk.test InterNetNews NNRP server ready\r\n"}, {true, "MODE READER\r\n"}});
    EXPECT_EQ(news.app(), OXLO_PROTOCOL_USENET);

    const char notes[] = "\x00\x01\x02\x03\x04\x05\x00\x00\x02\x00\x00\x40\x02\x0f\x10\x11\x12\x13";
    kit::conversation hcl(m, 1352);
    hcl.handshake();
    hcl.client(kit::raw(notes, sizeof(notes) - 1));
    EXPECT_EQ(hcl.app(), OXLO_PROTOCOL_HCL_NOTES);
}

// Near misses: HTTP headers are no POP3 commands, a greeting of another
// protocol is no IMAP, a news greeting followed by something else is no
// Usenet, a Notes marker one byte off is no Notes.
TEST_F(Mail, near_misses)
{
    kit::conversation http(m, 8080);
    play(http, {{true, "GET / HTTP/1.1\r\n"}, {true, "User-Agent: x\r\n"}, {true, "Host: a\r\n"}});
    EXPECT_FALSE(http.risk(OXLO_CLEAR_TEXT_CREDENTIALS));

    kit::conversation ftp(m, 2121);
    play(ftp, {{false, "220 (vsFTPd 3.0.3)\r\n"}, {true, "USER anonymous\r\n"}});
    EXPECT_NE(ftp.app(), OXLO_PROTOCOL_IMAP);
    EXPECT_NE(ftp.app(), OXLO_PROTOCOL_SMTP);

    kit::conversation news(m, 119);
    play(news, {{false, "200 news.vesk.test ready\r\n"}, {true, "LIST\r\n"}});
    EXPECT_NE(news.app(), OXLO_PROTOCOL_USENET);

    const char notes[] = "\x00\x01\x02\x03\x04\x05\x00\x00\x02\x00\x00\x40\x02\x0e\x10\x11\x12\x13";
    kit::conversation hcl(m, 1352);
    hcl.handshake();
    hcl.client(kit::raw(notes, sizeof(notes) - 1));
    EXPECT_NE(hcl.app(), OXLO_PROTOCOL_HCL_NOTES);
}

} // namespace
