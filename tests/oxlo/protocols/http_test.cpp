#include "oxlo_private.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "protocols/http_private.h"
#include "oxlo_risks.h"
#include "dissector_kit.h"
#include "oxlo_hosts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <set>
#include <string>
#include <vector>

namespace {

/* The HTTP dissector's state of a flow (an empty one when it has none). */
const http_state *http_of(const oxlo_flow_state *f)
{
    static const http_state empty = {};
    const void *h = oxlo_flow_slot_state(f, OXLO_DISSECTOR_http);
    return h ? static_cast<const http_state *>(h) : &empty;
}

constexpr uint16_t P_HTTP = OXLO_PROTOCOL_HTTP, P_HTTP_CONNECT = OXLO_PROTOCOL_HTTP_CONNECT,
                   P_HTTP_PROXY = OXLO_PROTOCOL_HTTP_PROXY;

using Conversation = kit::conversation;

struct Http : ::testing::Test {
    oxlo_module *m = nullptr;
    void SetUp() override
    {
        m = oxlo_module_new(nullptr);
        ASSERT_NE(m, nullptr);
        ASSERT_EQ(oxlo_finalize_initialization(m), 0);
    }
    void TearDown() override { oxlo_module_free(m); }
};

const char *UA = "User-Agent: curl/7.88.1\r\n";

} // namespace

TEST_F(Http, get_with_host_classifies_at_the_first_packet)
{
    Conversation c(m, 80);
    c.handshake();
    c.client(std::string("GET /index.html HTTP/1.1\r\nHost: www.vesk.test\r\n") + UA + "Accept: */*\r\n\r\n");
    EXPECT_EQ(oxlo_flow_app_protocol(c.f), P_HTTP);
    EXPECT_EQ(oxlo_flow_confidence(c.f), OXLO_CONFIDENCE_DPI);
    EXPECT_STREQ(oxlo_flow_host_name(c.f), "www.vesk.test");
    EXPECT_STREQ(oxlo_flow_http_url(c.f), "www.vesk.test/index.html");
    EXPECT_EQ(oxlo_flow_http_method(c.f), 2u);
    EXPECT_EQ(http_of(c.f)->http11, 1);
    EXPECT_STREQ(oxlo_flow_user_agent(c.f), "curl/7.88.1");
    c.server("HTTP/1.0 200 OK\r\nServer: SimpleHTTP/0.6 Python/3.11.2\r\nContent-type: text/html\r\n\r\n");
    EXPECT_EQ(http_of(c.f)->response_code, 200);
    EXPECT_STREQ(http_of(c.f)->response_content_type, "text/html");
    EXPECT_EQ(c.f->extra_dissection, nullptr);
    EXPECT_EQ(oxlo_flow_risk_bits(c.f), 0u) << c.messages();
}

TEST_F(Http, request_and_response_cases)
{
    struct Case {
        const char *name;
        std::string request, response;
        uint16_t app;
        std::set<int> risks;
        const char *message; /* contained in the flow's messages */
    } cases[] = {
        {"connect", "CONNECT example.org:443 HTTP/1.1\r\nHost: example.org:443\r\n" + std::string(UA) + "\r\n", "",
         P_HTTP_CONNECT, {}, nullptr},
        {"proxy", "GET http://example.org/ HTTP/1.1\r\nHost: example.org\r\n" + std::string(UA) + "\r\n", "",
         P_HTTP_PROXY, {}, nullptr},
        {"missing agent", "GET / HTTP/1.1\r\nHost: example.org\r\n\r\n", "", P_HTTP, {OXLO_HTTP_SUSPICIOUS_USER_AGENT},
         "Empty or missing User-Agent"},
        {"not found", "GET /x HTTP/1.1\r\nHost: example.org\r\n" + std::string(UA) + "\r\n",
         "HTTP/1.1 404 Not Found\r\n\r\n", P_HTTP, {OXLO_ERROR_CODE_DETECTED}, "HTTP Error Code 404"},
        {"old apache", "GET / HTTP/1.1\r\nHost: example.org\r\n" + std::string(UA) + "\r\n",
         "HTTP/1.1 200 OK\r\nServer: Apache/2.2.15 (CentOS)\r\n\r\n", P_HTTP, {OXLO_HTTP_OBSOLETE_SERVER},
         "Obsolete Apache server Apache/2.2.15 (CentOS)"},
        {"current nginx", "GET / HTTP/1.1\r\nHost: example.org\r\n" + std::string(UA) + "\r\n",
         "HTTP/1.1 200 OK\r\nServer: nginx/1.22.1\r\n\r\n", P_HTTP, {}, nullptr},
        {"numeric host", "GET / HTTP/1.1\r\nHost: 10.0.0.1\r\n" + std::string(UA) + "\r\n", "", P_HTTP,
         {OXLO_NUMERIC_IP_HOST}, "Found host 10.0.0.1"},
        {"other address in host", "GET / HTTP/1.1\r\nHost: 10.9.9.9:80\r\n" + std::string(UA) + "\r\n", "", P_HTTP,
         {OXLO_NUMERIC_IP_HOST, OXLO_HTTP_SUSPICIOUS_HEADER}, "Expected 10.0.0.1, found 10.9.9.9"},
        {"basic credentials", "GET / HTTP/1.1\r\nHost: a.org\r\n" + std::string(UA) + "Authorization: Basic dXNlcjpzZWNyZXQ=\r\n\r\n",
         "", P_HTTP, {OXLO_CLEAR_TEXT_CREDENTIALS}, "Found credentials in HTTP Auth Line"},
        {"crawler", "GET / HTTP/1.1\r\nHost: a.org\r\nUser-Agent: Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)\r\n\r\n",
         "", P_HTTP, {OXLO_HTTP_CRAWLER_BOT}, nullptr},
        {"log4j agent", "GET / HTTP/1.1\r\nHost: a.org\r\nUser-Agent: ${jndi:ldap://x.example/a}\r\n\r\n", "", P_HTTP,
         {OXLO_HTTP_SUSPICIOUS_USER_AGENT}, "Suspicious Log4J"},
        {"dot path", "GET /.env HTTP/1.1\r\nHost: a.org\r\n" + std::string(UA) + "\r\n", "", P_HTTP,
         {OXLO_POSSIBLE_EXPLOIT}, "URL starting with dot [a.org/.env]"},
        {"wordpress probe", "POST /wp-admin/x.php HTTP/1.1\r\nHost: a.org\r\n" + std::string(UA) + "\r\n",
         "HTTP/1.1 403 Forbidden\r\n\r\n", P_HTTP, {OXLO_POSSIBLE_EXPLOIT, OXLO_ERROR_CODE_DETECTED},
         "Possible Wordpress Exploit [/wp-admin/x.php]"},
        {"windows program", "GET /setup HTTP/1.1\r\nHost: a.org\r\n" + std::string(UA) + "\r\n",
         "HTTP/1.1 200 OK\r\nContent-Type: application/x-msdownload\r\n\r\nMZ\x90\x00", P_HTTP,
         {OXLO_BINARY_APPLICATION_TRANSFER}, "Found mime exe application/x-msdownload"},
    };
    for (const Case &k : cases) {
        Conversation c(m, 80);
        c.handshake();
        c.client(k.request);
        if (!k.response.empty())
            c.server(k.response);
        EXPECT_EQ(oxlo_flow_app_protocol(c.f), k.app) << k.name;
        std::set<int> got;
        for (int r = 1; r < OXLO_MAX_RISK; r++)
            if (oxlo_flow_risk_is_set(c.f, r))
                got.insert(r);
        EXPECT_EQ(got, k.risks) << k.name << ": " << c.messages();
        if (k.message) {
            EXPECT_NE(c.messages().find(k.message), std::string::npos) << k.name << ": " << c.messages();
        }
    }
}

TEST_F(Http, rtsp_target_and_other_payloads_are_not_http)
{
    for (const char *p : {"GET rtsp://cam.example/stream HTTP/1.1\r\n\r\n", "SSH-2.0-OpenSSH_9.2\r\n", "HTTP/2"}) {
        Conversation c(m, 8554);
        c.handshake();
        c.client(p);
        EXPECT_NE(oxlo_flow_app_protocol(c.f), P_HTTP) << p;
    }
}

TEST_F(Http, non_standard_port_is_reported_at_the_end)
{
    Conversation c(m, 8081);
    c.handshake();
    c.client(std::string("GET / HTTP/1.1\r\nHost: a.org\r\n") + UA + "\r\n");
    c.server("HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(oxlo_flow_app_protocol(c.f), P_HTTP);
    EXPECT_TRUE(oxlo_flow_risk_is_set(c.f, OXLO_KNOWN_PROTOCOL_ON_NON_STANDARD_PORT));
    EXPECT_NE(c.messages().find("Expected on port 80"), std::string::npos) << c.messages();
}

/* Lines cut short at the end of the payload: every read stays inside it
 * (run under the sanitizer build, which checks the exact-size copies). */
TEST_F(Http, truncated_fields_are_read_within_the_payload)
{
    // A response is read once its header block has ended; cut inside it,
    // it waits for the rest, and a status code cut short reads as none.
    const char *responses[] = {"HTTP/1.1 2", "HTTP/1.1 20", "HTTP/1.1 999 X\r\n\r\n", "HTTP/1.1 200 OK\r\nServer: Apache/",
                               "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nabc"};
    for (const char *r : responses) {
        Conversation c(m, 80);
        c.handshake();
        c.client(std::string("GET / HTTP/1.1\r\nHost: a.org\r\n") + UA + "\r\n");
        c.server(r);
        const bool whole = strstr(r, "\r\n\r\n") != nullptr;
        EXPECT_EQ(http_of(c.f)->response_code, whole && strncmp(r, "HTTP/1.1 200", 12) == 0 ? 200 : 0) << r;
        if (!whole)
            c.server("\r\n\r\n");
        EXPECT_LE(http_of(c.f)->response_code, 509) << r;
        EXPECT_EQ(http_of(c.f)->response_code, strncmp(r, "HTTP/1.1 200", 12) == 0 ? 200 : 0) << r;
    }
    const char *requests[] = {"GET / HTTP/1.1\r\nHost: a.org\r\nAuthorization: Digest username=\"bob",
                              "GET / HTTP/1.1\r\nHost: a.org\r\nAuthorization: Digest username=",
                              "GET / HTTP/1.1\r\nHost: a.org\r\nAuthorization: Basic",
                              "GET / HTTP/1.1\r\nHost: a.org\r\nUser-Agent: Mozilla/5.0 (Windows NT",
                              "GET / HTTP/1.1\r\nHost:", "GET      "};
    for (const char *q : requests) {
        Conversation c(m, 80);
        c.handshake();
        c.client(q);
    }
    // A request cut inside its header block is not read until the block
    // ends; the credential is then taken from the whole request.
    Conversation digest(m, 80);
    digest.handshake();
    digest.client("GET / HTTP/1.1\r\nHost: a.org\r\nAuthorization: Digest username=\"bob");
    EXPECT_EQ(digest.app(), 0);
    digest.client("\", realm=\"x\"\r\n\r\n");
    EXPECT_EQ(digest.app(), P_HTTP);
    ASSERT_NE(http_of(digest.f)->username, nullptr);
    EXPECT_STREQ(http_of(digest.f)->username, "bob");
}

namespace {

// Every host name the flow will be matched on, the exported one first.
std::string hosts_of(const oxlo_flow_state *f)
{
    std::string s;
    for (unsigned i = 0; const char *h = oxlo_flow_host_candidates(f, i); i++)
        s += std::string(i ? "," : "") + h;
    return s;
}

} // namespace

// A request split over segments is classified on the whole header block,
// never on "GET" alone or on a cut Host line, and the segments of one
// request do not use up the packet budget; a segment after a gap waits for
// the gap; a header block that never ends within bounds is decided on what
// is known.
TEST_F(Http, split_request_is_read_whole)
{
    const std::string request = "GET /x HTTP/1.1\r\nHost: Blocked.Example.\r\nUser-Agent: curl/8.0\r\n\r\n";
    struct Split {
        const char *name;
        std::vector<size_t> cuts; /* segment sizes; the rest goes last */
    } splits[] = {
        {"method alone", {3}},
        {"method and its blank", {4}},
        {"cut inside the Host line", {20}},
        {"1-byte segments", std::vector<size_t>(request.size() - 1, 1)},
        {"2-byte segments", std::vector<size_t>(request.size() / 2, 2)},
        {"4-byte segments", std::vector<size_t>(request.size() / 4, 4)},
    };
    for (const Split &k : splits) {
        Conversation c(m, 80);
        c.handshake();
        size_t at = 0;
        for (size_t n : k.cuts) {
            if (at + n >= request.size())
                break;
            c.client(request.substr(at, n));
            at += n;
            ASSERT_EQ(c.app(), 0) << k.name << ": classified after " << at << " bytes";
            ASSERT_FALSE(oxlo_flow_dissector_excluded(c.f, 0)) << k.name << " after " << at << " bytes";
        }
        c.client(request.substr(at));
        EXPECT_EQ(c.app(), P_HTTP) << k.name;
        EXPECT_STREQ(oxlo_flow_host_name(c.f), "blocked.example") << k.name;
        EXPECT_STREQ(oxlo_flow_http_url(c.f), "Blocked.Example./x") << k.name;
    }

    // The tricks of one segment, cut where it hides them best.
    struct Cut {
        const char *name;
        std::vector<std::string> parts;
        const char *hosts;
    } cuts[] = {
        {"folded Host cut before its fold", {"GET / HTTP/1.1\r\nHost:\r\n", " blocked.example\r\n\r\n"}, "blocked.example"},
        {"second Host in a later segment",
         {"GET / HTTP/1.1\r\nHost: allowed.example\r\n", "Host: blocked.example\r\n\r\n"},
         "blocked.example,allowed.example"},
        {"absolute URI, Host later", {"GET http://blocked.example/ HTTP/1.1\r\n", "Host: allowed.example\r\n\r\n"},
         "allowed.example,blocked.example"},
        {"LF-only, cut between the LFs", {"GET / HTTP/1.1\nHost: blocked.example\n", "\n"}, "blocked.example"},
    };
    for (const Cut &k : cuts) {
        Conversation c(m, 80);
        c.handshake();
        for (size_t i = 0; i < k.parts.size(); i++) {
            c.client(k.parts[i]);
            if (i + 1 < k.parts.size()) {
                ASSERT_EQ(c.app(), 0) << k.name;
            }
        }
        EXPECT_NE(c.app(), 0) << k.name;
        EXPECT_EQ(hosts_of(c.f), k.hosts) << k.name;
    }

    Conversation gap(m, 80);
    gap.handshake();
    gap.client("GET / HTTP/1.1\r\nHost: blo");
    gap.client_seq += 10; // a segment went missing: the next one does not join
    gap.client("ignored\r\n\r\n");
    EXPECT_EQ(gap.app(), 0);

    Conversation endless(m, 80);
    endless.handshake();
    endless.client("GET / HTTP/1.1\r\nHost: Blocked.Example.\r\n");
    const std::string filler = "Cookie: k=" + std::string(14000, 'v') + "\r\n";
    for (int i = 0; i < 6 && endless.app() == 0; i++)
        endless.client(filler);
    EXPECT_EQ(endless.app(), P_HTTP) << "the header block passed every bound: decided on what is known";
    EXPECT_STREQ(oxlo_flow_host_name(endless.f), "blocked.example") << "a Host read before the bound still counts";

    // Headers past the bound before any Host line: the flow says its
    // stream was not all read while it has no name (its callers decide it
    // there, before the Host line the server reads).
    Conversation late(m, 80);
    late.handshake();
    late.client("GET / HTTP/1.1\r\n");
    for (int i = 0; i < 3; i++)
        late.client("X-Pad: " + std::string(14000, 'a') + "\r\n");
    EXPECT_EQ(oxlo_flow_stream_incomplete(late.f), 1);
    const char *name = oxlo_flow_host_name(late.f);
    EXPECT_TRUE(!name || !*name) << name;
}

// The spellings a client can give the host of one request, whole in one
// segment: each must end in the name a rule is written with, and a request
// naming two hosts keeps both for the rules. Bad host syntax is a risk.
TEST_F(Http, every_spelling_of_the_host_reaches_the_rules)
{
    const std::string many_lines = [] {
        std::string s;
        for (int i = 0; i < 70; i++)
            s += "X-Line-" + std::to_string(i) + ": v\r\n";
        return s;
    }();
    struct Case {
        const char *name;
        std::string request;
        const char *host, *hosts; /* exported; all the rules see */
        bool invalid;             /* risk 39 "Invalid host" */
    } cases[] = {
        {"plain", "GET / HTTP/1.1\r\nHost: blocked.example\r\n\r\n", "blocked.example", "blocked.example", false},
        {"trailing dot", "GET / HTTP/1.1\r\nHost: blocked.example.\r\n\r\n", "blocked.example", "blocked.example", false},
        {"case and port", "GET / HTTP/1.1\r\nHost: BLOCKED.Example:80\r\n\r\n", "blocked.example", "blocked.example", false},
        {"tab after the colon", "GET / HTTP/1.1\r\nHost:\tblocked.example\t\r\n\r\n", "blocked.example", "blocked.example",
         false},
        {"obs-fold", "GET / HTTP/1.1\r\nHost:\r\n blocked.example\r\n\r\n", "blocked.example", "blocked.example", true},
        {"obs-fold with a tab", "GET / HTTP/1.1\r\nHost:\r\n\tblocked.example\r\nAccept: */*\r\n\r\n", "blocked.example",
         "blocked.example", true},
        {"LF-only line ends", "GET / HTTP/1.1\nHost: blocked.example\nAccept: */*\n\n", "blocked.example",
         "blocked.example", false},
        {"a bare LF among CR LF", "GET / HTTP/1.1\r\nAccept: */*\nHost: blocked.example\r\n\r\n", "blocked.example",
         "blocked.example", false},
        {"two Host headers, blocked second", "GET / HTTP/1.1\r\nHost: allowed.example\r\nHost: blocked.example\r\n\r\n",
         "blocked.example", "blocked.example,allowed.example", true},
        {"two Host headers, blocked first", "GET / HTTP/1.1\r\nHost: blocked.example\r\nHost: allowed.example\r\n\r\n",
         "allowed.example", "allowed.example,blocked.example", true},
        {"the same Host twice", "GET / HTTP/1.1\r\nHost: a.example\r\nhost: A.example.\r\n\r\n", "a.example", "a.example",
         true},
        {"absolute URI, no Host", "GET http://blocked.example/ HTTP/1.0\r\n\r\n", "blocked.example", "blocked.example",
         false},
        {"absolute URI, another Host", "GET http://Blocked.Example:8080/x?y HTTP/1.1\r\nHost: allowed.example\r\n\r\n",
         "allowed.example", "allowed.example,blocked.example", false},
        {"absolute URI with user information", "GET http://allowed.example@blocked.example/ HTTP/1.0\r\n\r\n",
         "blocked.example", "blocked.example", true},
        {"CONNECT to another host", "CONNECT blocked.example:443 HTTP/1.1\r\nHost: allowed.example:443\r\n\r\n",
         "allowed.example", "allowed.example,blocked.example", false},
        {"Host after 70 lines", "GET / HTTP/1.1\r\n" + many_lines + "Host: blocked.example\r\n\r\n", "blocked.example",
         "blocked.example", false},
        {"bracketed IPv6", "GET / HTTP/1.1\r\nHost: [fd00::1]:8080\r\n\r\n", "[fd00::1]", "[fd00::1]", false},
        // Near misses stay other names.
        {"longer name", "GET / HTTP/1.1\r\nHost: blocked.example.evil\r\n\r\n", "blocked.example.evil",
         "blocked.example.evil", false},
        {"empty label", "GET / HTTP/1.1\r\nHost: blocked..example\r\n\r\n", "blocked..example", "blocked..example", true},
        {"blank inside", "GET / HTTP/1.1\r\nHost: blocked .example\r\n\r\n", "blocked .example", "blocked .example", true},
        {"bad port", "GET / HTTP/1.1\r\nHost: blocked.example:99999\r\n\r\n", "blocked.example", "blocked.example", true},
    };
    for (const Case &k : cases) {
        Conversation c(m, 80);
        c.handshake();
        c.client(k.request + UA);
        EXPECT_NE(c.app(), 0) << k.name;
        EXPECT_STREQ(oxlo_flow_host_name(c.f), k.host) << k.name;
        EXPECT_EQ(hosts_of(c.f), k.hosts) << k.name;
        EXPECT_EQ(c.risk(OXLO_INVALID_CHARACTERS), k.invalid) << k.name << ": " << c.messages();
        EXPECT_EQ(c.risk(OXLO_POSSIBLE_EXPLOIT), k.invalid) << k.name << ": " << c.messages();
    }
    // A name longer than what is kept loses its front, never the labels a
    // rule on the parent domain reads.
    const std::string label(60, 'a'), name = label + "." + label + "." + label + "." + label + ".blocked.example";
    Conversation c(m, 80);
    c.handshake();
    c.client("GET / HTTP/1.1\r\nHost: " + name + "\r\n\r\n");
    const std::string host = oxlo_flow_host_name(c.f);
    EXPECT_EQ(host, name.substr(name.size() - host.size()));
    EXPECT_GT(host.size(), strlen("blocked.example"));
}

// Servers take any method token and answer it: a request with a method
// outside the table still names its hosts for the rules, however it is cut;
// lines that only look like one are no HTTP, even when they came in pieces.
TEST_F(Http, request_with_any_method_token_names_its_hosts)
{
    struct Case {
        const char *name;
        std::vector<std::string> parts;
        const char *hosts; /* nullptr: no HTTP */
    } cases[] = {
        {"extension method", {"FOO / HTTP/1.1\r\nHost: blocked.example\r\n\r\n"}, "blocked.example"},
        {"token characters", {"X-Y.Z~1 /a HTTP/1.0\r\nHost: blocked.example\r\n\r\n"}, "blocked.example"},
        {"near a known method", {"GETX / HTTP/1.1\r\nHost: blocked.example\r\n\r\n"}, "blocked.example"},
        {"absolute URI and another Host",
         {"PURGE http://blocked.example/ HTTP/1.1\r\nHost: allowed.example\r\n\r\n"},
         "allowed.example,blocked.example"},
        {"method alone first", {"FOO", " / HTTP/1.1\r\nHost: blocked.example\r\n\r\n"}, "blocked.example"},
        {"1-byte pieces of the line",
         {"F", "O", "O", " ", "/", " ", "H", "TTP/1.1\r", "\nHost: blocked.example\r\n", "\r\n"},
         "blocked.example"},
        {"SSH banner in pieces", {"SSH-2.0-", "OpenSSH_9.2 Debian\r\n"}, nullptr},
        {"no version", {"FOO /\r\nHost: blocked.example\r\n\r\n"}, nullptr},
        {"other version", {"FOO / RTSP/1.0\r\nHost: blocked.example\r\n\r\n"}, nullptr},
        {"separator in the token", {"FO(O / HTTP/1.1\r\nHost: blocked.example\r\n\r\n"}, nullptr},
        {"known method prefix, then other bytes", {"GE", "T-NOT-A-REQUEST\r\n"}, nullptr},
    };
    for (const Case &k : cases) {
        Conversation c(m, 80);
        c.handshake();
        for (size_t i = 0; i < k.parts.size(); i++) {
            c.client(k.parts[i]);
            if (i + 1 < k.parts.size()) {
                ASSERT_EQ(c.app(), 0) << k.name << ": classified after part " << i;
            }
        }
        if (k.hosts) {
            EXPECT_NE(c.app(), 0) << k.name; /* HTTP, or HTTP_Proxy for an absolute URI */
            EXPECT_EQ(hosts_of(c.f), k.hosts) << k.name;
            EXPECT_EQ(oxlo_flow_http_method(c.f), 0u) << k.name;
            EXPECT_FALSE(oxlo_flow_detection_pending(m, c.f)) << k.name;
        } else {
            EXPECT_NE(c.app(), P_HTTP) << k.name;
            EXPECT_EQ(hosts_of(c.f), "") << k.name;
        }
    }
}

// The body of a form sent with bare LF line ends starts after its empty line.
TEST_F(Http, form_body_after_lf_only_headers)
{
    Conversation c(m, 80);
    c.handshake();
    c.client("POST /login HTTP/1.1\nHost: a.example\nContent-Type: application/x-www-form-urlencoded\n\n");
    c.client("user=bob&password=pw");
    EXPECT_TRUE(c.risk(OXLO_CLEAR_TEXT_CREDENTIALS)) << c.messages();
}

TEST_F(Http, windows_version_of_a_mozilla_agent_becomes_the_os)
{
    struct Case {
        const char *agent, *os;
    } cases[] = {
        {"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36", "Windows 10"},
        {"Mozilla/5.0 (Windows NT 6.1; WOW64; rv:40.0) Gecko/20100101", "Windows 7"},
        {"Mozilla/5.0 (X11; Linux x86_64; rv:109.0) Gecko/20100101 Firefox/115.0", "Linux x86_64"},
        {"Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)", "Windows XP"},
    };
    for (const Case &k : cases) {
        Conversation c(m, 80);
        c.handshake();
        c.client(std::string("GET / HTTP/1.1\r\nHost: a.org\r\nUser-Agent: ") + k.agent + "\r\n\r\n");
        ASSERT_NE(http_of(c.f)->os, nullptr) << k.agent;
        EXPECT_STREQ(http_of(c.f)->os, k.os);
    }
}

TEST_F(Http, request_start_offsets)
{
    struct Case {
        const char *payload;
        uint32_t offset;
    } cases[] = {{"GET /a HTTP/1.1\r\n", 4}, {"post  /a HTTP/1.1\r\n", 6}, {"RPC_IN_DATA /rpc HTTP/1.1", 12},
                 {"GETX / HTTP/1.1", 0},     {"TRACE / HTTP/1.1", 0},      {"GET rtsp://x/ RTSP/1.0", 0},
                 {"G", 0}};
    for (const Case &k : cases) {
        std::vector<uint8_t> b(k.payload, k.payload + strlen(k.payload));
        m->det.packet.payload = b.data();
        m->det.packet.payload_length = uint16_t(b.size());
        EXPECT_EQ(oxlo_http_request_start(m), k.offset) << k.payload;
    }
    m->det.packet.payload = nullptr;
    m->det.packet.payload_length = 0;
}

namespace {

// A module with a custom protocols file, for the rules that act on flows.
struct HttpRules : ::testing::Test {
    oxlo_module *m = nullptr;
    std::string path;
    virtual std::string rules() = 0;
    void SetUp() override
    {
        char tmpl[] = "/tmp/vesk-http-rules-XXXXXX";
        const int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        path = tmpl;
        const std::string text = rules();
        ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
        close(fd);
        m = oxlo_module_new(nullptr);
        ASSERT_NE(m, nullptr);
        ASSERT_EQ(oxlo_load_custom_protocols_file(m, path.c_str()), 0);
        ASSERT_EQ(oxlo_finalize_initialization(m), 0);
    }
    void TearDown() override
    {
        oxlo_module_free(m);
        unlink(path.c_str());
    }
};

struct HttpUrlRules : HttpRules {
    std::string rules() override { return "url:www.vesk.test/private/area@PrivateArea,cat=14,breed=4\n"; }
};

// Risks that exception rules excuse: 11 (no User-Agent) and 12 (numeric host).
struct HttpExceptionRules : HttpRules {
    std::string rules() override
    {
        return "host_risk_mask:\"trusted.vesk.test\"=0\n"
               "ip_risk_mask:10.0.0.9=2048\n";
    }
};

} // namespace

TEST_F(HttpUrlRules, custom_url_rule_classifies_the_flow)
{
    const uint16_t id = oxlo_protocol_id_by_name(m, "PrivateArea");
    ASSERT_NE(id, 0);
    struct {
        const char *target;
        bool custom;
    } cases[] = {{"/private/area", true}, {"/private/area2", false}, {"/", false}};
    for (const auto &c : cases) {
        Conversation k(m, 80);
        k.handshake();
        k.client(std::string("GET ") + c.target + " HTTP/1.1\r\nHost: www.vesk.test\r\n" + UA + "\r\n");
        if (c.custom) {
            EXPECT_EQ(k.last.app, id) << c.target;
            EXPECT_EQ(k.last.master, P_HTTP) << c.target;
            EXPECT_EQ(oxlo_flow_confidence(k.f), OXLO_CONFIDENCE_CUSTOM_RULE);
            EXPECT_EQ(k.last.category, 14u);
            EXPECT_EQ(k.f->breed, 4u);
        } else {
            EXPECT_EQ(k.last.app, P_HTTP) << c.target;
            EXPECT_EQ(oxlo_flow_confidence(k.f), OXLO_CONFIDENCE_DPI) << c.target;
        }
    }
}

TEST_F(HttpExceptionRules, exceptions_drop_the_risks_of_listed_hosts_and_addresses)
{
    const uint64_t no_agent = uint64_t(1) << OXLO_HTTP_SUSPICIOUS_USER_AGENT;
    const uint64_t numeric = uint64_t(1) << OXLO_NUMERIC_IP_HOST;
    struct {
        const char *host;
        uint32_t server;
        uint64_t risks;
    } cases[] = {
        {"www.vesk.test", 0x0a000001, no_agent},      // no rule
        {"trusted.vesk.test", 0x0a000001, 0},         // the host rule excuses every risk
        {"a.trusted.vesk.test", 0x0a000001, 0},       // and its sub-domains'
        {"10.0.0.9", 0x0a000009, no_agent},           // the address rule keeps only risk 11
        {"10.0.0.1", 0x0a000001, numeric | no_agent}, // no rule
    };
    for (const auto &c : cases) {
        Conversation k(m, 80);
        k.server_address = c.server;
        k.handshake();
        k.client(std::string("GET / HTTP/1.1\r\nHost: ") + c.host + "\r\n\r\n");
        EXPECT_EQ(k.last.app, P_HTTP) << c.host;
        EXPECT_EQ(oxlo_flow_risk_bits(k.f), c.risks) << c.host << ": " << k.messages();
    }
}

// A caller may hand a flow's state a packet of another transport (a fuzzer
// does): the request reader has no segments to join then and must not read
// a TCP header that is not there.
TEST_F(Http, udp_packet_on_an_http_flow_is_survived)
{
    Conversation c(m, 80);
    c.handshake();
    c.client(std::string("GET / HTTP/1.1\r\nHost: www.vesk.test\r\n") + UA + "\r\n");
    ASSERT_EQ(oxlo_flow_app_protocol(c.f), P_HTTP);
    c.client("GET /second HTTP/1.1\r\nHo");
    c.feed(pkt::ipv4(17, pkt::udp(40000, 80, "GET /third HTTP/1.1\r\n")));
    c.feed(pkt::ipv4(17, pkt::udp(40000, 80, "st: x\r\n\r\n")));
    EXPECT_EQ(oxlo_flow_app_protocol(c.f), P_HTTP);
}

namespace {

// A response body is handed to the JSON and MessagePack checks: the flow
// becomes that content over HTTP. An HTML body leaves the flow HTTP.
TEST_F(Http, response_bodies_name_json_and_messagepack_over_http)
{
    const std::string msgpack = kit::raw("\x82\xd9\x04name\xd9\x04vesk\xd9\x04kind\xd9\x04test", 22);
    struct {
        const char *what;
        std::string type, body;
        uint16_t app;
    } cases[] = {
        {"JSON body", "application/json", "{\"name\": \"vesk\", \"ok\": true}\n", OXLO_PROTOCOL_JSON},
        {"MessagePack body", "application/msgpack", msgpack, OXLO_PROTOCOL_MESSAGEPACK},
        {"near miss: HTML body", "text/html", "<!DOCTYPE html>\n<html><body>vesk</body></html>\n", P_HTTP},
    };
    for (const auto &k : cases) {
        Conversation c(m, 80);
        c.handshake();
        c.client(std::string("GET /api HTTP/1.1\r\nHost: api.vesk.test\r\n") + UA + "\r\n");
        const std::string head = "HTTP/1.1 200 OK\r\nServer: nginx/1.22.1\r\nContent-Type: " + k.type +
                                 "\r\nContent-Length: " + std::to_string(k.body.size()) + "\r\n\r\n";
        c.server(head + k.body);
        EXPECT_EQ(c.app(), k.app) << k.what;
        EXPECT_EQ(c.master(), k.app == P_HTTP ? 0 : P_HTTP) << k.what;
    }
}

} // namespace

// A message is read as its receiver reads it, however the sender cut its
// writes: the status of a response and its body (JSON here) are read from
// the stream wherever the cuts fall, and the segments of a request body in
// the follow-up do not spend the packets the response is read in.
TEST_F(Http, a_response_is_read_whole_wherever_it_is_cut)
{
    const std::string body = "{\"jsonrpc\": \"2.0\", \"result\": 3, \"id\": 1}";
    const std::string response = "HTTP/1.1 404 Not Found\r\nServer: nginx/1.22.1\r\nContent-Type: application/json\r\n"
                                 "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    const std::string request = std::string("POST /rpc HTTP/1.1\r\nHost: rpc.vesk.test\r\n") + UA +
                                "Content-Type: application/json\r\nContent-Length: 20\r\n\r\n";
    const std::string request_body = "{\"a\": [1, 2, 3, 4]}\n";
    ASSERT_EQ(request_body.size(), 20u);
    for (size_t cut : {size_t(1), size_t(2), size_t(7), size_t(13), size_t(88), response.size() - body.size(),
                       response.size()}) {
        Conversation c(m, 80);
        c.handshake();
        c.client(request);
        ASSERT_EQ(c.app(), P_HTTP);
        for (char ch : request_body)
            c.client(std::string(1, ch));
        for (size_t at = 0; at < response.size(); at += cut)
            c.server(response.substr(at, cut));
        EXPECT_EQ(http_of(c.f)->response_code, 404) << cut;
        EXPECT_TRUE(c.risk(OXLO_ERROR_CODE_DETECTED)) << cut;
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_JSON) << cut;
        EXPECT_EQ(c.master(), P_HTTP) << cut;
    }
}

// A form's credentials are read from its body wherever the body was cut,
// also when it shares the segment of its headers.
TEST_F(Http, form_credentials_are_read_however_the_body_is_cut)
{
    const std::string head = "POST /login HTTP/1.1\r\nHost: a.example\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                             "Content-Length: 24\r\n\r\n";
    const std::string form = "user=bob&password=secret";
    const std::string all = head + form;
    for (size_t cut : {size_t(1), size_t(5), head.size(), head.size() + 7, all.size()}) {
        Conversation c(m, 80);
        c.handshake();
        for (size_t at = 0; at < all.size(); at += cut)
            c.client(all.substr(at, std::min(cut, all.size() - at)));
        EXPECT_TRUE(c.risk(OXLO_CLEAR_TEXT_CREDENTIALS)) << cut << c.messages();
    }
}
