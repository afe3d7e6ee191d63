#include "oxlo_inj.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

int xss(const std::string &text) { return oxlo_inj_xss_detect(text.data(), text.size()); }

std::vector<std::pair<int, std::string>> tokens(const std::string &text, int context)
{
    oxlo_inj_h5_state hs;
    oxlo_inj_h5_begin(&hs, text.data(), text.size(), context);
    std::vector<std::pair<int, std::string>> out;
    while (oxlo_inj_h5_next(&hs) && out.size() < 64)
        out.emplace_back(hs.token_type, std::string(hs.token_start, hs.token_len));
    return out;
}

} // namespace

TEST(xss_detect, verdicts_on_attacks_and_ordinary_text)
{
    struct { std::string text; int expected; } cases[] = {
        {"<script>alert(1)</script>", 1},
        {"<ScRiPt src=//x>", 1},
        {"<img src=x onerror=alert(1)>", 1},
        {"<svg/onload=alert(1)>", 1},
        {"<style>", 1},
        {"<iframe src=x>", 1},
        {"<!DOCTYPE html>", 1},
        {"<!--[if gte IE 4]><script>-->", 1},
        {"<!-- a ` b -->", 1},
        {"<!--import x-->", 1},
        {"<a href=\"&#106;avascript:alert(1)\">", 1},
        {"<a href=\"\tjavascript:alert(1)\">", 1},
        {"<a href=\" javascript:alert(1)\">", 1},
        {"<a href=data:text/html,x>", 1},
        {"<x attributename=onclick>", 1},
        {"<a style=\"x:expression(1)\">", 1},
        {"\" onmouseover=\"alert(1)", 1},            /* closes a double-quoted value */
        {"' onfocus='x", 1},
        {"x onload=alert(1)", 1},                     /* unquoted value */
        {"<![CDATA[x]]><script>", 1},
        /* A 0xff byte is part of an attribute name, not an end. */
        {std::string("<a \xff onclick=alert(1)>"), 1},
        /* Browsers drop TAB and CR inside a URL scheme. */
        {"<a href=\"jav&#x09;ascript:x\">", 1},
        {"<a href=\"jav&#x0D;ascript:x\">", 1},
        {"hello", 0},
        {"on=1", 0},
        {"a<b", 0},
        {"x > y", 0},
        {"1 < 2 and 3 > 2", 0},
        {"<b>bold</b>", 0},
        {"<p class=\"x\">text</p>", 0},
        {"<a href=\"http://example.com/\">", 0},
        {"<a on=1>", 0},
        {"rock & roll", 0},
        {"it's \"quoted\"", 0},
        {"", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(xss(c.text), c.expected) << c.text;
}

TEST(xss_detect, contexts_are_tried_separately)
{
    const std::string closes_double = "\" style=\"color:red";
    EXPECT_EQ(oxlo_inj_xss_in_context(closes_double.data(), closes_double.size(), OXLO_INJ_H5_VALUE_DOUBLE_QUOTE), 1);
    EXPECT_EQ(oxlo_inj_xss_in_context(closes_double.data(), closes_double.size(), OXLO_INJ_H5_DATA), 0);
    const std::string back = "` onclick=x";
    EXPECT_EQ(oxlo_inj_xss_in_context(back.data(), back.size(), OXLO_INJ_H5_VALUE_BACK_QUOTE), 1);
    EXPECT_EQ(oxlo_inj_xss_in_context(back.data(), back.size(), OXLO_INJ_H5_DATA), 0);
    EXPECT_EQ(oxlo_inj_xss_in_context("x", 1, 9), 0);     /* no such context */
}

TEST(xss_attributes, classes_of_names)
{
    struct { const char *name; int cls; } cases[] = {
        {"onload", OXLO_INJ_ATTR_BLACK}, {"ONCLICK", OXLO_INJ_ATTR_BLACK}, {"on", OXLO_INJ_ATTR_NONE},
        {"onxx", OXLO_INJ_ATTR_NONE},    {"xmlns:x", OXLO_INJ_ATTR_BLACK}, {"xlinkx", OXLO_INJ_ATTR_BLACK},
        {"href", OXLO_INJ_ATTR_URL},     {"SRC", OXLO_INJ_ATTR_URL},       {"xlink:href", OXLO_INJ_ATTR_BLACK},
        {"style", OXLO_INJ_ATTR_STYLE},  {"filter", OXLO_INJ_ATTR_STYLE},  {"datasrc", OXLO_INJ_ATTR_BLACK},
        {"attributename", OXLO_INJ_ATTR_INDIRECT}, {"class", OXLO_INJ_ATTR_NONE}, {"h", OXLO_INJ_ATTR_NONE},
    };
    for (const auto &c : cases)
        EXPECT_EQ(oxlo_inj_xss_attribute_class(c.name, std::strlen(c.name)), c.cls) << c.name;
    /* NUL bytes inside a name are ignored by the table. */
    EXPECT_EQ(oxlo_inj_xss_attribute_class("h\0ref", 5), OXLO_INJ_ATTR_URL);
}

TEST(xss_attributes, decoded_prefix_match)
{
    struct { std::string value; int expected; } cases[] = {
        {"javascript:x", 1}, {"JaVaScRiPt:x", 1}, {"&#106;avascript:", 1}, {"&#x4A;ava", 1},
        {"&#X6a&#x61;va", 1}, {"  java", 1}, {std::string("j\na\0va", 6), 1}, {"jav", 0}, {"&#;java", 0},
        {"&java", 0}, {"&#x1000100;java", 0}, {"xjava", 0}, {"", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(oxlo_inj_decoded_prefix_match("JAVA", c.value.data(), c.value.size()), c.expected) << c.value;
}

TEST(h5_tokenizer, token_sequences)
{
    using t = std::vector<std::pair<int, std::string>>;
    EXPECT_EQ(tokens("<a href='x'>t</a>", OXLO_INJ_H5_DATA),
              (t{{OXLO_INJ_H5_TAG_NAME_OPEN, "a"}, {OXLO_INJ_H5_ATTR_NAME, "href"},
                 {OXLO_INJ_H5_ATTR_VALUE, "x"}, {OXLO_INJ_H5_TAG_NAME_CLOSE, ">"},
                 {OXLO_INJ_H5_DATA_TEXT, "t"}, {OXLO_INJ_H5_TAG_CLOSE, "a"}}));
    EXPECT_EQ(tokens("<br/>", OXLO_INJ_H5_DATA),
              (t{{OXLO_INJ_H5_TAG_NAME_OPEN, "br"}, {OXLO_INJ_H5_TAG_NAME_SELFCLOSE, "/>"}}));
    EXPECT_EQ(tokens("a<!--c-->b", OXLO_INJ_H5_DATA),
              (t{{OXLO_INJ_H5_DATA_TEXT, "a"}, {OXLO_INJ_H5_TAG_COMMENT, "c"}, {OXLO_INJ_H5_DATA_TEXT, "b"}}));
    EXPECT_EQ(tokens("<?php x ?>", OXLO_INJ_H5_DATA), (t{{OXLO_INJ_H5_TAG_COMMENT, "php x ?"}}));
    EXPECT_EQ(tokens("<% x %>", OXLO_INJ_H5_DATA), (t{{OXLO_INJ_H5_TAG_COMMENT, " x "}}));
    EXPECT_EQ(tokens("<1", OXLO_INJ_H5_DATA), (t{{OXLO_INJ_H5_DATA_TEXT, "<"}, {OXLO_INJ_H5_DATA_TEXT, "1"}}));
    /* Starting inside a double-quoted value: the first quote closes it. */
    EXPECT_EQ(tokens("x\" y=z", OXLO_INJ_H5_VALUE_DOUBLE_QUOTE),
              (t{{OXLO_INJ_H5_ATTR_VALUE, "x"}, {OXLO_INJ_H5_ATTR_NAME, "y"}, {OXLO_INJ_H5_ATTR_VALUE, "z"}}));
    EXPECT_EQ(tokens("\"", OXLO_INJ_H5_VALUE_DOUBLE_QUOTE), (t{{OXLO_INJ_H5_ATTR_VALUE, ""}}));
    EXPECT_EQ(tokens("", OXLO_INJ_H5_DATA), t{});
}

TEST(h5_tokenizer, a_state_never_begun_gives_nothing)
{
    oxlo_inj_h5_state hs;
    std::memset(&hs, 0, sizeof hs);
    EXPECT_EQ(oxlo_inj_h5_next(&hs), 0);
    EXPECT_EQ(oxlo_inj_h5_next(nullptr), 0);
}
