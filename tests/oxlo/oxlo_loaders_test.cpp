#include "list_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "oxlo_hosts.h"
#include "oxlo_private.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_string_map.h"

namespace {

using namespace list_test;

int host_protocol(oxlo_module *m, const char *host)
{
    return oxlo_host_match(m, host, strlen(host), nullptr);
}

TEST(CustomProtocols, new_protocol_with_port_and_host_rules)
{
    ModuleGuard g;
    TempDir d;
    const uint32_t first_free = g.m->protocols.count;
    std::string file = d.write("protos.txt",
                               "# comment\n"
                               "tcp:8080,host:\"Example.COM\"@MyProto\r\n"
                               "udp:5000-5010@MyProto\n"
                               "tcp:1,tcp:2,tcp:3,tcp:4,tcp:5,tcp:6@Crowded\n"
                               "host:\"last.example\"@LastLine");   /* no newline */
    ASSERT_EQ(oxlo_load_custom_protocols_file(g.m, file.c_str()), 0);
    ASSERT_EQ(g.m->protocols.count, first_free + 3) << "the second MyProto line adds rules only";
    const oxlo_proto_defaults *p = oxlo_proto_defaults_get(g.m, first_free);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->name, "MyProto");
    EXPECT_EQ(p->breed, (uint32_t)OXLO_BREED_ACCEPTABLE);
    EXPECT_TRUE(p->flags & OXLO_PROTO_FLAG_CUSTOM);
    EXPECT_EQ(p->tcp_default_ports[0].low, 8080);
    EXPECT_EQ(p->tcp_default_ports[0].flag, 1);
    EXPECT_EQ(p->udp_default_ports[0].low, 5000);
    EXPECT_EQ(p->udp_default_ports[0].high, 5010);
    const oxlo_proto_defaults *crowded = oxlo_proto_defaults_get(g.m, first_free + 1);
    EXPECT_EQ(crowded->tcp_default_ports[4].low, 5);
    ASSERT_EQ(oxlo_finalize_initialization(g.m), 0);
    EXPECT_EQ(host_protocol(g.m, "www.example.com"), (int)first_free);
    EXPECT_EQ(host_protocol(g.m, "last.example"), (int)first_free + 2)
        << "the last line keeps its last character";
    uint8_t flag = 0;
    EXPECT_EQ(oxlo_guess_protocol_by_port(g.m, 6, 40000, 8080, &flag), first_free);
}

TEST(CustomProtocols, existing_protocol_ids_and_attributes)
{
    ModuleGuard g;
    const uint32_t count = g.m->protocols.count;
    struct Case {
        const char *line;
        const char *message; /* expected in the output, or "" */
        int created;
    } cases[] = {
        {"tcp:7000@http", "", 0},                       /* existing, any case */
        {"tcp:7001@Low=3", "Invalid protocol ID '3'", 0},
        {"tcp:7002@High=70000", "Invalid protocol ID '70000'", 0},
        {"tcp:7003@Cat,cat=999", "Invalid category ID '999'", 1},
        {"tcp:7004@Br,breed=9", "Invalid breed ID '9'", 1},
        {"tcp:7005@Good=4000,cat=5,breed=4", "", 1},
        {"host:a.b@We ird/Name", "", 1},                /* sanitised to We_ird_Name */
        {"", "Invalid rule ''", 0},
        {"nonsense", "Invalid rule 'nonsense'", 0},
        {"what:ever=1", "Unknown rule 'what:ever=1'", 0},
        {"ip_risk_mask:10.0.0.1", "Unknown rule", 0},
    };
    uint32_t expected = count;
    for (const Case &c : cases) {
        char line[128];
        snprintf(line, sizeof(line), "%s", c.line);
        std::string out = printed([&] { custom_rule_line_parse(g.m, line); });
        if (*c.message)
            EXPECT_NE(out.find(c.message), std::string::npos) << c.line << " printed " << out;
        else
            EXPECT_EQ(out, "") << c.line;
        expected += c.created;
        EXPECT_EQ(g.m->protocols.count, expected) << c.line;
    }
    const oxlo_proto_defaults *http = oxlo_proto_defaults_get(g.m, OXLO_PROTOCOL_HTTP);
    bool found = false;
    for (const default_port_range &r : http->tcp_default_ports)
        found |= r.low == 7000;
    EXPECT_TRUE(found);
    const uint16_t good = oxlo_protocol_id_by_name(g.m, "Good");
    ASSERT_NE(good, 0);
    EXPECT_EQ(oxlo_user_protocol_id(g.m, good), 4000);
    EXPECT_EQ(oxlo_proto_defaults_get(g.m, good)->category, 5u);
    EXPECT_EQ(oxlo_proto_defaults_get(g.m, good)->breed, 4u);
    EXPECT_NE(oxlo_protocol_id_by_name(g.m, "We_ird_Name"), 0);
}

TEST(CustomProtocols, url_and_fingerprint_rules)
{
    ModuleGuard g;
    const std::string ja4 = "t13d1516h2_8daaf6152771_02713d6af862";   /* 36 characters */
    ASSERT_EQ(ja4.size(), 36u);
    const std::string fp = "0123456789abcdef0123456789abcdef";
    struct Case {
        std::string line;
        const char *message;
    } cases[] = {
        {"url:example.org/path@UrlProto", ""},
        {"ja4:" + ja4.substr(0, 35) + "@FpProto", "Not a JA4C: ["},
        {"ja4:" + ja4 + "@FpProto", ""},
        {"ja4:" + ja4 + "_1603@FpProto", "JA4C with TLS blocks when TLS blocks are disabled"},
        {"oxlofp:" + fp.substr(0, 31) + "@FpProto", "Not a oxlofp: ["},
        {"oxlofp:" + fp + "@FpProto", ""},
        {"tafl:whatever,tcp:9@FpProto", ""},
    };
    for (const Case &c : cases) {
        std::string line = c.line;
        std::string out = printed([&] { custom_rule_line_parse(g.m, line.data()); });
        if (*c.message)
            EXPECT_NE(out.find(c.message), std::string::npos) << c.line << " printed " << out;
        else
            EXPECT_EQ(out, "") << c.line;
    }
    const uint16_t url_id = oxlo_protocol_id_by_name(g.m, "UrlProto");
    const uint16_t fp_id = oxlo_protocol_id_by_name(g.m, "FpProto");
    uint64_t v = 0;
    ASSERT_EQ(oxlo_string_map_find(oxlo_custom_url_map(g.m), "example.org/path", 16, &v), 0);
    EXPECT_EQ(v & 0xFFFF, url_id);
    EXPECT_EQ((v >> 32) & 0xFFFF, (uint64_t)OXLO_BREED_ACCEPTABLE);
    ASSERT_EQ(oxlo_string_map_find(oxlo_custom_ja4_map(g.m), ja4.data(), 36, &v), 0);
    EXPECT_EQ(v, fp_id);
    ASSERT_EQ(oxlo_string_map_find(oxlo_custom_oxlofp_map(g.m), fp.data(), 32, &v), 0);
    EXPECT_EQ(v, fp_id);
    const oxlo_proto_defaults *p = oxlo_proto_defaults_get(g.m, fp_id);
    EXPECT_EQ(p->tcp_default_ports[0].low, 0) << "tafl ends the line";
}

TEST(CustomProtocols, exception_rules)
{
    ModuleGuard g;
    char l1[] = "ip_risk_mask:10.1.0.0/16=255";
    char l2[] = "ipv6_risk_mask:[2001:db8::]/32=-1";
    char l3[] = "host_risk_mask:\"Cdn.Example.net\"=4095";
    char l4[] = "trusted_issuer_dn:\"CN=Test CA, O=Test\"";
    char l5[] = "ip_risk_mask:10.300.0.0=1";
    for (char *l : {l1, l2, l3, l4})
        EXPECT_EQ(printed([&] { custom_rule_line_parse(g.m, l); }), "") << l;
    EXPECT_NE(printed([&] { custom_rule_line_parse(g.m, l5); }), "");

    oxlo_prefix p;
    in_addr a{};
    inet_pton(AF_INET, "10.1.2.3", &a);
    oxlo_prefix_set_ipv4(&p, &a, 32, 32);
    oxlo_patricia_node *n = oxlo_patricia_search_best_inclusive(g.m->risk_exception_ip->v4, &p);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->value.u64, 255u);
    in6_addr a6{};
    inet_pton(AF_INET6, "2001:db8::5", &a6);
    oxlo_prefix_set_ipv6(&p, &a6, 128, 128);
    n = oxlo_patricia_search_best_inclusive(g.m->risk_exception_ip->v6, &p);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->value.u64, ~0ull);
    ASSERT_NE(g.m->trusted_issuers, nullptr);
    EXPECT_STREQ(g.m->trusted_issuers->text, "CN=Test CA, O=Test");

    ASSERT_EQ(oxlo_finalize_initialization(g.m), 0);
    automaton_match match{};
    const char *host = "a.cdn.example.net";
    ASSERT_EQ(automaton_match_core(g.m->host_risk_exception_automaton, host, strlen(host), &match,
                                   nullptr, nullptr),
              1);
    EXPECT_EQ(match.data.value, 4095u);
    EXPECT_EQ(oxlo_add_ip_risk_mask(g.m, "10.0.0.0/40", 1), -1) << "refused by the tree";
    EXPECT_EQ(oxlo_add_ip_risk_mask(g.m, "[2001:db8::]/129", 1), -1) << "refused by the tree";
    EXPECT_EQ(oxlo_add_ip_risk_mask(g.m, "", 1), -2);
    EXPECT_EQ(oxlo_add_host_risk_mask(g.m, nullptr, 1), -2);
}

TEST(CustomProtocols, long_lines_and_open_failures)
{
    ModuleGuard g;
    TempDir d;
    std::string host(3000, 'a');
    std::string file = d.write("long.txt", "host:" + host + ".com,tcp:6000@LongLine\n");
    ASSERT_EQ(oxlo_load_custom_protocols_file(g.m, file.c_str()), 0);
    const uint16_t id = oxlo_protocol_id_by_name(g.m, "LongLine");
    ASSERT_NE(id, 0) << "a line of any length is one line";
    std::string out = printed([&] {
        EXPECT_EQ(oxlo_load_custom_protocols_file(g.m, "/nonexistent/protos"), -1);
    });
    EXPECT_NE(out.find("Unable to open file /nonexistent/protos ["), std::string::npos);
    EXPECT_EQ(oxlo_load_custom_protocols_file(nullptr, file.c_str()), -1);
}

TEST(IpLists, accepted_and_rejected_lines)
{
    ModuleGuard g;
    TempDir d;
    std::string too_long(300, '1');
    std::string file = d.write("7_list.list", "# comment\n"
                                              "1.2.3.0/24\r\n"
                                              "\n"
                                              "2001:db8::/32\n" +
                                                  too_long + "\n"
                                                             "nothing-here\n"
                                                             "5.6.7.8");
    std::string out;
    int rc = 0;
    out = printed([&] { rc = oxlo_load_ip_list(g.m, file.c_str(), 7); });
    EXPECT_EQ(rc, -2) << "the long line and the line with neither '.' nor ':'";
    EXPECT_NE(out.find(file + " line #5, line too long"), std::string::npos) << out;
    char custom[] = "tcp:1@Custom";
    custom_rule_line_parse(g.m, custom);
    EXPECT_EQ(oxlo_protocol_by_ipv4(g.m, ipv4("1.2.3.9")), 7) << "CRLF line loaded";
    EXPECT_EQ(oxlo_protocol_by_ipv4(g.m, ipv4("5.6.7.8")), 7) << "last line without newline";
    in6_addr a6{};
    inet_pton(AF_INET6, "2001:db8::1", &a6);
    EXPECT_EQ(oxlo_protocol_by_ipv6(g.m, a6.s6_addr), 7);

    std::string clean = d.write("clean.txt", "9.9.9.0/24\n\n9.9.8.1\n");
    EXPECT_EQ(oxlo_load_ip_list(g.m, clean.c_str(), 8), 2) << "a blank line is not a failure";
    EXPECT_EQ(printed([&] { EXPECT_EQ(oxlo_load_ip_list(g.m, "/nonexistent", 8), -1); })
                  .find("Unable to open file /nonexistent"),
              0u);
}

TEST(IpLists, directory_and_plain_list_file)
{
    ModuleGuard g;
    TempDir d;
    d.write("7_extra.list", "11.0.0.0/8\n");
    d.write("extra.list", "12.0.0.0/8\n");
    d.write("99999_big.list", "13.0.0.0/8\n");
    d.write(".9_hidden.list", "14.0.0.0/8\n");
    d.write("8_bad.list", "nothing\n");
    std::string out = printed([&] { EXPECT_EQ(oxlo_load_ip_list_dir(g.m, d.path.c_str()), -1); });
    EXPECT_NE(out.find("Failed to load '" + d.path + "/8_bad.list'"), std::string::npos);
    EXPECT_EQ(oxlo_protocol_by_ipv4(g.m, ipv4("11.1.1.1")), 7);
    EXPECT_EQ(oxlo_protocol_by_ipv4(g.m, ipv4("12.1.1.1")), 0);
    EXPECT_EQ(oxlo_protocol_by_ipv4(g.m, ipv4("13.1.1.1")), 0);
    EXPECT_EQ(oxlo_protocol_by_ipv4(g.m, ipv4("14.1.1.1")), 0);
    EXPECT_EQ(oxlo_load_ip_list_dir(g.m, "/nonexistent"), -1);

    std::string plain = d.write("plain", "# x\n21.0.0.0/8\n2001:db8:5::/48\nbad\n21.0.0.0/8\n"
                                         "21.0.0.0/8\n");
    EXPECT_EQ(oxlo_module_load_ip_list_file(g.m, plain.c_str(), 9), 3)
        << "two entries per prefix, no more";
    EXPECT_EQ(oxlo_protocol_by_ipv4(g.m, ipv4("21.2.3.4")), 9);
    EXPECT_EQ(oxlo_module_load_ip_list_file(g.m, "/nonexistent", 9), -1);
}

TEST(RiskLists, risky_domains_ja4_and_certificates)
{
    ModuleGuard g;
    TempDir d;
    std::string risky = d.write("risky", "# risky\nbad.example\nEvil.test\r\nbad.example\nx\n");
    EXPECT_EQ(oxlo_load_risky_domains(g.m, risky.c_str()), 3) << "duplicates count";
    ASSERT_NE(g.m->risky_domain_automaton, nullptr);
    EXPECT_STREQ(g.m->risky_domain_automaton->name, "risky");
    uint32_t id = 0;
    EXPECT_EQ(oxlo_automaton_match_id(g.m->risky_domain_automaton, "www.evil.test", 13, &id), 0);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(oxlo_automaton_match_id(g.m->risky_domain_automaton, "notevil.test", 12, &id), -1);

    const std::string ja4 = "t13d1516h2_8daaf6152771_02713d6af862";
    std::string ja4file = d.write("ja4", ja4 + ",some comment\nshort,x\n" + ja4 + "\r\n");
    std::string out = printed([&] { EXPECT_EQ(oxlo_load_malicious_ja4(g.m, ja4file.c_str()), 2); });
    EXPECT_NE(out.find("Not a JA4C: [short]"), std::string::npos);
    uint64_t v = 1;
    EXPECT_EQ(oxlo_string_map_find(g.m->malicious_ja4, ja4.data(), 36, &v), 0);

    const std::string sha = "0123456789abcdef0123456789abcdef01234567";
    std::string shafile = d.write("sha1", "2024-01-01," + sha + ",Some CA\n" + sha +
                                              "\nx,tooshort,y\n");
    out = printed([&] { EXPECT_EQ(oxlo_load_malicious_cert_sha1(g.m, shafile.c_str()), 2); });
    EXPECT_NE(out.find("Not a SSL certificate sha1 hash: [tooshort]"), std::string::npos);
    std::string upper = "0123456789ABCDEF0123456789ABCDEF01234567";
    EXPECT_EQ(oxlo_string_map_find(g.m->malicious_sha1_certs, upper.data(), 40, &v), 0);
    EXPECT_EQ(oxlo_load_malicious_cert_sha1(g.m, "/nonexistent"), -1);
    EXPECT_EQ(oxlo_load_risky_domains(nullptr, risky.c_str()), -1);
}

TEST(LineReader, line_ends_and_limits)
{
    TempDir d;
    std::string file = d.write("lines", "one\r\ntwo\n\n" + std::string(20, 'x') + "\nlast");
    FILE *in = fopen(file.c_str(), "r");
    char buf[10];
    size_t n = 0;
    struct Want {
        int rc;
        const char *text;
    } want[] = {{OXLO_LINE_OK, "one"}, {OXLO_LINE_OK, "two"}, {OXLO_LINE_OK, ""},
                {OXLO_LINE_TOO_LONG, ""}, {OXLO_LINE_OK, "last"}, {OXLO_LINE_EOF, nullptr}};
    for (const Want &w : want) {
        EXPECT_EQ(oxlo_read_text_line(in, buf, sizeof(buf), &n), w.rc);
        if (w.text) {
            EXPECT_STREQ(buf, w.text);
            EXPECT_EQ(n, strlen(w.text));
        }
    }
    fclose(in);
}

/* The list walker numbers every line, skipped and over-long ones too, keeps
 * the caller's short-line rule, and either reports an over-long line itself
 * or hands it back. */
TEST(ListReader, numbers_skips_and_reports_over_long_lines)
{
    TempDir d;
    std::string file = d.write("list", "# c\nx\n" + std::string(20, 'y') + "\n\nab\nlast");
    struct Want {
        int rc;
        unsigned number;
        const char *text;
    };
    struct Case {
        const char *report_path;
        size_t min_length;
        std::vector<Want> want;
        std::string printed;
    } cases[] = {
        {nullptr, 1,
         {{OXLO_LINE_OK, 2, "x"}, {OXLO_LINE_TOO_LONG, 3, nullptr}, {OXLO_LINE_OK, 5, "ab"},
          {OXLO_LINE_OK, 6, "last"}, {OXLO_LINE_EOF, 6, nullptr}},
         ""},
        {"some.list", 2,
         {{OXLO_LINE_OK, 5, "ab"}, {OXLO_LINE_OK, 6, "last"}, {OXLO_LINE_EOF, 6, nullptr}},
         "[OXLO] some.list: line #3 is too long, skipped\n"},
    };
    for (const Case &c : cases) {
        FILE *in = fopen(file.c_str(), "r");
        ASSERT_NE(in, nullptr);
        char buf[10];
        oxlo_list_reader r =
            oxlo_list_reader_start(in, buf, sizeof(buf), c.report_path, c.min_length);
        std::string out = printed([&] {
            for (const Want &w : c.want) {
                EXPECT_EQ(oxlo_list_reader_next(&r), w.rc) << "line " << w.number;
                EXPECT_EQ(r.number, w.number);
                if (w.text) {
                    EXPECT_STREQ(buf, w.text);
                }
            }
        });
        EXPECT_EQ(out, c.printed);
        fclose(in);
    }
}

} // namespace
