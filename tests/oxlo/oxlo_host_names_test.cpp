// The canonical host-name form every source and every rule goes through,
// and the further host names a flow keeps for the rules.
#include "oxlo_private.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string canonical(const std::string &in, size_t size = 256)
{
    char out[256];
    const size_t n = oxlo_host_name_canonical(in.data(), in.size(), out, size);
    EXPECT_EQ(n, strlen(out)) << in;
    return out;
}

TEST(HostNames, one_canonical_form_for_every_spelling)
{
    struct {
        std::string in, out;
    } cases[] = {
        {"blocked.example", "blocked.example"},
        {"Blocked.EXAMPLE", "blocked.example"},
        {"blocked.example.", "blocked.example"},
        {"blocked.example..", "blocked.example."}, // one dot only: the rest is bad syntax
        {" \tblocked.example\t ", "blocked.example"},
        {"blocked.example:80", "blocked.example"},
        {"blocked.example.:8080", "blocked.example"},
        {"blocked.example :80", "blocked.example"},
        {"blocked.example:", "blocked.example"},
        {"blocked.example:8o", "blocked.example"},   // what follows the colon is never the name
        {"[2001:DB8::1]:443", "[2001:db8::1]"},
        {"[2001:db8::1]", "[2001:db8::1]"},
        {"2001:db8::1", "2001:db8::1"},              // unbracketed literal: no port to cut
        {"10.0.0.1:8080", "10.0.0.1"},
        {std::string("blocked.example\0.evil", 21), "blocked.example"},
        // Near misses keep what makes them other names.
        {"blocked.example.evil", "blocked.example.evil"},
        {"xblocked.example", "xblocked.example"},
        {"", ""},
        {" . ", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(canonical(c.in), c.out) << "[" << c.in << "]";
    // Too long for the buffer: the tail stays, the labels a parent match reads.
    EXPECT_EQ(canonical("aaaa.Blocked.Example.", 16), "blocked.example");
    char out[4] = "x";
    EXPECT_EQ(oxlo_host_name_canonical(nullptr, 3, out, sizeof(out)), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(oxlo_host_name_canonical("a", 1, nullptr, 4), 0u);
}

struct Candidates : ::testing::Test {
    oxlo_flow_state *f = nullptr;
    void SetUp() override
    {
        f = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
        memset(f, 0, oxlo_flow_state_size());
    }
    void TearDown() override { oxlo_flow_state_free(f); }
    std::string all() const
    {
        std::string s;
        for (unsigned i = 0; const char *c = oxlo_flow_host_candidates(f, i); i++)
            s += std::string(i ? "," : "") + c;
        return s;
    }
};

TEST_F(Candidates, host_name_first_then_the_others_once)
{
    EXPECT_EQ(all(), "");
    oxlo_flow_store_host_name(f, "a.example", 9, 0);
    EXPECT_EQ(all(), "a.example");
    EXPECT_EQ(oxlo_flow_add_host_candidate(f, "A.Example.", 10), 1);
    EXPECT_EQ(oxlo_flow_add_host_candidate(f, "a.example", 9), 0) << "already kept";
    EXPECT_EQ(oxlo_flow_add_host_candidate(f, "Blocked.Example:80", 18), 1);
    EXPECT_EQ(oxlo_flow_add_host_candidate(f, " ", 1), 0) << "empty";
    EXPECT_EQ(all(), "a.example,blocked.example") << "the host name is not repeated";
    EXPECT_EQ(oxlo_flow_add_host_candidate(nullptr, "x", 1), -2);
    EXPECT_EQ(oxlo_flow_host_candidates(nullptr, 0), nullptr);
}

// A flood of names cannot push the latest one out: when the list is full the
// newest takes the last place, so the first and the latest are kept.
TEST_F(Candidates, full_list_keeps_the_first_and_the_latest)
{
    for (const char *h : {"h1.example", "h2.example", "h3.example", "h4.example", "h5.example", "blocked.example"})
        oxlo_flow_add_host_candidate(f, h, strlen(h));
    EXPECT_EQ(all(), "h1.example,h2.example,h3.example,blocked.example");
}

} // namespace
