#include "oxlo_private.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "protocols/http_private.h"
#include "oxlo_risks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct LineParser : ::testing::Test {
    oxlo_module *m = nullptr;
    oxlo_flow_state flow{};
    std::vector<uint8_t> bytes;
    void SetUp() override
    {
        m = oxlo_module_new(nullptr);
        ASSERT_NE(m, nullptr);
    }
    void TearDown() override
    {
        oxlo_flow_state_release(&flow);
        oxlo_module_free(m);
    }
    /* The payload lives in a block of exactly its size so that a read past
     * its end is caught by the sanitizer build. */
    void parse(const std::string &payload, uint64_t now = 0)
    {
        bytes.assign(payload.begin(), payload.end());
        oxlo_packet_state *p = &m->det.packet;
        p->payload = bytes.empty() ? nullptr : bytes.data();
        p->payload_length = uint16_t(bytes.size());
        p->flags = 0;
        p->time_ms = now;
        oxlo_parse_payload_lines(m, &flow);
    }
    const oxlo_line_table &t() const { return m->det.packet.lines; }
    uint16_t count() const { return m->det.packet.line_count; }
    static std::string text(const oxlo_payload_line &l)
    {
        return l.ptr ? std::string(reinterpret_cast<const char *>(l.ptr), l.len) : "<absent>";
    }
};

} // namespace

TEST_F(LineParser, request_with_host_and_empty_line)
{
    const std::string req = "GET /index.html HTTP/1.1\r\nHost: example.com\r\n\r\n";
    parse(req);
    EXPECT_EQ(count(), 3);
    EXPECT_EQ(text(t().line[0]), "GET /index.html HTTP/1.1");
    EXPECT_EQ(text(t().host), "example.com");
    EXPECT_EQ(t().line[2].len, 0);
    EXPECT_EQ(t().headers_complete, 1);
    EXPECT_EQ(t().header_end, req.size() - 2);
    EXPECT_TRUE(flow.flags_a & OXLO_FLOW_LINES_SEEN);
}

TEST_F(LineParser, header_values_by_name_table)
{
    struct Case {
        const char *line;
        oxlo_payload_line oxlo_line_table::*slot;
        const char *value;
    } cases[] = {
        {"host:   x   ", &oxlo_line_table::host, "x"},
        {"HOST:example.org:8080", &oxlo_line_table::host, "example.org:8080"},
        {"Host:      ", &oxlo_line_table::host, "<absent>"},
        {"user-AGENT: curl/8.0", &oxlo_line_table::user_agent, "curl/8.0"},
        {"Content-Type: text/html; charset=utf-8", &oxlo_line_table::content_type, "text/html"},
        {"Authorization: Basic dTpw", &oxlo_line_table::authorization, "Basic dTpw"},
        {"NTS: ssdp:alive", &oxlo_line_table::nts, "ssdp:alive"},
        {"NT: upnp:rootdevice", &oxlo_line_table::nt, "upnp:rootdevice"},
        {"ST: ssdp:all", &oxlo_line_table::st, "ssdp:all"},
        {"X-Forwarded-For: 10.0.0.1", &oxlo_line_table::forwarded, "10.0.0.1"},
        {"Host", &oxlo_line_table::host, "<absent>"},
        {"Host:", &oxlo_line_table::host, "<absent>"},
    };
    for (const Case &c : cases) {
        parse(std::string("GET / HTTP/1.1\r\n") + c.line + "\r\n\r\n");
        EXPECT_EQ(text(t().*(c.slot)), c.value) << c.line;
    }
}

// Servers end a line at LF with or without CR, and take tabs as blanks
// around a value: the table reads a request the way they do.
TEST_F(LineParser, bare_lf_line_ends_and_tabs_around_values)
{
    struct Case {
        const char *name;
        std::string payload;
        uint16_t lines, header_end;
        const char *host, *body;
    } cases[] = {
        {"CR LF", "GET / HTTP/1.1\r\nHost: a.b\r\n\r\nBODY", 4, 27, "a.b", "BODY"},
        {"LF only", "GET / HTTP/1.1\nHost: a.b\n\nBODY", 4, 25, "a.b", "BODY"},
        {"mixed", "GET / HTTP/1.1\nAccept: */*\r\nHost: a.b\n\r\nBODY", 5, 38, "a.b", "BODY"},
        {"tabs", "GET / HTTP/1.1\r\nHost:\t a.b \t\r\n\r\n", 3, 30, "a.b", ""},
        {"blank lines in the body", "GET / HTTP/1.1\nHost: a.b\n\nB\n\nC", 6, 25, "a.b", "B\n\nC"},
    };
    for (const Case &c : cases) {
        flow.body_start_length = 0;
        parse(c.payload);
        EXPECT_EQ(count(), c.lines) << c.name;
        EXPECT_EQ(text(t().line[0]), "GET / HTTP/1.1") << c.name;
        EXPECT_EQ(text(t().host), c.host) << c.name;
        EXPECT_EQ(t().headers_complete, 1) << c.name;
        EXPECT_EQ(t().header_end, c.header_end) << c.name;
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(flow.body_start), flow.body_start_length), c.body)
            << c.name;
    }
}

TEST_F(LineParser, status_line_fills_the_response_slot)
{
    parse("HTTP/1.1 200 OK\r\nServer: nginx/1.18.0\r\n\r\n");
    EXPECT_EQ(text(t().response_status), "200 OK");
    EXPECT_EQ(text(t().server), "nginx/1.18.0");
    parse("HTTP/1.1 700 X\r\n\r\n");
    EXPECT_EQ(text(t().response_status), "<absent>");
    parse("HTTP/1.1 20\r\n\r\n"); /* too short to hold a code and reason */
    EXPECT_EQ(text(t().response_status), "<absent>");
}

TEST_F(LineParser, hundred_lines_record_63_and_stop)
{
    std::string p = "GET / HTTP/1.1\r\n";
    for (int i = 1; i < 100; i++)
        p += "X-" + std::to_string(i) + ": v\r\n";
    parse(p);
    EXPECT_EQ(count(), 63);
    EXPECT_EQ(text(t().line[62]), "X-62: v");
}

TEST_F(LineParser, unterminated_last_line_and_no_lines)
{
    parse("GET / HTTP/1.1\r\nHost: a.b");
    EXPECT_EQ(count(), 2);
    EXPECT_EQ(text(t().host), "a.b");
    parse("no line end here");
    EXPECT_EQ(count(), 0);
    const uint8_t before = m->det.packet.flags;
    oxlo_parse_payload_lines(m, &flow); /* once per packet */
    EXPECT_EQ(m->det.packet.flags, before);
    parse("ab");
    EXPECT_EQ(m->det.packet.flags & OXLO_PACKET_LINES_PARSED, 0);
}

TEST_F(LineParser, short_payload_leaves_no_pointers_into_the_previous_packet)
{
    parse("GET / HTTP/1.1\r\nHost: a.b\r\n\r\n");
    ASSERT_EQ(text(t().host), "a.b");
    parse("\r\n");
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(text(t().host), "<absent>");
    EXPECT_EQ(t().line[0].ptr, nullptr);
}

TEST_F(LineParser, body_start_is_kept_up_to_eight_bytes)
{
    parse("HTTP/1.1 200 OK\r\nContent-Type: x\r\n\r\nMZ\x90");
    EXPECT_EQ(flow.body_start_length, 3);
    EXPECT_EQ(memcmp(flow.body_start, "MZ\x90", 3), 0);
    parse("HTTP/1.1 200 OK\r\n\r\n0123456789");
    EXPECT_EQ(flow.body_start_length, 8);
    EXPECT_EQ(memcmp(flow.body_start, "01234567", 8), 0);
}

TEST_F(LineParser, slowloris_needs_both_handshake_times_and_an_open_request)
{
    struct Case {
        uint64_t syn, ack, now;
        uint8_t conversation;
        bool raised;
        uint16_t app = 7;
        uint8_t waiting = 0;
    } cases[] = {
        {1000, 1100, 4600, 1, true},   /* 3.5 s after the ACK */
        {1000, 1100, 4600, 0, true, 0, 1}, /* unclassified, its first request still arriving */
        {1000, 1100, 4600, 0, false, 0, 0}, /* unclassified, no request */
        {1000, 1100, 4000, 1, false},  /* 2.9 s */
        {0, 1100, 4600, 1, false},     /* first seen mid-stream: no SYN time */
        {1000, 0, 9000, 2, false},     /* no ACK time */
        {1000, 1100, 4600, 3, false},  /* response already seen */
        {1000, 5000, 4600, 1, false},  /* clock behind the ACK: no wrap */
    };
    for (const Case &c : cases) {
        oxlo_flow_state_release(&flow);
        flow = oxlo_flow_state{};
        flow.app = c.app;
        oxlo_flow_tcp *tcp = oxlo_flow_tcp_make(nullptr, &flow);
        ASSERT_NE(tcp, nullptr);
        tcp->syn_ms = c.syn;
        tcp->first_ack_ms = c.ack;
        http_state *h = static_cast<http_state *>(
            oxlo_flow_slot_state_make(&flow, OXLO_DISSECTOR_http, sizeof(http_state), oxlo_http_state_release));
        h->conversation = c.conversation;
        h->request_waiting = c.waiting;
        parse("X-Slow: 1\r\n", c.now);
        EXPECT_EQ(oxlo_flow_risk_is_set(&flow, OXLO_SLOW_DOS) != 0, c.raised) << c.syn << " " << c.ack << " " << c.now;
        if (c.raised) {
            ASSERT_EQ(flow.risk_message_count, 1);
            EXPECT_STREQ(flow.texts->risk_messages[0].text, "Slow HTTP Req. (Slowloris): 3.5 sec");
            parse("X-Slow: 2\r\n", c.now + 1000);
            EXPECT_STREQ(flow.texts->risk_messages[0].text, "Slow HTTP Req. (Slowloris): 3.5 sec");
        }
    }
}
