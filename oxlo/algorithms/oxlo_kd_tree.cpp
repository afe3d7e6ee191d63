/* k-d tree over k-dimensional points. Nothing here recurses: a tree built
 * from sorted or repeated points degenerates into a chain as long as the
 * input, so searches keep their own stack on the heap and freeing rotates
 * the tree apart in place. */
#include "oxlo_spatial.h"

#include "oxlo_memory.h"

#include <cmath>
#include <cstring>

namespace {

/* A growable array on the library's allocator. */
template <typename T> struct heap_stack {
    T *items = nullptr;
    size_t size = 0, capacity = 0;
    ~heap_stack() { oxlo_heap_free(items); }
    bool push(const T &v)
    {
        if (size == capacity) {
            size_t grown = capacity ? capacity * 2 : 64;
            void *p = oxlo_heap_realloc(items, grown * sizeof(T));
            if (!p)
                return false;
            items = static_cast<T *>(p);
            capacity = grown;
        }
        items[size++] = v;
        return true;
    }
    T &top() { return items[size - 1]; }
    void pop() { size--; }
};

double sq_distance(const double *a, const double *b, int k)
{
    double sum = 0;
    for (int i = 0; i < k; i++) {
        double d = a[i] - b[i];
        sum += d * d;
    }
    return sum;
}

/* Squared distance from q to the box [min, max]. */
double sq_distance_to_rect(const double *q, const double *min, const double *max, int k)
{
    double sum = 0;
    for (int i = 0; i < k; i++) {
        if (q[i] < min[i])
            sum += (min[i] - q[i]) * (min[i] - q[i]);
        else if (q[i] > max[i])
            sum += (q[i] - max[i]) * (q[i] - max[i]);
    }
    return sum;
}

oxlo_kd_result *new_result(oxlo_kd_tree *tree)
{
    auto *r = static_cast<oxlo_kd_result *>(oxlo_heap_calloc(1, sizeof(oxlo_kd_result)));
    if (r)
        r->tree = tree;
    return r;
}

bool prepend_hit(oxlo_kd_result *r, oxlo_kd_node *node)
{
    auto *hit = static_cast<oxlo_kd_hit *>(oxlo_heap_alloc(sizeof(oxlo_kd_hit)));
    if (!hit)
        return false;
    hit->node = node;
    hit->distance = -1;
    hit->next = r->hits;
    r->hits = hit;
    r->iterator = hit;
    r->size++;
    return true;
}

/* One level of the nearest search, kept where the recursion would keep it:
 * which side is nearer, whether it was searched, and the box bound that was
 * narrowed to the node's coordinate while a child is searched. */
struct nearest_frame {
    oxlo_kd_node *node;
    double saved_bound;
    uint8_t phase; /* 0 enter, 1 near side done, 2 far side done */
    uint8_t near_is_left;
    uint8_t near_searched;
};

struct nearest_search {
    const double *query;
    int k;
    double *min, *max; /* the query's own copy of the box */
    oxlo_kd_node *best;
    double best_distance;
};

/* Narrows the bound on the side of the child about to be searched: the
 * left child lies below the node's coordinate, the right one above. */
double narrow(nearest_search &s, const oxlo_kd_node *node, bool child_is_left)
{
    int d = node->split_dimension;
    double *bound = child_is_left ? &s.max[d] : &s.min[d];
    double saved = *bound;
    *bound = node->position[d];
    return saved;
}

void restore(nearest_search &s, const oxlo_kd_node *node, bool child_is_left, double saved)
{
    int d = node->split_dimension;
    (child_is_left ? s.max : s.min)[d] = saved;
}

bool search_nearest(nearest_search &s, oxlo_kd_node *root)
{
    heap_stack<nearest_frame> stack;
    if (!stack.push({root, 0, 0, 0, 0}))
        return false;
    while (stack.size) {
        nearest_frame &f = stack.top();
        oxlo_kd_node *node = f.node;
        if (f.phase == 0) {
            int d = node->split_dimension;
            f.near_is_left = s.query[d] - node->position[d] <= 0;
            f.phase = 1;
            oxlo_kd_node *near = f.near_is_left ? node->left : node->right;
            if (near) {
                f.near_searched = 1;
                f.saved_bound = narrow(s, node, f.near_is_left);
                if (!stack.push({near, 0, 0, 0, 0}))
                    return false;
            }
            continue;
        }
        if (f.phase == 1) {
            if (f.near_searched)
                restore(s, node, f.near_is_left, f.saved_bound);
            double dist = sq_distance(node->position, s.query, s.k);
            if (dist < s.best_distance) {
                s.best = node;
                s.best_distance = dist;
            }
            oxlo_kd_node *far = f.near_is_left ? node->right : node->left;
            if (far) {
                f.saved_bound = narrow(s, node, !f.near_is_left);
                if (sq_distance_to_rect(s.query, s.min, s.max, s.k) < s.best_distance) {
                    f.phase = 2;
                    if (!stack.push({far, 0, 0, 0, 0}))
                        return false;
                    continue;
                }
                restore(s, node, !f.near_is_left, f.saved_bound);
            }
            stack.pop();
            continue;
        }
        restore(s, node, !f.near_is_left, f.saved_bound);
        stack.pop();
    }
    return true;
}

} // namespace

extern "C" {

oxlo_kd_tree *oxlo_kd_tree_create(int k)
{
    if (k < 1)
        return nullptr;
    auto *tree = static_cast<oxlo_kd_tree *>(oxlo_heap_calloc(1, sizeof(oxlo_kd_tree)));
    if (tree)
        tree->dimensions = k;
    return tree;
}

void oxlo_kd_tree_clear(oxlo_kd_tree *tree)
{
    if (!tree)
        return;
    /* Rotate left subtrees up until the root has none, then free the root
     * and continue with its right child: linear time, no stack. */
    oxlo_kd_node *node = tree->root;
    while (node) {
        if (node->left) {
            oxlo_kd_node *l = node->left;
            node->left = l->right;
            l->right = node;
            node = l;
            continue;
        }
        oxlo_kd_node *next = node->right;
        if (tree->destructor)
            tree->destructor(node->data);
        oxlo_heap_free(node->position);
        oxlo_heap_free(node);
        node = next;
    }
    tree->root = nullptr;
    oxlo_heap_free(tree->rect_min);
    oxlo_heap_free(tree->rect_max);
    tree->rect_min = tree->rect_max = nullptr;
}

void oxlo_kd_tree_free(oxlo_kd_tree *tree)
{
    if (!tree)
        return;
    oxlo_kd_tree_clear(tree);
    oxlo_heap_free(tree);
}

void oxlo_kd_tree_set_destructor(oxlo_kd_tree *tree, oxlo_kd_destructor destructor)
{
    if (tree)
        tree->destructor = destructor;
}

int oxlo_kd_tree_insert(oxlo_kd_tree *tree, const double *position, void *data)
{
    if (!tree || !position)
        return 0;
    int k = tree->dimensions;
    size_t bytes = sizeof(double) * static_cast<size_t>(k);
    if (!tree->rect_min) {
        tree->rect_min = static_cast<double *>(oxlo_heap_alloc(bytes));
        tree->rect_max = static_cast<double *>(oxlo_heap_alloc(bytes));
        if (!tree->rect_min || !tree->rect_max) {
            oxlo_heap_free(tree->rect_min);
            oxlo_heap_free(tree->rect_max);
            tree->rect_min = tree->rect_max = nullptr;
            return 0;
        }
        std::memcpy(tree->rect_min, position, bytes);
        std::memcpy(tree->rect_max, position, bytes);
    }
    auto *node = static_cast<oxlo_kd_node *>(oxlo_heap_calloc(1, sizeof(oxlo_kd_node)));
    if (!node)
        return 0;
    node->position = static_cast<double *>(oxlo_heap_alloc(bytes));
    if (!node->position) {
        oxlo_heap_free(node);
        return 0;
    }
    std::memcpy(node->position, position, bytes);
    node->data = data;

    oxlo_kd_node **link = &tree->root;
    int dimension = 0;
    while (*link) {
        oxlo_kd_node *parent = *link;
        int d = parent->split_dimension;
        link = position[d] < parent->position[d] ? &parent->left : &parent->right;
        dimension = (d + 1) % k;
    }
    node->split_dimension = dimension;
    *link = node;
    for (int i = 0; i < k; i++) {
        if (position[i] < tree->rect_min[i])
            tree->rect_min[i] = position[i];
        if (position[i] > tree->rect_max[i])
            tree->rect_max[i] = position[i];
    }
    return 1;
}

oxlo_kd_result *oxlo_kd_tree_nearest(oxlo_kd_tree *tree, const double *position)
{
    if (!tree || !tree->root || !position || !tree->rect_min)
        return nullptr;
    int k = tree->dimensions;
    size_t bytes = sizeof(double) * static_cast<size_t>(k);
    auto *box = static_cast<double *>(oxlo_heap_alloc(2 * bytes));
    if (!box)
        return nullptr;
    std::memcpy(box, tree->rect_min, bytes);
    std::memcpy(box + k, tree->rect_max, bytes);
    nearest_search s = {position, k, box, box + k, tree->root,
                        sq_distance(tree->root->position, position, k)};
    bool ok = search_nearest(s, tree->root);
    oxlo_heap_free(box);
    if (!ok)
        return nullptr;
    oxlo_kd_result *r = new_result(tree);
    if (!r || !prepend_hit(r, s.best)) {
        oxlo_kd_result_free(r);
        return nullptr;
    }
    return r;
}

oxlo_kd_result *oxlo_kd_tree_nearest_range(oxlo_kd_tree *tree, const double *position, double range)
{
    if (!tree || !position)
        return nullptr;
    oxlo_kd_result *r = new_result(tree);
    if (!r)
        return nullptr;
    if (!tree->root)
        return r;
    int k = tree->dimensions;
    double limit = range * range;
    heap_stack<oxlo_kd_node *> stack;
    bool ok = stack.push(tree->root);
    while (ok && stack.size) {
        oxlo_kd_node *node = stack.top();
        stack.pop();
        if (sq_distance(node->position, position, k) <= limit && !prepend_hit(r, node)) {
            ok = false;
            break;
        }
        double diff = position[node->split_dimension] - node->position[node->split_dimension];
        oxlo_kd_node *near = diff <= 0 ? node->left : node->right;
        oxlo_kd_node *far = diff <= 0 ? node->right : node->left;
        /* Equal coordinates were inserted to the right, so a far side exactly
         * at the range boundary may still hold hits. */
        if (far && std::fabs(diff) <= range)
            ok = stack.push(far);
        if (ok && near)
            ok = stack.push(near);
    }
    if (!ok) {
        oxlo_kd_result_free(r);
        return nullptr;
    }
    return r;
}

int oxlo_kd_result_size(const oxlo_kd_result *result) { return result ? result->size : 0; }

void oxlo_kd_result_free(oxlo_kd_result *result)
{
    if (!result)
        return;
    oxlo_kd_hit *hit = result->hits;
    while (hit) {
        oxlo_kd_hit *next = hit->next;
        oxlo_heap_free(hit);
        hit = next;
    }
    oxlo_heap_free(result);
}

void oxlo_kd_result_rewind(oxlo_kd_result *result)
{
    if (result)
        result->iterator = result->hits;
}

int oxlo_kd_result_end(const oxlo_kd_result *result) { return !result || !result->iterator; }

int oxlo_kd_result_next(oxlo_kd_result *result)
{
    if (!result || !result->iterator)
        return 0;
    result->iterator = result->iterator->next;
    return result->iterator != nullptr;
}

const double *oxlo_kd_result_item(const oxlo_kd_result *result, void **data)
{
    if (!result || !result->iterator)
        return nullptr;
    if (data)
        *data = result->iterator->node->data;
    return result->iterator->node->position;
}

} // extern "C"
