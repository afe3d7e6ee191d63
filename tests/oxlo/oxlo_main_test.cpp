#include "oxlo_private.h"
#include "oxlo_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

/* Allocation hooks that behave like the C library until told to fail the
 * next zeroed allocation of one size (and, when fail_calloc_count is set, of
 * that many elements, so that another block of the same total size is not
 * taken for it); installed once for this process. */
std::atomic<size_t> fail_calloc_size{0};
std::atomic<size_t> fail_calloc_count{0};

void *hook_calloc(size_t n, size_t size)
{
    size_t armed = fail_calloc_size.load();
    const size_t count = fail_calloc_count.load();
    if (armed && n * size == armed && (count == 0 || n == count) &&
        fail_calloc_size.compare_exchange_strong(armed, 0))
        return nullptr;
    return calloc(n, size);
}

void install_hooks()
{
    static bool done = false;
    if (!done)
        oxlo_set_memory_hooks(malloc, free, hook_calloc, realloc, nullptr, nullptr, nullptr, nullptr);
    done = true;
}

struct module_deleter {
    void operator()(oxlo_module *m) const { oxlo_module_free(m); }
};
using module_ptr = std::unique_ptr<oxlo_module, module_deleter>;

uint64_t one_cycle()
{
    uint64_t before = oxlo_allocated_bytes();
    oxlo_module *m = oxlo_module_new(nullptr);
    EXPECT_NE(m, nullptr);
    EXPECT_EQ(oxlo_set_config(m, "tls", "certificate_expiration_threshold", "40"), 0);
    EXPECT_EQ(oxlo_set_config(m, nullptr, "flow.track_payload", "enable"), 0);
    EXPECT_EQ(oxlo_finalize_initialization(m), 0);
    EXPECT_EQ(m->payload_track_limit, OXLO_PAYLOAD_TRACK_LIMIT);
    oxlo_module_free(m);
    return oxlo_allocated_bytes() - before;
}

} // namespace

TEST(lifecycle, create_configure_finalize_free_in_a_loop)
{
    /* Run under the sanitizer build, this also shows that nothing leaks. */
    uint64_t first = one_cycle();
    EXPECT_GE(first, sizeof(oxlo_module));
    uint64_t second = one_cycle();
    for (int i = 0; i < 20; i++)
        EXPECT_EQ(one_cycle(), second) << "cycle " << i;
}

TEST(lifecycle, allocated_bytes_grow_with_creation_and_never_shrink)
{
    uint64_t before = oxlo_allocated_bytes();
    module_ptr m(oxlo_module_new(nullptr));
    ASSERT_NE(m, nullptr);
    uint64_t created = oxlo_allocated_bytes();
    EXPECT_GE(created - before, sizeof(oxlo_module));
    ASSERT_EQ(oxlo_finalize_initialization(m.get()), 0);
    uint64_t finalized = oxlo_allocated_bytes();
    EXPECT_GT(finalized, created);
    /* A second finalization does nothing, not even allocate. */
    EXPECT_EQ(oxlo_finalize_initialization(m.get()), 0);
    EXPECT_EQ(oxlo_allocated_bytes(), finalized);
    m.reset();
    EXPECT_EQ(oxlo_allocated_bytes(), finalized);
}

TEST(lifecycle, null_and_defaults)
{
    EXPECT_EQ(oxlo_finalize_initialization(nullptr), -1);
    oxlo_module_free(nullptr);
    shared_context_free(nullptr);
    EXPECT_EQ(oxlo_module_get_user_data(nullptr), nullptr);
    EXPECT_EQ(oxlo_module_protocols(nullptr), nullptr);
    EXPECT_EQ(oxlo_api_version(), 14373u);
    EXPECT_EQ(oxlo_module_size(), sizeof(oxlo_module));

    module_ptr m(oxlo_module_new(nullptr));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->det.sequence_window, 65536u);
    EXPECT_STREQ(m->custom_category_names[0], "User custom category 1");
    EXPECT_STREQ(m->custom_category_names[4], "User custom category 5");
    EXPECT_EQ(m->payload_track_limit, 0);
    EXPECT_FALSE(oxlo_module_is_finalized(m.get()));
    ASSERT_EQ(oxlo_finalize_initialization(m.get()), 0);
    EXPECT_TRUE(oxlo_module_is_finalized(m.get()));
    EXPECT_EQ(m->payload_track_limit, 0);
}

TEST(lifecycle, user_data_overwrite_is_reported)
{
    module_ptr m(oxlo_module_new(nullptr));
    int a = 0, b = 0;
    testing::internal::CaptureStdout();
    oxlo_module_set_user_data(m.get(), &a);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    testing::internal::CaptureStdout();
    oxlo_module_set_user_data(m.get(), &b);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "User data is already set. Overwriting.\n");
    EXPECT_EQ(oxlo_module_get_user_data(m.get()), &b);
}

/* A host that sets a log callback gets every message in it, one line without
 * its newline and with its level, and nothing on standard output; debug
 * lines only once "log.level" asks for them; the callback can be taken back. */
TEST(lifecycle, log_callback_takes_the_engine_messages)
{
    struct seen {
        std::vector<std::pair<int, std::string>> lines;
    } got;
    auto callback = [](void *user, int level, const char *message) {
        static_cast<seen *>(user)->lines.emplace_back(level, message);
    };
    module_ptr m(oxlo_module_new(nullptr));
    ASSERT_NE(m, nullptr);
    oxlo_set_log_callback(nullptr, callback, &got); /* no module: ignored */
    oxlo_set_log_callback(m.get(), callback, &got);
    int a = 0, b = 0;
    testing::internal::CaptureStdout();
    oxlo_module_set_user_data(m.get(), &a);
    oxlo_module_set_user_data(m.get(), &b);
    oxlo_log(m.get(), OXLO_LOG_DEBUG, "hidden %d\n", 1);
    ASSERT_EQ(oxlo_set_config(m.get(), nullptr, "log.level", "3"), 0);
    oxlo_log(m.get(), OXLO_LOG_DEBUG, "shown %d\n\n", 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(got.lines.size(), 2u);
    EXPECT_EQ(got.lines[0].first, OXLO_LOG_WARNING);
    EXPECT_EQ(got.lines[0].second, "User data is already set. Overwriting.");
    EXPECT_EQ(got.lines[1].first, OXLO_LOG_DEBUG);
    EXPECT_EQ(got.lines[1].second, "shown 2");

    /* A message longer than the engine's line buffer arrives cut, never
     * overrunning it. */
    std::string big(3000, 'x');
    oxlo_log(m.get(), OXLO_LOG_ERROR, "%s", big.c_str());
    ASSERT_EQ(got.lines.size(), 3u);
    EXPECT_EQ(got.lines[2].second, std::string(1023, 'x'));

    oxlo_set_log_callback(m.get(), nullptr, nullptr);
    testing::internal::CaptureStdout();
    oxlo_log(m.get(), OXLO_LOG_WARNING, "back on stdout");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "back on stdout\n");
    EXPECT_EQ(got.lines.size(), 3u);
}

TEST(lifecycle, caches_follow_their_size_and_scope)
{
    oxlo_shared_context *ctx = shared_context_new();
    ASSERT_NE(ctx, nullptr);
    module_ptr a(oxlo_module_new(ctx)), b(oxlo_module_new(ctx));
    for (oxlo_module *m : {a.get(), b.get()}) {
        ASSERT_EQ(oxlo_set_config(m, nullptr, "lru.bittorrent.scope", "1"), 0);
        ASSERT_EQ(oxlo_set_config(m, nullptr, "lru.ookla.size", "0"), 0);
        ASSERT_EQ(oxlo_finalize_initialization(m), 0);
    }
    EXPECT_EQ(a->lru[OXLO_LRU_OOKLA], nullptr);
    ASSERT_NE(ctx->lru[OXLO_LRU_BITTORRENT], nullptr);
    EXPECT_EQ(a->lru[OXLO_LRU_BITTORRENT], ctx->lru[OXLO_LRU_BITTORRENT]);
    EXPECT_EQ(b->lru[OXLO_LRU_BITTORRENT], ctx->lru[OXLO_LRU_BITTORRENT]);
    EXPECT_EQ(ctx->lru[OXLO_LRU_BITTORRENT]->num_entries, 32768u);
    EXPECT_NE(a->lru[OXLO_LRU_STUN], b->lru[OXLO_LRU_STUN]);
    EXPECT_EQ(ctx->lru[OXLO_LRU_STUN], nullptr);

    oxlo_lru_table_add(a->lru[OXLO_LRU_BITTORRENT], 7, 37, 100);
    a.reset();
    uint16_t v = 0;
    EXPECT_TRUE(oxlo_lru_table_find(b->lru[OXLO_LRU_BITTORRENT], 7, &v, 0, 100));
    EXPECT_EQ(v, 37);
    b.reset();
    shared_context_free(ctx);
}

TEST(lifecycle, automaton_search_before_finalization_is_refused)
{
    module_ptr m(oxlo_module_new(nullptr));
    uint16_t proto = 99, cat = 99;
    testing::internal::CaptureStdout();
    EXPECT_EQ(automaton_match_core(m->host_automaton, "example.org", 11, nullptr, &proto, &cat), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[oxlo_main.cpp:"), std::string::npos);
    EXPECT_NE(out.find("] [OXLO] Internal error: please call oxlo_finalize_initialization()\n"),
              std::string::npos);
    EXPECT_EQ(proto, 0);
    EXPECT_EQ(automaton_match_core(nullptr, "x", 1, nullptr, &proto, &cat), -2);
    EXPECT_EQ(automaton_match_core(m->host_automaton, "", 0, nullptr, &proto, &cat), -2);
}

TEST(lifecycle, failed_finalization_releases_and_a_retry_is_clean)
{
    install_hooks();
    module_ptr fresh(oxlo_module_new(nullptr));
    ASSERT_EQ(oxlo_finalize_initialization(fresh.get()), 0);
    uint32_t dissectors = fresh->det.dissector_count;

    /* The dissector table cannot be allocated. */
    module_ptr m(oxlo_module_new(nullptr));
    fail_calloc_size = OXLO_MAX_DISSECTORS * sizeof(oxlo_dissector_entry);
    testing::internal::CaptureStdout();
    EXPECT_EQ(oxlo_finalize_initialization(m.get()), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Error dissectors_init"), std::string::npos);
    EXPECT_FALSE(oxlo_module_is_finalized(m.get()));
    EXPECT_EQ(m->det.dissectors, nullptr);
    EXPECT_EQ(oxlo_set_config(m.get(), nullptr, "packets_limit_per_flow", "10"), 0);

    /* The risk-list pair cannot be allocated: the dissectors registered
     * before are released again. */
    fail_calloc_count = 1;
    fail_calloc_size = sizeof(oxlo_tree_pair);
    testing::internal::CaptureStdout();
    EXPECT_EQ(oxlo_finalize_initialization(m.get()), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("[OXLO] Error allocating risk tree"),
              std::string::npos);
    EXPECT_EQ(m->det.dissectors, nullptr);
    EXPECT_EQ(m->det.dissector_count, 0u);
    EXPECT_EQ(m->risk_list_ip, nullptr);

    ASSERT_EQ(oxlo_finalize_initialization(m.get()), 0);
    EXPECT_EQ(m->det.dissector_count, dissectors);
    EXPECT_NE(m->risk_list_ip, nullptr);
    fail_calloc_size = 0;
    fail_calloc_count = 0;
}

namespace {

void add_host(oxlo_automaton *a, const char *text, uint32_t id)
{
    automaton_pattern p{};
    p.text = oxlo_heap_strdup(text);
    p.length = (uint16_t)strlen(text);
    p.data.id = id;
    p.data.category = (uint16_t)(100 + id);
    if (automaton_add_pattern(a, &p) != AUTOMATON_ADDED)
        oxlo_heap_free(p.text);
}

} // namespace

TEST(lifecycle, host_matches_respect_label_boundaries)
{
    module_ptr m(oxlo_module_new(nullptr));
    ASSERT_NE(m, nullptr);
    oxlo_automaton *a = m->host_automaton;
    add_host(a, "example.org", 1);
    add_host(a, "cdn.example.org", 2);
    add_host(a, "-edge.net", 3);
    add_host(a, ".dotted.com", 4);
    add_host(a, "tracker-", 5);
    ASSERT_EQ(oxlo_finalize_initialization(m.get()), 0);

    struct {
        const char *text;
        uint16_t protocol;
    } cases[] = {
        {"example.org", 1},       /* the whole text */
        {"EXAMPLE.org", 1},       /* host names ignore case */
        {"www.example.org", 1},   /* starts after a dot */
        {"badexample.org", 0},    /* starts inside a label */
        {"a.cdn.example.org", 2}, /* the deeper of two kept patterns */
        {"cdn.example.org", 2},
        {"img-edge.net", 3},      /* a pattern beginning with '-' */
        {"a.dotted.com", 0},      /* a leading '.' is never kept this way */
        {"tracker-01.example", 5},/* whole-prefix pattern ending in '-' */
        {"nothing.here", 0},
    };
    for (const auto &c : cases) {
        uint16_t proto = 99, cat = 99;
        automaton_match match{};
        int rc = automaton_match_core(a, c.text, (uint16_t)strlen(c.text), &match, &proto, &cat);
        EXPECT_GE(rc, 0) << c.text;
        EXPECT_EQ(proto, c.protocol) << c.text;
        EXPECT_EQ(cat, c.protocol ? 100 + c.protocol : 0) << c.text;
    }
}
