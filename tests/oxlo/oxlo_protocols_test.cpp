#include "oxlo_private.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_risk_ids.h"
#include "oxlo_hosts.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

/* The built-in table's size, and the id the first custom protocol gets. */
constexpr uint32_t builtin_count = OXLO_PROTOCOL_BUILTIN_COUNT;
constexpr uint16_t first_custom = OXLO_PROTOCOL_BUILTIN_COUNT;

/* A module holding only what the protocol table needs: the table itself,
 * the default knobs sized to it and the user category names. The lifecycle
 * has its own tests; these look at the table alone. */
struct TableModule {
    oxlo_module *m = nullptr;

    explicit TableModule(bool finalize = true)
    {
        m = static_cast<oxlo_module *>(oxlo_heap_calloc(1, sizeof(oxlo_module)));
        for (int i = 0; i < OXLO_NUM_USER_CATEGORIES; i++)
            snprintf(m->custom_category_names[i], sizeof(m->custom_category_names[i]),
                     "User custom category %d", i + 1);
        EXPECT_EQ(oxlo_proto_table_init(m), 0);
        EXPECT_EQ(set_default_config(&m->cfg, m->protocols.builtin_count), 0);
        if (finalize)
            this->finalize();
    }
    void finalize()
    {
        oxlo_default_ports_build(m);
        m->flags |= OXLO_MODULE_FINALIZED;
    }
    ~TableModule()
    {
        oxlo_proto_table_free(m);
        free_config(&m->cfg);
        oxlo_heap_free(m);
    }
};

std::string ports_text(const default_port_range *ports)
{
    if (ports[0].low == 0)
        return "-";
    char buf[64];
    return oxlo_port_list_text(ports, buf, sizeof(buf));
}

std::string row_of(oxlo_module *m, uint16_t id)
{
    const oxlo_proto_defaults *e = oxlo_proto_defaults_get(m, id);
    std::ostringstream o;
    o << id << ' ' << e->name << ' ' << (e->flags & OXLO_PROTO_FLAG_CLEAR_TEXT ? 1 : 0) << ' '
      << (e->flags & OXLO_PROTO_FLAG_APP ? 1 : 0) << ' ' << oxlo_breed_name(e->breed) << ' '
      << oxlo_category_name(m, (int)e->category) << ' ' << e->service_class << ' '
      << ports_text(e->tcp_default_ports) << ' ' << ports_text(e->udp_default_ports);
    return o.str();
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

} // namespace

TEST(ProtocolTable, holds_every_builtin_protocol_with_coherent_entries)
{
    TableModule t;
    ASSERT_EQ(oxlo_protocol_count(t.m), builtin_count);
    EXPECT_EQ(t.m->protocols.builtin_count, builtin_count);
    EXPECT_EQ(t.m->protocols.custom_count, 0u);
    for (uint16_t id = 0; id < first_custom; id++) {
        const oxlo_proto_defaults *e = oxlo_proto_defaults_get(t.m, id);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->id, id);
        EXPECT_NE(e->name[0], '\0') << id;
        EXPECT_LT(strlen(e->name), 32u);
        if (id != 0) {
            EXPECT_NE(e->category, 0u) << e->name;
        }
        EXPECT_LT(e->category, 164u);
        EXPECT_LT(e->breed, 8u);
        EXPECT_LE(e->service_class, 10u);
        EXPECT_EQ(e->flags & OXLO_PROTO_FLAG_CUSTOM, 0);
        EXPECT_EQ(e->dissector_index, OXLO_NO_DISSECTOR) << "no dissector is not index 0";
        EXPECT_EQ(oxlo_protocol_id_by_name(t.m, e->name), id) << "names are unique";
    }
    EXPECT_EQ(oxlo_proto_defaults_get(t.m, first_custom), nullptr);
    EXPECT_STREQ(oxlo_protocol_name(t.m, OXLO_PROTOCOL_PROTONMEET), "ProtonMeet");
    EXPECT_STREQ(oxlo_protocol_name(t.m, OXLO_PROTOCOL_HART_IP), "HART-IP");
    EXPECT_STREQ(oxlo_protocol_name(t.m, OXLO_PROTOCOL_1KXUN), "1kxun");

    /* The finalization check has nothing to report on the built-in table. */
    testing::internal::CaptureStdout();
    oxlo_proto_table_check(t.m);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(ProtocolTable, rows_given_in_full_match_the_golden_file)
{
    TableModule t;
    std::ifstream in(VESK_SOURCE_DIR "/tests/oxlo/data/protocol_table_rows.txt");
    ASSERT_TRUE(in.good());
    int rows = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        uint16_t id = (uint16_t)std::stoi(line);
        EXPECT_EQ(row_of(t.m, id), line);
        rows++;
    }
    EXPECT_EQ(rows, 12);
}

TEST(ProtocolTable, host_list_services_follow_the_host_list_rule)
{
    /* Services known by host names only: not clear text, application, no
     * ports, traffic class from the category. */
    TableModule t;
    const std::map<uint32_t, uint32_t> class_of = {
        {OXLO_CATEGORY_MEDIA, 8}, {OXLO_CATEGORY_STREAMING, 8}, {OXLO_CATEGORY_MUSIC, 8},
        {OXLO_CATEGORY_VIDEO, 8}, {OXLO_CATEGORY_WEB, 5},       {OXLO_CATEGORY_GAME, 3},
        {OXLO_CATEGORY_VOIP, 1},  {OXLO_CATEGORY_REMOTEACCESS, 9}};
    for (uint16_t id : {OXLO_PROTOCOL_OUTLOOK, OXLO_PROTOCOL_VK, OXLO_PROTOCOL_YANDEX,
                        OXLO_PROTOCOL_TIKTOK, OXLO_PROTOCOL_DISNEYPLUS, OXLO_PROTOCOL_AWS_S3,
                        OXLO_PROTOCOL_PROTONMAIL, OXLO_PROTOCOL_BLACKNUT}) {
        const oxlo_proto_defaults *e = oxlo_proto_defaults_get(t.m, id);
        EXPECT_EQ(e->flags & 0x07, OXLO_PROTO_FLAG_APP) << e->name;
        EXPECT_EQ(e->tcp_default_ports[0].low, 0);
        EXPECT_EQ(e->udp_default_ports[0].low, 0);
        auto c = class_of.find(e->category);
        EXPECT_EQ(e->service_class, c == class_of.end() ? 0u : c->second) << e->name;
    }
}

TEST(ProtocolTable, data_file_matches_the_table_figures)
{
    /* 353 rows registered explicitly, 134 from host lists; of the explicit
     * ones 160 have default ports, 136 are applications, 21 are neither
     * clear text nor application, and the breeds split as below. */
    std::ifstream in(VESK_SOURCE_DIR "/oxlo/data/oxlo_protocols.def");
    ASSERT_TRUE(in.good());
    int explicit_rows = 0, host_rows = 0, with_ports = 0, apps = 0, neither = 0;
    std::map<std::string, int> breeds;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("OXLO_PROTO(", 0) != 0)
            continue;
        std::vector<std::string> f;
        std::string body = line.substr(11, line.rfind(')') - 11);
        std::stringstream ss(body);
        for (std::string x; std::getline(ss, x, ',');) {
            x.erase(0, x.find_first_not_of(' '));
            x.erase(x.find_last_not_of(' ') + 1);
            f.push_back(x);
        }
        ASSERT_GE(f.size(), 11u) << line;
        if (f[3] == "H") {
            host_rows++;
            continue;
        }
        explicit_rows++;
        if (line.find("\"\",") == std::string::npos || line.rfind("\"\")") == std::string::npos)
            with_ports++;
        apps += f[5] == "1";
        neither += f[4] == "0" && f[5] == "0";
        breeds[f[6]]++;
    }
    EXPECT_EQ(explicit_rows, 353);
    EXPECT_EQ(host_rows, 134);
    EXPECT_EQ(with_ports, 160);
    EXPECT_EQ(apps, 136);
    EXPECT_EQ(neither, 21);
    EXPECT_EQ(breeds["ACCEPTABLE"], 248);
    EXPECT_EQ(breeds["FUN"], 62);
    EXPECT_EQ(breeds["SAFE"], 29);
    EXPECT_EQ(breeds["UNSAFE"], 9);
    EXPECT_EQ(breeds["POTENTIALLY_DANGEROUS"], 3);
    EXPECT_EQ(breeds["DANGEROUS"], 1);
    EXPECT_EQ(breeds["UNRATED"], 1);
}

TEST(ProtocolTable, dump_prints_one_formatted_line_per_protocol)
{
    TableModule t;
    char *text = nullptr;
    size_t size = 0;
    FILE *f = open_memstream(&text, &size);
    ASSERT_EQ(oxlo_print_protocol_table(t.m, f), 0);
    fclose(f);
    std::vector<std::string> lines = lines_of(text);
    free(text);
    ASSERT_EQ(lines.size(), builtin_count);

    /* The transport column comes from the dissectors registered. */
    char expect[256];
    snprintf(expect, sizeof(expect), "%3d %8d %-26s %-10s %-8s %-21s %-18s %-31s %-31s %6d", 5, 5,
             "DNS", lines[5].substr(40, 10).c_str(), "X", "Acceptable", "Network", "53", "53", 0);
    EXPECT_EQ(lines[5], expect);
    std::istringstream bt(lines[37]);
    std::string id, user, name;
    bt >> id >> user >> name;
    EXPECT_EQ(name, "BitTorrent");
    EXPECT_NE(lines[37].find("6881-6889,51413,6771"), std::string::npos);
    EXPECT_NE(lines[37].find("6881-6889,51413,53646,6969"), std::string::npos);
    EXPECT_NE(lines[163].find(" - "), std::string::npos) << "no ports print as -";
    EXPECT_EQ(oxlo_print_protocol_table(nullptr, stdout), -2);
}

TEST(ProtocolTable, growth_is_capped_and_keeps_entries)
{
    TableModule t(false);
    EXPECT_EQ(t.m->protocols.capacity, 512);
    ASSERT_EQ(oxlo_set_proto_defaults(t.m, 0, 1, 2, 600, "Far", 5, 0, nullptr, nullptr, 1), 0);
    EXPECT_EQ(t.m->protocols.capacity, 1024);
    EXPECT_STREQ(oxlo_proto_defaults_get(t.m, OXLO_PROTOCOL_HTTP)->name, "HTTP");
    EXPECT_EQ(oxlo_set_proto_defaults(t.m, 0, 1, 2, 65535, "Last", 5, 0, nullptr, nullptr, 1), -1);
    EXPECT_EQ(t.m->protocols.capacity, 1024) << "a failed growth leaves the table as it was";
    ASSERT_EQ(oxlo_set_proto_defaults(t.m, 0, 1, 2, 65534, "Top", 5, 0, nullptr, nullptr, 1), 0);
    EXPECT_EQ(t.m->protocols.capacity, 65535);
}

TEST(ProtocolTable, second_registration_of_an_id)
{
    TableModule t(false);
    struct Case {
        const char *name;
        const char *message;
    } cases[] = {
        {"http", ""},
        {"HTTP", ""},
        {"Web", "Error. Same protocol id 7 with different names [HTTP][Web]!\n"},
    };
    for (const Case &c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(oxlo_set_proto_defaults(t.m, 0, 1, 3, 7, c.name, 9, 0, nullptr, nullptr, 0), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
        const oxlo_proto_defaults *e = oxlo_proto_defaults_get(t.m, 7);
        EXPECT_STREQ(e->name, "HTTP");
        EXPECT_EQ(e->category, (uint32_t)OXLO_CATEGORY_WEB);
    }
    EXPECT_EQ(t.m->protocols.count, builtin_count);
}

TEST(ProtocolTable, long_names_are_cut_to_31_characters)
{
    TableModule t(false);
    const char *name = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn"; /* 40 */
    ASSERT_EQ(oxlo_set_proto_defaults(t.m, 0, 1, 2, first_custom, name, 5, 0, nullptr, nullptr, 1), 0);
    EXPECT_EQ(std::string(oxlo_proto_defaults_get(t.m, first_custom)->name), std::string(name, 31));
}

TEST(ProtocolTable, sub_protocol_lists)
{
    TableModule t;
    const oxlo_proto_defaults *http = oxlo_proto_defaults_get(t.m, OXLO_PROTOCOL_HTTP);
    std::vector<uint16_t> got(http->subprotocols, http->subprotocols + http->subprotocol_count);
    std::vector<uint16_t> want = {251, 105, 253, 37, 6, 291, 50, 345, 375, 380, 0xFFFE};
    EXPECT_EQ(got, want);
    const oxlo_proto_defaults *dce = oxlo_proto_defaults_get(t.m, OXLO_PROTOCOL_DCERPC);
    ASSERT_EQ(dce->subprotocol_count, 2u);
    EXPECT_EQ(dce->subprotocols[0], OXLO_PROTOCOL_PROFINET_IO);
    EXPECT_EQ(dce->subprotocols[1], 0xFFFE);
    for (uint16_t id : {5, 8, 30, 91, 130, 131, 188}) {
        const oxlo_proto_defaults *e = oxlo_proto_defaults_get(t.m, id);
        ASSERT_EQ(e->subprotocol_count, 1u) << e->name;
        EXPECT_EQ(e->subprotocols[0], OXLO_PROTOCOL_MATCHED_BY_CONTENT_ID);
    }
    /* A new list replaces the old one (the old one is freed: no leak). */
    oxlo_set_proto_subprotocols(t.m, OXLO_PROTOCOL_DNS, OXLO_PROTOCOL_MDNS, OXLO_PROTOCOL_LLMNR, -1);
    EXPECT_EQ(oxlo_proto_defaults_get(t.m, OXLO_PROTOCOL_DNS)->subprotocol_count, 2u);
    oxlo_set_proto_subprotocols(t.m, 70000, 1, -1); /* beyond the table: ignored */
}

TEST(ProtocolTable, names_and_pairs_by_name)
{
    TableModule t;
    const uint32_t google = OXLO_PROTOCOL_GOOGLE;
    struct Case {
        const char *text;
        uint32_t want;
    } cases[] = {
        {"DNS.Google", (google << 16) | 5},
        {"dns.google", (google << 16) | 5},
        {"DNS.NoSuchThing", 0},
        {"DNS", 5},
        {"tls", 91},
        {"NoSuchThing.DNS", 5u << 16},
        {"", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(oxlo_protocol_pair_by_name(t.m, c.text), c.want) << c.text;
    EXPECT_EQ(oxlo_protocol_pair_by_name(t.m, nullptr), 0u);
    EXPECT_EQ(oxlo_protocol_pair_by_name(nullptr, "DNS"), 0u);
    std::string longtext(300, 'x');
    EXPECT_EQ(oxlo_protocol_pair_by_name(t.m, longtext.c_str()), 0u);

    EXPECT_EQ(oxlo_protocol_id_by_name(t.m, "bittorrent"), OXLO_PROTOCOL_BITTORRENT);
    EXPECT_EQ(oxlo_protocol_id_by_name(t.m, ""), 0);
    EXPECT_EQ(oxlo_protocol_id_by_name(nullptr, "DNS"), 0);

    EXPECT_STREQ(oxlo_protocol_name(nullptr, 5), "Unknown");
    EXPECT_STREQ(oxlo_protocol_name(t.m, 9999), "Unknown");
    char buf[64];
    EXPECT_STREQ(oxlo_format_protocol_names(t.m, (google << 16) | 5, buf, sizeof(buf)), "DNS.Google");
    EXPECT_STREQ(oxlo_format_protocol_names(t.m, (5u << 16) | 5, buf, sizeof(buf)), "DNS");
    EXPECT_STREQ(oxlo_format_protocol_names(t.m, 91u << 16, buf, sizeof(buf)), "TLS");
    EXPECT_STREQ(oxlo_format_protocol_names(t.m, 91, buf, sizeof(buf)), "TLS");
    EXPECT_STREQ(oxlo_format_protocol_names(t.m, 0, buf, sizeof(buf)), "Unknown");
    EXPECT_STREQ(oxlo_format_protocol_names(t.m, (google << 16) | 5, buf, 5), "DNS.");
    EXPECT_EQ(oxlo_is_dns_protocol(t.m, 5), 1);
    EXPECT_EQ(oxlo_is_dns_protocol(t.m, 8), 0);
    EXPECT_EQ(oxlo_is_dns_protocol(nullptr, 5), 0);
}

TEST(ProtocolTable, count_reads_zero_until_finalized)
{
    TableModule t(false);
    EXPECT_EQ(oxlo_protocol_count(t.m), 0u);
    EXPECT_EQ(oxlo_protocol_count(nullptr), 0u);
    t.finalize();
    EXPECT_EQ(oxlo_protocol_count(t.m), builtin_count);
}

TEST(DefaultPorts, a_taken_port_ends_the_later_range)
{
    oxlo_default_port_node *tree = nullptr;
    default_port_range bt = {6881, 6889, 0}, other = {6880, 6890, 0};
    oxlo_default_port_add(&bt, OXLO_PROTOCOL_BITTORRENT, 0, &tree);
    for (uint16_t p = 6881; p <= 6889; p++)
        ASSERT_NE(oxlo_default_port_find(tree, p), nullptr) << p;
    EXPECT_EQ(oxlo_default_port_find(tree, 6880), nullptr);

    default_port_range one = {6885, 6885, 0};
    oxlo_default_port_add(&one, 500, 1, &tree);
    const oxlo_default_port_node *n = oxlo_default_port_find(tree, 6885);
    EXPECT_EQ(n->protocol_id, 500);
    EXPECT_EQ(n->flag, 1);

    /* 6880 is new, 6881 exists: 6881 changes hands and 6882.. are left. */
    oxlo_default_port_add(&other, 600, 0, &tree);
    EXPECT_EQ(oxlo_default_port_find(tree, 6880)->protocol_id, 600);
    EXPECT_EQ(oxlo_default_port_find(tree, 6881)->protocol_id, 600);
    EXPECT_EQ(oxlo_default_port_find(tree, 6882)->protocol_id, OXLO_PROTOCOL_BITTORRENT);
    EXPECT_EQ(oxlo_default_port_find(tree, 6890), nullptr);

    /* A range up to 65535 ends (the loop does not wrap) and the tree stays
     * balanced: a lookup walks at most ~1.44 log2(n) nodes. */
    default_port_range all = {1, 65535, 0};
    oxlo_default_port_tree_free(&tree);
    oxlo_default_port_add(&all, 7, 0, &tree);
    EXPECT_NE(oxlo_default_port_find(tree, 65535), nullptr);
    EXPECT_LE(tree->height, 24);
    oxlo_default_port_tree_free(&tree);
    EXPECT_EQ(tree, nullptr);
}

TEST(DefaultPorts, guess_by_port)
{
    TableModule t(false);
    ASSERT_EQ(oxlo_set_config(t.m, "81", "enable", "0"), 0);
    default_port_range custom_ports[5] = {{9999, 9999, 0}, {}, {}, {}, {}};
    ASSERT_EQ(oxlo_set_proto_defaults(t.m, 1, 1, 2, first_custom, "MyProto", 5, 0, nullptr, custom_ports, 1), 0);
    t.finalize();

    struct Case {
        uint8_t ip;
        uint16_t first, second;
        uint16_t want;
        uint8_t flag;
    } cases[] = {
        {6, 40000, 80, OXLO_PROTOCOL_HTTP, 0},
        {17, 40000, 53, OXLO_PROTOCOL_DNS, 0},
        {6, 40000, 6885, OXLO_PROTOCOL_BITTORRENT, 0},
        {17, 40000, 6771, OXLO_PROTOCOL_BITTORRENT, 0},
        {6, 40000, 5060, OXLO_PROTOCOL_SIP, 0},
        {17, 40000, 443, OXLO_PROTOCOL_QUIC, 0},
        {6, 40000, 41000, OXLO_PROTOCOL_UNKNOWN, 0},
        {6, 443, 40000, OXLO_PROTOCOL_TLS, 0}, /* client port used when the server's is unknown */
        {17, 40000, 9999, first_custom, 1},     /* custom protocols carry their flag */
        {1, 0, 0, OXLO_PROTOCOL_UNKNOWN, 0},    /* ICMP disabled above */
        {47, 0, 0, OXLO_PROTOCOL_GRE, 0},
        {50, 0, 0, OXLO_PROTOCOL_ESP, 0},
        {58, 0, 0, OXLO_PROTOCOL_ICMPV6, 0},
        {132, 5, 0, OXLO_PROTOCOL_SCTP, 0},
        {99, 0, 0, OXLO_PROTOCOL_UNKNOWN, 0},
    };
    for (const Case &c : cases) {
        uint8_t flag = 0xAA;
        EXPECT_EQ(oxlo_guess_protocol_by_port(t.m, c.ip, c.first, c.second, &flag), c.want)
            << (int)c.ip << " " << c.first << " " << c.second;
        EXPECT_EQ(flag, c.flag);
    }
    t.m->cfg.use_client_port_in_guess = 0;
    EXPECT_EQ(oxlo_guess_protocol_by_port(t.m, 6, 443, 40000, nullptr), 0);
    EXPECT_EQ(oxlo_guess_protocol_by_port(nullptr, 6, 1, 80, nullptr), 0);
}

TEST(DefaultPorts, disabled_protocols_get_no_ports)
{
    TableModule t(false);
    ASSERT_EQ(oxlo_set_config(t.m, "5", "enable", "0"), 0);
    t.finalize();
    EXPECT_EQ(oxlo_guess_protocol_by_port(t.m, 17, 40000, 53, nullptr), 0);
    EXPECT_EQ(oxlo_protocol_enabled(t.m, OXLO_PROTOCOL_DNS), 0);
    EXPECT_EQ(oxlo_protocol_enabled(t.m, OXLO_PROTOCOL_HTTP), 1);
    EXPECT_EQ(oxlo_protocol_enabled(t.m, -1), 0);
    EXPECT_EQ(oxlo_protocol_enabled(nullptr, 5), 0);
}

TEST(ProtocolTable, port_texts)
{
    TableModule t;
    char buf[64];
    const oxlo_proto_defaults *smtp = oxlo_proto_defaults_get(t.m, OXLO_PROTOCOL_SMTP);
    EXPECT_STREQ(oxlo_expected_ports_text(smtp->tcp_default_ports, buf, sizeof(buf)),
                 "Expected on port 25,587");
    const oxlo_proto_defaults *bt = oxlo_proto_defaults_get(t.m, OXLO_PROTOCOL_BITTORRENT);
    EXPECT_STREQ(oxlo_expected_ports_text(bt->tcp_default_ports, buf, sizeof(buf)),
                 "Expected on port 6881-6889,51413,53646,6969");
    EXPECT_STREQ(oxlo_port_list_text(bt->udp_default_ports, buf, sizeof(buf)), "6881-6889,51413,6771");

    default_port_range flagged[5] = {{1000, 1000, 1}, {2000, 2010, 0}, {0, 0, 0}, {3000, 3000, 0}, {}};
    EXPECT_STREQ(oxlo_expected_ports_text(flagged, buf, sizeof(buf)), "Expected on port 2000-2010");
    EXPECT_STREQ(oxlo_port_list_text(flagged, buf, sizeof(buf)), "1000,2000-2010");

    /* Small buffers: never past the end, always terminated. */
    char small[22];
    memset(small, 'Z', sizeof(small));
    oxlo_expected_ports_text(bt->tcp_default_ports, small, sizeof(small));
    EXPECT_STREQ(small, "Expected on port ");
    char tiny[8];
    EXPECT_STREQ(oxlo_port_list_text(bt->tcp_default_ports, tiny, sizeof(tiny)), "");
    EXPECT_EQ(oxlo_port_list_text(bt->tcp_default_ports, nullptr, 0), nullptr);
}

TEST(ProtocolTable, custom_id_map)
{
    TableModule t(false);
    ASSERT_EQ(oxlo_set_proto_defaults(t.m, 1, 1, 2, first_custom, "Mine", 5, 0, nullptr, nullptr, 1), 0);
    ASSERT_EQ(oxlo_set_proto_defaults(t.m, 1, 1, 2, 488, "Yours", 5, 0, nullptr, nullptr, 1), 0);
    t.finalize();
    oxlo_custom_id_map_set(t.m, first_custom, 1000);
    oxlo_custom_id_map_set(t.m, 488, 2000);
    oxlo_custom_id_map_set(t.m, 5, 3000); /* built-in ids are never remapped */
    EXPECT_EQ(t.m->protocols.custom_id_map_capacity, 64);
    EXPECT_EQ(t.m->protocols.custom_count, 2u);

    EXPECT_EQ(oxlo_user_protocol_id(t.m, first_custom), 1000);
    EXPECT_EQ(oxlo_user_protocol_id(t.m, 488), 2000);
    EXPECT_EQ(oxlo_user_protocol_id(t.m, 5), 5);
    EXPECT_EQ(oxlo_user_protocol_id(t.m, 0), 0);
    EXPECT_EQ(oxlo_user_protocol_id(t.m, 600), 0);
    EXPECT_EQ(oxlo_internal_protocol_id(t.m, 1000), first_custom);
    EXPECT_EQ(oxlo_internal_protocol_id(t.m, 2000), 488);
    EXPECT_EQ(oxlo_internal_protocol_id(t.m, 3000), 0);
    EXPECT_EQ(oxlo_internal_protocol_id(t.m, 5), 5);
    EXPECT_STREQ(oxlo_protocol_name(t.m, 2000), "Yours");
    EXPECT_EQ(oxlo_is_custom_protocol(t.m, first_custom), 1);
    EXPECT_EQ(oxlo_is_custom_protocol(t.m, 5), 0);
    EXPECT_EQ(oxlo_is_custom_protocol(t.m, 65535), 0);
    EXPECT_EQ(oxlo_protocol_enabled(t.m, 488), 1);

    /* A slot far beyond the map grows it far enough (one doubling would
     * not reach it). */
    oxlo_custom_id_map_set(t.m, (uint16_t)(first_custom + 300), 4000);
    EXPECT_GE(t.m->protocols.custom_id_map_capacity, 301);
    EXPECT_EQ(t.m->protocols.custom_id_map[300], 4000);
    EXPECT_EQ(oxlo_internal_protocol_id(t.m, 4000), 0) << "the search stops at the first empty slot";
}

TEST(ProtocolTable, breed_and_category_accessors)
{
    TableModule t;
    EXPECT_EQ(oxlo_set_proto_breed(t.m, 600, 1), 0);
    EXPECT_EQ(oxlo_set_proto_category(t.m, 600, 1), 0);
    EXPECT_EQ(oxlo_set_proto_breed(nullptr, 5, 1), 0);
    EXPECT_EQ(oxlo_protocol_breed(t.m, OXLO_PROTOCOL_SMBV1), (uint32_t)OXLO_BREED_DANGEROUS);
    EXPECT_EQ(oxlo_protocol_breed(t.m, 9999), (uint32_t)OXLO_BREED_UNRATED);
    EXPECT_EQ(oxlo_protocol_breed(nullptr, 5), (uint32_t)OXLO_BREED_UNRATED);
    EXPECT_EQ(oxlo_set_proto_breed(t.m, OXLO_PROTOCOL_HTTP, OXLO_BREED_FUN), 1);
    EXPECT_EQ(oxlo_protocol_breed(t.m, OXLO_PROTOCOL_HTTP), (uint32_t)OXLO_BREED_FUN);

    const uint32_t google = OXLO_PROTOCOL_GOOGLE;
    struct Case {
        uint32_t pair;
        uint32_t category;
    } cases[] = {
        {(google << 16) | OXLO_PROTOCOL_SMTP, OXLO_CATEGORY_EMAIL}, /* mail masters win */
        {(google << 16) | OXLO_PROTOCOL_DNS, OXLO_CATEGORY_NETWORK},
        {(google << 16) | OXLO_PROTOCOL_TLS, OXLO_CATEGORY_WEB},    /* else the app */
        {(uint32_t)OXLO_PROTOCOL_BITTORRENT, OXLO_CATEGORY_DOWNLOAD}, /* app 0 has none */
        {google << 16, OXLO_CATEGORY_WEB},
        {9999u << 16, 0},
        {(9999u << 16) | OXLO_PROTOCOL_TLS, OXLO_CATEGORY_WEB},
        {(google << 16) | 9999, OXLO_CATEGORY_WEB},
    };
    for (const Case &c : cases)
        EXPECT_EQ(oxlo_protocol_pair_category(t.m, c.pair), c.category) << std::hex << c.pair;
    EXPECT_EQ(oxlo_protocol_pair_category_default(t.m, (google << 16) | 3, 77), 77u);
    EXPECT_EQ(oxlo_protocol_pair_category_default(t.m, (google << 16) | 3, 0),
              (uint32_t)OXLO_CATEGORY_EMAIL);
    EXPECT_EQ(oxlo_protocol_pair_breed(t.m, ((uint32_t)OXLO_PROTOCOL_SMBV1 << 16) | 10),
              (uint32_t)OXLO_BREED_DANGEROUS);
    EXPECT_EQ(oxlo_protocol_pair_breed(t.m, ((uint32_t)OXLO_PROTOCOL_SMBV1 << 16) | 3),
              (uint32_t)OXLO_BREED_ACCEPTABLE);
}

TEST(Names, categories_breeds_confidence_and_fpc)
{
    TableModule t;
    EXPECT_STREQ(oxlo_category_name(t.m, 5), "Web");
    EXPECT_STREQ(oxlo_category_name(t.m, 31), "IoT-Scada");
    EXPECT_STREQ(oxlo_category_name(t.m, 163), "Weapons");
    EXPECT_STREQ(oxlo_category_name(t.m, 50), "");
    EXPECT_STREQ(oxlo_category_name(t.m, 20), "User custom category 1");
    EXPECT_STREQ(oxlo_category_name(t.m, 24), "User custom category 5");
    EXPECT_STREQ(oxlo_category_name(t.m, 164), "Invalid category 164");
    EXPECT_STREQ(oxlo_category_name(t.m, -1), "Invalid category -1");
    EXPECT_STREQ(oxlo_category_name(nullptr, 5), "NULL Oxlo");
    EXPECT_EQ(oxlo_category_id_by_name(t.m, "web"), 5);
    EXPECT_EQ(oxlo_category_id_by_name(t.m, "user custom category 3"), 22);
    EXPECT_EQ(oxlo_category_id_by_name(t.m, "Weapons"), 163);
    EXPECT_EQ(oxlo_category_id_by_name(t.m, ""), -1);
    EXPECT_EQ(oxlo_category_id_by_name(t.m, "NoSuchCategory"), -1);
    EXPECT_EQ(oxlo_category_id_by_name(nullptr, "Web"), -1);

    EXPECT_STREQ(oxlo_breed_name(5), "Potentially_Dangerous");
    EXPECT_STREQ(oxlo_breed_name(8), "???");
    EXPECT_EQ(oxlo_breed_id_by_name("tracker_ads"), 7u);
    EXPECT_EQ(oxlo_breed_id_by_name("nothing"), 0u);
    EXPECT_EQ(oxlo_breed_id_by_name(nullptr), 0u);

    EXPECT_STREQ(oxlo_confidence_name(0), "Unknown");
    EXPECT_STREQ(oxlo_confidence_name(9), "Match by custom rule");
    EXPECT_EQ(oxlo_confidence_name(10), nullptr);
    EXPECT_EQ(oxlo_confidence_name(-1), nullptr);
    EXPECT_STREQ(oxlo_fpc_kind_name(2), "DNS");
    EXPECT_STREQ(oxlo_fpc_kind_name(5), "Invalid");
}

TEST(Names, unknown_categories_are_formatted_per_thread)
{
    /* Queue threads name categories at the same time: each one's text
     * stays its own. */
    TableModule t;
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int k = 0; k < 4; k++)
        threads.emplace_back([&, k] {
            char want[32];
            snprintf(want, sizeof(want), "Invalid category %d", 1000 + k);
            for (int i = 0; i < 20000; i++) {
                const char *got = oxlo_category_name(t.m, 1000 + k);
                if (strcmp(got, want) != 0)
                    bad[k]++;
            }
        });
    for (auto &th : threads)
        th.join();
    for (int k = 0; k < 4; k++)
        EXPECT_EQ(bad[k], 0);
}

TEST(ProtocolTable, ip_guess_service)
{
    std::vector<uint8_t> storage(sizeof(oxlo_flow_state), 0);
    auto *flow = reinterpret_cast<oxlo_flow_state *>(storage.data());
    struct Case {
        uint16_t id;
        int want;
    } cases[] = {{0, 0}, {163, 0}, {265, 0}, {464, 0}, {442, 0}, {126, 1}, {119, 1}, {91, 1}};
    for (const Case &c : cases) {
        flow->guess_by_address = c.id;
        EXPECT_EQ(oxlo_flow_ip_guess_is_service(flow), c.want) << c.id;
    }
    EXPECT_EQ(oxlo_flow_ip_guess_is_service(nullptr), 0);
}

TEST(HostMatchLists, builtin_lists_are_clean_and_name_real_protocols)
{
    testing::internal::CaptureStdout();
    {
        TableModule t;
        uint32_t count = 0;
        const oxlo_host_match_entry *const *lists = oxlo_host_match_lists(&count);
        ASSERT_GE(count, 1u);
        size_t entries = 0;
        for (uint32_t l = 0; l < count; l++)
            for (const oxlo_host_match_entry *e = lists[l]; e->pattern; e++, entries++) {
                const oxlo_proto_defaults *p = oxlo_proto_defaults_get(t.m, e->protocol_id);
                ASSERT_NE(p, nullptr) << e->pattern;
                EXPECT_STREQ(p->name, e->protocol_name);
                EXPECT_EQ(p->category, e->category) << e->pattern;
                EXPECT_NE(e->pattern[0], '\0');
                EXPECT_EQ(strchr(e->pattern, ' '), nullptr) << e->pattern;
            }
        EXPECT_GT(entries, 300u);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "creation prints no list error";
}

TEST(HostMatchLists, check_reports_leading_dots_and_duplicates)
{
    const oxlo_host_match_entry list[] = {
        {"example.com", "A", 7, 5, 2, 0},
        {".bad.com", "A", 7, 5, 2, 0},
        {"other.com", "A", 8, 5, 2, 0},
        {"example.com", "A", 9, 5, 2, 0},
        {nullptr, nullptr, 0, 0, 0, 0},
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(oxlo_host_match_list_check(list), 2u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[OXLO] INTERNAL ERROR duplicate string detected 'example.com' [id: 7, id 9]\n"
              "[OXLO] INTERNAL ERROR Invalid string detected '.bad.com'. It can not start with '.'\n");
    EXPECT_EQ(oxlo_host_match_list_check(nullptr), 0u);
}

TEST(HostMatchLists, entry_creates_its_protocol_once)
{
    TableModule t(false);
    const oxlo_host_match_entry e = {"svc.example", "NewService", first_custom, OXLO_CATEGORY_MUSIC,
                                     OXLO_BREED_FUN, 0};
    oxlo_host_match_add_defaults(t.m, &e);
    oxlo_host_match_add_defaults(t.m, &e);
    const oxlo_proto_defaults *p = oxlo_proto_defaults_get(t.m, first_custom);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->name, "NewService");
    EXPECT_EQ(p->flags & 0x07, OXLO_PROTO_FLAG_APP);
    EXPECT_EQ(p->service_class, 8u);
    EXPECT_EQ(p->breed, (uint32_t)OXLO_BREED_FUN);
    EXPECT_EQ(t.m->protocols.count, 488u);
}

TEST(XGrams, bitmaps_hold_english_letter_statistics)
{
    struct Case {
        const char *text;
        int common_bigram, impossible_bigram, trigram;
    } cases[] = {
        {"the", 1, 0, 1},
        {"ing", 1, 0, 1},
        {"qx", 0, 1, 0},
        {"jq", 0, 1, 0},
        {"zzq", 1, 0, 0},
        {"bqz", 0, 1, 0},
        {"Th", 0, 0, 0},  /* letters must be lower case */
        {"t", 0, 0, 0},   /* too short */
        {"", 0, 0, 0},
        {"t9e", 0, 0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(oxlo_common_bigram_test(c.text), c.common_bigram) << c.text;
        EXPECT_EQ(oxlo_impossible_bigram_test(c.text), c.impossible_bigram) << c.text;
        EXPECT_EQ(oxlo_trigram_test(c.text), c.trigram) << c.text;
    }
    EXPECT_EQ(oxlo_trigram_test(nullptr), 0);

    auto popcount = [](const uint32_t *w, int n) {
        int bits = 0;
        for (int i = 0; i < n; i++)
            bits += __builtin_popcount(w[i]);
        return bits;
    };
    EXPECT_EQ(popcount(oxlo_xgram_bitmap(OXLO_XGRAM_COMMON_BIGRAMS), 22), 552);
    EXPECT_EQ(popcount(oxlo_xgram_bitmap(OXLO_XGRAM_IMPOSSIBLE_BIGRAMS), 22), 120);
    EXPECT_EQ(popcount(oxlo_xgram_bitmap(OXLO_XGRAM_COMMON_TRIGRAMS), 550), 9298);
    EXPECT_EQ(oxlo_xgram_bitmap(3), nullptr);
    /* bit n is bit n % 32 of word n / 32: "ab" = 0 * 26 + 1 */
    EXPECT_EQ(oxlo_xgram_bitmap(OXLO_XGRAM_COMMON_BIGRAMS)[0] & 2u, 2u);
}

TEST(ModuleTable, lifecycle_builds_dumps_and_frees_the_table)
{
    for (int round = 0; round < 3; round++) {
        oxlo_module *m = oxlo_module_new(nullptr);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(oxlo_protocol_count(m), 0u);
        EXPECT_STREQ(oxlo_protocol_name(m, OXLO_PROTOCOL_QUIC), "QUIC");

        char *text = nullptr;
        size_t size = 0;
        FILE *f = open_memstream(&text, &size);
        ASSERT_EQ(oxlo_print_protocol_table(m, f), 0) << "the dump finalizes the module";
        fclose(f);
        EXPECT_EQ(lines_of(text).size(), builtin_count);
        free(text);
        EXPECT_EQ(oxlo_protocol_count(m), builtin_count);
        EXPECT_EQ(oxlo_guess_protocol_by_port(m, 6, 50000, 443, nullptr), OXLO_PROTOCOL_TLS);
        EXPECT_EQ(oxlo_guess_protocol_by_port(m, 17, 50000, 53, nullptr), OXLO_PROTOCOL_DNS);
        oxlo_module_free(m);
    }
}

TEST(ModuleTable, option_lists)
{
    struct Case {
        int selector;
        size_t lines;
        const char *first;
    } cases[] = {
        {0, builtin_count - 1, "            <Option2 value=\"1\">FTP_CONTROL</Option2>"},
        {1, 99, "            <Option2 value=\"1\">Media</Option2>"},
        {2, OXLO_MAX_RISK - 1, nullptr},
        {3, 1, "WARNING: option -a out of range"},
        {-1, 1, "WARNING: option -a out of range"},
    };
    for (const Case &c : cases) {
        char *text = nullptr;
        size_t size = 0;
        FILE *f = open_memstream(&text, &size);
        oxlo_print_option_list(c.selector, f);
        fclose(f);
        std::vector<std::string> lines = lines_of(text);
        free(text);
        EXPECT_EQ(lines.size(), c.lines) << c.selector;
        if (c.first && !lines.empty()) {
            EXPECT_EQ(lines[0], c.first);
        }
    }
}

TEST(ModuleTable, results_carry_user_ids)
{
    oxlo_module *m = oxlo_module_new(nullptr);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(oxlo_set_proto_defaults(m, 1, 1, 2, first_custom, "Mine", 5, 0, nullptr, nullptr, 1), 0);
    oxlo_custom_id_map_set(m, first_custom, 1000);
    ASSERT_EQ(oxlo_finalize_initialization(m), 0);

    std::vector<uint8_t> storage(sizeof(oxlo_flow_state), 0);
    auto *flow = reinterpret_cast<oxlo_flow_state *>(storage.data());
    flow->master = OXLO_PROTOCOL_TLS;
    flow->app = first_custom;
    flow->guess_by_address = first_custom;
    oxlo_classification r = oxlo_result_to_user_ids(m, flow);
    EXPECT_EQ(r.master, OXLO_PROTOCOL_TLS);
    EXPECT_EQ(r.app, 1000);
    EXPECT_EQ(r.guessed_by_address, 1000);
    EXPECT_STREQ(oxlo_protocol_name(m, 1000), "Mine");
    oxlo_module_free(m);
}

// Real names of services, as their clients ask for them, map to the right
// protocol through the built-in lists (a more specific entry wins).
TEST(HostMatchLists, real_service_names_map_to_their_protocol)
{
    oxlo_module *m = oxlo_module_new(nullptr);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(oxlo_finalize_initialization(m), 0);
    struct {
        const char *name;
        uint16_t protocol;
    } cases[] = {
        {"www.dropbox.com", OXLO_PROTOCOL_DROPBOX},
        {"content.dropboxapi.com", OXLO_PROTOCOL_DROPBOX},
        {"store.steampowered.com", OXLO_PROTOCOL_STEAM},
        {"cdn.cloudflare.steamstatic.com", OXLO_PROTOCOL_STEAM},
        {"eu.battle.net", OXLO_PROTOCOL_BLIZZARD},
        {"title.mgt.xboxlive.com", OXLO_PROTOCOL_XBOX},
        {"thirdqq.qlogo.cn", OXLO_PROTOCOL_QQ},
        {"weixin.qq.com", OXLO_PROTOCOL_WECHAT},
        {"ipv4-c001-fra002-ix.1.oca.nflxvideo.net", OXLO_PROTOCOL_NETFLIX},
        {"i.ytimg.com", OXLO_PROTOCOL_YOUTUBE},
        {"web.whatsapp.com", OXLO_PROTOCOL_WHATSAPP},
        {"api.telegram.org", OXLO_PROTOCOL_TELEGRAM},
        {"us04web.zoom.us", OXLO_PROTOCOL_ZOOM},
        {"gateway.discord.gg", OXLO_PROTOCOL_DISCORD},
        {"open.spotify.com", OXLO_PROTOCOL_SPOTIFY},
        {"video-weaver.fra05.hls.ttvnw.net", OXLO_PROTOCOL_TWITCH},
        {"pbs.twimg.com", OXLO_PROTOCOL_TWITTER},
        {"en.wikipedia.org", OXLO_PROTOCOL_WIKIPEDIA},
        {"upload.wikimedia.org", OXLO_PROTOCOL_WIKIPEDIA},
        {"raw.githubusercontent.com", OXLO_PROTOCOL_GITHUB},
        {"controlplane.tailscale.com", OXLO_PROTOCOL_TAILSCALE},
        {"engage.cloudflareclient.com", OXLO_PROTOCOL_CLOUDFLAREWARP},
        {"relays.syncthing.net", OXLO_PROTOCOL_SYNCTHING},
        {"7.tlu.dl.delivery.mp.microsoft.com", OXLO_PROTOCOL_MSDO},
        {"security.ubuntu.com", OXLO_PROTOCOL_CANONICAL},
        {"download.mozilla.org", OXLO_PROTOCOL_MOZILLA},
        {"account.xiaomi.com", OXLO_PROTOCOL_XIAOMI},
        {"www.primevideo.com", OXLO_PROTOCOL_AMAZONVIDEO},
        {"meet.proton.me", OXLO_PROTOCOL_PROTONMEET},
        {"www.leagueoflegends.com", OXLO_PROTOCOL_RIOTGAMES},
        {"wildrift.leagueoflegends.com", OXLO_PROTOCOL_LOLWILDRIFT},
        {"steampowered.com.example", 0},
        {"notdropbox.com", 0},
    };
    for (const auto &c : cases) {
        oxlo_host_match_result r{};
        oxlo_host_match(m, c.name, strlen(c.name), &r);
        EXPECT_EQ(r.protocol_id, c.protocol) << c.name;
    }
    oxlo_module_free(m);
}

// Addresses of the services' published ranges map to them through the
// built-in lists; a neighbour outside them does not.
TEST(AddressLists, published_ranges_map_to_their_service)
{
    oxlo_module *m = oxlo_module_new(nullptr);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(oxlo_finalize_initialization(m), 0);
    struct {
        const char *address;
        uint16_t protocol;
    } cases[] = {
        {"149.154.167.50", OXLO_PROTOCOL_TELEGRAM}, {"91.108.56.130", OXLO_PROTOCOL_TELEGRAM},
        {"157.240.20.35", OXLO_PROTOCOL_FACEBOOK},  {"31.13.92.36", OXLO_PROTOCOL_FACEBOOK},
        {"104.16.132.229", OXLO_PROTOCOL_CLOUDFLARE}, {"1.1.1.1", OXLO_PROTOCOL_CLOUDFLARE},
        {"17.253.144.10", OXLO_PROTOCOL_APPLE},     {"8.8.8.8", OXLO_PROTOCOL_GOOGLE},
        {"8.8.8.9", 0},                             {"149.154.176.1", 0},
    };
    for (const auto &c : cases) {
        struct in_addr a;
        ASSERT_EQ(inet_pton(AF_INET, c.address, &a), 1);
        EXPECT_EQ(oxlo_protocol_by_ipv4(m, a.s_addr), c.protocol) << c.address;
    }
    struct in6_addr a6;
    ASSERT_EQ(inet_pton(AF_INET6, "2001:67c:4e8:f004::a", &a6), 1);
    EXPECT_EQ(oxlo_protocol_by_ipv6(m, a6.s6_addr), OXLO_PROTOCOL_TELEGRAM);
    ASSERT_EQ(inet_pton(AF_INET6, "2a03:2880:f12f:83:face:b00c:0:25de", &a6), 1);
    EXPECT_EQ(oxlo_protocol_by_ipv6(m, a6.s6_addr), OXLO_PROTOCOL_FACEBOOK);
    oxlo_module_free(m);
}
