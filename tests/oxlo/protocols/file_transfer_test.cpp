// FTP control and data, SMB, TFTP, NFS, rsync, Git, UFTP, Lustre: the
// exchanges real peers have, each with a near miss that must not match.
#include "dissector_kit.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"

#include <cstring>

extern "C" const char *oxlo_flow_tftp_filename(const oxlo_flow_state *flow);

namespace {

struct FileTransfer : kit::engine {};

struct line {
    bool from_client;
    std::string text;
};

void play(kit::conversation &c, const std::vector<line> &lines, bool handshake = true)
{
    if (handshake && c.l4 == OXLO_L4_TCP)
        c.handshake();
    for (const line &l : lines)
        l.from_client ? c.client(l.text) : c.server(l.text);
}

TEST_F(FileTransfer, ftp_login_error_and_auth_tls)
{
    kit::conversation login(m, 21);
    play(login, {{false, "220 (vsFTPd 3.0.3)\r\n"}, {true, "USER bob\r\n"}, {false, "331 Please specify the password.\r\n"}});
    EXPECT_EQ(login.app(), 0) << "331 after USER does not classify";
    play(login, {{true, "PASS secret\r\n"}, {false, "230 Login successful.\r\n"}}, false);
    EXPECT_EQ(login.app(), OXLO_PROTOCOL_FTP_CONTROL);
    EXPECT_NE(login.messages().find("Found FTP username (bob)"), std::string::npos) << login.messages();

    kit::conversation refused(m, 2121);
    play(refused, {{false, "220 ready\r\n"}, {true, "SYST\r\n"}, {false, "530 Please login with USER and PASS.\r\n"}});
    EXPECT_EQ(refused.app(), OXLO_PROTOCOL_FTP_CONTROL);

    kit::conversation tls(m, 21);
    play(tls, {{false, "220 (vsFTPd 3.0.3)\r\n"}, {true, "AUTH TLS\r\n"}, {false, "234 Proceed with negotiation.\r\n"}});
    EXPECT_EQ(tls.app(), OXLO_PROTOCOL_FTPS);
}

// An anonymous login that asks for no password is answered 230 to USER and
// never sees PASS; a 230 that answers no USER, or a 331, decides nothing.
TEST_F(FileTransfer, ftp_login_without_password)
{
    const struct {
        const char *name;
        uint16_t port;
        std::vector<line> lines;
        uint16_t app;
        bool off_port;
    } cases[] = {
        {"anonymous, no password", 21,
         {{false, "220 (vsFTPd 3.0.3)\r\n"}, {true, "USER anonymous\r\n"}, {false, "230 Login successful.\r\n"}},
         OXLO_PROTOCOL_FTP_CONTROL, false},
        {"anonymous on 2121", 2121,
         {{false, "220 (vsFTPd 3.0.3)\r\n"}, {true, "USER anonymous\r\n"}, {false, "230 Login successful.\r\n"}},
         OXLO_PROTOCOL_FTP_CONTROL, true},
        {"230 to another command", 2121,
         {{false, "220 ready\r\n"}, {true, "NOOP\r\n"}, {false, "230 fine\r\n"}}, 0, false},
        {"331 to USER", 2121,
         {{false, "220 ready\r\n"}, {true, "USER anonymous\r\n"}, {false, "331 Password?\r\n"}}, 0, false},
    };
    for (const auto &c : cases) {
        kit::conversation conv(m, c.port);
        play(conv, c.lines);
        EXPECT_EQ(conv.app(), c.app) << c.name;
        EXPECT_EQ(conv.risk(OXLO_KNOWN_PROTOCOL_ON_NON_STANDARD_PORT), c.off_port) << c.name;
    }
}

// A greeting parser that reads a host out of a banner and then finds the
// flow is not its protocol must leave no host name behind.
TEST_F(FileTransfer, excluded_dissector_leaves_no_host_name)
{
    const struct {
        const char *name;
        uint16_t port;
        std::vector<line> lines;
        uint16_t app;
        const char *host;
    } cases[] = {
        {"FTP custom banner", 21,
         {{false, "220 Welcome to the archive\r\n"}, {true, "USER ftp\r\n"}, {false, "331 Password?\r\n"},
          {true, "PASS x\r\n"}, {false, "230 Ok\r\n"}},
         OXLO_PROTOCOL_FTP_CONTROL, ""},
        {"FTP banner on 2121", 2121,
         {{false, "220 Welcome\r\n"}, {true, "SYST\r\n"}, {false, "530 Login first\r\n"}},
         OXLO_PROTOCOL_FTP_CONTROL, ""},
        {"banner, then no mail or FTP command", 2121,
         {{false, "220 Welcome to the archive\r\n"}, {true, "HELLO there\r\n"}, {false, "500 What?\r\n"},
          {true, "QUIT now\r\n"}, {false, "221 Bye\r\n"}, {true, "x\r\n"}, {false, "500 x\r\n"},
          {true, "x\r\n"}, {false, "500 x\r\n"}, {true, "x\r\n"}, {false, "500 x\r\n"}, {true, "x\r\n"}},
         0, ""},
        {"SMTP keeps its greeting host", 25,
         {{false, "220 mail.example.org ESMTP\r\n"}, {true, "EHLO c\r\n"}, {false, "250 mail.example.org\r\n"}},
         OXLO_PROTOCOL_SMTP, "mail.example.org"},
    };
    for (const auto &c : cases) {
        kit::conversation conv(m, c.port);
        play(conv, c.lines);
        EXPECT_EQ(conv.app(), c.app) << c.name;
        EXPECT_STREQ(oxlo_flow_host_name(conv.f), c.host) << c.name;
    }
}

TEST_F(FileTransfer, ftp_data_by_content)
{
    kit::conversation listing(m, 40001);
    play(listing, {{false, "-rw-r--r--    1 0        0              16 Dec 10 09:00 hello.txt\r\n"}});
    EXPECT_EQ(listing.app(), OXLO_PROTOCOL_FTP_DATA);

    kit::conversation pdf(m, 40002);
    play(pdf, {{false, "%PDF-1.7\n" + std::string(400, 'x')}});
    EXPECT_EQ(pdf.app(), OXLO_PROTOCOL_FTP_DATA);

    kit::conversation text(m, 40003);
    play(text, {{false, "hello, this is a plain text file and nothing else\n"}});
    EXPECT_NE(text.app(), OXLO_PROTOCOL_FTP_DATA);
}

std::string smb(uint8_t version_byte, uint8_t command)
{
    std::string body = std::string(1, char(version_byte)) + "SMB" + std::string(1, char(command)) + std::string(60, '\0');
    return std::string("\x00\x00", 2) + char(body.size() >> 8) + char(body.size() & 0xFF) + body;
}

TEST_F(FileTransfer, smb_versions)
{
    kit::conversation v1(m, 445);
    play(v1, {{true, smb(0xFF, 0x72)}});
    EXPECT_EQ(v1.app(), 0) << "a negotiation waits";
    play(v1, {{true, smb(0xFF, 0x73)}}, false);
    EXPECT_EQ(v1.app(), OXLO_PROTOCOL_SMBV1);
    EXPECT_EQ(v1.master(), OXLO_PROTOCOL_NETBIOS);
    EXPECT_NE(v1.messages().find("Found SMBv1"), std::string::npos);
    EXPECT_FALSE(v1.risk(OXLO_KNOWN_PROTOCOL_ON_NON_STANDARD_PORT)) << "445 is SMBv1's own port";

    kit::conversation v2(m, 445);
    play(v2, {{true, smb(0xFE, 0x00)}});
    EXPECT_EQ(v2.app(), OXLO_PROTOCOL_SMBV23);
    EXPECT_FALSE(v2.risk(OXLO_SMB_INSECURE_VERSION));

    kit::conversation other_port(m, 4450);
    play(other_port, {{true, smb(0xFE, 0x00)}});
    EXPECT_NE(other_port.app(), OXLO_PROTOCOL_SMBV23);
}

// Length-framed PDUs and control lines as real peers write them: git's
// pkt-line lengths alone (the connection of tests/captures/file_transfer/
// rsync_git.pcap as recorded), lftp's FEAT reply one line per segment
// (ftp.pcap), the same PDUs cut after their length field and at a middle
// byte, and lengths that never complete.
TEST_F(FileTransfer, framed_pdus_read_whole_from_the_stream)
{
    const kit::segments git = kit::capture_payloads("file_transfer/rsync_git.pcap", 9418);
    const kit::segments lftp = kit::capture_payloads("file_transfer/ftp.pcap", 21, 5);
    const kit::segments smb2 = kit::capture_payloads("file_transfer/smb.pcap", 445);
    ASSERT_GT(git.size(), 6u);
    ASSERT_GT(lftp.size(), 20u);
    ASSERT_FALSE(smb2.empty());
    const std::string upload = git[0].second + git[1].second;
    struct row {
        const char *what;
        uint16_t port;
        kit::segments segments;
        uint16_t expected; /* 0: the protocol below must not be named */
        uint16_t protocol;
    };
    const std::vector<row> rows = {
        {"git clone (recorded): the lengths in segments of their own", 9418, {git.begin(), git.begin() + 8},
         OXLO_PROTOCOL_GIT, 0},
        {"git: the request cut in its length and in its middle", 9418, kit::cut(true, upload, {2, 30}), OXLO_PROTOCOL_GIT,
         0},
        {"git v2: a command with delimiter and flush lines", 9418,
         {{true, "0014command=ls-refs\n0015agent=git/2.39.5\n00010009peel\n0000"}}, OXLO_PROTOCOL_GIT, 0},
        {"git: a length that never completes", 9418, kit::cut(true, "00ff" + upload.substr(4), {4}), 0, OXLO_PROTOCOL_GIT},
        {"lftp (recorded): FEAT answered one line per segment, then the login", 21, lftp, OXLO_PROTOCOL_FTP_CONTROL, 0},
        {"FTP: command and reply lines cut", 21,
         {{false, "220 ready\r\n"}, {true, "US"}, {true, "ER bob\r"}, {true, "\n"}, {false, "331 Please"},
          {false, " specify the password.\r\n"}, {true, "PASS s"}, {true, "ecret\r\n"}, {false, "230 Login successful.\r\n"}},
         OXLO_PROTOCOL_FTP_CONTROL, 0},
        {"SMB2 negotiate (recorded): session header alone", 445, kit::cut(true, smb2[0].second, {4, 20}),
         OXLO_PROTOCOL_SMBV23, 0},
        {"SMB: a session header of a message too short", 445, kit::cut(true, std::string("\0\0\0\x10", 4) + std::string(60, 'x'), {4}),
         0, OXLO_PROTOCOL_SMBV23},
    };
    for (const row &r : rows) {
        kit::conversation c(m, r.port);
        c.handshake();
        c.send(r.segments);
        if (r.expected) {
            EXPECT_EQ(c.app(), r.expected) << r.what;
            EXPECT_TRUE(c.by_inspection()) << r.what;
        } else {
            EXPECT_NE(c.app(), r.protocol) << r.what;
        }
    }
}

std::string nul(const std::string &s) { return s + std::string(1, '\0'); }

// Read requests as tftp-hpa's client and curl send them (curl adds
// "timeout"), the mode in any case; a wrong mode or a cut option is refused.
TEST_F(FileTransfer, tftp_requests_and_transfers)
{
    struct request_case {
        std::string payload;
        bool tftp;
    } cases[] = {
        {std::string("\x00\x01", 2) + nul("hello.txt") + nul("octet"), true},
        {std::string("\x00\x01", 2) + nul("hello.txt") + nul("OCTET"), true},
        {std::string("\x00\x01", 2) + nul("hello.txt") + nul("octet") + nul("tsize") + nul("0") + nul("blksize") +
             nul("512") + nul("timeout") + nul("6"),
         true},
        {std::string("\x00\x01", 2) + nul("hello.txt") + nul("binary"), false},
        {std::string("\x00\x01", 2) + nul("hello.txt") + nul("octet") + nul("tsize"), false},
        {std::string("\x00\x01", 2) + nul("hello.txt") + nul("octet") + nul("tsize") + nul("0") + nul("TSIZE") + nul("1"), false},
    };
    for (const request_case &rc : cases) {
        kit::conversation c(m, 69, OXLO_L4_UDP);
        c.client(rc.payload);
        EXPECT_EQ(c.app() == OXLO_PROTOCOL_TFTP, rc.tftp) << rc.payload.size();
        if (rc.tftp) {
            EXPECT_STREQ(oxlo_flow_tftp_filename(c.f), "hello.txt");
        }
    }
    // A transfer seen without its request: four DATA/ACK packets in order.
    kit::conversation data(m, 40069, OXLO_L4_UDP);
    for (uint8_t block = 1; block <= 2; block++) {
        data.server(std::string("\x00\x03\x00", 3) + char(block) + std::string(512, 'd'));
        data.client(std::string("\x00\x04\x00", 3) + char(block));
    }
    EXPECT_EQ(data.app(), OXLO_PROTOCOL_TFTP);
}

std::string rpc_call(uint32_t program, uint32_t version)
{
    auto be = [](uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    return be(0x12345678) + be(0) + be(2) + be(program) + be(version) + be(0) + std::string(24, '\0');
}

TEST_F(FileTransfer, rpc_rsync_git_and_others)
{
    kit::conversation nfs(m, 2049, OXLO_L4_UDP);
    nfs.client(rpc_call(100003, 3));
    EXPECT_EQ(nfs.app(), OXLO_PROTOCOL_NFS);
    kit::conversation not_nfs(m, 2049, OXLO_L4_UDP);
    not_nfs.client(rpc_call(100021, 4)); /* lock manager: another program */
    EXPECT_NE(not_nfs.app(), OXLO_PROTOCOL_NFS);
    // Over TCP the call follows its record mark, however the write is cut;
    // a mark that does not end the bytes sent is no call.
    const std::string call = rpc_call(100003, 3);
    const std::string record = std::string{char(0x80), 0, 0, char(call.size())} + call;
    const struct {
        std::string bytes;
        size_t cut;
        bool named;
    } records[] = {{record, record.size(), true}, {record, 3, true}, {record, 1, true},
                   {std::string{char(0x80), 0, 0, char(call.size() - 8)} + call, 3, false}};
    for (const auto &r : records) {
        kit::conversation c(m, 20490);
        c.handshake();
        for (size_t at = 0; at < r.bytes.size(); at += r.cut)
            c.segment(true, r.bytes.substr(at, r.cut), at + r.cut >= r.bytes.size() ? 0x18 : 0x10);
        EXPECT_EQ(c.app() == OXLO_PROTOCOL_NFS && c.by_inspection(), r.named) << r.cut << "-byte segments";
    }

    kit::conversation rsync(m, 8730);
    play(rsync, {{false, "@RSYNCD: 31.0 sha512 sha256 sha1 md5 md4\n"}});
    EXPECT_EQ(rsync.app(), OXLO_PROTOCOL_RSYNC);

    kit::conversation git(m, 9418);
    const std::string want = "git-upload-pack /repo.git" + std::string(1, '\0') + "host=localhost" + std::string(1, '\0');
    char hex[5];
    snprintf(hex, sizeof(hex), "%04x", unsigned(want.size() + 4));
    play(git, {{true, hex + want}});
    EXPECT_EQ(git.app(), OXLO_PROTOCOL_GIT);
    kit::conversation not_git(m, 9418);
    play(not_git, {{true, "zzzz" + want}});
    EXPECT_NE(not_git.app(), OXLO_PROTOCOL_GIT);

    kit::conversation uftp(m, 1044, OXLO_L4_UDP);
    std::string u(40, '\0');
    u[0] = 0x50;
    u[1] = 3;
    u[16] = 3;
    uftp.client(u);
    EXPECT_EQ(uftp.app(), OXLO_PROTOCOL_UFTP);
    u[16] = 4;
    kit::conversation not_uftp(m, 1044, OXLO_L4_UDP);
    not_uftp.client(u);
    EXPECT_NE(not_uftp.app(), OXLO_PROTOCOL_UFTP);

    // LNet hello to 10.0.0.1 (the kit's server), its address little-endian.
    std::string hello = std::string("\x63\x69\x72\x45\x01\x00\x00\x00\x01\x00\x00\x0a", 12) + std::string(20, '\0');
    kit::conversation lustre(m, 988);
    play(lustre, {{true, hello}});
    EXPECT_EQ(lustre.app(), OXLO_PROTOCOL_LUSTRE);
    hello[8] = 0x02; /* another address */
    kit::conversation not_lustre(m, 988);
    play(not_lustre, {{true, hello}});
    EXPECT_NE(not_lustre.app(), OXLO_PROTOCOL_LUSTRE);
}

TEST_F(FileTransfer, ipp_and_hl7_inside_http)
{
    /* IPP is named by a path under /ipp/ or by the IPP media type, which
     * the print system's own tools send to their queue, job and admin paths
     * and to "/", also away from port 631. */
    struct ipp_case {
        uint16_t port;
        const char *request;
        uint16_t app;
    };
    const ipp_case cases[] = {
        {631, "POST /ipp/print HTTP/1.1\r\nHost: localhost:631\r\nContent-Type: application/ipp\r\nUser-Agent: CUPS/2.4\r\n\r\n", OXLO_PROTOCOL_IPP},
        {631, "POST /printers/vesk HTTP/1.1\r\nContent-Length: 300\r\nContent-Type: application/ipp\r\nHost: 10.0.0.1:631\r\nUser-Agent: CUPS/2.4.2 (Linux 6.1; x86_64) IPP/2.0\r\n\r\n", OXLO_PROTOCOL_IPP},
        {8631, "POST / HTTP/1.1\r\nContent-Type: Application/IPP; charset=utf-8\r\nHost: 10.0.0.1:8631\r\nUser-Agent: CUPS/2.4.2\r\n\r\n", OXLO_PROTOCOL_IPP},
        /* near misses: a look-alike media type, a form posted to a queue
         * path, and a GET of an /ipp/ path */
        {631, "POST /printers/vesk HTTP/1.1\r\nContent-Type: application/ippx\r\nHost: h\r\nUser-Agent: x\r\n\r\n", OXLO_PROTOCOL_HTTP},
        {631, "POST /admin/ HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\nHost: h\r\nUser-Agent: x\r\n\r\n", OXLO_PROTOCOL_HTTP},
        {631, "GET /ipp/print HTTP/1.1\r\nHost: localhost\r\nUser-Agent: x\r\n\r\n", OXLO_PROTOCOL_HTTP},
    };
    for (const ipp_case &c : cases) {
        kit::conversation ipp(m, c.port);
        play(ipp, {{true, c.request}});
        EXPECT_EQ(ipp.app(), c.app) << c.request;
        EXPECT_EQ(ipp.master(), c.app == OXLO_PROTOCOL_IPP ? OXLO_PROTOCOL_HTTP : OXLO_PROTOCOL_UNKNOWN) << c.request;
    }

    kit::conversation hl7(m, 8080);
    play(hl7, {{true, "POST /fhir HTTP/1.1\r\nHost: ehr\r\nUser-Agent: x\r\nContent-Type: x-application/fhir+json\r\n\r\n{}"}});
    EXPECT_EQ(hl7.app(), OXLO_PROTOCOL_HL7);

    kit::conversation mllp(m, 2575);
    play(mllp, {{true, "\x0bMSH|^~\\&|SENDER|FAC|RECV|FAC|20261210||ADT^A01|MSG0001|P|2.5\rPID|1||12345||DOE^JOHN" + std::string(30, ' ') + "\x1c\r"}});
    EXPECT_EQ(mllp.app(), OXLO_PROTOCOL_HL7);
}

} // namespace
