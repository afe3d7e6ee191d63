#include "oxlo_risks.h"
#include "oxlo_private.h"
#include "oxlo_risk_ids.h"
#include "oxlo_automaton.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Flow {
    oxlo_flow_state f{};
    ~Flow()
    {
        oxlo_flow_state_release(&f);
    }
    std::string msg(uint32_t risk) const
    {
        for (uint8_t i = 0; i < f.risk_message_count; i++)
            if (f.texts->risk_messages[i].risk == risk)
                return f.texts->risk_messages[i].text;
        return "<none>";
    }
};

struct Risks : ::testing::Test {
    oxlo_module *m = nullptr;
    void SetUp() override
    {
        m = oxlo_module_new(nullptr);
        ASSERT_NE(m, nullptr);
    }
    void TearDown() override { oxlo_module_free(m); }
};

/* Severity, score and client share of every risk as the product defines them. */
struct Row {
    int id;
    const char *identifier;
    const char *severity;
    unsigned score, client_share;
};
const Row expected_rows[] = {
    {1, "OXLO_URL_POSSIBLE_XSS", "Severe", 150, 90}, {2, "OXLO_URL_POSSIBLE_SQL_INJECTION", "Severe", 150, 90},
    {3, "OXLO_URL_POSSIBLE_RCE_INJECTION", "Severe", 150, 90}, {4, "OXLO_BINARY_APPLICATION_TRANSFER", "Severe", 150, 50},
    {5, "OXLO_KNOWN_PROTOCOL_ON_NON_STANDARD_PORT", "Medium", 50, 50}, {6, "OXLO_TLS_SELFSIGNED_CERTIFICATE", "High", 100, 90},
    {7, "OXLO_TLS_OBSOLETE_VERSION", "High", 100, 90}, {8, "OXLO_TLS_WEAK_CIPHER", "High", 100, 90},
    {9, "OXLO_TLS_CERTIFICATE_EXPIRED", "High", 100, 10}, {10, "OXLO_TLS_CERTIFICATE_MISMATCH", "High", 100, 50},
    {11, "OXLO_HTTP_SUSPICIOUS_USER_AGENT", "High", 100, 90}, {12, "OXLO_NUMERIC_IP_HOST", "Low", 10, 50},
    {13, "OXLO_HTTP_SUSPICIOUS_URL", "High", 100, 90}, {14, "OXLO_HTTP_SUSPICIOUS_HEADER", "High", 100, 90},
    {15, "OXLO_TLS_NOT_CARRYING_HTTPS", "Low", 10, 50}, {16, "OXLO_SUSPICIOUS_DGA_DOMAIN", "High", 100, 90},
    {17, "OXLO_MALFORMED_PACKET", "Low", 10, 50}, {18, "OXLO_SSH_OBSOLETE_CLIENT_VERSION_OR_CIPHER", "High", 100, 90},
    {19, "OXLO_SSH_OBSOLETE_SERVER_VERSION_OR_CIPHER", "Medium", 50, 10}, {20, "OXLO_SMB_INSECURE_VERSION", "High", 100, 90},
    {21, "OXLO_MISMATCHING_PROTOCOL_WITH_IP", "High", 100, 90}, {22, "OXLO_UNSAFE_PROTOCOL", "Low", 10, 50},
    {23, "OXLO_DNS_SUSPICIOUS_TRAFFIC", "Medium", 50, 90}, {24, "OXLO_TLS_MISSING_SNI", "Medium", 50, 50},
    {25, "OXLO_HTTP_SUSPICIOUS_CONTENT", "High", 100, 90}, {26, "OXLO_RISKY_ASN", "Medium", 50, 50},
    {27, "OXLO_RISKY_DOMAIN", "Medium", 50, 50}, {28, "OXLO_MALICIOUS_FINGERPRINT", "High", 100, 90},
    {29, "OXLO_MALICIOUS_SHA1_CERTIFICATE", "Medium", 50, 50}, {30, "OXLO_DESKTOP_OR_FILE_SHARING_SESSION", "Low", 10, 50},
    {31, "OXLO_TLS_UNCOMMON_ALPN", "Medium", 50, 50}, {32, "OXLO_TLS_CERT_VALIDITY_TOO_LONG", "Medium", 50, 50},
    {33, "OXLO_TLS_SUSPICIOUS_EXTENSION", "High", 100, 90}, {34, "OXLO_TLS_FATAL_ALERT", "Low", 10, 50},
    {35, "OXLO_SUSPICIOUS_ENTROPY", "Low", 10, 50}, {36, "OXLO_CLEAR_TEXT_CREDENTIALS", "High", 100, 90},
    {37, "OXLO_DNS_LARGE_PACKET", "Medium", 50, 50}, {38, "OXLO_DNS_FRAGMENTED", "Medium", 50, 50},
    {39, "OXLO_INVALID_CHARACTERS", "High", 100, 90}, {40, "OXLO_POSSIBLE_EXPLOIT", "Severe", 150, 90},
    {41, "OXLO_TLS_CERTIFICATE_ABOUT_TO_EXPIRE", "Medium", 50, 10}, {42, "OXLO_PUNYCODE_IDN", "Low", 10, 10},
    {43, "OXLO_ERROR_CODE_DETECTED", "Low", 10, 10}, {44, "OXLO_HTTP_CRAWLER_BOT", "Low", 10, 10},
    {45, "OXLO_ANONYMOUS_SUBSCRIBER", "Medium", 50, 50}, {46, "OXLO_UNIDIRECTIONAL_TRAFFIC", "Low", 10, 50},
    {47, "OXLO_HTTP_OBSOLETE_SERVER", "Medium", 50, 10}, {48, "OXLO_PERIODIC_FLOW", "Low", 10, 10},
    {49, "OXLO_MINOR_ISSUES", "Low", 10, 10}, {50, "OXLO_TCP_ISSUES", "Medium", 50, 50},
    {51, "OXLO_UNRESOLVED_HOSTNAME", "Medium", 50, 50}, {52, "OXLO_TLS_ALPN_SNI_MISMATCH", "Medium", 50, 50},
    {53, "OXLO_MALWARE_HOST_CONTACTED", "Severe", 150, 90}, {54, "OXLO_BINARY_DATA_TRANSFER", "Medium", 50, 50},
    {55, "OXLO_PROBING_ATTEMPT", "Medium", 50, 50}, {56, "OXLO_OBFUSCATED_TRAFFIC", "High", 100, 90},
    {57, "OXLO_SLOW_DOS", "High", 100, 90}, {58, "OXLO_NON_PQC", "Medium", 50, 50},
};

std::vector<std::string> dump_lines()
{
    char *text = nullptr;
    size_t size = 0;
    FILE *f = open_memstream(&text, &size);
    oxlo_risk_table_dump(f);
    fclose(f);
    std::vector<std::string> lines;
    for (char *save = nullptr, *l = strtok_r(text, "\n", &save); l; l = strtok_r(nullptr, "\n", &save))
        lines.emplace_back(l);
    free(text);
    return lines;
}

} // namespace

TEST(RiskTable, dump_lists_every_risk_with_its_severity_and_scores)
{
    const auto lines = dump_lines();
    ASSERT_EQ(lines.size(), 59u);
    EXPECT_EQ(lines[0].substr(0, 8), " Id Code");
    for (const Row &r : expected_rows) {
        const unsigned client = r.score * r.client_share / 100;
        char want[256];
        snprintf(want, sizeof(want), "%3d %-46s %-44s %-8s %-8u %-8u %-8u", r.id, r.identifier,
                 oxlo_flow_risk_description(r.id), r.severity, r.score, client, r.score - client);
        EXPECT_EQ(lines[size_t(r.id)], want);
    }
    EXPECT_STREQ(oxlo_flow_risk_description(57), "(Possible) Slow DoS");
    EXPECT_STREQ(oxlo_flow_risk_description(21), "Mismatching Protocol with server IP address");
}

TEST(RiskTable, lookup_beyond_the_table_gives_the_end_row)
{
    EXPECT_EQ(oxlo_risk_table_lookup(16)->risk, 16u);
    for (uint32_t id : {59u, 60u, 64u, 1000u, 0xFFFFFFFFu}) {
        const oxlo_risk_table_entry *e = oxlo_risk_table_lookup(id);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->risk, 59u);
        EXPECT_EQ(e->severity, 0u);
        EXPECT_EQ(e->client_share, 50u);
    }
}

TEST(RiskTable, names_identifiers_and_short_names)
{
    EXPECT_STREQ(oxlo_flow_risk_identifier(22), "OXLO_UNSAFE_PROTOCOL");
    EXPECT_STREQ(oxlo_flow_risk_identifier(50), "OXLO_TCP_ISSUES");
    EXPECT_STREQ(oxlo_flow_risk_identifier(59), "Unknown risk");
    EXPECT_STREQ(oxlo_flow_risk_identifier(-1), "Unknown risk");
    EXPECT_EQ(oxlo_flow_risk_by_identifier("OXLO_UNSAFE_PROTOCOL"), 22);
    EXPECT_EQ(oxlo_flow_risk_by_identifier("OXLO_TCP_ISSUES"), 50);
    EXPECT_EQ(oxlo_flow_risk_by_identifier("oxlo_tcp_issues"), 59);
    EXPECT_EQ(oxlo_flow_risk_by_identifier("Unsafe Protocol"), 59);
    EXPECT_EQ(oxlo_flow_risk_by_identifier(nullptr), 59);
    EXPECT_STREQ(oxlo_flow_risk_description(0), "0");
    EXPECT_STREQ(oxlo_flow_risk_description(77), "77");
    EXPECT_STREQ(oxlo_flow_risk_short_name(31), "uls_uncommon_alpn");
    EXPECT_STREQ(oxlo_flow_risk_short_name(57), "slow_DoS");
    EXPECT_EQ(oxlo_flow_risk_short_name(59), nullptr);
    EXPECT_STREQ(oxlo_severity_name(5), "Emergency");
    EXPECT_STREQ(oxlo_severity_name(6), "");
    EXPECT_EQ(oxlo_severity_score(6), 0);
}

TEST(RiskScore, sums_severity_scores_split_by_client_share)
{
    uint16_t c = 1, s = 1;
    EXPECT_EQ(oxlo_risk_mask_score(0, &c, &s), 0);
    EXPECT_EQ(c, 0);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(oxlo_risk_mask_score((1ull << 7) | (1ull << 24), &c, &s), 150);
    EXPECT_EQ(c, 115);
    EXPECT_EQ(s, 35);
    /* Bits past the last risk carry no score. */
    EXPECT_EQ(oxlo_risk_mask_score(1ull << 63 | 1ull << 59, &c, &s), 0);
}

TEST_F(Risks, raise_merges_messages_and_keeps_the_first_entropy_message)
{
    Flow f;
    struct Step {
        int risk;
        const char *message;
        const char *expect;
    } steps[] = {
        {11, "a", "a"},    {11, "b", "a;b"}, {11, "a", "a;b"},  {11, "b", "a;b"},
        {11, nullptr, "a;b"}, {35, "first", "first"}, {35, "second", "first"},
        {12, nullptr, "<none>"}, {12, "late", "late"},
    };
    for (const Step &s : steps) {
        EXPECT_EQ(oxlo_flow_risk_raise(m, &f.f, s.risk, s.message), 0);
        EXPECT_TRUE(oxlo_flow_risk_is_set(&f.f, s.risk));
        EXPECT_EQ(f.msg(uint32_t(s.risk)), s.expect) << s.risk << " " << (s.message ? s.message : "null");
    }
    EXPECT_EQ(f.f.risk_message_count, 3);
    EXPECT_EQ(oxlo_flow_risk_raise(m, nullptr, 11, "x"), 0);
    EXPECT_EQ(oxlo_flow_risk_raise(m, &f.f, 0, "x"), -2);
    EXPECT_EQ(oxlo_flow_risk_raise(m, &f.f, 59, "x"), -2);
    EXPECT_EQ(oxlo_flow_risk_raise(m, &f.f, 200, "x"), -2);
    EXPECT_FALSE(f.f.risk_mask & 1);
}

TEST_F(Risks, merged_message_is_cut_to_1023_characters)
{
    Flow f;
    const std::string long_text(1000, 'x');
    oxlo_flow_risk_raise(m, &f.f, 14, long_text.c_str());
    oxlo_flow_risk_raise(m, &f.f, 14, std::string(100, 'y').c_str());
    EXPECT_EQ(f.msg(14).size(), 1023u);
    EXPECT_EQ(f.msg(14).substr(0, 1001), long_text + ";");
}

TEST_F(Risks, ninth_risk_is_set_without_a_message)
{
    Flow f;
    for (int r = 1; r <= 9; r++)
        oxlo_flow_risk_raise(m, &f.f, r, ("m" + std::to_string(r)).c_str());
    EXPECT_EQ(f.f.risk_message_count, 8);
    EXPECT_TRUE(oxlo_flow_risk_is_set(&f.f, 9));
    EXPECT_EQ(f.msg(9), "<none>");
}

TEST_F(Risks, clearing_the_middle_message_keeps_the_order_of_the_others)
{
    Flow f;
    oxlo_flow_risk_raise(m, &f.f, 3, "three");
    oxlo_flow_risk_raise(m, &f.f, 1, "one");
    oxlo_flow_risk_raise(m, &f.f, 2, "two");
    oxlo_flow_risk_clear(m, &f.f, 1);
    EXPECT_FALSE(oxlo_flow_risk_is_set(&f.f, 1));
    ASSERT_EQ(f.f.risk_message_count, 2);
    EXPECT_EQ(f.f.texts->risk_messages[0].risk, 3u);
    EXPECT_EQ(f.f.texts->risk_messages[1].risk, 2u);
    /* Clearing what is not set, or a flow without messages, changes nothing. */
    Flow empty;
    empty.f.risk_mask = 1ull << 5;
    EXPECT_EQ(oxlo_flow_risk_clear(m, &empty.f, 5), 0);
    EXPECT_EQ(empty.f.risk_message_count, 0);
    EXPECT_EQ(oxlo_flow_risk_clear(m, &f.f, 40), 0);
    EXPECT_EQ(f.f.risk_message_count, 2);
}

TEST_F(Risks, disabled_risks_and_messages_follow_the_knobs)
{
    ASSERT_EQ(oxlo_set_config(m, nullptr, "flow_risk.http_susp_ua", "disable"), 0);
    ASSERT_EQ(oxlo_set_config(m, nullptr, "flow_risk.dga.info", "disable"), 0);
    Flow f;
    oxlo_flow_risk_raise(m, &f.f, 11, "ua");
    oxlo_flow_risk_raise(m, &f.f, 16, "name");
    EXPECT_FALSE(oxlo_flow_risk_is_set(&f.f, 11));
    EXPECT_TRUE(oxlo_flow_risk_is_set(&f.f, 16));
    EXPECT_EQ(f.f.risk_message_count, 0);
    EXPECT_EQ(oxlo_module_risk_enabled(m, 11), 0);
    EXPECT_EQ(oxlo_module_risk_enabled(m, 500), 1);
    EXPECT_EQ(oxlo_module_risk_enabled(nullptr, 11), 1);
}

namespace {
void add_host_exception(oxlo_module *m, const char *host, uint64_t allowed)
{
    ASSERT_NE(m->host_risk_exception_automaton, nullptr);
    automaton_pattern p{};
    p.text = oxlo_heap_strdup(host);
    p.length = uint16_t(strlen(host));
    p.data.value = allowed;
    ASSERT_EQ(automaton_add_pattern(m->host_risk_exception_automaton, &p), AUTOMATON_ADDED);
}
} // namespace

TEST_F(Risks, host_exception_with_mask_zero_drops_all_risks_and_later_raises)
{
    add_host_exception(m, "example.org", 0);
    ASSERT_EQ(oxlo_finalize_initialization(m), 0);
    Flow f;
    oxlo_flow_risk_raise(m, &f.f, 11, "ua");
    oxlo_flow_risk_raise(m, &f.f, 44, "bot");
    snprintf(oxlo_flow_texts_make(nullptr, &f.f, 1)->host_name, OXLO_HOST_NAME_SIZE, "www.example.org");
    oxlo_flow_apply_risk_exceptions(m, &f.f);
    EXPECT_EQ(f.f.risk_mask, 0u);
    EXPECT_EQ(f.f.risk_message_count, 0);
    oxlo_flow_risk_raise(m, &f.f, 16, "later");
    EXPECT_EQ(f.f.risk_mask, 0u);
    EXPECT_EQ(f.f.risk_message_count, 0);

    risk_exception_item items[2] = {};
    items[0].kind = OXLO_RISK_EXCEPTION_HOST;
    items[0].value.text = "other.net";
    items[1].kind = OXLO_RISK_EXCEPTION_HOST;
    items[1].value.text = "cdn.example.org";
    EXPECT_EQ(oxlo_risk_exception_list_match(m, 1, items), 0);
    EXPECT_EQ(oxlo_risk_exception_list_match(m, 2, items), 1);
    EXPECT_EQ(oxlo_risk_exception_list_match(nullptr, 2, items), 0);
    EXPECT_EQ(host_risk_exception_apply(m, nullptr, "example.org"), 1);
}

TEST_F(Risks, host_exception_needs_a_whole_label_match)
{
    add_host_exception(m, "cdn.example.net", 0);
    ASSERT_EQ(oxlo_finalize_initialization(m), 0);
    Flow f;
    oxlo_flow_risk_raise(m, &f.f, 11, "ua");
    snprintf(oxlo_flow_texts_make(nullptr, &f.f, 1)->host_name, OXLO_HOST_NAME_SIZE, "notcdn.example.net");
    oxlo_flow_apply_risk_exceptions(m, &f.f);
    EXPECT_TRUE(oxlo_flow_risk_is_set(&f.f, 11));
    EXPECT_EQ(host_risk_exception_apply(m, nullptr, "notcdn.example.net"), 0);
    EXPECT_EQ(host_risk_exception_apply(m, nullptr, "img.cdn.example.net"), 1);
}

TEST_F(Risks, address_exception_masks_the_flow_risks)
{
    ASSERT_NE(m->risk_exception_ip, nullptr);
    oxlo_prefix pfx;
    struct in_addr a;
    inet_pton(AF_INET, "10.1.0.0", &a);
    ASSERT_EQ(oxlo_prefix_set_ipv4(&pfx, &a, 16, 32), 0);
    oxlo_patricia_node *node = oxlo_patricia_lookup(m->risk_exception_ip->v4, &pfx);
    ASSERT_NE(node, nullptr);
    oxlo_patricia_node_set_value(node, ~(1ull << 11));
    Flow f;
    inet_pton(AF_INET, "10.1.2.3", f.f.server_address);
    inet_pton(AF_INET, "192.168.1.2", f.f.client_address);
    oxlo_flow_risk_raise(m, &f.f, 11, "ua");
    oxlo_flow_risk_raise(m, &f.f, 12, "ip");
    oxlo_flow_apply_risk_exceptions(m, &f.f);
    EXPECT_EQ(f.f.risk_mask, 1ull << 12);

    risk_exception_item item{};
    item.kind = OXLO_RISK_EXCEPTION_IPV4;
    inet_pton(AF_INET, "10.1.9.9", &item.value.ipv4);
    EXPECT_EQ(oxlo_risk_exception_list_match(m, 1, &item), 1);
    inet_pton(AF_INET, "10.2.9.9", &item.value.ipv4);
    EXPECT_EQ(oxlo_risk_exception_list_match(m, 1, &item), 0);
}

TEST_F(Risks, trusted_issuer_dn_matches_exactly)
{
    oxlo_text_list second{strdup("CN=Two"), nullptr};
    oxlo_text_list first{strdup("CN=One"), &second};
    oxlo_text_list *saved = m->trusted_issuers;
    m->trusted_issuers = &first;
    EXPECT_EQ(oxlo_issuer_dn_is_trusted(m, "CN=Two"), 1);
    EXPECT_EQ(oxlo_issuer_dn_is_trusted(m, "CN=Tw"), 0);
    EXPECT_EQ(oxlo_issuer_dn_is_trusted(m, nullptr), 0);
    m->trusted_issuers = saved;
    free(first.text);
    free(second.text);
}

TEST_F(Risks, messages_text_highest_risk_first_in_both_forms)
{
    Flow f;
    oxlo_flow_risk_raise(m, &f.f, 7, "old tls");
    oxlo_flow_risk_raise(m, &f.f, 36, "pw \"x\"");
    char buf[256];
    EXPECT_STREQ(oxlo_flow_risk_messages_text(&f.f, buf, sizeof(buf), 1), "{\"36\":\"pw \\\"x\\\"\",\"7\":\"old tls\"}");
    EXPECT_STREQ(oxlo_flow_risk_messages_text(&f.f, buf, sizeof(buf), 0), "pw \"x\";old tls");
    EXPECT_STREQ(oxlo_flow_risk_messages_text(&f.f, buf, 8, 0), "pw \"x\";");
    Flow none;
    EXPECT_EQ(oxlo_flow_risk_messages_text(&none.f, buf, sizeof(buf), 1), nullptr);
    EXPECT_EQ(oxlo_flow_risk_messages_text(&f.f, nullptr, 10, 1), nullptr);
}

namespace {
/* A small validator: an object of string members, strings with escapes and
 * well-formed UTF-8 only. */
bool valid_json_object(const std::string &s)
{
    size_t i = 0;
    auto str = [&]() -> bool {
        if (i >= s.size() || s[i] != '"')
            return false;
        for (i++; i < s.size(); i++) {
            unsigned char c = (unsigned char)s[i];
            if (c == '"') {
                i++;
                return true;
            }
            if (c < 0x20)
                return false;
            if (c == '\\') {
                if (++i >= s.size())
                    return false;
                if (s[i] == 'u') {
                    if (i + 4 >= s.size())
                        return false;
                    i += 4;
                }
                continue;
            }
            if (c >= 0x80) {
                int n = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : -1;
                if (n < 0 || i + size_t(n) >= s.size())
                    return false;
                for (int k = 1; k <= n; k++)
                    if (((unsigned char)s[i + k] & 0xC0) != 0x80)
                        return false;
                i += size_t(n);
            }
        }
        return false;
    };
    if (s.empty() || s[i++] != '{')
        return false;
    if (i < s.size() && s[i] == '}')
        return i + 1 == s.size();
    for (;;) {
        if (!str() || i >= s.size() || s[i++] != ':' || !str() || i >= s.size())
            return false;
        if (s[i] == '}')
            return i + 1 == s.size();
        if (s[i++] != ',')
            return false;
    }
}
} // namespace

TEST_F(Risks, json_messages_cut_to_any_buffer_stay_valid)
{
    Flow f;
    oxlo_flow_risk_raise(m, &f.f, 40, "caf\xc3\xa9 \xe2\x82\xac \"q\" \\ \x01 end");
    oxlo_flow_risk_raise(m, &f.f, 11, "Mozilla/5.0 \xff\xfe bad bytes");
    oxlo_flow_risk_raise(m, &f.f, 3, "short");
    char full[512];
    ASSERT_NE(oxlo_flow_risk_messages_text(&f.f, full, sizeof(full), 1), nullptr);
    EXPECT_TRUE(valid_json_object(full)) << full;
    for (size_t size = 1; size <= strlen(full) + 1; size++) {
        std::vector<char> buf(size + 8, '#');
        char *out = oxlo_flow_risk_messages_text(&f.f, buf.data(), size, 1);
        ASSERT_NE(out, nullptr);
        ASSERT_LT(strlen(out), size);
        EXPECT_EQ(buf[size], '#') << "wrote past the buffer at size " << size;
        if (size >= 3) {
            EXPECT_TRUE(valid_json_object(out)) << size << ": " << out;
        }
    }
}

TEST_F(Risks, entropy_risk_by_confidence_and_category)
{
    struct Case {
        float entropy;
        oxlo_confidence_level confidence;
        uint16_t app;
        uint32_t category;
        bool raised;
        const char *message;
    } cases[] = {
        {4.941f, OXLO_CONFIDENCE_MATCH_BY_PORT, 0, 0, true, "Entropy: 4.941 (Executable?)"},
        {4.9f, OXLO_CONFIDENCE_MATCH_BY_PORT, 0, 0, false, nullptr},
        {7.5f, OXLO_CONFIDENCE_DPI, 91, 5, false, nullptr},
        {7.2f, OXLO_CONFIDENCE_DPI, 7, 7, true, "Entropy: 7.200 (Encrypted Executable?)"},
        {7.2f, OXLO_CONFIDENCE_DPI, 5, 7, false, nullptr},
        {6.8f, OXLO_CONFIDENCE_DPI_CACHE, 5, 5, true, "Entropy: 6.800 (Compressed Executable?)"},
        {7.4f, OXLO_CONFIDENCE_DPI, 5, 9, false, nullptr},
    };
    for (const Case &c : cases) {
        Flow f;
        f.f.entropy = c.entropy;
        f.f.confidence = c.confidence;
        f.f.app = c.app;
        f.f.category = c.category;
        oxlo_flow_entropy_risk_update(m, &f.f);
        EXPECT_EQ(oxlo_flow_risk_is_set(&f.f, 35) != 0, c.raised) << c.entropy << " " << c.app;
        if (c.message) {
            EXPECT_EQ(f.msg(35), c.message);
        }
    }
    Flow tls;
    tls.f.entropy = 7.9f;
    tls.f.master = 91;
    oxlo_flow_risk_raise(m, &tls.f, 35, "earlier");
    oxlo_flow_entropy_risk_update(m, &tls.f);
    EXPECT_FALSE(oxlo_flow_risk_is_set(&tls.f, 35));
    EXPECT_TRUE(tls.f.flags_a & OXLO_FLOW_ENCRYPTED_PROTO);
    EXPECT_EQ(tls.f.risk_message_count, 0);
}
