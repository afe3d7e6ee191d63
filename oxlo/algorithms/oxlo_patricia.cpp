/* Patricia (binary radix) tree over bit strings of up to 128 bits: the
 * longest-prefix matcher behind every address lookup of the engine and the
 * policy library.
 *
 * Every prefix carries its family and is checked against both its family's
 * length and the tree's maxbits before it is copied or walked: a length past
 * either would read beyond the address or overrun the fixed search stack. */
#include "oxlo_patricia.h"

#include "oxlo_memory.h"

#include <cstring>

namespace {

constexpr int walk_stack_size = PATRICIA_MAXBITS + 1;

int family_bits(uint16_t family)
{
    switch (family) {
    case OXLO_PREFIX_FAMILY_IPV4:
        return 32;
    case OXLO_PREFIX_FAMILY_IPV6:
        return 128;
    case OXLO_PREFIX_FAMILY_MAC:
        return 48;
    default:
        return -1;
    }
}

/* A prefix the tree can hold or be searched with. */
bool prefix_fits(const oxlo_patricia_tree *tree, const oxlo_prefix *p)
{
    int fb = family_bits(p->family);
    return fb >= 0 && p->bitlen <= fb && p->bitlen <= tree->maxbits;
}

inline bool bit_set(const uint8_t *addr, unsigned b) { return (addr[b >> 3] & (0x80u >> (b & 7))) != 0; }

/* First bitlen bits equal. */
bool same_bits(const uint8_t *a, const uint8_t *b, unsigned bitlen)
{
    unsigned whole = bitlen / 8;
    if (std::memcmp(a, b, whole) != 0)
        return false;
    unsigned rest = bitlen % 8;
    if (rest == 0)
        return true;
    uint8_t mask = static_cast<uint8_t>(0xff00u >> rest);
    return ((a[whole] ^ b[whole]) & mask) == 0;
}

bool covers(const oxlo_prefix *stored, const oxlo_prefix *key, unsigned bitlen)
{
    return stored->family == key->family && same_bits(stored->add.bytes, key->add.bytes, bitlen);
}

/* Number of leading bits two addresses share, at most limit. */
unsigned common_bits(const uint8_t *a, const uint8_t *b, unsigned limit)
{
    unsigned i = 0;
    while (i * 8 < limit && a[i] == b[i])
        i++;
    if (i * 8 >= limit)
        return limit;
    unsigned bit = i * 8 + static_cast<unsigned>(__builtin_clz(static_cast<unsigned>(a[i] ^ b[i])) - 24);
    return bit < limit ? bit : limit;
}

/* A reference to the prefix for a node: caller-owned prefixes are copied. */
oxlo_prefix *ref_prefix(oxlo_prefix *p)
{
    if (p->ref_count != 0) {
        p->ref_count++;
        return p;
    }
    if (family_bits(p->family) < 0)
        return nullptr;
    auto *copy = static_cast<oxlo_prefix *>(oxlo_heap_alloc(sizeof(oxlo_prefix)));
    if (!copy)
        return nullptr;
    std::memcpy(copy, p, sizeof(*copy));
    copy->ref_count = 1;
    return copy;
}

oxlo_patricia_node *new_node(uint16_t bit, oxlo_prefix *prefix, oxlo_patricia_node *parent)
{
    auto *n = static_cast<oxlo_patricia_node *>(oxlo_heap_calloc(1, sizeof(oxlo_patricia_node)));
    if (!n)
        return nullptr;
    n->bit = bit;
    n->prefix = prefix;
    n->parent = parent;
    return n;
}

/* A parentless node holding its own reference to prefix; nothing is held
 * when either allocation fails. */
oxlo_patricia_node *new_leaf(oxlo_prefix *prefix, unsigned bitlen)
{
    oxlo_prefix *p = ref_prefix(prefix);
    if (!p)
        return nullptr;
    oxlo_patricia_node *n = new_node(static_cast<uint16_t>(bitlen), p, nullptr);
    if (!n)
        oxlo_Deref_Prefix(p);
    return n;
}

void replace_child(oxlo_patricia_tree *tree, oxlo_patricia_node *parent, oxlo_patricia_node *old,
                   oxlo_patricia_node *repl)
{
    if (!parent)
        tree->head = repl;
    else if (parent->r == old)
        parent->r = repl;
    else
        parent->l = repl;
}

/* Pre-order, left before right, with a fixed stack of pending right
 * children: a path holds at most one node per bit position. */
template <typename Visit>
void preorder(oxlo_patricia_node *node, Visit visit)
{
    oxlo_patricia_node *stack[walk_stack_size];
    int sp = 0;
    while (node) {
        oxlo_patricia_node *l = node->l, *r = node->r;
        visit(node);
        if (l) {
            if (r && sp < walk_stack_size)
                stack[sp++] = r;
            node = l;
        } else if (r) {
            node = r;
        } else {
            node = sp ? stack[--sp] : nullptr;
        }
    }
}

size_t inorder(oxlo_patricia_node *node, oxlo_patricia_walk_fn fn, void *user)
{
    if (!node)
        return 0;
    size_t n = inorder(node->l, fn, user);
    if (node->prefix) {
        if (fn)
            fn(node, node->data, user);
        n++;
    }
    return n + inorder(node->r, fn, user);
}

} // namespace

extern "C" {

oxlo_patricia_tree *oxlo_patricia_new(uint16_t maxbits)
{
    if (maxbits > PATRICIA_MAXBITS)
        return nullptr;
    auto *t = static_cast<oxlo_patricia_tree *>(oxlo_heap_calloc(1, sizeof(oxlo_patricia_tree)));
    if (t)
        t->maxbits = maxbits;
    return t;
}

void oxlo_Deref_Prefix(oxlo_prefix *prefix)
{
    if (!prefix || prefix->ref_count <= 0)
        return;
    if (--prefix->ref_count == 0)
        oxlo_heap_free(prefix);
}

void oxlo_Clear_Patricia(oxlo_patricia_tree *tree, oxlo_patricia_free_fn fn)
{
    if (!tree)
        return;
    preorder(tree->head, [&](oxlo_patricia_node *n) {
        if (n->prefix) {
            if (fn && n->data)
                fn(n->data);
            oxlo_Deref_Prefix(n->prefix);
        }
        oxlo_heap_free(n);
        tree->num_active_node--;
    });
    tree->head = nullptr;
}

void oxlo_patricia_free(oxlo_patricia_tree *tree, oxlo_patricia_free_fn fn)
{
    if (!tree)
        return;
    oxlo_Clear_Patricia(tree, fn);
    oxlo_heap_free(tree);
}

oxlo_patricia_node *oxlo_patricia_lookup(oxlo_patricia_tree *tree, oxlo_prefix *prefix)
{
    if (!tree || !prefix || !prefix_fits(tree, prefix))
        return nullptr;
    const unsigned bitlen = prefix->bitlen;
    const uint8_t *addr = prefix->add.bytes;

    if (!tree->head) {
        oxlo_patricia_node *n = new_leaf(prefix, bitlen);
        if (!n)
            return nullptr;
        tree->head = n;
        tree->num_active_node++;
        return n;
    }

    oxlo_patricia_node *node = tree->head;
    while (node->bit < bitlen || !node->prefix) {
        oxlo_patricia_node *next = (node->bit < tree->maxbits && bit_set(addr, node->bit)) ? node->r : node->l;
        if (!next)
            break;
        node = next;
    }
    /* Glue nodes always have two children, so the walk ends on a prefix. */
    const uint8_t *test_addr = node->prefix->add.bytes;
    unsigned check_bit = node->bit < bitlen ? node->bit : bitlen;
    unsigned differ_bit = common_bits(addr, test_addr, check_bit);

    oxlo_patricia_node *parent = node->parent;
    while (parent && parent->bit >= differ_bit) {
        node = parent;
        parent = node->parent;
    }

    if (differ_bit == bitlen && node->bit == bitlen) {
        if (node->prefix)
            return node;
        oxlo_prefix *p = ref_prefix(prefix);
        if (!p)
            return nullptr;
        node->prefix = p;
        return node;
    }

    oxlo_patricia_node *fresh = new_leaf(prefix, bitlen);
    if (!fresh)
        return nullptr;

    if (node->bit == differ_bit) {
        fresh->parent = node;
        if (node->bit < tree->maxbits && bit_set(addr, node->bit))
            node->r = fresh;
        else
            node->l = fresh;
        tree->num_active_node++;
        return fresh;
    }

    if (bitlen == differ_bit) {
        if (bitlen < tree->maxbits && bit_set(test_addr, bitlen))
            fresh->r = node;
        else
            fresh->l = node;
        fresh->parent = node->parent;
        replace_child(tree, node->parent, node, fresh);
        node->parent = fresh;
        tree->num_active_node++;
        return fresh;
    }

    oxlo_patricia_node *glue = new_node(static_cast<uint16_t>(differ_bit), nullptr, node->parent);
    if (!glue) {
        oxlo_Deref_Prefix(fresh->prefix);
        oxlo_heap_free(fresh);
        return nullptr;
    }
    if (differ_bit < tree->maxbits && bit_set(addr, differ_bit)) {
        glue->r = fresh;
        glue->l = node;
    } else {
        glue->r = node;
        glue->l = fresh;
    }
    fresh->parent = glue;
    replace_child(tree, node->parent, node, glue);
    node->parent = glue;
    tree->num_active_node += 2;
    return fresh;
}

void oxlo_patricia_remove(oxlo_patricia_tree *tree, oxlo_patricia_node *node)
{
    if (!tree || !node)
        return;

    if (node->l && node->r) {
        /* Still needed to branch: keep it as a glue node. */
        oxlo_Deref_Prefix(node->prefix);
        node->prefix = nullptr;
        node->data = nullptr;
        return;
    }

    oxlo_patricia_node *parent = node->parent;
    if (!node->l && !node->r) {
        oxlo_Deref_Prefix(node->prefix);
        oxlo_heap_free(node);
        tree->num_active_node--;
        if (!parent) {
            tree->head = nullptr;
            return;
        }
        oxlo_patricia_node *sibling;
        if (parent->r == node) {
            parent->r = nullptr;
            sibling = parent->l;
        } else {
            parent->l = nullptr;
            sibling = parent->r;
        }
        if (parent->prefix)
            return;
        /* A glue node with one child left is useless. */
        replace_child(tree, parent->parent, parent, sibling);
        if (sibling)
            sibling->parent = parent->parent;
        oxlo_heap_free(parent);
        tree->num_active_node--;
        return;
    }

    oxlo_patricia_node *child = node->r ? node->r : node->l;
    child->parent = parent;
    replace_child(tree, parent, node, child);
    oxlo_Deref_Prefix(node->prefix);
    oxlo_heap_free(node);
    tree->num_active_node--;
}

oxlo_patricia_node *oxlo_patricia_search_exact(oxlo_patricia_tree *tree, const oxlo_prefix *prefix)
{
    if (!tree || !prefix)
        return nullptr;
    tree->n_search++;
    if (!prefix_fits(tree, prefix))
        return nullptr;
    const unsigned bitlen = prefix->bitlen;
    const uint8_t *addr = prefix->add.bytes;
    oxlo_patricia_node *node = tree->head;
    while (node && node->bit < bitlen)
        node = bit_set(addr, node->bit) ? node->r : node->l;
    if (!node || node->bit != bitlen || !node->prefix)
        return nullptr;
    if (!covers(node->prefix, prefix, bitlen))
        return nullptr;
    tree->n_found++;
    return node;
}

oxlo_patricia_node *oxlo_patricia_search_best2(oxlo_patricia_tree *tree, const oxlo_prefix *prefix,
                                               int inclusive)
{
    if (!tree || !prefix)
        return nullptr;
    tree->n_search++;
    if (!prefix_fits(tree, prefix))
        return nullptr;
    const unsigned bitlen = prefix->bitlen;
    const uint8_t *addr = prefix->add.bytes;

    /* Bits strictly increase down a path and stay below bitlen (<= 128),
     * so at most 128 nodes plus the inclusive one are remembered. */
    oxlo_patricia_node *stack[walk_stack_size];
    int cnt = 0;
    oxlo_patricia_node *node = tree->head;
    while (node && node->bit < bitlen) {
        if (node->prefix)
            stack[cnt++] = node;
        node = bit_set(addr, node->bit) ? node->r : node->l;
    }
    if (inclusive && node && node->prefix)
        stack[cnt++] = node;

    while (cnt > 0) {
        node = stack[--cnt];
        if (node->prefix->bitlen <= bitlen && covers(node->prefix, prefix, node->prefix->bitlen)) {
            tree->n_found++;
            return node;
        }
    }
    return nullptr;
}

oxlo_patricia_node *oxlo_patricia_search_best_inclusive(oxlo_patricia_tree *tree, const oxlo_prefix *prefix)
{
    return oxlo_patricia_search_best2(tree, prefix, 1);
}

void oxlo_patricia_process(oxlo_patricia_tree *tree, oxlo_patricia_process_fn fn)
{
    if (!tree || !fn)
        return;
    preorder(tree->head, [&](oxlo_patricia_node *n) {
        if (n->prefix)
            fn(n->prefix, n->data);
    });
}

size_t oxlo_patricia_walk_inorder(oxlo_patricia_node *node, oxlo_patricia_walk_fn fn, void *user)
{
    return inorder(node, fn, user);
}

size_t oxlo_patricia_walk_tree(oxlo_patricia_tree *tree, oxlo_patricia_walk_fn fn, void *user)
{
    if (!tree || !tree->head)
        return 0;
    return inorder(tree->head, fn, user);
}

} // extern "C"

namespace {

struct clone_state {
    oxlo_patricia_tree *dst;
    bool failed;
};

void clone_one(oxlo_patricia_node *node, void *, void *user)
{
    auto *st = static_cast<clone_state *>(user);
    if (st->failed)
        return;
    /* A private copy: the two trees may live in different threads, and the
     * reference count is not atomic. */
    oxlo_prefix key = *node->prefix;
    key.ref_count = 0;
    oxlo_patricia_node *n = oxlo_patricia_lookup(st->dst, &key);
    if (!n) {
        st->failed = true;
        return;
    }
    n->value = node->value;
}

} // namespace

extern "C" {

oxlo_patricia_tree *oxlo_patricia_clone(const oxlo_patricia_tree *tree)
{
    if (!tree)
        return nullptr;
    oxlo_patricia_tree *dst = oxlo_patricia_new(tree->maxbits);
    if (!dst)
        return nullptr;
    clone_state st{dst, false};
    inorder(tree->head, clone_one, &st);
    if (st.failed) {
        oxlo_patricia_free(dst, nullptr);
        return nullptr;
    }
    return dst;
}

} // extern "C"

namespace {

int prefix_set(oxlo_prefix *prefix, uint16_t family, const void *addr, size_t size, int bitlen, int maxbits)
{
    if (!prefix || !addr || bitlen < 0 || bitlen > maxbits || bitlen > family_bits(family))
        return -1;
    std::memset(prefix, 0, sizeof(*prefix));
    prefix->family = family;
    prefix->bitlen = static_cast<uint16_t>(bitlen);
    std::memcpy(prefix->add.bytes, addr, size);
    return 0;
}

} // namespace

extern "C" {

int oxlo_prefix_set_ipv4(oxlo_prefix *prefix, const struct in_addr *addr, int bitlen, int maxbits)
{
    return prefix_set(prefix, OXLO_PREFIX_FAMILY_IPV4, addr, 4, bitlen, maxbits);
}

int oxlo_prefix_set_ipv6(oxlo_prefix *prefix, const struct in6_addr *addr, int bitlen, int maxbits)
{
    /* Only the bytes the tree can test; never more than the address has. */
    size_t size = maxbits >= 0 && maxbits < 128 ? static_cast<size_t>(maxbits + 7) / 8 : 16;
    return prefix_set(prefix, OXLO_PREFIX_FAMILY_IPV6, addr, size, bitlen, maxbits);
}

int oxlo_prefix_set_mac(oxlo_prefix *prefix, const uint8_t *mac, int bitlen, int maxbits)
{
    return prefix_set(prefix, OXLO_PREFIX_FAMILY_MAC, mac, 6, bitlen, maxbits);
}

uint16_t oxlo_patricia_maxbits(const oxlo_patricia_tree *tree) { return tree ? tree->maxbits : 0; }

void oxlo_patricia_stats(const oxlo_patricia_tree *tree, oxlo_patricia_tree_stats *out)
{
    if (!out)
        return;
    out->n_search = tree ? tree->n_search : 0;
    out->n_found = tree ? tree->n_found : 0;
}


const oxlo_prefix *oxlo_patricia_node_prefix(const oxlo_patricia_node *node)
{
    return node ? node->prefix : nullptr;
}

uint16_t oxlo_patricia_node_bit(const oxlo_patricia_node *node) { return node ? node->bit : 0; }

void *oxlo_patricia_node_data(const oxlo_patricia_node *node) { return node ? node->data : nullptr; }

void oxlo_patricia_node_set_data(oxlo_patricia_node *node, void *data)
{
    if (node)
        node->data = data;
}

uint64_t oxlo_patricia_node_value(const oxlo_patricia_node *node) { return node ? node->value.u64 : 0; }

void oxlo_patricia_node_set_value(oxlo_patricia_node *node, uint64_t value)
{
    if (node)
        node->value.u64 = value;
}

oxlo_tree_pair *oxlo_tree_pair_new(void)
{
    auto *pair = static_cast<oxlo_tree_pair *>(oxlo_heap_calloc(1, sizeof(oxlo_tree_pair)));
    if (!pair)
        return nullptr;
    pair->v4 = oxlo_patricia_new(32);
    pair->v6 = oxlo_patricia_new(128);
    if (!pair->v4 || !pair->v6) {
        oxlo_tree_pair_free(pair);
        return nullptr;
    }
    return pair;
}

void oxlo_tree_pair_free(oxlo_tree_pair *pair)
{
    if (!pair)
        return;
    oxlo_patricia_free(pair->v4, oxlo_heap_free);
    oxlo_patricia_free(pair->v6, oxlo_heap_free);
    oxlo_heap_free(pair);
}

} // extern "C"
