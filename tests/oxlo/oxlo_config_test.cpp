#include "oxlo_private.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_risk_ids.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

struct module_deleter {
    void operator()(oxlo_module *m) const { oxlo_module_free(m); }
};
using module_ptr = std::unique_ptr<oxlo_module, module_deleter>;

module_ptr new_module(oxlo_shared_context *ctx = nullptr)
{
    module_ptr m(oxlo_module_new(ctx));
    EXPECT_NE(m, nullptr);
    return m;
}

std::string get(oxlo_module *m, const char *proto, const char *param)
{
    char buf[64];
    const char *v = oxlo_get_config_text(m, proto, param, buf, sizeof(buf));
    return v ? v : "<none>";
}

/* The first protocol id past the built-in table and the first id past the
 * risk list, as knob text. */
const std::string first_custom_id = std::to_string(OXLO_PROTOCOL_BUILTIN_COUNT);
const std::string past_last_risk = "flow_risk." + std::to_string(OXLO_MAX_RISK);

struct set_case {
    const char *proto;
    const char *param;
    const char *value;
    int rc;
    const char *read_back; /* expected value text afterwards, or nullptr */
};

const set_case set_cases[] = {
    /* integers: range, bases, trailing text */
    {"tls", "certificate_expiration_threshold", "366", -3, "30"},
    {"tls", "certificate_expiration_threshold", "0x10", 0, "16"},
    {"tls", "certificate_expiration_threshold", "12abc", 0, "12"},
    {"tls", "certificate_expiration_threshold", "010", 0, "8"},
    {"tls", "certificate_expiration_threshold", "abc", -3, "30"},
    {"tls", "certificate_expiration_threshold", "-1", -3, "30"},
    {"tls", "certificate_expiration_threshold", "99999999999999999999", -3, "30"},
    {"tls", "dpi.heuristics", "0x07", 0, "7"},
    {"tls", "dpi.heuristics", "8", -3, "0"},
    {nullptr, "packets_limit_per_flow", "255", 0, "255"},
    {"NULL", "packets_limit_per_flow", "256", -3, "32"},
    {nullptr, "dpi.address_cache_size", "16777215", 0, "16777215"},
    /* booleans: exact texts only */
    {"http", "metadata.req.host", "disable", 0, "0"},
    {"http", "metadata.req.host", "enable", 0, "1"},
    {"http", "metadata.req.host", "0", 0, "0"},
    {"http", "metadata.req.host", "Enable", -3, "1"},
    {"http", "metadata.req.host", "yes", -3, "1"},
    {nullptr, "flow.track_payload", "1", 0, "1"},
    /* knob lookup */
    {"tls", "no_such_knob", "1", -2, nullptr},
    {nullptr, "certificate_expiration_threshold", "10", -2, nullptr},
    {"dns", "metadata.req.host", "1", -2, nullptr},
    {nullptr, "flow_risk.dga.load", "0", -2, nullptr},
    {nullptr, "flow_risk_lists.load", "0", 0, "0"},
    {nullptr, "flow_risk.crawler_bot.list.load", "0", 0, "0"},
    /* protocol bitmaps: by name (any case) or number, never Unknown */
    {"tls", "enable", "0", 0, "0"},
    {"TLS", "enable", "disable", 0, "0"},
    {"tls", "enable", "maybe", -3, "1"},
    {"91", "monitoring", "1", 0, "1"},
    {"Unknown", "enable", "0", -3, nullptr},
    {"0", "enable", "0", -3, nullptr},
    {first_custom_id.c_str(), "enable", "0", -3, nullptr},
    {"NoSuchProtocol", "log", "1", -3, nullptr},
    {"", "enable", "0", -3, nullptr},
    {"dns", "ip_list.load", "0", 0, "0"},
    /* risk bitmaps */
    {nullptr, "flow_risk.dga", "disable", 0, "0"},
    {nullptr, "flow_risk.dga.info", "0", 0, "0"},
    {nullptr, "flow_risk.16", "enable", 0, "1"},
    {nullptr, "flow_risk.no_such_risk", "0", -3, nullptr},
    {nullptr, "flow_risk.unknown", "0", -3, nullptr},
    {nullptr, past_last_risk.c_str(), "0", -3, nullptr},
    {nullptr, "flow_risk.slow_DoS", "maybe", -3, "1"},
    {nullptr, "flow_risk.all", "0", 0, "0"},
    /* caches */
    {nullptr, "lru.stun.size", "0", 0, "0"},
    {nullptr, "lru.stun.ttl", "16777216", -3, "300"},
    {nullptr, "lru.stun.scope", "1", -5, "0"},
    {nullptr, "lru.stun.scope", "2", -3, "0"},
    /* argument checks */
    {"tls", nullptr, "1", -1, nullptr},
    {"tls", "dpi.heuristics", nullptr, -1, nullptr},
};

} // namespace

TEST(config, set_cases_return_codes_and_values)
{
    for (const set_case &c : set_cases) {
        module_ptr m = new_module();
        SCOPED_TRACE(std::string(c.proto ? c.proto : "(null)") + "/" + (c.param ? c.param : "(null)") + "=" +
                     (c.value ? c.value : "(null)"));
        EXPECT_EQ(oxlo_set_config(m.get(), c.proto, c.param, c.value), c.rc);
        if (c.read_back) {
            EXPECT_EQ(get(m.get(), c.proto, c.param), c.read_back);
        }
    }
}

TEST(config, any_and_all_switch_every_protocol)
{
    module_ptr m = new_module();
    EXPECT_EQ(oxlo_set_config(m.get(), "any", "enable", "disable"), 0);
    EXPECT_EQ(get(m.get(), "tls", "enable"), "0");
    EXPECT_EQ(get(m.get(), "HTTP", "enable"), "0");
    EXPECT_EQ(oxlo_set_config(m.get(), "all", "enable", "1"), 0);
    EXPECT_EQ(get(m.get(), "tls", "enable"), "1");
    EXPECT_EQ(get(m.get(), "any", "enable"), "1");

    EXPECT_EQ(oxlo_protocol_monitoring_enabled(m.get(), 91), 0);
    EXPECT_EQ(oxlo_set_config(m.get(), "tls", "monitoring", "enable"), 0);
    EXPECT_EQ(oxlo_protocol_monitoring_enabled(m.get(), 91), 1);
    EXPECT_EQ(oxlo_protocol_monitoring_enabled(nullptr, 91), 0);
}

TEST(config, null_module_and_after_finalization)
{
    EXPECT_EQ(oxlo_set_config(nullptr, "tls", "dpi.heuristics", "1"), -1);
    module_ptr m = new_module();
    ASSERT_EQ(oxlo_finalize_initialization(m.get()), 0);
    EXPECT_EQ(oxlo_set_config(m.get(), "tls", "certificate_expiration_threshold", "40"), -4);
    EXPECT_EQ(oxlo_set_config(m.get(), nullptr, "no_such_knob", "40"), -4);
    EXPECT_EQ(get(m.get(), "tls", "certificate_expiration_threshold"), "30");
}

TEST(config, u64_setter_formats_the_number)
{
    module_ptr m = new_module();
    EXPECT_EQ(oxlo_set_config_u64(m.get(), nullptr, "lru.ookla.size", 77), 0);
    EXPECT_EQ(get(m.get(), nullptr, "lru.ookla.size"), "77");
    EXPECT_EQ(oxlo_set_config_u64(m.get(), nullptr, "lru.ookla.size", UINT64_MAX), -3);
}

TEST(config, scope_is_accepted_with_a_shared_context)
{
    oxlo_shared_context *ctx = shared_context_new();
    {
        module_ptr m = new_module(ctx);
        EXPECT_EQ(oxlo_set_config(m.get(), nullptr, "lru.bittorrent.scope", "1"), 0);
        EXPECT_EQ(get(m.get(), nullptr, "lru.bittorrent.scope"), "1");
    }
    shared_context_free(ctx);
}

TEST(config, get_refuses_bad_arguments)
{
    module_ptr m = new_module();
    char buf[8];
    EXPECT_EQ(oxlo_get_config_text(m.get(), "tls", "dpi.heuristics", buf, 0), nullptr);
    EXPECT_EQ(oxlo_get_config_text(m.get(), "tls", "nope", buf, sizeof(buf)), nullptr);
    EXPECT_EQ(oxlo_get_config_text(nullptr, "tls", "dpi.heuristics", buf, sizeof(buf)), nullptr);
    /* A small buffer is still terminated. */
    ASSERT_NE(oxlo_get_config_text(m.get(), nullptr, "dpi.address_cache_size", buf, 2), nullptr);
    EXPECT_EQ(strlen(buf), 1u);
}

TEST(config, dump_lists_every_knob_with_defaults_and_ranges)
{
    module_ptr m = new_module();
    char *text = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&text, &len);
    ASSERT_EQ(oxlo_dump_config(m.get(), out), 0);
    fclose(out);
    std::string dump(text, len);
    free(text);
    int lines = 0;
    for (char ch : dump)
        lines += ch == '\n';
    EXPECT_EQ(lines, 1 + 118);
    EXPECT_NE(dump.find(" *) tls certificate_expiration_threshold: 30 [30] [0-365]\n"), std::string::npos);
    EXPECT_NE(dump.find(" *) NULL flow.track_payload: 0 [disable]\n"), std::string::npos);
    EXPECT_NE(dump.find(" *) NULL lru.signal.size: 32768 [32768] [0-16777215]\n"), std::string::npos);
    EXPECT_NE(dump.find(" *) NULL flow_risk.$FLOWRISK_NAME_OR_ID: 59/59 set [all enable]\n"), std::string::npos);
}

/* ---- knob files ---- */

class config_file : public ::testing::Test {
protected:
    std::filesystem::path dir;
    void SetUp() override
    {
        dir = std::filesystem::temp_directory_path() /
              ("oxlo_cfg_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string write(const char *name, const std::string &text)
    {
        std::ofstream(dir / name) << text;
        return (dir / name).string();
    }
    int load(oxlo_module *m, const std::string &path)
    {
        FILE *f = fopen(path.c_str(), "r");
        EXPECT_NE(f, nullptr);
        int rc = oxlo_load_config_file(m, f);
        fclose(f);
        return rc;
    }
};

TEST_F(config_file, sets_knobs_and_skips_bad_comma_counts)
{
    module_ptr m = new_module();
    std::string p = write("k.txt", "# comment\n"
                                   "\n"
                                   "tls,certificate_expiration_threshold,40\n"
                                   "a,b,c,d\n"
                                   "no comma here\n"
                                   "packets_limit_per_flow,12\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(load(m.get(), p), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(get(m.get(), "tls", "certificate_expiration_threshold"), "40");
    EXPECT_EQ(get(m.get(), nullptr, "packets_limit_per_flow"), "12");
    EXPECT_NE(out.find("Error parsing [a,b,c,d]\n"), std::string::npos);
    EXPECT_NE(out.find("Error parsing [no comma here]\n"), std::string::npos);
}

TEST_F(config_file, a_failing_line_stops_the_file_and_keeps_earlier_lines)
{
    module_ptr m = new_module();
    std::string p = write("k.txt", "packets_limit_per_flow,12\n"
                                   "tls,certificate_expiration_threshold,400\n"
                                   "packets_limit_per_flow,13\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(load(m.get(), p), -3);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error oxlo_set_config [tls/certificate_expiration_threshold/400]: -3\n"), std::string::npos);
    EXPECT_EQ(get(m.get(), nullptr, "packets_limit_per_flow"), "12");
}

TEST_F(config_file, empty_field_cannot_be_split)
{
    module_ptr m = new_module();
    std::string p = write("k.txt", ",certificate_expiration_threshold,40\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(load(m.get(), p), -2);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(oxlo_load_config_file(m.get(), nullptr), -1);
}

TEST_F(config_file, over_long_line_is_rejected_whole_not_split)
{
    module_ptr m = new_module();
    /* The tail after 511 characters would be a valid knob line by itself. */
    std::string lead = "tls,certificate_expiration_threshold,41";
    std::string line = lead + std::string(511 - lead.size(), ' ') + "packets_limit_per_flow,7\n";
    std::string p = write("k.txt", line + "packets_limit_per_flow,9\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(load(m.get(), p), -2);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(get(m.get(), nullptr, "packets_limit_per_flow"), "32");
    EXPECT_EQ(get(m.get(), "tls", "certificate_expiration_threshold"), "30");

    /* Exactly 511 characters before the newline still fits. */
    module_ptr m2 = new_module();
    std::string fits = "packets_limit_per_flow," + std::string(511 - 23 - 2, '0') + "14\n";
    ASSERT_EQ(fits.size(), 512u);
    EXPECT_EQ(load(m2.get(), write("fits.txt", fits + "tls,dpi.heuristics,1\n")), 0);
    EXPECT_EQ(get(m2.get(), nullptr, "packets_limit_per_flow"), "12"); /* octal 014 */
    EXPECT_EQ(get(m2.get(), "tls", "dpi.heuristics"), "1");
}

TEST_F(config_file, filename_knob_reads_the_file)
{
    module_ptr m = new_module();
    std::string p = write("k.txt", "tls,certificate_expiration_threshold,50\n");
    EXPECT_EQ(oxlo_set_config(m.get(), nullptr, "filename.config", p.c_str()), 0);
    EXPECT_EQ(get(m.get(), "tls", "certificate_expiration_threshold"), "50");
    EXPECT_EQ(get(m.get(), nullptr, "filename.config"), p);
    EXPECT_EQ(oxlo_set_config(m.get(), nullptr, "filename.config", (dir / "missing").c_str()), -3);
}

TEST_F(config_file, a_file_that_includes_itself_is_refused)
{
    module_ptr m = new_module();
    std::string self = (dir / "self.txt").string();
    write("self.txt", "packets_limit_per_flow,5\nfilename.config," + self + "\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(oxlo_set_config(m.get(), nullptr, "filename.config", self.c_str()), -3);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("includes itself"), std::string::npos);
    EXPECT_EQ(get(m.get(), nullptr, "packets_limit_per_flow"), "5");

    /* The same through a second file, and when read as a stream. */
    std::string a = (dir / "a.txt").string(), b = (dir / "b.txt").string();
    write("a.txt", "filename.config," + b + "\n");
    write("b.txt", "filename.config," + a + "\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(load(m.get(), a), -3);
    EXPECT_EQ(load(m.get(), self), -3);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(m->config_files, nullptr);
}

TEST_F(config_file, memory_streams_may_include_files)
{
    module_ptr m = new_module();
    std::string inner = write("inner.txt", "packets_limit_per_flow,21\n");
    std::string text = "filename.config," + inner + "\ntls,dpi.heuristics,2\n";
    FILE *f = fmemopen(text.data(), text.size(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(oxlo_load_config_file(m.get(), f), 0);
    fclose(f);
    EXPECT_EQ(get(m.get(), nullptr, "packets_limit_per_flow"), "21");
    EXPECT_EQ(get(m.get(), "tls", "dpi.heuristics"), "2");
}
