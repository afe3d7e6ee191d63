#include "oxlo_utils.h"
#include "oxlo_utils_internal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

/* Fake detectors: they record every value they are shown and flag the
 * markers "<script" (XSS) and "' or 1" (SQL injection). */
std::vector<std::string> seen;
std::vector<std::pair<int, std::string>> raised;

int fake_xss(const char *text, size_t length)
{
    seen.emplace_back(text, length);
    return std::string(text, length).find("<script") != std::string::npos;
}

int fake_sqli(const char *text, size_t length)
{
    return std::string(text, length).find("' or 1") != std::string::npos;
}

int fake_raise(oxlo_module *, oxlo_flow_state *, int risk, const char *message)
{
    raised.emplace_back(risk, message);
    return 0;
}

const oxlo_url_check_calls fakes = {fake_xss, fake_sqli, fake_raise};

int check(const char *url, oxlo_flow_state *flow = nullptr)
{
    seen.clear();
    raised.clear();
    return oxlo_url_attack_check_with(nullptr, flow, url, &fakes);
}

} // namespace

TEST(utils_url, values_are_decoded_and_checked)
{
    struct {
        const char *url;
        int risk;
        std::vector<std::string> values;
    } cases[] = {
        {"/a?x=1&y=", 0, {"1"}},
        {"/../etc", 13, {}},
        {"/a/..?q=1", 13, {"1"}},
        {"/s?q=a+b%20c%41", 0, {"a b cA"}},
        {"/s?q=%3Cscript%3E", 1, {"<script>"}},
        {"/s?id=1%27+or+1%3D1", 2, {"1' or 1=1"}},
        {"/s?a=1&b=<script>&c=3", 1, {"1", "<script>"}},
        {"/s?a=%2B%2b", 0, {"++"}},
        {"/s?&&a=1&", 0, {"1"}},
        {"/s?a=%00x", 0, {std::string("\0x", 2)}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(check(c.url), c.risk) << c.url;
        EXPECT_EQ(seen, c.values) << c.url;
        EXPECT_TRUE(raised.empty());   /* no flow, nothing raised */
    }
}

/* A parameter without '=' and a malformed escape used to end or skip the
 * check, so an attack placed after them went unseen. */
TEST(utils_url, no_parameter_shape_hides_the_rest)
{
    struct {
        const char *url;
        int risk;
    } cases[] = {
        {"/s?flag&q=<script>", 1},
        {"/s?a&b&c=1&d=%27 or 1", 2},
        {"/s?x=%zz&q=<script>", 1},
        {"/s?x=%zz<script>", 1},        /* the bad escape stays, the rest is checked */
        {"/s?x=%4<script>", 1},
        {"/s?x=<script>%", 1},
        {"/s?x=%", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(check(c.url), c.risk) << c.url;
    check("/s?x=%zz%41");
    EXPECT_EQ(seen, (std::vector<std::string>{"%zzA"}));
}

TEST(utils_url, a_hit_with_a_flow_raises_the_risk_with_the_url)
{
    auto *flow = reinterpret_cast<oxlo_flow_state *>(&seen);   /* any non-null flow */
    EXPECT_EQ(check("/p?q=<script>", flow), 1);
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].first, 1);
    EXPECT_EQ(raised[0].second, "Suspicious URL [/p?q=<script>]");

    std::string long_url = "/p?q=<script>" + std::string(300, 'a');
    EXPECT_EQ(check(long_url.c_str(), flow), 1);
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].second, "Suspicious URL [" + long_url.substr(0, 127) + "]");

    EXPECT_EQ(check("/p/../x?q=1", flow), 13);
    EXPECT_TRUE(raised.empty());   /* the path risk is the caller's to raise */
}

TEST(utils_url, public_entry_uses_the_detectors_of_the_library)
{
    EXPECT_EQ(oxlo_url_attack_check(nullptr, nullptr, "/a?x=1&y="), 0);
    EXPECT_EQ(oxlo_url_attack_check(nullptr, nullptr, "/../etc"), 13);
    EXPECT_EQ(oxlo_url_attack_check(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(oxlo_url_attack_check(nullptr, nullptr, "/?q=%3Cscript%3Ealert(1)%3C%2Fscript%3E"), 1);
    EXPECT_EQ(oxlo_url_attack_check(nullptr, nullptr, "/?q=%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E"), 1);
    EXPECT_EQ(oxlo_url_attack_check(nullptr, nullptr, "/item?id=1%20UNION%20SELECT%201,2,3"), 2);
    EXPECT_EQ(oxlo_url_attack_check(nullptr, nullptr, "/item?id=1%27%20OR%20%271%27%3D%271"), 2);
    EXPECT_EQ(oxlo_url_attack_check(nullptr, nullptr, "/item?id=1--"), 2);
    EXPECT_EQ(oxlo_url_attack_check(nullptr, nullptr, "/item?id=1/*/**/*/"), 2);
    for (const char *ok : {"/?q=hello%20world", "/?page=2", "/?name=O%27Brien", "/?q=a%3Cb", "/?q=x%20%3E%20y"})
        EXPECT_EQ(oxlo_url_attack_check(nullptr, nullptr, ok), 0) << ok;
}
