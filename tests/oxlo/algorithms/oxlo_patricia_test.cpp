#include "oxlo_patricia.h"

#include "oxlo_memory.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

oxlo_prefix v4(const char *text, int bitlen, int maxbits = 32)
{
    oxlo_prefix p;
    struct in_addr a;
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1);
    EXPECT_EQ(oxlo_prefix_set_ipv4(&p, &a, bitlen, maxbits), 0);
    return p;
}

oxlo_prefix v6(const char *text, int bitlen)
{
    oxlo_prefix p;
    struct in6_addr a;
    EXPECT_EQ(inet_pton(AF_INET6, text, &a), 1);
    EXPECT_EQ(oxlo_prefix_set_ipv6(&p, &a, bitlen, 128), 0);
    return p;
}

struct tree_holder {
    oxlo_patricia_tree *t;
    explicit tree_holder(uint16_t bits) : t(oxlo_patricia_new(bits)) {}
    ~tree_holder() { oxlo_patricia_free(t, nullptr); }
};

oxlo_patricia_node *insert(oxlo_patricia_tree *t, oxlo_prefix p, uint64_t value)
{
    oxlo_patricia_node *n = oxlo_patricia_lookup(t, &p);
    EXPECT_NE(n, nullptr);
    if (n)
        oxlo_patricia_node_set_value(n, value);
    return n;
}

uint64_t best_value(oxlo_patricia_tree *t, oxlo_prefix key)
{
    oxlo_patricia_node *n = oxlo_patricia_search_best_inclusive(t, &key);
    return n ? oxlo_patricia_node_value(n) : 0;
}

TEST(Patricia, longest_prefix_and_exact_search)
{
    tree_holder h(32);
    insert(h.t, v4("10.0.0.0", 8), 8);
    insert(h.t, v4("10.1.0.0", 16), 16);

    EXPECT_EQ(best_value(h.t, v4("10.1.2.3", 32)), 16u);
    EXPECT_EQ(best_value(h.t, v4("10.2.0.1", 32)), 8u);
    oxlo_prefix k11 = v4("11.0.0.1", 32);
    EXPECT_EQ(oxlo_patricia_search_best_inclusive(h.t, &k11), nullptr);

    oxlo_prefix k = v4("10.0.0.0", 16);
    EXPECT_EQ(oxlo_patricia_search_exact(h.t, &k), nullptr);
    EXPECT_EQ(best_value(h.t, k), 8u);
    k = v4("10.1.0.0", 16);
    ASSERT_NE(oxlo_patricia_search_exact(h.t, &k), nullptr);

    /* Without the inclusive flag the stored prefix equal to the key does not count. */
    oxlo_patricia_node *n = oxlo_patricia_search_best2(h.t, &k, 0);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(oxlo_patricia_node_value(n), 8u);

    oxlo_patricia_tree_stats st;
    oxlo_patricia_stats(h.t, &st);
    EXPECT_EQ(st.n_search, 7u);
    EXPECT_EQ(st.n_found, 5u);
}

TEST(Patricia, duplicate_insert_returns_same_node)
{
    tree_holder h(32);
    oxlo_patricia_node *a = insert(h.t, v4("192.168.0.0", 16), 1);
    int before = h.t->num_active_node;
    oxlo_prefix again = v4("192.168.0.0", 16);
    EXPECT_EQ(oxlo_patricia_lookup(h.t, &again), a);
    EXPECT_EQ(h.t->num_active_node, before);
}

TEST(Patricia, glue_node_created_and_removed)
{
    tree_holder h(32);
    insert(h.t, v4("10.0.0.0", 8), 1);
    oxlo_patricia_node *b = insert(h.t, v4("11.0.0.0", 8), 2);
    EXPECT_EQ(h.t->num_active_node, 3);
    ASSERT_NE(h.t->head, nullptr);
    EXPECT_EQ(h.t->head->prefix, nullptr);
    EXPECT_EQ(h.t->head->bit, 7);

    oxlo_patricia_remove(h.t, b);
    EXPECT_EQ(h.t->num_active_node, 1);
    ASSERT_NE(h.t->head, nullptr);
    EXPECT_EQ(h.t->head->parent, nullptr);
    EXPECT_EQ(best_value(h.t, v4("10.9.9.9", 32)), 1u);
}

TEST(Patricia, rejects_prefix_longer_than_family)
{
    oxlo_prefix p;
    struct in_addr a4 {};
    struct in6_addr a6 {};
    uint8_t mac[6] = {};
    EXPECT_EQ(oxlo_prefix_set_ipv4(&p, &a4, 33, 32), -1);
    EXPECT_EQ(oxlo_prefix_set_ipv4(&p, &a4, 33, 128), -1); /* generous maxbits does not help */
    EXPECT_EQ(oxlo_prefix_set_ipv4(&p, &a4, -1, 32), -1);
    EXPECT_EQ(oxlo_prefix_set_ipv6(&p, &a6, 129, 200), -1);
    EXPECT_EQ(oxlo_prefix_set_mac(&p, mac, 49, 128), -1);
    EXPECT_EQ(oxlo_prefix_set_ipv4(&p, nullptr, 8, 32), -1);
    EXPECT_EQ(oxlo_patricia_new(129), nullptr);

    /* A hand-made prefix past its family or the tree is refused everywhere. */
    tree_holder h4(32), h6(128);
    insert(h4.t, v4("10.0.0.0", 8), 1);
    oxlo_prefix bad = v4("10.0.0.0", 8);
    bad.bitlen = 40;
    EXPECT_EQ(oxlo_patricia_lookup(h4.t, &bad), nullptr);
    EXPECT_EQ(oxlo_patricia_search_exact(h4.t, &bad), nullptr);
    EXPECT_EQ(oxlo_patricia_search_best2(h4.t, &bad, 1), nullptr);
    bad.bitlen = 40;
    EXPECT_EQ(oxlo_patricia_lookup(h6.t, &bad), nullptr); /* IPv4 family tops at 32 */
    oxlo_prefix huge = v6("2001:db8::", 32);
    huge.bitlen = 300;
    EXPECT_EQ(oxlo_patricia_lookup(h6.t, &huge), nullptr);
    EXPECT_EQ(oxlo_patricia_search_best2(h6.t, &huge, 1), nullptr);
    oxlo_prefix nofamily = v4("10.0.0.0", 8);
    nofamily.family = 0;
    EXPECT_EQ(oxlo_patricia_lookup(h4.t, &nofamily), nullptr);
    EXPECT_EQ(oxlo_patricia_search_best2(h4.t, &nofamily, 1), nullptr);
    EXPECT_EQ(h4.t->num_active_node, 1);
}

TEST(Patricia, family_travels_with_prefix)
{
    /* ::/0 must not cover an IPv4 key, nor a MAC key hit an IPv6 prefix of zero words. */
    tree_holder h(128);
    insert(h.t, v6("::", 0), 6);
    EXPECT_EQ(best_value(h.t, v4("0.0.0.0", 32, 128)), 0u);
    EXPECT_EQ(best_value(h.t, v6("::1", 128)), 6u);
    oxlo_prefix mac;
    uint8_t zero[6] = {};
    ASSERT_EQ(oxlo_prefix_set_mac(&mac, zero, 48, 128), 0);
    EXPECT_EQ(oxlo_patricia_search_exact(h.t, &mac), nullptr);
    EXPECT_EQ(best_value(h.t, mac), 0u);
}

TEST(Patricia, walks_visit_prefixed_nodes_in_order)
{
    tree_holder h(32);
    const char *nets[] = {"192.168.1.0", "10.0.0.0", "10.1.0.0", "172.16.0.0"};
    const int lens[] = {24, 8, 16, 12};
    for (int i = 0; i < 4; i++)
        insert(h.t, v4(nets[i], lens[i]), static_cast<uint64_t>(i + 1));

    std::vector<uint64_t> seen;
    size_t n = oxlo_patricia_walk_tree(
        h.t, [](oxlo_patricia_node *node, void *, void *u) {
            static_cast<std::vector<uint64_t> *>(u)->push_back(oxlo_patricia_node_value(node));
        },
        &seen);
    EXPECT_EQ(n, 4u);
    /* In order: 10.1/16 hangs left of 10/8 (bit 8 of 10.1 is 0), then 10/8. */
    EXPECT_EQ(seen, (std::vector<uint64_t>{3, 2, 4, 1}));
    EXPECT_EQ(oxlo_patricia_walk_tree(nullptr, nullptr, nullptr), 0u);

    oxlo_patricia_tree *copy = oxlo_patricia_clone(h.t);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(oxlo_patricia_maxbits(copy), 32);
    EXPECT_EQ(oxlo_patricia_walk_tree(copy, nullptr, nullptr), 4u);
    EXPECT_EQ(best_value(copy, v4("10.1.1.1", 32)), 3u);
    oxlo_patricia_free(copy, nullptr);
}

TEST(Patricia, clear_and_pair_free_release_data)
{
    static int freed;
    freed = 0;
    oxlo_patricia_tree *t = oxlo_patricia_new(32);
    for (int i = 0; i < 5; i++) {
        char text[32];
        snprintf(text, sizeof(text), "10.%d.0.0", i);
        oxlo_patricia_node *n = insert(t, v4(text, 16), 1);
        oxlo_patricia_node_set_data(n, oxlo_heap_alloc(4));
    }
    oxlo_Clear_Patricia(t, [](void *d) {
        freed++;
        oxlo_heap_free(d);
    });
    EXPECT_EQ(freed, 5);
    EXPECT_EQ(t->num_active_node, 0);
    EXPECT_EQ(t->head, nullptr);
    oxlo_patricia_free(t, nullptr);

    oxlo_tree_pair *pair = oxlo_tree_pair_new();
    ASSERT_NE(pair, nullptr);
    EXPECT_EQ(oxlo_patricia_maxbits(pair->v4), 32);
    EXPECT_EQ(oxlo_patricia_maxbits(pair->v6), 128);
    oxlo_patricia_node_set_data(insert(pair->v6, v6("2001:db8::", 32), 1), oxlo_heap_alloc(8));
    oxlo_tree_pair_free(pair); /* the sanitizer build reports a leak if data is kept */
    oxlo_tree_pair_free(nullptr);
}

/* ---- randomized differential test against a brute-force prefix list ----- */

struct ref_entry {
    oxlo_prefix p;
    uint64_t value;
    bool live;
};

bool ref_covers(const oxlo_prefix &stored, const oxlo_prefix &key)
{
    if (stored.family != key.family || stored.bitlen > key.bitlen)
        return false;
    for (unsigned b = 0; b < stored.bitlen; b++) {
        unsigned mask = 0x80u >> (b % 8);
        if ((stored.add.bytes[b / 8] & mask) != (key.add.bytes[b / 8] & mask))
            return false;
    }
    return true;
}

void mask_prefix(oxlo_prefix &p)
{
    for (unsigned b = p.bitlen; b < 128; b++)
        p.add.bytes[b / 8] &= static_cast<uint8_t>(~(0x80u >> (b % 8)));
}

/* Random prefixes drawn from a small address pool so that they overlap. */
oxlo_prefix random_prefix(std::mt19937 &rng, bool ipv6, bool masked)
{
    static const uint8_t pool[4][16] = {
        {10, 0, 0, 0, 0x20, 0x01, 0x0d, 0xb8},
        {10, 128, 3, 7, 0x20, 0x01, 0x0d, 0xb9, 1},
        {192, 168, 1, 255, 0xfe, 0x80},
        {0xff, 0xff, 0, 1, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
    };
    oxlo_prefix p;
    uint8_t addr[16];
    std::memcpy(addr, pool[rng() % 4], 16);
    int maxbits = ipv6 ? 128 : 32;
    int flips = rng() % 3;
    for (int i = 0; i < flips; i++) {
        unsigned b = rng() % maxbits;
        addr[b / 8] ^= static_cast<uint8_t>(0x80u >> (b % 8));
    }
    int bitlen = static_cast<int>(rng() % (maxbits + 1));
    if (ipv6) {
        struct in6_addr a;
        std::memcpy(&a, addr, 16);
        oxlo_prefix_set_ipv6(&p, &a, bitlen, 128);
    } else {
        struct in_addr a;
        std::memcpy(&a, addr, 4);
        oxlo_prefix_set_ipv4(&p, &a, bitlen, 32);
    }
    if (masked)
        mask_prefix(p);
    return p;
}

void differential(bool ipv6, unsigned seed)
{
    std::mt19937 rng(seed);
    tree_holder h(ipv6 ? 128 : 32);
    std::vector<ref_entry> ref;
    uint64_t next_value = 1;

    for (int round = 0; round < 3000; round++) {
        unsigned op = rng() % 10;
        if (op < 5) {
            oxlo_prefix p = random_prefix(rng, ipv6, true);
            oxlo_patricia_node *n = oxlo_patricia_lookup(h.t, &p);
            ASSERT_NE(n, nullptr);
            ref_entry *found = nullptr;
            for (auto &e : ref)
                if (e.live && e.p.bitlen == p.bitlen && ref_covers(e.p, p))
                    found = &e;
            if (found) {
                ASSERT_EQ(oxlo_patricia_node_value(n), found->value);
            } else {
                ASSERT_EQ(oxlo_patricia_node_prefix(n)->bitlen, p.bitlen);
                oxlo_patricia_node_set_value(n, next_value);
                ref.push_back({p, next_value++, true});
            }
        } else if (op < 7 && !ref.empty()) {
            ref_entry &e = ref[rng() % ref.size()];
            if (!e.live)
                continue;
            oxlo_patricia_node *n = oxlo_patricia_search_exact(h.t, &e.p);
            ASSERT_NE(n, nullptr);
            ASSERT_EQ(oxlo_patricia_node_value(n), e.value);
            oxlo_patricia_remove(h.t, n);
            e.live = false;
        } else {
            oxlo_prefix key = random_prefix(rng, ipv6, false);
            const ref_entry *best = nullptr, *best_excl = nullptr, *exact = nullptr;
            for (const auto &e : ref) {
                if (!e.live || !ref_covers(e.p, key))
                    continue;
                if (!best || e.p.bitlen > best->p.bitlen)
                    best = &e;
                if (e.p.bitlen < key.bitlen && (!best_excl || e.p.bitlen > best_excl->p.bitlen))
                    best_excl = &e;
                if (e.p.bitlen == key.bitlen)
                    exact = &e;
            }
            oxlo_patricia_node *n = oxlo_patricia_search_best_inclusive(h.t, &key);
            ASSERT_EQ(n ? oxlo_patricia_node_value(n) : 0, best ? best->value : 0) << "round " << round;
            n = oxlo_patricia_search_best2(h.t, &key, 0);
            /* Without the flag a stored prefix of the key's own length is skipped. */
            ASSERT_EQ(n ? oxlo_patricia_node_value(n) : 0, best_excl ? best_excl->value : 0) << "round " << round;
            n = oxlo_patricia_search_exact(h.t, &key);
            ASSERT_EQ(n ? oxlo_patricia_node_value(n) : 0, exact ? exact->value : 0) << "round " << round;
        }
    }

    size_t live = 0;
    for (const auto &e : ref)
        live += e.live;
    EXPECT_EQ(oxlo_patricia_walk_tree(h.t, nullptr, nullptr), live);
    /* Removing everything leaves an empty tree with no glue behind. */
    for (auto &e : ref) {
        if (!e.live)
            continue;
        oxlo_patricia_remove(h.t, oxlo_patricia_search_exact(h.t, &e.p));
    }
    EXPECT_EQ(h.t->num_active_node, 0);
    EXPECT_EQ(h.t->head, nullptr);
}

TEST(Patricia, differential_ipv4)
{
    for (unsigned seed = 1; seed <= 5; seed++)
        differential(false, seed);
}

TEST(Patricia, differential_ipv6)
{
    for (unsigned seed = 1; seed <= 5; seed++)
        differential(true, seed);
}

} // namespace

#include "oxlo_private.h"

namespace {

TEST(Patricia, module_tree_stats_by_selector)
{
    oxlo_module *m = oxlo_module_new(nullptr);
    ASSERT_NE(m, nullptr);
    oxlo_prefix k = v4("10.1.2.3", 32);
    oxlo_patricia_search_best_inclusive(m->protocols_by_ip->v4, &k);

    oxlo_patricia_tree_stats st;
    EXPECT_EQ(oxlo_module_tree_stats(m, 2, &st), 0); /* second pair, IPv4 tree */
    EXPECT_EQ(st.n_search, 1u);
    EXPECT_EQ(oxlo_module_tree_stats(m, 3, &st), 0);
    EXPECT_EQ(st.n_search, 0u);
    EXPECT_EQ(oxlo_module_tree_stats(m, 6, &st), -1);
    EXPECT_EQ(oxlo_module_tree_stats(m, -1, &st), -1);
    EXPECT_EQ(oxlo_module_tree_stats(nullptr, 0, &st), -1);
    EXPECT_EQ(oxlo_module_tree_stats(m, 0, nullptr), -1);
    if (!m->risk_list_ip) {
        st.n_search = 5;
        EXPECT_EQ(oxlo_module_tree_stats(m, 4, &st), -1); /* pair made only when enabled */
        EXPECT_EQ(st.n_search, 0u);
    }
    oxlo_module_free(m);
}

} // namespace
