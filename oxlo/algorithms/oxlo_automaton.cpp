/* Aho-Corasick automaton: the multi-pattern matcher behind host-name,
 * certificate, ALPN and content matching.
 *
 * Patterns go into a byte trie while the automaton is open. Finalizing
 * computes each node's failure node, merges the pattern lists of the failure
 * chain into every node (so a search only looks at the node it reached) and
 * lays out each node's edges: one inline edge, a range table indexed by
 * byte, or a list scanned eight bytes at a time. Searching never allocates. */
#include "oxlo_automaton.h"

#include "oxlo_memory.h"

#include <atomic>
#include <cstring>
#include <utility>

namespace {

std::atomic<int> global_debug{0};

constexpr uint16_t block_initial = 8;
constexpr uint16_t block_step = 8;
constexpr uint16_t list_initial = 8;
constexpr uint16_t list_step = 8;
constexpr int max_recorded = 31;
constexpr int max_walk_depth = 256;

struct byte_tables {
    uint8_t fold[256];
    uint8_t alt[256];
    constexpr byte_tables() : fold(), alt()
    {
        for (int c = 0; c < 256; c++) {
            fold[c] = static_cast<uint8_t>(c >= 'A' && c <= 'Z' ? c + 32 : c);
            alt[c] = static_cast<uint8_t>((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ? 0x20 : 0);
        }
    }
};
constexpr byte_tables tables;

inline bool case_insensitive(const oxlo_automaton *a)
{
    return (a->features & AUTOMATON_FEATURE_CASE_INSENSITIVE) != 0;
}

inline size_t round8(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

inline size_t block_size(uint16_t capacity)
{
    return sizeof(automaton_edge_block) + capacity * sizeof(automaton_node *) + round8(capacity);
}

inline uint8_t *block_bytes(automaton_edge_block *b) { return reinterpret_cast<uint8_t *>(b->child + b->capacity); }

inline size_t list_size(uint16_t capacity)
{
    return sizeof(automaton_pattern_list) + capacity * sizeof(automaton_pattern_entry);
}

/* ---- edges ---------------------------------------------------------------- */

/* Index of byte b among the first count bytes, or -1. Eight bytes at a time:
 * XOR with b repeated zeroes the matching byte; the has-zero-byte test finds it. */
int scan_bytes(const uint8_t *bytes, uint16_t count, uint8_t b)
{
    const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    const uint64_t pattern = ones * b;
    uint16_t i = 0;
    for (; i < count && (reinterpret_cast<uintptr_t>(bytes + i) & 7) != 0; i++)
        if (bytes[i] == b)
            return i;
    for (; i + 8 <= count; i += 8) {
        uint64_t w;
        std::memcpy(&w, bytes + i, 8);
        uint64_t v = w ^ pattern;
        uint64_t t = (v - ones) & ~v & highs;
        if (t)
            return i + __builtin_ctzll(t) / 8;
    }
    for (; i < count; i++)
        if (bytes[i] == b)
            return i;
    return -1;
}

automaton_node *block_child(const automaton_node *node, uint8_t b)
{
    automaton_edge_block *blk = node->edge.block;
    if (!blk)
        return nullptr;
    if (node->flags & AUTOMATON_NODE_RANGE) {
        unsigned idx = static_cast<unsigned>(b) - node->edge_byte;
        return b >= node->edge_byte && idx < blk->count ? blk->child[idx] : nullptr;
    }
    int i = scan_bytes(block_bytes(blk), blk->count, b);
    return i >= 0 ? blk->child[i] : nullptr;
}

/* The child for byte b, whatever the node's layout. */
automaton_node *find_child(const automaton_node *node, uint8_t b)
{
    if (!(node->flags & AUTOMATON_NODE_EDGES))
        return nullptr;
    if (node->flags & AUTOMATON_NODE_SINGLE)
        return node->edge_byte == b ? node->edge.next : nullptr;
    return block_child(node, b);
}

uint16_t edge_count(const automaton_node *node)
{
    if (!(node->flags & AUTOMATON_NODE_EDGES))
        return 0;
    if (node->flags & AUTOMATON_NODE_SINGLE)
        return 1;
    return node->edge.block ? node->edge.block->count : 0;
}

void edge_at(const automaton_node *node, uint16_t i, automaton_node **child, uint8_t *b)
{
    if (node->flags & AUTOMATON_NODE_SINGLE) {
        *child = node->edge.next;
        *b = node->edge_byte;
        return;
    }
    *child = node->edge.block->child[i];
    *b = block_bytes(node->edge.block)[i];
}

automaton_edge_block *block_new(uint16_t capacity)
{
    auto *b = static_cast<automaton_edge_block *>(oxlo_heap_calloc(1, block_size(capacity)));
    if (b)
        b->capacity = capacity;
    return b;
}

/* Grows the block by extra slots, moving the byte area behind the larger
 * pointer array. */
bool block_grow(automaton_node *node, uint16_t extra)
{
    automaton_edge_block *b = node->edge.block;
    uint16_t old_cap = b->capacity;
    if (static_cast<unsigned>(old_cap) + extra > 0xffff)
        return false;
    uint16_t new_cap = static_cast<uint16_t>(old_cap + extra);
    auto *nb = static_cast<automaton_edge_block *>(oxlo_heap_realloc(b, block_size(new_cap)));
    if (!nb)
        return false;
    uint8_t *old_bytes = reinterpret_cast<uint8_t *>(nb->child + old_cap);
    uint8_t *new_bytes = reinterpret_cast<uint8_t *>(nb->child + new_cap);
    std::memmove(new_bytes, old_bytes, old_cap);
    std::memset(new_bytes + old_cap, 0, round8(new_cap) - old_cap);
    std::memset(nb->child + old_cap, 0, extra * sizeof(automaton_node *));
    nb->capacity = new_cap;
    node->edge.block = nb;
    if (node->edge_bytes)
        node->edge_bytes = new_bytes;
    return true;
}

/* Adds the edge (b, child) to an open node. */
bool attach(automaton_node *node, uint8_t b, automaton_node *child)
{
    if (!(node->flags & AUTOMATON_NODE_EDGES)) {
        node->flags |= AUTOMATON_NODE_EDGES | AUTOMATON_NODE_SINGLE;
        node->edge_byte = b;
        node->edge.next = child;
        return true;
    }
    if (node->flags & AUTOMATON_NODE_SINGLE) {
        automaton_edge_block *blk = block_new(block_initial);
        if (!blk)
            return false;
        blk->child[0] = node->edge.next;
        block_bytes(blk)[0] = node->edge_byte;
        blk->count = 1;
        node->edge.block = blk;
        node->flags &= static_cast<uint8_t>(~AUTOMATON_NODE_SINGLE);
    }
    /* A node laid out by an earlier, failed finalization may be a range
     * table holding this byte with no child yet. */
    automaton_edge_block *blk = node->edge.block;
    int i = scan_bytes(block_bytes(blk), blk->count, b);
    if (i >= 0) {
        blk->child[i] = child;
    } else {
        if (blk->count == blk->capacity && !block_grow(node, block_step))
            return false;
        blk = node->edge.block;
        blk->child[blk->count] = child;
        block_bytes(blk)[blk->count] = b;
        blk->count++;
    }
    node->flags &= static_cast<uint8_t>(~AUTOMATON_NODE_RANGE);
    return true;
}

/* ---- pattern lists ---------------------------------------------------------- */

bool same_text(const automaton_pattern_entry &e, const char *text, uint16_t length)
{
    return e.length == length && std::memcmp(e.text, text, length) == 0;
}

bool list_append(automaton_node *node, const automaton_pattern_entry &entry)
{
    automaton_pattern_list *l = node->patterns;
    if (l) {
        for (uint16_t i = 0; i < l->count; i++)
            if (same_text(l->entries[i], entry.text, entry.length))
                return true;
    }
    if (!l || l->count == l->capacity) {
        uint16_t cap = l ? static_cast<uint16_t>(l->capacity + list_step) : list_initial;
        if (l && l->capacity > 0xffff - list_step)
            return false;
        auto *nl = static_cast<automaton_pattern_list *>(oxlo_heap_realloc(l, list_size(cap)));
        if (!nl)
            return false;
        if (!l)
            nl->count = 0;
        nl->capacity = cap;
        node->patterns = l = nl;
    }
    l->entries[l->count++] = entry;
    return true;
}

/* ---- walking ---------------------------------------------------------------- */

/* Depth-first from the root with the automaton's own stack. Nodes with edges
 * get node_cb(node, 0) before their edges and node_cb(node, count) after;
 * nodes without get one call. */
int walk(oxlo_automaton *a, automaton_node_cb node_cb, automaton_edge_cb edge_cb, void *user)
{
    int sp = 0;
    a->stack[0] = {a->root, 0, 0};
    while (sp >= 0) {
        automaton_stack_entry *top = &a->stack[sp];
        automaton_node *n = top->node;
        uint16_t count = edge_count(n);
        if (count == 0) {
            if (node_cb) {
                int r = node_cb(a, n, 0, user);
                if (r)
                    return r;
            }
            sp--;
            continue;
        }
        if (top->next_edge == 0 && node_cb) {
            int r = node_cb(a, n, 0, user);
            if (r)
                return r;
            count = edge_count(n); /* the callback may lay the edges out anew */
        }
        if (top->next_edge < count) {
            uint16_t i = top->next_edge++;
            automaton_node *child;
            uint8_t b;
            edge_at(n, i, &child, &b);
            if (!child)
                continue;
            if (sp + 1 < AUTOMATON_STACK_SIZE)
                a->stack[sp + 1].path_byte = b;
            if (edge_cb)
                edge_cb(a, n, child, i, user);
            if (sp < max_walk_depth) {
                sp++;
                a->stack[sp].node = child;
                a->stack[sp].next_edge = 0;
            }
            continue;
        }
        if (node_cb) {
            int r = node_cb(a, n, count, user);
            if (r)
                return r;
        }
        sp--;
    }
    return 0;
}

/* ---- finalization ------------------------------------------------------------ */

/* The failure node of child: the longest proper suffix of its path that is
 * itself a path from the root. */
void set_failure(oxlo_automaton *a, automaton_node *, automaton_node *child, uint16_t, void *)
{
    unsigned depth = child->depth;
    child->failure = a->root;
    for (unsigned start = 2; start <= depth; start++) {
        automaton_node *n = a->root;
        for (unsigned k = start; k <= depth && n; k++)
            n = find_child(n, a->stack[k].path_byte);
        if (n) {
            child->failure = n;
            return;
        }
    }
}

int clear_numbered(oxlo_automaton *, automaton_node *node, uint16_t edge_index, void *)
{
    if (edge_index == 0)
        node->flags &= static_cast<uint8_t>(~AUTOMATON_NODE_NUMBERED);
    return 0;
}

void heap_sift(uint8_t *bytes, automaton_node **child, int start, int end)
{
    int root = start;
    while (2 * root + 1 <= end) {
        int c = 2 * root + 1;
        if (c + 1 <= end && bytes[c] < bytes[c + 1])
            c++;
        if (bytes[root] >= bytes[c])
            return;
        std::swap(bytes[root], bytes[c]);
        std::swap(child[root], child[c]);
        root = c;
    }
}

void heap_sort_edges(uint8_t *bytes, automaton_node **child, int n)
{
    for (int start = (n - 2) / 2; start >= 0; start--)
        heap_sift(bytes, child, start, n - 1);
    for (int end = n - 1; end > 0; end--) {
        std::swap(bytes[0], bytes[end]);
        std::swap(child[0], child[end]);
        heap_sift(bytes, child, 0, end - 1);
    }
}

/* Lays a block node out as a range table or keeps it a list. */
bool layout_block(oxlo_automaton *a, automaton_node *node)
{
    automaton_edge_block *b = node->edge.block;
    std::memset(b->present, 0, sizeof(b->present));
    uint8_t *bytes = block_bytes(b);
    int lo = 256, hi = -1;
    uint16_t real = 0;
    for (uint16_t i = 0; i < b->count; i++) {
        if (!b->child[i])
            continue;
        b->present[bytes[i] >> 6] |= 1ull << (bytes[i] & 63);
        lo = bytes[i] < lo ? bytes[i] : lo;
        hi = bytes[i] > hi ? bytes[i] : hi;
        real++;
    }
    node->edge_bytes = bytes;
    if (real == 0) {
        b->count = 0;
        node->edge_byte = 255;
        node->flags |= AUTOMATON_NODE_RANGE;
        a->n_range++;
        return true;
    }
    unsigned span = static_cast<unsigned>(hi - lo + 1);
    if (span > b->capacity) {
        unsigned extra = static_cast<unsigned>(hi - lo) / 8;
        if (extra < a->range_threshold)
            extra = a->range_threshold;
        extra = static_cast<unsigned>(round8(extra));
        bool is_root = (node->flags & AUTOMATON_NODE_ROOT) != 0;
        if (span >= b->capacity + extra && (!is_root || (a->features & AUTOMATON_FEATURE_ROOT_LAYOUT))) {
            a->n_list++;
            return true;
        }
        if (!block_grow(node, static_cast<uint16_t>(span - b->capacity)))
            return false;
        b = node->edge.block;
        bytes = block_bytes(b);
    }
    /* Drop stale holes, then fill lo..hi completely. */
    uint16_t k = 0;
    for (uint16_t i = 0; i < b->count; i++) {
        if (b->child[i]) {
            bytes[k] = bytes[i];
            b->child[k++] = b->child[i];
        }
    }
    for (unsigned c = static_cast<unsigned>(lo); c <= static_cast<unsigned>(hi); c++) {
        if (b->present[c >> 6] & (1ull << (c & 63)))
            continue;
        bytes[k] = static_cast<uint8_t>(c);
        b->child[k++] = nullptr;
    }
    b->count = k;
    heap_sort_edges(bytes, b->child, k);
    node->edge_byte = static_cast<uint8_t>(lo);
    node->edge_bytes = bytes;
    node->flags |= AUTOMATON_NODE_RANGE;
    a->n_range++;
    return true;
}

int finalize_node(oxlo_automaton *a, automaton_node *node, uint16_t edge_index, void *)
{
    if (edge_index != 0 || (node->flags & AUTOMATON_NODE_NUMBERED))
        return 0;
    node->flags |= AUTOMATON_NODE_NUMBERED;
    node->number = ++a->id_counter;

    for (automaton_node *f = node->failure; f; f = f->failure) {
        if (!f->patterns)
            continue;
        for (uint16_t i = 0; i < f->patterns->count; i++) {
            automaton_pattern_entry e = f->patterns->entries[i];
            e.inherited = 1;
            if (!list_append(node, e))
                return AUTOMATON_ERROR;
        }
        if (f->flags & AUTOMATON_NODE_FINAL)
            node->flags |= AUTOMATON_NODE_FINAL;
    }

    if (!(node->flags & AUTOMATON_NODE_EDGES))
        return 0;
    if (node->flags & AUTOMATON_NODE_SINGLE) {
        a->n_single++;
        return 0;
    }
    return layout_block(a, node) ? 0 : AUTOMATON_ERROR;
}

/* ---- release ------------------------------------------------------------------ */

struct release_args {
    int mode;
};

void free_node_contents(oxlo_automaton *a, automaton_node *node, bool free_texts)
{
    if (node->patterns) {
        if (free_texts)
            for (uint16_t i = 0; i < node->patterns->count; i++)
                if (!node->patterns->entries[i].inherited)
                    oxlo_heap_free(node->patterns->entries[i].text);
        oxlo_heap_free(node->patterns);
        node->patterns = nullptr;
    }
    if ((node->flags & AUTOMATON_NODE_EDGES) && !(node->flags & AUTOMATON_NODE_SINGLE)) {
        if (node->flags & AUTOMATON_NODE_RANGE) {
            if (a->n_range)
                a->n_range--;
        } else if (node->flags & AUTOMATON_NODE_NUMBERED) {
            if (a->n_list)
                a->n_list--;
        }
        oxlo_heap_free(node->edge.block);
    } else if ((node->flags & AUTOMATON_NODE_SINGLE) && (node->flags & AUTOMATON_NODE_NUMBERED)) {
        if (a->n_single)
            a->n_single--;
    }
    node->edge.block = nullptr;
    node->edge_bytes = nullptr;
}

int release_node(oxlo_automaton *a, automaton_node *node, uint16_t edge_index, void *user)
{
    /* Last visit: the single call of a leaf, the after-edges call otherwise. */
    if (edge_count(node) != 0 && edge_index == 0)
        return 0;
    bool free_texts = static_cast<release_args *>(user)->mode != 0;
    free_node_contents(a, node, free_texts);
    if (node != a->root)
        oxlo_heap_free(node);
    return 0;
}

/* ---- dump ----------------------------------------------------------------------- */

struct dump_state {
    FILE *out;
    size_t mem;
    int single, small, large, range;
};

int number_of(const automaton_node *n) { return n ? static_cast<int>(n->number) : -1; }

void dump_patterns(oxlo_automaton *a, automaton_node *node, FILE *out)
{
    char path[AUTOMATON_MAX_PATTERN_LEN + 1];
    unsigned depth = node->depth < AUTOMATON_MAX_PATTERN_LEN ? node->depth : AUTOMATON_MAX_PATTERN_LEN;
    for (unsigned k = 1; k <= depth; k++)
        path[k - 1] = static_cast<char>(a->stack[k].path_byte);
    path[depth] = '\0';

    char buf[512];
    const automaton_pattern_list *l = node->patterns;
    int len = snprintf(buf, sizeof(buf), "'%.100s' N:%d{", path, l->count);
    for (uint16_t i = 0; i < l->count && len >= 0 && static_cast<size_t>(len) < sizeof(buf) - 1; i++) {
        const automaton_pattern_entry &e = l->entries[i];
        int shown = e.length < 100 ? e.length : 100;
        len += snprintf(buf + len, sizeof(buf) - static_cast<size_t>(len), "%s%d %c%.*s%c", i ? ", " : "",
                        static_cast<int>(e.data.id & 0x3fff), (e.data.id & 0x8000) ? '^' : ' ', shown, e.text,
                        (e.data.id & 0x4000) ? '$' : ' ');
    }
    fprintf(out, "%s}\n", buf);
}

int dump_node(oxlo_automaton *a, automaton_node *node, uint16_t edge_index, void *user)
{
    auto *st = static_cast<dump_state *>(user);
    if (edge_index != 0)
        return 0;
    FILE *out = st->out;
    st->mem += 40;
    if (node->patterns)
        st->mem += 8 + 40 * static_cast<size_t>(node->patterns->capacity);

    fprintf(out, "%04d: ", static_cast<int>(node->number));
    if (node->failure)
        fprintf(out, " failure %04d:", static_cast<int>(node->failure->number));
    bool has_edges = (node->flags & AUTOMATON_NODE_EDGES) != 0;
    fprintf(out, " d:%d %c", node->depth, has_edges ? '+' : '-');
    if (has_edges && (node->flags & AUTOMATON_NODE_SINGLE)) {
        st->single++;
        fprintf(out, " '%c' next->%d\n", node->edge_byte, number_of(node->edge.next));
    } else if (has_edges && node->edge.block) {
        automaton_edge_block *b = node->edge.block;
        bool range = (node->flags & AUTOMATON_NODE_RANGE) != 0;
        st->mem += 8 + 8 * static_cast<size_t>(b->capacity) + round8(b->capacity);
        if (b->count <= 8)
            st->small++;
        else
            st->large++;
        if (range)
            st->range++;
        fprintf(out, "%s\n", range ? " RANGE" : "");
        for (uint16_t i = 0; i < b->count; i++)
            fprintf(out, "  %d: \"%c\" -> %d\n", i, block_bytes(b)[i], number_of(b->child[i]));
    } else if (has_edges) {
        fprintf(out, " BUG! !outgoing\n");
    } else {
        fprintf(out, "\n");
    }
    if ((node->flags & AUTOMATON_NODE_FINAL) && node->patterns && node->patterns->count)
        dump_patterns(a, node, out);
    return 0;
}

/* ---- search ---------------------------------------------------------------------- */

automaton_node *search_child(const automaton_node *node, uint8_t b, bool alt_chars)
{
    if (!(node->flags & AUTOMATON_NODE_EDGES))
        return nullptr;
    uint8_t other = static_cast<uint8_t>(b ^ tables.alt[b]);
    if (node->flags & AUTOMATON_NODE_SINGLE) {
        if (node->edge_byte == b || (alt_chars && tables.alt[b] && node->edge_byte == other))
            return node->edge.next;
        return nullptr;
    }
    const automaton_edge_block *blk = node->edge.block;
    automaton_node *child = nullptr;
    if (blk->present[b >> 6] & (1ull << (b & 63)))
        child = block_child(node, b);
    if (!child && alt_chars && tables.alt[b] && (blk->present[other >> 6] & (1ull << (other & 63))))
        child = block_child(node, other);
    return child;
}

/* An unanchored pattern ending in '.' is a label prefix ("example." in
 * "www.example.com"): it counts only when at most one label follows, or the
 * label after the next dot begins with '0'. */
bool dot_pattern_ok(const automaton_text *t, uint32_t pos)
{
    for (uint32_t k = pos; k < t->length; k++) {
        if (t->text[k] == '.')
            return k + 1 < t->length && t->text[k + 1] == '0';
    }
    return true;
}

/* Records the entries of node accepted at position pos; true stops the search. */
bool record(oxlo_automaton *a, automaton_node *node, automaton_text *t, uint32_t pos, automaton_match *result)
{
    const automaton_pattern_list *l = node->patterns;
    if (!l)
        return false;
    int n = l->count < max_recorded ? l->count : max_recorded;
    uint32_t mask = 0;
    for (int k = 0; k < n; k++) {
        const automaton_pattern_entry *e = &l->entries[k];
        bool start = (e->data.flags & AUTOMATON_ANCHOR_START) != 0;
        bool end = (e->data.flags & AUTOMATON_ANCHOR_END) != 0;
        int slot;
        if (start && end) {
            if (pos != t->length || pos != e->length)
                continue;
            slot = AUTOMATON_SLOT_EXACT;
        } else if (start) {
            if (pos != e->length)
                continue;
            slot = AUTOMATON_SLOT_START;
        } else if (end) {
            if (pos != t->length)
                continue;
            slot = AUTOMATON_SLOT_END;
        } else {
            if (e->length && e->text[e->length - 1] == '.' && !dot_pattern_ok(t, pos))
                continue;
            slot = AUTOMATON_SLOT_ANY;
        }
        t->slot[slot] = e;
        mask |= 1u << k;
    }
    if (!mask)
        return false;
    t->match_count++;
    if (!a->match_cb)
        return false;
    t->info.entries = l->entries;
    t->info.count = l->count;
    t->info.mask = mask;
    t->info.position = pos;
    return a->match_cb(&t->info, t, result) != 0;
}

} // namespace

extern "C" {

oxlo_automaton *automaton_new(automaton_match_cb cb)
{
    auto *a = static_cast<oxlo_automaton *>(oxlo_heap_calloc(1, sizeof(oxlo_automaton)));
    if (!a)
        return nullptr;
    a->root = static_cast<automaton_node *>(oxlo_heap_calloc(1, sizeof(automaton_node)));
    if (!a->root) {
        oxlo_heap_free(a);
        return nullptr;
    }
    a->root->flags = AUTOMATON_NODE_ROOT;
    a->root->number = 1;
    a->id_counter = 1;
    a->match_cb = cb;
    a->range_threshold = 16;
    return a;
}

int automaton_set_features(oxlo_automaton *a, int bits)
{
    if (!a || a->node_count != 0 || a->pattern_count != 0)
        return AUTOMATON_ERROR;
    a->features = static_cast<uint8_t>(bits & (AUTOMATON_FEATURE_CASE_INSENSITIVE | AUTOMATON_FEATURE_ROOT_LAYOUT));
    return 0;
}

int automaton_set_name(oxlo_automaton *a, const char *name, int debug)
{
    if (!a)
        return AUTOMATON_ERROR;
    std::memset(a->name, 0, sizeof(a->name));
    if (name)
        std::strncpy(a->name, name, sizeof(a->name) - 1);
    a->debug = debug ? 1 : 0;
    return 0;
}

int automaton_set_global_debug(int on)
{
    global_debug.store(on, std::memory_order_relaxed);
    return on;
}

int automaton_add_pattern(oxlo_automaton *a, automaton_pattern *pattern)
{
    if (!a || !pattern || !pattern->text)
        return AUTOMATON_ERROR;
    if (a->ready)
        return AUTOMATON_NOT_OPEN;
    if (pattern->length == 0)
        return AUTOMATON_EMPTY;
    if (pattern->length > AUTOMATON_MAX_PATTERN_LEN)
        return AUTOMATON_TOO_LONG;

    const bool fold = case_insensitive(a);
    automaton_node *node = a->root;
    for (uint16_t i = 0; i < pattern->length; i++) {
        uint8_t b = static_cast<uint8_t>(pattern->text[i]);
        if (fold)
            b = tables.fold[b];
        automaton_node *child = find_child(node, b);
        if (!child) {
            child = static_cast<automaton_node *>(oxlo_heap_calloc(1, sizeof(automaton_node)));
            if (!child)
                return AUTOMATON_ERROR;
            child->depth = static_cast<uint16_t>(node->depth + 1);
            if (!attach(node, b, child)) {
                oxlo_heap_free(child);
                return AUTOMATON_ERROR;
            }
            child->number = ++a->id_counter;
            a->node_count++;
        }
        node = child;
    }

    if (pattern->length > a->max_length)
        a->max_length = pattern->length;
    if ((node->flags & AUTOMATON_NODE_FINAL) && node->patterns) {
        for (uint16_t i = 0; i < node->patterns->count; i++) {
            if (!node->patterns->entries[i].inherited) {
                pattern->data.id = node->patterns->entries[i].data.id;
                return AUTOMATON_DUPLICATE;
            }
        }
    }
    automaton_pattern_entry e{};
    e.text = pattern->text;
    e.length = pattern->length;
    e.inherited = 0;
    e.data = pattern->data;
    if (!list_append(node, e))
        return AUTOMATON_ERROR;
    node->flags |= AUTOMATON_NODE_FINAL;
    a->pattern_count++;
    return AUTOMATON_ADDED;
}

int automaton_finalize(oxlo_automaton *a)
{
    if (!a || a->ready)
        return 0;
    int r = walk(a, clear_numbered, set_failure, nullptr);
    if (r)
        return r;
    a->id_counter = 0;
    a->n_single = a->n_range = a->n_list = 0;
    r = walk(a, finalize_node, nullptr, nullptr);
    if (r)
        return r;
    a->ready = 1;
    return 0;
}

int automaton_search(oxlo_automaton *a, automaton_text *text, automaton_match *match)
{
    if (!a || !text)
        return -1;
    a->n_search++;
    if (!a->ready || (!text->text && text->length))
        return -1;
    if (a->debug && global_debug.load(std::memory_order_relaxed))
        text->options |= AUTOMATON_OPT_DEBUG;

    for (auto &s : text->slot)
        s = nullptr;
    text->chosen = nullptr;
    text->info = automaton_match_info{};
    text->match_count = 0;

    const bool fold = case_insensitive(a);
    const bool alt_chars = (text->options & AUTOMATON_OPT_ALT_CHARS) != 0;
    automaton_node *node = a->root;
    uint32_t i = 0;
    while (i < text->length) {
        uint8_t b = static_cast<uint8_t>(text->text[i]);
        if (fold)
            b = tables.fold[b];
        automaton_node *child = search_child(node, b, alt_chars);
        if (child) {
            i++;
            node = child;
            if ((child->flags & AUTOMATON_NODE_FINAL) && record(a, child, text, i, match)) {
                a->n_found++;
                return 1;
            }
        } else if (node->failure) {
            node = node->failure;
        } else {
            i++;
        }
    }

    if (a->match_cb) {
        if (!text->match_count)
            return 0;
        a->n_found++;
        return 1;
    }
    for (const automaton_pattern_entry *e : text->slot) {
        if (e) {
            if (match)
                match->data = e->data;
            a->n_found++;
            return 1;
        }
    }
    return 0;
}

void automaton_release(oxlo_automaton *a, int mode)
{
    if (!a)
        return;
    release_args args{mode};
    walk(a, release_node, nullptr, &args);
    if (mode == 0 || mode == 1) {
        oxlo_heap_free(a->root);
        oxlo_heap_free(a);
        return;
    }
    automaton_node *root = a->root;
    std::memset(root, 0, sizeof(*root));
    root->flags = AUTOMATON_NODE_ROOT;
    root->number = 1;
    a->id_counter = 1;
    a->node_count = 0;
    a->pattern_count = 0;
    a->max_length = 0;
    a->n_single = a->n_range = a->n_list = 0;
    a->ready = 0;
}

int automaton_walk(oxlo_automaton *a, automaton_node_cb node_cb, automaton_edge_cb edge_cb, void *user)
{
    if (!a)
        return AUTOMATON_ERROR;
    return walk(a, node_cb, edge_cb, user);
}

void automaton_dump(oxlo_automaton *a, FILE *file)
{
    if (!a)
        return;
    FILE *out = file ? file : stdout;
    fprintf(out, "---DUMP- all nodes %u - max strlen %u -%s---\n", a->node_count,
            static_cast<unsigned>(a->max_length), a->ready ? "ready" : "open");
    dump_state st{out, 0, 0, 0, 0, 0};
    walk(a, dump_node, nullptr, &st);
    fprintf(out, "---\n mem size %zu avg node size %d, node one char %d, <=8c %d, >8c %d, range %d\n---DUMP-END-\n",
            st.mem, static_cast<int>(st.mem / (a->node_count + 1)), st.single, st.small, st.large, st.range);
}

void automaton_get_stats(const oxlo_automaton *a, automaton_stats *stats)
{
    if (!stats)
        return;
    stats->n_search = a ? a->n_search : 0;
    stats->n_found = a ? a->n_found : 0;
}

} // extern "C"
