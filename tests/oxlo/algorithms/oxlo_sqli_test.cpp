#include "oxlo_inj.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string fingerprint(const std::string &text, int flags)
{
    oxlo_inj_sqli_context ctx;
    oxlo_inj_sqli_state_init(&ctx, text.data(), text.size(), 0);
    return oxlo_inj_sqli_fingerprint(&ctx, flags);
}

constexpr int none_ansi = OXLO_INJ_SQLI_QUOTE_NONE | OXLO_INJ_SQLI_SQL_ANSI;
constexpr int single_ansi = OXLO_INJ_SQLI_QUOTE_SINGLE | OXLO_INJ_SQLI_SQL_ANSI;

int verdict(const std::string &text)
{
    char fp[8];
    return oxlo_inj_sqli_check_string(text.data(), text.size(), fp);
}

} // namespace

TEST(sqli_table, holds_the_telling_rows_and_folds_case)
{
    struct { const char *word; char type; } rows[] = {
        {"!!", 'o'}, {"&&", '&'}, {"||", '&'}, {"CURRENT_DATE", 'v'}, {"FETCH", 'k'}, {"HANDLER", 'T'},
        {"INTO", 'k'}, {"LOCK IN", 'n'}, {"SET", 'E'}, {"STUFF", 'f'}, {"VARCHARACTER", 'k'},
        {"_UTF8", 't'}, {"~*", 'o'}, {"0X", 'F'}, {"union", 'U'}, {"Select", 'E'}, {"sleep", 'f'},
    };
    for (const auto &r : rows)
        EXPECT_EQ(oxlo_inj_sqli_table_lookup(r.word, std::strlen(r.word)), r.type) << r.word;
    /* The table word must end exactly where the text does. */
    for (const char *w : {"UNIO", "UNIONS", "", "0", "LOCK I"})
        EXPECT_EQ(oxlo_inj_sqli_table_lookup(w, std::strlen(w)), 0) << w;
    EXPECT_EQ(oxlo_inj_sqli_table_lookup("UNION\0X", 7), 0);
}

TEST(sqli_detect, verdicts_on_attacks_and_ordinary_values)
{
    struct { const char *text; int expected; } cases[] = {
        {"1 UNION SELECT 1,2,3", 1},
        {"1 union all select null,null--", 1},
        {"1' OR '1'='1", 1},
        {"1--", 1},
        {"1/*/**/*/", 1},                 /* nested comment: evil */
        {"1 AND SLEEP(5)", 1},
        {"1; SELECT SLEEP(5)--", 1},
        {"1; WAITFOR DELAY '0:0:5'--", 1},
        {"admin' --", 1},
        {"-1 OR 1=1", 1},
        {"1) AND 1234=1234 AND (5678=5678", 1},
        {"1/*!50000UNION*/ SELECT 1", 1},
        {"hello world", 0},
        {"hello", 0},
        {"2", 0},
        {"O'Brien", 0},
        {"don't stop", 0},
        {"user@example.com", 0},
        {"2024-01-31", 0},
        {"report (final).pdf", 0},
        {"rock & roll", 0},
        {"", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(verdict(c.text), c.expected) << c.text;
}

TEST(sqli_detect, fingerprints_of_the_main_shapes)
{
    EXPECT_EQ(fingerprint("1 UNION SELECT", none_ansi), "1UE");
    EXPECT_EQ(fingerprint("1--", none_ansi), "1c");
    EXPECT_EQ(fingerprint("1/* /* */", none_ansi), "X");
    EXPECT_EQ(fingerprint("(((1", none_ansi), "1");        /* leading '(' dropped */
    EXPECT_EQ(fingerprint("-- just a comment", none_ansi), "");
    std::string plain = fingerprint("hello world", none_ansi);
    EXPECT_FALSE(plain.empty());
    EXPECT_EQ(plain.find_first_not_of('n'), std::string::npos) << plain;

    /* The X fingerprint also rewrites token 0. */
    oxlo_inj_sqli_context ctx;
    const char evil[] = "1 /*!union*/";
    oxlo_inj_sqli_state_init(&ctx, evil, sizeof evil - 1, 0);
    EXPECT_STREQ(oxlo_inj_sqli_fingerprint(&ctx, none_ansi), "X");
    EXPECT_EQ(oxlo_inj_sqli_get_token(&ctx, 0)->type, 'X');
    EXPECT_STREQ(oxlo_inj_sqli_get_token(&ctx, 0)->val, "X");
    EXPECT_EQ(oxlo_inj_sqli_detect(&ctx), 1);
}

TEST(sqli_detect, check_string_copies_the_fingerprint_only_on_a_hit)
{
    char fp[8] = "junk";
    EXPECT_EQ(oxlo_inj_sqli_check_string("1 UNION SELECT 1", 16, fp), 1);
    EXPECT_STREQ(fp, "1UE1");
    EXPECT_EQ(oxlo_inj_sqli_check_string("hello", 5, fp), 0);
    EXPECT_STREQ(fp, "");
}

TEST(sqli_tokenizer, single_quote_pass_starts_inside_a_string)
{
    const char text[] = "abc' OR 1=1";
    oxlo_inj_sqli_context ctx;
    oxlo_inj_sqli_state_init(&ctx, text, sizeof text - 1, single_ansi);
    ASSERT_EQ(oxlo_inj_sqli_tokenize(&ctx), 1);
    const oxlo_inj_sqli_token *t = ctx.current;
    EXPECT_EQ(t->type, 's');
    EXPECT_STREQ(t->val, "abc");
    EXPECT_EQ(t->str_open, '\0');
    EXPECT_EQ(t->str_close, '\'');
    EXPECT_EQ(ctx.stats_tokens, 1);
}

TEST(sqli_tokenizer, token_kinds)
{
    struct { const char *text; char type; const char *val; } cases[] = {
        {"'it''s'", 's', "it''s"},        /* doubled delimiter continues */
        {"'a\\'b'", 's', "a\\'b"},        /* escaped delimiter */
        {"$$body$$", 's', "body"},
        {"$tag$x$y$tag$", 's', "x$y"},
        {"$12.50", '1', "$12.50"},
        {"0x1F", '1', "0x1F"},
        {"0x", 'n', "0x"},
        {"0b101", '1', "0b101"},
        {"1.5e10", '1', "1.5e10"},
        {"1e", 'n', "1e"},
        {"1d", '1', "1d"},
        {"x'1f'", '1', "x'1f'"},
        {"b'0101'", '1', "b'0101'"},
        {"N'text'", 's', "text"},
        {"q'[a'b]'", 's', "a'b"},
        {"U&'x'", 's', "x"},
        {"@@version", 'v', "version"},
        {"`select`", 'n', "select"},
        {"`concat`", 'f', "concat"},
        {"[name]", 'n', "[name]"},
        {"\\N", '1', "\\N"},
        {"<=>", 'o', "<=>"},
        {"!=", 'o', "!="},
        {"&&", '&', "&&"},
        {":", ':', ":"},
        {".", '.', "."},
        {"?", '?', "?"},
        {"users.name", 'n', "users.name"},
        {"select.x", 'E', "select"},
    };
    for (const auto &c : cases) {
        oxlo_inj_sqli_context ctx;
        oxlo_inj_sqli_state_init(&ctx, c.text, std::strlen(c.text), 0);
        ASSERT_EQ(oxlo_inj_sqli_tokenize(&ctx), 1) << c.text;
        EXPECT_EQ(ctx.current->type, c.type) << c.text;
        EXPECT_STREQ(ctx.current->val, c.val) << c.text;
    }
}

TEST(sqli_tokenizer, comment_rules_depend_on_the_dialect)
{
    const char dash[] = "1 --x";
    oxlo_inj_sqli_context ctx;
    oxlo_inj_sqli_state_init(&ctx, dash, sizeof dash - 1, 0);
    EXPECT_STREQ(oxlo_inj_sqli_fingerprint(&ctx, none_ansi), "1c");
    EXPECT_EQ(ctx.stats_comment_ddx, 1);
    EXPECT_STRNE(oxlo_inj_sqli_fingerprint(&ctx, OXLO_INJ_SQLI_QUOTE_NONE | OXLO_INJ_SQLI_SQL_MYSQL), "1c");

    const char hash[] = "1 #x";
    oxlo_inj_sqli_state_init(&ctx, hash, sizeof hash - 1, 0);
    oxlo_inj_sqli_fingerprint(&ctx, none_ansi);
    EXPECT_EQ(ctx.stats_comment_hash, 1);
    EXPECT_STREQ(oxlo_inj_sqli_fingerprint(&ctx, OXLO_INJ_SQLI_QUOTE_NONE | OXLO_INJ_SQLI_SQL_MYSQL), "1c");
    EXPECT_EQ(ctx.stats_comment_hash, 2);
}

TEST(sqli_tokenizer, long_words_are_cut_but_fully_skipped)
{
    std::string text(40, 'a');
    text += " b";
    oxlo_inj_sqli_context ctx;
    oxlo_inj_sqli_state_init(&ctx, text.data(), text.size(), 0);
    ASSERT_EQ(oxlo_inj_sqli_tokenize(&ctx), 1);
    EXPECT_EQ(ctx.current->len, 31u);
    EXPECT_EQ(std::string(ctx.current->val), std::string(31, 'a'));
    ASSERT_EQ(oxlo_inj_sqli_tokenize(&ctx), 1);
    EXPECT_STREQ(ctx.current->val, "b");
    EXPECT_EQ(oxlo_inj_sqli_tokenize(&ctx), 0);
}

/* A backslash just before the text's first byte is not part of the text:
 * counting backslashes stops at the string's start. */
TEST(sqli_tokenizer, backslash_count_stops_at_the_string_start)
{
    const char buffer[] = "\\\\' or 1=1";
    const char *text = buffer + 1;            /* "\' or 1=1" */
    oxlo_inj_sqli_context ctx;
    oxlo_inj_sqli_state_init(&ctx, text, std::strlen(text), 0);
    EXPECT_STREQ(oxlo_inj_sqli_fingerprint(&ctx, single_ansi), "s");
    EXPECT_EQ(ctx.tokenvec[0].str_close, '\0');
}

TEST(sqli_fold, edge_rules_stay_in_range_and_terminate)
{
    /* "," unary value backs up three places: from the first token it stays at 0. */
    EXPECT_EQ(fingerprint(",-1", none_ansi), ",1");
    EXPECT_EQ(fingerprint("1,-1", none_ansi), "1");
    /* "USER (" with arguments is no function; the rules that turn it back
     * and forth must not loop. */
    EXPECT_EQ(fingerprint("USER(1) UNION SELECT 1", none_ansi).size() <= 5, true);
    EXPECT_EQ(fingerprint("user(", none_ansi), "f(");
    /* Five-token shapes fold to their first token. */
    EXPECT_EQ(fingerprint("1+(1)", none_ansi), "1");
    EXPECT_EQ(fingerprint("1+(1) UNION", none_ansi), "1U");
    /* Never more than five tokens. */
    EXPECT_EQ(fingerprint("a ( b ) c ( d ) e ( f )", none_ansi).size(), 5u);
}

TEST(sqli_api, tokens_by_index_and_lookup_callbacks)
{
    oxlo_inj_sqli_context ctx;
    oxlo_inj_sqli_state_init(&ctx, "1", 1, 0);
    EXPECT_EQ(oxlo_inj_sqli_get_token(&ctx, -1), nullptr);
    EXPECT_EQ(oxlo_inj_sqli_get_token(&ctx, 6), nullptr);
    EXPECT_NE(oxlo_inj_sqli_get_token(&ctx, 5), nullptr);
    EXPECT_EQ(oxlo_inj_sqli_get_token(nullptr, 0), nullptr);
    EXPECT_EQ(ctx.flags, none_ansi);

    auto always = [](oxlo_inj_sqli_context *c, int kind, const char *, size_t) -> char {
        ++*static_cast<int *>(c->userdata);
        return kind == OXLO_INJ_SQLI_LOOKUP_FINGERPRINT ? 'X' : 0;
    };
    int calls = 0;
    const char hello[] = "hello";
    oxlo_inj_sqli_state_init(&ctx, hello, 5, 0);
    oxlo_inj_sqli_set_lookup(&ctx, always, &calls);
    EXPECT_EQ(oxlo_inj_sqli_detect(&ctx), 1);
    EXPECT_GT(calls, 0);
    oxlo_inj_sqli_state_reset(&ctx, 0);       /* keeps the callback */
    EXPECT_EQ(ctx.userdata, &calls);
    oxlo_inj_sqli_set_lookup(&ctx, nullptr, nullptr);
    EXPECT_EQ(oxlo_inj_sqli_detect(&ctx), 0);

    oxlo_inj_sqli_state_init(&ctx, "", 0, 0);
    EXPECT_EQ(oxlo_inj_sqli_detect(&ctx), 0);
    EXPECT_EQ(ctx.stats_tokens, 0);
    EXPECT_STREQ(oxlo_inj_version_text(), "3.9.2.60-8e70-dirty");
}
