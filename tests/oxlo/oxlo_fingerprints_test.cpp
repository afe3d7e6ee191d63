#include "oxlo_fingerprints.h"

#include "oxlo/detect_fixture.h"
#include "oxlo/list_fixture.h"
#include "oxlo_hosts.h"
#include "oxlo_memory.h"
#include "oxlo_names.h"
#include "oxlo_protocol_ids.h"
#include "tls/tls_private.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using list_test::printed;
using list_test::TempDir;

struct finalized_module {
    oxlo_module *m = oxlo_module_new(nullptr);
    ~finalized_module() { oxlo_module_free(m); }
    void finalize() { ASSERT_EQ(oxlo_finalize_initialization(m), 0); }
};

const char *const linux_syn = "2_64_64240_8dfdfeb6f557";
const char *const client_fp = "t13d311000_e8f1e7e78f70_1f22a2ca17c4";

TEST(OsFingerprints, builtin_list)
{
    finalized_module g;
    g.finalize();
    const struct {
        const char *text;
        int os;
    } cases[] = {
        {"2_64_64240_2e3cee914fc1", OXLO_OS_LINUX},   {"2_64_65535_d29295416479", OXLO_OS_MACOS},
        {"2_64_65535_8bf9e292397e", OXLO_OS_FREEBSD}, {"2_64_65535_2e3cee914fc1", OXLO_OS_ANDROID},
        {"194_128_32_5a9ef1c58d0b", OXLO_OS_WINDOWS}, {"194_64_65535_dd5737e4fedb", OXLO_OS_IOS},
        {"2_64_65535_dd5737e4fedb", OXLO_OS_MACOS},   {"2_64_64240_ffffffffffff", OXLO_OS_UNKNOWN},
    };
    for (const auto &c : cases)
        EXPECT_EQ(oxlo_os_fingerprint_lookup(g.m, c.text), c.os) << c.text;
    EXPECT_EQ(oxlo_os_fingerprint_lookup(g.m, nullptr), 0);
    /* A known text keeps its id. */
    EXPECT_EQ(oxlo_os_fingerprint_add(g.m, "2_64_64240_2e3cee914fc1", OXLO_OS_WINDOWS), -1);
    EXPECT_EQ(oxlo_os_fingerprint_lookup(g.m, "2_64_64240_2e3cee914fc1"), OXLO_OS_LINUX);
    EXPECT_EQ(oxlo_os_fingerprint_add(g.m, "1_2_3_new", OXLO_OS_LINUX), 0);
    EXPECT_EQ(oxlo_os_fingerprint_lookup(g.m, "1_2_3_new"), OXLO_OS_LINUX);
}

TEST(OsFingerprints, file_lines)
{
    TempDir dir;
    const std::string path = dir.write(
        "fp.txt", "#comment\n"                       /* 1 skipped quietly */
                  "1_2_3_abc,7\n"                    /* 2 id out of range */
                  "1_2_3_def,5\n"                    /* 3 added */
                  "2_64_64240_2e3cee914fc1,1\n"      /* 4 known: not counted */
                  "no comma here\n"                  /* 5 */
                  ",4\n"                             /* 6 no text */
                  "1_2_3_ghi,-1\n"                   /* 7 */
                  "1_2_3_jkl,4x\n"                   /* 8 */
                  "x\n"                              /* 9 short: skipped quietly */
                  + std::string(200, 'a') + ",5\n"   /* 10 too long */
                  "1_2_3_mno,0\n");                  /* 11 added (Unknown is an id) */
    finalized_module g;
    g.finalize();
    int added = 0;
    const std::string out = printed([&] { added = oxlo_os_fingerprints_load_file(g.m, path.c_str()); });
    EXPECT_EQ(added, 2);
    EXPECT_EQ(oxlo_os_fingerprint_lookup(g.m, "1_2_3_def"), OXLO_OS_LINUX);
    EXPECT_EQ(oxlo_os_fingerprint_lookup(g.m, "1_2_3_abc"), 0);
    EXPECT_EQ(oxlo_os_fingerprint_lookup(g.m, "2_64_64240_2e3cee914fc1"), OXLO_OS_LINUX);
    for (int line : {2, 5, 6, 7, 8, 10})
        EXPECT_NE(out.find(path + ": line #" + std::to_string(line) + " "), std::string::npos) << line << "\n" << out;
    for (int line : {1, 3, 4, 9, 11})
        EXPECT_EQ(out.find("line #" + std::to_string(line) + " "), std::string::npos) << line << "\n" << out;

    const std::string missing = dir.path + "/missing";
    const std::string msg = printed([&] { EXPECT_EQ(oxlo_os_fingerprints_load_file(g.m, missing.c_str()), -1); });
    EXPECT_EQ(msg, "Unable to open file " + missing + " [No such file or directory]\n");
    EXPECT_EQ(oxlo_os_fingerprints_load_file(nullptr, path.c_str()), -1);
    EXPECT_EQ(oxlo_os_fingerprints_load_stream(g.m, nullptr), -1);
}

/* A TLS-over-TCP flow with the given TCP and client fingerprints. */
struct tls_flow {
    oxlo_module *m;
    oxlo_flow_state *f;
    tls_flow(oxlo_module *module, const char *tcp, const char *client) : m(module)
    {
        f = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
        memset(f, 0, oxlo_flow_state_size());
        f->l4_protocol = 6;
        f->app = OXLO_PROTOCOL_TLS;
        f->stack.ids[0] = OXLO_PROTOCOL_TLS;
        f->stack.count = 1;
        f->confidence = OXLO_CONFIDENCE_DPI;
        if (tcp)
            oxlo_flow_tcp_fingerprint_set(oxlo_flow_tcp_make(m, f), tcp);
        oxlo_tls_flow *t = oxlo_tls_state(m, f, 1);
        EXPECT_NE(t, nullptr);
        if (t && client)
            snprintf(t->client_app_fingerprint, sizeof(t->client_app_fingerprint), "%s", client);
    }
    ~tls_flow() { oxlo_flow_state_free(f); }
    std::string text()
    {
        char buffer[128];
        oxlo_flow_fingerprint_text(m, f, buffer, sizeof(buffer));
        return buffer;
    }
};

TEST(FlowFingerprint, text_and_digest)
{
    finalized_module g;
    g.finalize();
    {
        tls_flow fl(g.m, linux_syn, client_fp);
        EXPECT_EQ(fl.text(), std::string(linux_syn) + "-" + client_fp + "-no_app_fp_srv");
        /* The first 16 bytes of the SHA-256 of that text (computed apart). */
        const char *fp = oxlo_flow_fingerprint_compute(g.m, fl.f);
        ASSERT_NE(fp, nullptr);
        EXPECT_STREQ(fp, "114d851202325439f19b2f00ebef2280");
        EXPECT_STREQ(oxlo_flow_fingerprint(fl.f), fp);
    }
    {
        tls_flow fl(g.m, linux_syn, nullptr);
        EXPECT_STREQ(oxlo_flow_fingerprint_compute(g.m, fl.f), "d9c9a261ed309fe480dbefe893632fa7");
    }
    {
        tls_flow fl(g.m, nullptr, nullptr); /* neither fingerprint */
        EXPECT_EQ(oxlo_flow_fingerprint_compute(g.m, fl.f), nullptr);
        EXPECT_STREQ(oxlo_flow_fingerprint(fl.f), "");
    }
    {
        tls_flow fl(g.m, linux_syn, client_fp);
        fl.f->stack.ids[0] = OXLO_PROTOCOL_HTTP; /* not an encrypted transport */
        fl.f->app = OXLO_PROTOCOL_HTTP;
        EXPECT_EQ(oxlo_flow_fingerprint_compute(g.m, fl.f), nullptr);
    }
}

TEST(FlowFingerprint, knobs_shape_the_text)
{
    struct knob_case {
        const char *proto, *param, *value;
        std::string expected;
    } cases[] = {
        {nullptr, "metadata.oxlo_fingerprint_ignore_tcp_fp", "1",
         std::string("no_l4_fp-") + client_fp + "-no_app_fp_srv"},
        {"tls", "metadata.oxlofp_ignore_sni_tls_extn", "1",
         std::string(linux_syn) + "-t13_311000_e8f1e7e78f70_1f22a2ca17c4-no_app_fp_srv"},
        {nullptr, "metadata.oxlo_fingerprint_format", "1",
         std::string(linux_syn) + "-" + client_fp + "-no_app_fp_srv"}, /* no server fingerprint yet */
    };
    for (const knob_case &c : cases) {
        finalized_module g;
        ASSERT_EQ(oxlo_set_config(g.m, c.proto, c.param, c.value), 0) << c.param;
        g.finalize();
        tls_flow fl(g.m, linux_syn, client_fp);
        EXPECT_EQ(fl.text(), c.expected) << c.param;
        if (std::string(c.param) == "metadata.oxlo_fingerprint_format") {
            oxlo_tls_flow *t = oxlo_tls_state(g.m, fl.f, 0);
            t->server_fingerprint = oxlo_heap_strdup("0123456789ab");
            EXPECT_EQ(fl.text(), std::string(linux_syn) + "-" + client_fp + "-0123456789ab");
        }
    }
    finalized_module off;
    ASSERT_EQ(oxlo_set_config(off.m, nullptr, "metadata.oxlo_fingerprint", "0"), 0);
    off.finalize();
    tls_flow fl(off.m, linux_syn, client_fp);
    EXPECT_EQ(oxlo_flow_fingerprint_compute(off.m, fl.f), nullptr);
}

TEST(FlowFingerprint, tls_blocks_digest_and_rules)
{
    finalized_module g;
    ASSERT_EQ(oxlo_set_config(g.m, "tls", "max_num_blocks_to_analyze", "2"), 0);
    std::string rule = "oxlofp:e049242bc67723cd32dde566cd50fbed@FpProto";
    custom_rule_line_parse(g.m, rule.data());
    g.finalize();
    const uint16_t proto = oxlo_protocol_id_by_name(g.m, "FpProto");
    ASSERT_NE(proto, 0);

    tls_flow fl(g.m, linux_syn, client_fp);
    oxlo_tls_flow *t = oxlo_tls_state(g.m, fl.f, 0);
    ASSERT_NE(t, nullptr);
    t->blocks = static_cast<tls_block *>(oxlo_heap_calloc(2, sizeof(tls_block)));
    t->blocks[0] = {TLS_BLOCK_HS_CLIENT_HELLO, 517, 0, 0};
    t->blocks[1] = {TLS_BLOCK_HS_SERVER_HELLO, -122, 1, 0};
    t->block_count = 2;
    /* The digest is of "4=517,5=-122" (computed apart). */
    EXPECT_EQ(fl.text(), std::string(linux_syn) + "-" + client_fp + "2dd6865af04d73f09d0655f0577528c9-no_app_fp_srv");
    EXPECT_STREQ(oxlo_flow_fingerprint_compute(g.m, fl.f), "e049242bc67723cd32dde566cd50fbed");
    EXPECT_EQ(fl.f->app, proto);
    EXPECT_EQ(fl.f->confidence, OXLO_CONFIDENCE_CUSTOM_RULE);
}

const tls_block flow_blocks[3] = {{TLS_BLOCK_HS_CLIENT_HELLO, 517, 0, 0},
                                  {TLS_BLOCK_HS_SERVER_HELLO, -122, 1, 0},
                                  {TLS_BLOCK_APPLICATION_DATA, 300, 0, 0}};

TEST(FlowFingerprint, candidate_block_sequences_refine_a_rule)
{
    finalized_module g;
    ASSERT_EQ(oxlo_set_config(g.m, "tls", "max_num_blocks_to_analyze", "3"), 0);
    g.finalize();
    tls_flow fl(g.m, linux_syn, client_fp);
    oxlo_tls_flow *t = oxlo_tls_state(g.m, fl.f, 0);
    ASSERT_NE(t, nullptr);
    t->blocks = static_cast<tls_block *>(oxlo_heap_calloc(3, sizeof(tls_block)));
    memcpy(t->blocks, flow_blocks, sizeof(flow_blocks));
    t->block_count = 3;

    /* Distances: the first two blocks must agree exactly; the third adds
     * its squared length difference. */
    struct candidate {
        oxlo_fingerprint_rule rule;
        tls_block blocks[3];
        candidate(uint16_t id, int16_t third_length) : rule{id, 3, blocks}
        {
            memcpy(blocks, flow_blocks, sizeof(blocks));
            blocks[2].length = third_length;
        }
    };
    candidate near(11, 301) /* 1.0 */, exact(12, 300) /* 0 */, far(13, 302) /* 4.0 */, nearer(14, 299);
    string_map_value_node n_exact{&exact.rule, nullptr}, n_near{&near.rule, &n_exact}, n_far{&far.rule, &n_near};
    EXPECT_EQ(oxlo_fingerprint_match_tls_blocks(g.m, fl.f, &n_far, 99), 12);
    string_map_value_node only_near{&near.rule, nullptr}, only_far{&far.rule, nullptr};
    EXPECT_EQ(oxlo_fingerprint_match_tls_blocks(g.m, fl.f, &only_near, 99), 11);
    EXPECT_EQ(oxlo_fingerprint_match_tls_blocks(g.m, fl.f, &only_far, 99), 99);
    /* Equal distances: the first in list order stays. */
    string_map_value_node tie2{&nearer.rule, nullptr}, tie1{&near.rule, &tie2};
    EXPECT_EQ(oxlo_fingerprint_match_tls_blocks(g.m, fl.f, &tie1, 99), 11);
    t->block_count = 2; /* fewer blocks than the knob asks for: no refinement */
    EXPECT_EQ(oxlo_fingerprint_match_tls_blocks(g.m, fl.f, &n_far, 99), 99);
}

/* Linux's SYN: MSS 1460, SACK permitted, timestamps, NOP, window scale 7. */
pkt::bytes linux_options(uint32_t tsval)
{
    return {2, 4, 5, 0xb4, 4, 2, 8, 10, uint8_t(tsval >> 24), uint8_t(tsval >> 16), uint8_t(tsval >> 8),
            uint8_t(tsval), 0, 0, 0, 0, 1, 3, 3, 7};
}

struct SynFingerprint : detect_test::module_fixture {
    std::string no_payload; /* a SYN carries none */
    std::string syn_fingerprint(uint32_t tsval, oxlo_flow_state *fl)
    {
        pkt::tcp_opts o;
        o.flags = 0x02;
        o.window = 64240;
        o.options = linux_options(tsval);
        feed(pkt::ipv4(6, pkt::tcp(40000, 443, no_payload, o)), fl);
        return oxlo_flow_tcp_fingerprint(fl);
    }
};

TEST_F(SynFingerprint, timestamps_do_not_split_one_system_and_name_its_os)
{
    oxlo_flow_state *a = new_flow(), *b = new_flow();
    const std::string fa = syn_fingerprint(0x11223344, a);
    const std::string fb = syn_fingerprint(0x99aabbcc, b);
    EXPECT_EQ(fa, fb);
    /* SHA-256 of "020405b40402080a" "0000000000000000" "01030307" (computed apart). */
    EXPECT_EQ(fa, "2_64_64240_19c94d03cb44");
    EXPECT_EQ(oxlo_flow_os_guess(a), OXLO_OS_UNKNOWN);
    oxlo_flow_state_free(a);
    oxlo_flow_state_free(b);

    ASSERT_EQ(oxlo_os_fingerprint_add(m, fa.c_str(), OXLO_OS_LINUX), 0);
    oxlo_flow_state *c = new_flow();
    syn_fingerprint(0x01020304, c);
    EXPECT_EQ(oxlo_flow_os_guess(c), OXLO_OS_LINUX);
    oxlo_flow_state_free(c);
}

} // namespace
