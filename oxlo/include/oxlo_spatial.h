/* Oxlo spatial structures over vectors of doubles: a k-d tree with nearest
 * and range queries, a ball tree for k-nearest-neighbour queries in the L1
 * metric, and an isolation forest that scores how anomalous a vector is.
 * Points are passed as contiguous rows (n rows of d doubles). The forest
 * draws from the standard generator rand(), which the caller seeds. */
#ifndef OXLO_SPATIAL_H
#define OXLO_SPATIAL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- k-d tree ------------------------------------------------------------ */

typedef struct oxlo_kd_node {
  double *position; /* k doubles, owned */
  int split_dimension;
  void *data;
  struct oxlo_kd_node *left, *right;
} oxlo_kd_node;

typedef void (*oxlo_kd_destructor)(void *data);

typedef struct oxlo_kd_tree {
  int dimensions;
  oxlo_kd_node *root;
  double *rect_min, *rect_max; /* bounding box of every point; null while empty */
  oxlo_kd_destructor destructor;
} oxlo_kd_tree;

typedef struct oxlo_kd_hit {
  oxlo_kd_node *node;
  double distance; /* -1 */
  struct oxlo_kd_hit *next;
} oxlo_kd_hit;

typedef struct oxlo_kd_result {
  oxlo_kd_tree *tree;
  oxlo_kd_hit *hits;
  oxlo_kd_hit *iterator;
  int size;
} oxlo_kd_result;

/* Null for k < 1 or when memory runs out. */
oxlo_kd_tree *oxlo_kd_tree_create(int k);
void oxlo_kd_tree_free(oxlo_kd_tree *tree);
/* Removes every point; user data goes through the destructor when set. */
void oxlo_kd_tree_clear(oxlo_kd_tree *tree);
void oxlo_kd_tree_set_destructor(oxlo_kd_tree *tree, oxlo_kd_destructor destructor);
/* 1 inserted, 0 on failure. Equal coordinates go right. */
int oxlo_kd_tree_insert(oxlo_kd_tree *tree, const double *position, void *data);
/* The nearest point (Euclidean); null for an empty tree or on failure. */
oxlo_kd_result *oxlo_kd_tree_nearest(oxlo_kd_tree *tree, const double *position);
/* Every point at Euclidean distance <= range; null on failure. */
oxlo_kd_result *oxlo_kd_tree_nearest_range(oxlo_kd_tree *tree, const double *position, double range);

int oxlo_kd_result_size(const oxlo_kd_result *result);
void oxlo_kd_result_free(oxlo_kd_result *result);
void oxlo_kd_result_rewind(oxlo_kd_result *result);
/* 1 once the iterator is past the last hit. */
int oxlo_kd_result_end(const oxlo_kd_result *result);
/* Advances; 1 while a hit remains. */
int oxlo_kd_result_next(oxlo_kd_result *result);
/* The current hit's position (null past the end) and, when data is given,
 * its user data. */
const double *oxlo_kd_result_item(const oxlo_kd_result *result, void **data);

/* ---- ball tree ----------------------------------------------------------- */

#define OXLO_BALL_LEAF_SIZE 30

typedef struct oxlo_ball_node {
  int start, end; /* index range [start, end) */
  uint8_t is_leaf;
  double radius; /* largest L1 distance from the centroid */
} oxlo_ball_node;

typedef struct oxlo_ball_tree {
  double *points; /* n x d, owned copy */
  int *indices;   /* n */
  oxlo_ball_node *nodes;
  double *centroids; /* num_nodes x d */
  int n, d, leaf_size, levels, num_nodes;
} oxlo_ball_tree;

typedef struct oxlo_ball_result {
  int num_queries, k;
  double *distances; /* num_queries x k, ascending per query */
  int *indices;      /* num_queries x k, rows of the training points */
} oxlo_ball_result;

/* Null for n < 1, d < 1 or when memory runs out. */
oxlo_ball_tree *oxlo_ball_tree_build(const double *points, int n, int d);
/* All zero (no matrices) when d differs from the tree's, k < 1, k > n, or
 * memory runs out. */
oxlo_ball_result oxlo_ball_tree_query(const oxlo_ball_tree *tree, const double *queries, int q, int d, int k);
void oxlo_ball_tree_free(oxlo_ball_tree *tree);
void oxlo_ball_result_free(oxlo_ball_result *result);

/* ---- isolation forest ---------------------------------------------------- */

#define OXLO_IFOREST_TREES 100
#define OXLO_IFOREST_MAX_DEPTH 10

typedef struct oxlo_iforest_node {
  double *normal; /* d doubles; null in a leaf */
  double split;
  struct oxlo_iforest_node *left, *right;
  uint8_t is_leaf;
  uint8_t depth;
} oxlo_iforest_node;

typedef struct oxlo_isolation_forest {
  oxlo_iforest_node *trees[OXLO_IFOREST_TREES];
  uint32_t n, d;
  uint64_t memory_bytes;
} oxlo_isolation_forest;

/* Null for d < 1 or when memory runs out. */
oxlo_isolation_forest *oxlo_isolation_forest_build(const double *points, uint32_t n, uint32_t d);
/* In (0, 1], higher is more anomalous; NaN when the forest was trained on
 * fewer than 2 points. */
double oxlo_isolation_forest_score(const oxlo_isolation_forest *forest, const double *vector);
void oxlo_isolation_forest_free(oxlo_isolation_forest *forest);

#ifdef __cplusplus
}
#endif

#endif
