/* The unbalanced binary search tree and the id bit set. */
#include "oxlo_utils.h"

#include "oxlo_memory.h"

namespace {

/* The link that points, or would point, at the node comparing equal. */
oxlo_bst_node **find_link(const void *key, oxlo_bst_node **root, oxlo_bst_compare compare)
{
    oxlo_bst_node **link = root;
    while (*link) {
        int r = compare(key, (*link)->key);
        if (r == 0)
            break;
        link = r < 0 ? &(*link)->left : &(*link)->right;
    }
    return link;
}

void walk(const oxlo_bst_node *node, oxlo_bst_visit visit, void *user_data, int depth)
{
    if (!node->left && !node->right) {
        visit(node, 3, depth, user_data);
        return;
    }
    visit(node, 0, depth, user_data);
    if (node->left)
        walk(node->left, visit, user_data, depth + 1);
    visit(node, 1, depth, user_data);
    if (node->right)
        walk(node->right, visit, user_data, depth + 1);
    visit(node, 2, depth, user_data);
}

bool bit_usable(const oxlo_id_bitset *bitset, uint32_t bit)
{
    return bitset && bitset->words && bitset->num_words > 0 && bit < bitset->num_bits;
}

} // namespace

extern "C" {

void *oxlo_bst_find_or_add(void *key, oxlo_bst_node **root, oxlo_bst_compare compare)
{
    if (!root || !compare)
        return nullptr;
    oxlo_bst_node **link = find_link(key, root, compare);
    if (*link)
        return (*link)->key;
    auto *node = static_cast<oxlo_bst_node *>(oxlo_heap_alloc(sizeof(oxlo_bst_node)));
    if (!node)
        return nullptr;
    node->key = key;
    node->left = node->right = nullptr;
    *link = node;
    return key;
}

oxlo_bst_node *oxlo_bst_find(const void *key, oxlo_bst_node *const *root, oxlo_bst_compare compare)
{
    if (!root || !compare)
        return nullptr;
    oxlo_bst_node *node = *root;
    while (node) {
        int r = compare(key, node->key);
        if (r == 0)
            return node;
        node = r < 0 ? node->left : node->right;
    }
    return nullptr;
}

void *oxlo_bst_remove(const void *key, oxlo_bst_node **root, oxlo_bst_compare compare)
{
    if (!root || !compare)
        return nullptr;
    oxlo_bst_node **link = find_link(key, root, compare);
    oxlo_bst_node *node = *link;
    if (!node)
        return nullptr;
    if (!node->left) {
        *link = node->right;
    } else if (!node->right) {
        *link = node->left;
    } else {
        /* Two children: the in-order successor (leftmost of the right
         * subtree) takes the node's place. */
        oxlo_bst_node **succ_link = &node->right;
        while ((*succ_link)->left)
            succ_link = &(*succ_link)->left;
        oxlo_bst_node *succ = *succ_link;
        *succ_link = succ->right;
        succ->left = node->left;
        succ->right = node->right;
        *link = succ;
    }
    void *stored = node->key;
    oxlo_heap_free(node);
    return stored;
}

void oxlo_bst_walk(const oxlo_bst_node *root, oxlo_bst_visit visit, void *user_data)
{
    if (root && visit)
        walk(root, visit, user_data, 0);
}

void oxlo_bst_destroy(oxlo_bst_node *root, void (*free_key)(void *key))
{
    /* Iterative, so that a degenerate (list-shaped) tree cannot exhaust the
     * stack: rotate left children up until the node has none, then free it. */
    while (root) {
        if (root->left) {
            oxlo_bst_node *left = root->left;
            root->left = left->right;
            left->right = root;
            root = left;
            continue;
        }
        oxlo_bst_node *right = root->right;
        if (free_key)
            free_key(root->key);
        oxlo_heap_free(root);
        root = right;
    }
}

int oxlo_id_bitset_init(oxlo_id_bitset *bitset, uint16_t bits)
{
    if (!bitset)
        return -1;
    uint16_t words = static_cast<uint16_t>((bits + 3u) / 4u);
    bitset->num_bits = bits;
    bitset->num_words = 0;
    bitset->words = nullptr;
    if (words == 0)
        return 0;
    bitset->words = static_cast<uint32_t *>(oxlo_heap_calloc(words, sizeof(uint32_t)));
    if (!bitset->words)
        return -1;
    bitset->num_words = words;
    return 0;
}

void oxlo_id_bitset_free(oxlo_id_bitset *bitset)
{
    if (!bitset)
        return;
    oxlo_heap_free(bitset->words);
    bitset->words = nullptr;
    bitset->num_words = 0;
}

void oxlo_id_bitset_set(oxlo_id_bitset *bitset, uint32_t bit)
{
    if (bit_usable(bitset, bit))
        bitset->words[bit / 32] |= 1u << (bit % 32);
}

void oxlo_id_bitset_clear(oxlo_id_bitset *bitset, uint32_t bit)
{
    if (bit_usable(bitset, bit))
        bitset->words[bit / 32] &= ~(1u << (bit % 32));
}

int oxlo_id_bitset_test(const oxlo_id_bitset *bitset, uint32_t bit)
{
    if (!bit_usable(bitset, bit))
        return -1;
    return (bitset->words[bit / 32] >> (bit % 32)) & 1u;
}

void oxlo_id_bitset_set_all(oxlo_id_bitset *bitset)
{
    for (uint16_t i = 0; bitset && bitset->words && i < bitset->num_words; i++)
        bitset->words[i] = 0xFFFFFFFFu;
}

void oxlo_id_bitset_clear_all(oxlo_id_bitset *bitset)
{
    for (uint16_t i = 0; bitset && bitset->words && i < bitset->num_words; i++)
        bitset->words[i] = 0;
}

} // extern "C"
