#include "oxlo_automaton.h"

#include "oxlo_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

/* The automaton keeps pattern texts; these tests hand it heap copies and
 * release with mode 1 so the sanitizer build checks ownership. */
int add(oxlo_automaton *a, const std::string &text, uint32_t id, uint8_t flags = 0)
{
    automaton_pattern p{};
    p.text = static_cast<char *>(oxlo_heap_alloc(text.size() + 1));
    std::memcpy(p.text, text.data(), text.size());
    p.text[text.size()] = '\0';
    p.length = static_cast<uint16_t>(text.size());
    p.data.id = id;
    p.data.flags = flags;
    int r = automaton_add_pattern(a, &p);
    if (r != AUTOMATON_ADDED)
        oxlo_heap_free(p.text);
    return r;
}

struct holder {
    oxlo_automaton *a;
    explicit holder(automaton_match_cb cb = nullptr, int features = 0) : a(automaton_new(cb))
    {
        if (features)
            automaton_set_features(a, features);
    }
    ~holder() { automaton_release(a, 1); }
};

automaton_text make_text(const std::string &s, uint16_t options = 0)
{
    automaton_text t{};
    t.text = s.data();
    t.length = static_cast<uint16_t>(s.size());
    t.options = options;
    return t;
}

/* Search without callback: the chosen id, or 0. */
uint32_t best(oxlo_automaton *a, const std::string &s, uint16_t options = 0)
{
    automaton_text t = make_text(s, options);
    automaton_match m{};
    int r = automaton_search(a, &t, &m);
    EXPECT_GE(r, 0);
    return r == 1 ? m.data.id : 0;
}

/* Every (id, end position) reported to a callback. */
using report = std::set<std::pair<uint32_t, uint32_t>>;
report *collected;

int collect(const automaton_match_info *info, automaton_text *, automaton_match *)
{
    for (uint16_t k = 0; k < info->count && k < 32; k++)
        if (info->mask & (1u << k))
            collected->insert({info->entries[k].data.id, info->position});
    return 0;
}

report all_matches(oxlo_automaton *a, const std::string &s, uint16_t options = 0)
{
    report r;
    collected = &r;
    automaton_text t = make_text(s, options);
    automaton_match m{};
    int rc = automaton_search(a, &t, &m);
    EXPECT_EQ(rc, r.empty() ? 0 : 1);
    return r;
}

TEST(Automaton, add_pattern_results)
{
    holder h;
    std::string max(256, 'x'), over(257, 'y');
    EXPECT_EQ(add(h.a, max, 1), AUTOMATON_ADDED);
    EXPECT_EQ(add(h.a, over, 2), AUTOMATON_TOO_LONG);
    EXPECT_EQ(add(h.a, "", 3), AUTOMATON_EMPTY);
    EXPECT_EQ(automaton_add_pattern(h.a, nullptr), AUTOMATON_ERROR);
    EXPECT_EQ(automaton_add_pattern(nullptr, nullptr), AUTOMATON_ERROR);
    EXPECT_EQ(automaton_set_features(h.a, AUTOMATON_FEATURE_CASE_INSENSITIVE), AUTOMATON_ERROR);

    /* A duplicate hands back the first one's id and leaves the text to the caller. */
    EXPECT_EQ(add(h.a, "example.com", 77), AUTOMATON_ADDED);
    automaton_pattern dup{};
    char text[] = "example.com";
    dup.text = text;
    dup.length = 11;
    dup.data.id = 5;
    EXPECT_EQ(automaton_add_pattern(h.a, &dup), AUTOMATON_DUPLICATE);
    EXPECT_EQ(dup.data.id, 77u);
    EXPECT_EQ(h.a->pattern_count, 2u);
    EXPECT_EQ(h.a->max_length, 256u);

    /* Searching before finalization fails but counts. */
    const std::string s = "example.com";
    automaton_text t = make_text(s);
    EXPECT_EQ(automaton_search(h.a, &t, nullptr), -1);
    automaton_stats st;
    automaton_get_stats(h.a, &st);
    EXPECT_EQ(st.n_search, 1u);

    EXPECT_EQ(automaton_finalize(h.a), 0);
    EXPECT_EQ(automaton_finalize(h.a), 0);
    EXPECT_EQ(add(h.a, "late", 9), AUTOMATON_NOT_OPEN);
    EXPECT_EQ(best(h.a, "www.example.com"), 77u);
    EXPECT_EQ(best(h.a, max), 1u);
    automaton_get_stats(h.a, &st);
    EXPECT_EQ(st.n_search, 3u);
    EXPECT_EQ(st.n_found, 2u);
    EXPECT_EQ(automaton_search(nullptr, &t, nullptr), -1);
    EXPECT_EQ(automaton_search(h.a, nullptr, nullptr), -1);
}

TEST(Automaton, case_insensitive_and_alternative_characters)
{
    holder ci(nullptr, AUTOMATON_FEATURE_CASE_INSENSITIVE);
    EXPECT_EQ(add(ci.a, "ABC", 1), AUTOMATON_ADDED);
    EXPECT_EQ(add(ci.a, "abc", 2), AUTOMATON_DUPLICATE);
    automaton_finalize(ci.a);
    EXPECT_EQ(best(ci.a, "xAbCx"), 1u);

    /* Not case-insensitive: only the alternative-character option bridges case. */
    holder cs;
    add(cs.a, "netflix", 3);
    add(cs.a, "n", 4); /* a second edge at the root */
    add(cs.a, "Zoom", 5);
    automaton_finalize(cs.a);
    EXPECT_EQ(best(cs.a, "NETFLIX"), 0u);
    EXPECT_EQ(best(cs.a, "NETFLIX", AUTOMATON_OPT_ALT_CHARS), 3u);
    EXPECT_EQ(best(cs.a, "NetFlix", AUTOMATON_OPT_ALT_CHARS), 3u);
    EXPECT_EQ(best(cs.a, "zOOM", AUTOMATON_OPT_ALT_CHARS), 5u);
    EXPECT_EQ(best(cs.a, "n3tflix", AUTOMATON_OPT_ALT_CHARS), 4u);
}

TEST(Automaton, selection_prefers_exact_then_start_then_end_then_anywhere)
{
    holder h;
    const uint8_t both = AUTOMATON_ANCHOR_START | AUTOMATON_ANCHOR_END;
    add(h.a, "mail.example.com", 1, both);
    add(h.a, "example.com", 2, AUTOMATON_ANCHOR_END);
    add(h.a, "mail", 3, AUTOMATON_ANCHOR_START);
    add(h.a, "exam", 4);
    add(h.a, "ample", 5, AUTOMATON_ANCHOR_START);
    automaton_finalize(h.a);

    EXPECT_EQ(best(h.a, "mail.example.com"), 1u); /* equals one, ends with another */
    EXPECT_EQ(best(h.a, "mail.example.com.evil"), 3u);
    EXPECT_EQ(best(h.a, "smtp.example.com"), 2u);
    EXPECT_EQ(best(h.a, "example.org"), 4u);
    EXPECT_EQ(best(h.a, "sample.org"), 0u);  /* start-anchored, not at the start */
    EXPECT_EQ(best(h.a, "example.community"), 4u); /* end-anchored needs the end */
}

TEST(Automaton, dot_terminated_pattern_only_before_last_label)
{
    holder h;
    add(h.a, "google.", 1);
    automaton_finalize(h.a);
    EXPECT_EQ(best(h.a, "www.google.com"), 1u);
    EXPECT_EQ(best(h.a, "www.google.co.uk"), 0u);
    EXPECT_EQ(best(h.a, "www.google.com.0"), 1u);
    EXPECT_EQ(best(h.a, "google.0.x"), 0u);
    EXPECT_EQ(best(h.a, "google.com."), 0u); /* nothing after the dot: never read past the text */
}

TEST(Automaton, callback_sees_every_overlapping_match_in_one_pass)
{
    holder h(collect);
    add(h.a, "he", 1);
    add(h.a, "she", 2);
    add(h.a, "hers", 3);
    add(h.a, "his", 4);
    automaton_finalize(h.a);
    report r = all_matches(h.a, "ushers");
    EXPECT_EQ(r, (report{{2, 4}, {1, 4}, {3, 6}}));
    EXPECT_TRUE(all_matches(h.a, "hxs").empty());
}

TEST(Automaton, callback_can_stop_and_choose)
{
    holder h([](const automaton_match_info *info, automaton_text *text, automaton_match *result) {
        int k = __builtin_ctz(info->mask);
        text->chosen = &info->entries[k];
        result->data = info->entries[k].data;
        return 1;
    });
    add(h.a, "ab", 1);
    add(h.a, "abcd", 2);
    automaton_finalize(h.a);
    const std::string s = "xabcd";
    automaton_text t = make_text(s);
    automaton_match m{};
    EXPECT_EQ(automaton_search(h.a, &t, &m), 1);
    EXPECT_EQ(m.data.id, 1u);
    EXPECT_EQ(t.info.position, 3u);
    ASSERT_NE(t.chosen, nullptr);
    EXPECT_EQ(t.chosen->length, 2);
}

TEST(Automaton, release_reset_keeps_an_open_automaton)
{
    oxlo_automaton *a = automaton_new(nullptr);
    add(a, "alpha", 1);
    add(a, "beta", 2);
    automaton_finalize(a);
    EXPECT_EQ(best(a, "alphabet"), 1u);
    automaton_release(a, 2);
    EXPECT_EQ(a->node_count, 0u);
    EXPECT_EQ(a->pattern_count, 0u);
    EXPECT_EQ(add(a, "gamma", 3), AUTOMATON_ADDED);
    automaton_finalize(a);
    EXPECT_EQ(best(a, "alphabet"), 0u);
    EXPECT_EQ(best(a, "gammas"), 3u);
    automaton_release(a, 1);
    automaton_release(nullptr, 0);
}

TEST(Automaton, dump_writes_header_nodes_and_patterns)
{
    holder h;
    add(h.a, "ab", 0x8000 | 5);
    add(h.a, "b", 6);
    automaton_finalize(h.a);
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    automaton_dump(h.a, f);
    fclose(f);
    std::string out(buf, len);
    free(buf);
    EXPECT_EQ(out.rfind("---DUMP- all nodes 3 - max strlen 2 -ready---\n", 0), 0u) << out;
    EXPECT_NE(out.find("'ab' N:2{5 ^ab , 6  b }\n"), std::string::npos) << out;
    EXPECT_NE(out.find("---DUMP-END-\n"), std::string::npos) << out;
}

/* ---- differential test against naive substring search ----------------- */

struct naive_pattern {
    std::string text;
    uint32_t id;
    uint8_t flags;
};

std::string lower(std::string s)
{
    for (auto &c : s)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return s;
}

bool dot_ok(const std::string &text, size_t end)
{
    size_t dot = text.find('.', end);
    return dot == std::string::npos || (dot + 1 < text.size() && text[dot + 1] == '0');
}

/* All (id, end) pairs a callback must see; fold for case-insensitive runs. */
report naive(const std::vector<naive_pattern> &pats, const std::string &raw, bool fold)
{
    std::string text = fold ? lower(raw) : raw;
    report r;
    for (const auto &p : pats) {
        std::string pt = fold ? lower(p.text) : p.text;
        bool start = p.flags & AUTOMATON_ANCHOR_START, end = p.flags & AUTOMATON_ANCHOR_END;
        for (size_t pos = text.find(pt); pos != std::string::npos; pos = text.find(pt, pos + 1)) {
            size_t e = pos + pt.size();
            if (start && pos != 0)
                continue;
            if (end && e != text.size())
                continue;
            if (!start && !end && pt.back() == '.' && !dot_ok(text, e))
                continue;
            r.insert({p.id, static_cast<uint32_t>(e)});
        }
    }
    return r;
}

int slot_class(uint8_t flags)
{
    bool s = flags & AUTOMATON_ANCHOR_START, e = flags & AUTOMATON_ANCHOR_END;
    return s && e ? 0 : s ? 1 : e ? 2 : 3;
}

std::string random_string(std::mt19937 &rng, const std::string &alphabet, size_t min, size_t max)
{
    size_t n = min + rng() % (max - min + 1);
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += alphabet[rng() % alphabet.size()];
    return s;
}

/* Host-like names built from common labels. */
std::string random_host(std::mt19937 &rng)
{
    static const char *labels[] = {"www", "api", "cdn", "mail", "static", "img", "edge", "video", "auth",
                                   "login", "example", "stream", "cloud", "media", "content", "push",
                                   "store", "apps", "m", "s3", "eu-west-1", "v2", "dl", "update"};
    static const char *tlds[] = {"com", "net", "org", "io", "co.uk", "de", "tv", "0"};
    std::string h;
    int n = 1 + rng() % 3;
    for (int i = 0; i < n; i++)
        h += std::string(labels[rng() % std::size(labels)]) + ".";
    return h + tlds[rng() % std::size(tlds)];
}

void differential(unsigned seed, int kind, bool fold)
{
    std::mt19937 rng(seed);
    std::string alphabet;
    if (kind == 0) {
        alphabet = "ab.0";
    } else if (kind == 1) {
        for (int c = 1; c < 256; c++)
            alphabet += static_cast<char>(c);
    } else {
        alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-0";
    }

    std::vector<naive_pattern> pats;
    std::set<std::string> seen;
    /* Odd seeds let the root follow the layout rule too (it may stay a list). */
    int features = (fold ? AUTOMATON_FEATURE_CASE_INSENSITIVE : 0) | (seed % 2 ? AUTOMATON_FEATURE_ROOT_LAYOUT : 0);
    holder cb(collect, features);
    holder plain(nullptr, features);
    int count = kind == 1 ? 300 : 150;
    for (int i = 0; i < count; i++) {
        std::string t;
        if (kind == 2 && rng() % 2) {
            t = random_host(rng);
            t = t.substr(rng() % 4 ? t.find('.') + 1 : 0); /* a suffix or the whole name */
        } else {
            t = random_string(rng, alphabet, 1, kind == 1 ? 3 : 6);
        }
        uint8_t flags = static_cast<uint8_t>(rng() % 4);
        uint32_t id = static_cast<uint32_t>(i + 1);
        std::string key = fold ? lower(t) : t;
        int r1 = add(cb.a, t, id, flags), r2 = add(plain.a, t, id, flags);
        ASSERT_EQ(r1, r2);
        if (seen.count(key)) {
            ASSERT_EQ(r1, AUTOMATON_DUPLICATE) << t;
            continue;
        }
        ASSERT_EQ(r1, AUTOMATON_ADDED) << t;
        seen.insert(key);
        pats.push_back({t, id, flags});
    }
    ASSERT_EQ(automaton_finalize(cb.a), 0);
    ASSERT_EQ(automaton_finalize(plain.a), 0);
    if (kind == 1) {
        EXPECT_GT(plain.a->n_list, 0u);
        EXPECT_GT(plain.a->n_range, 0u);
    }
    std::map<uint32_t, uint8_t> flags_of;
    for (const auto &p : pats)
        flags_of[p.id] = p.flags;

    for (int i = 0; i < 400; i++) {
        std::string text;
        if (kind == 2 && rng() % 2)
            text = random_host(rng);
        else
            text = random_string(rng, alphabet, 0, 40);
        report expected = naive(pats, text, fold);
        ASSERT_EQ(all_matches(cb.a, text), expected) << "text '" << text << "'";

        /* Without a callback: one of the matches of the best class. */
        int best_class = 4;
        for (const auto &m : expected)
            best_class = std::min(best_class, slot_class(flags_of[m.first]));
        uint32_t got = best(plain.a, text);
        if (best_class == 4) {
            ASSERT_EQ(got, 0u) << "text '" << text << "'";
            continue;
        }
        ASSERT_NE(got, 0u) << "text '" << text << "'";
        bool valid = false;
        for (const auto &m : expected)
            valid |= m.first == got;
        ASSERT_TRUE(valid) << "text '" << text << "' got " << got;
        ASSERT_EQ(slot_class(flags_of[got]), best_class) << "text '" << text << "'";
    }
}

TEST(Automaton, differential_small_alphabet)
{
    for (unsigned seed = 1; seed <= 4; seed++)
        differential(seed, 0, false);
}

TEST(Automaton, differential_all_bytes_exercises_range_and_list_nodes)
{
    for (unsigned seed = 1; seed <= 4; seed++)
        differential(seed, 1, false);
}

TEST(Automaton, differential_host_names_case_insensitive)
{
    for (unsigned seed = 1; seed <= 4; seed++) {
        differential(seed, 2, true);
        differential(seed + 10, 2, false);
    }
}

} // namespace
