/* Oxlo histogram bins: a fixed number of counters of one width (8, 16, 32 or
 * 64 bits), with percentages, text output, a Euclidean distance between two
 * histograms and a k-means clustering of a set of histograms. */
#ifndef OXLO_BINS_H
#define OXLO_BINS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum oxlo_bins_family {
  OXLO_BINS_8 = 0,
  OXLO_BINS_16 = 1,
  OXLO_BINS_32 = 2,
  OXLO_BINS_64 = 3,
};

typedef struct oxlo_bins {
  uint8_t is_empty; /* 1 after init and reset, 0 after the first increment */
  uint16_t num_bins;
  uint32_t family; /* enum oxlo_bins_family */
  union {
    uint8_t *bins8;
    uint16_t *bins16;
    uint32_t *bins32;
    uint64_t *bins64;
  } u;
} oxlo_bins;

/* -1 for null, for zero bins (there would be no bin to clamp an index to)
 * or when memory runs out; an unknown family gives 0 and no counters. */
int oxlo_bins_init(oxlo_bins *bins, uint32_t family, uint16_t num_bins);
/* Frees the counters (not the struct). */
void oxlo_bins_free(oxlo_bins *bins);
/* A newly allocated copy; release it with oxlo_bins_free then
 * oxlo_heap_free. Null without counters or memory. */
oxlo_bins *oxlo_bins_clone(const oxlo_bins *bins);

/* An index past the last bin addresses the last bin. Values wider than the
 * family are cut to its width. */
void oxlo_bins_set(oxlo_bins *bins, uint16_t index, uint64_t value);
void oxlo_bins_inc(oxlo_bins *bins, uint16_t index, uint64_t amount);
uint64_t oxlo_bins_get(const oxlo_bins *bins, uint16_t index);
void oxlo_bins_reset(oxlo_bins *bins);

/* Every counter becomes its share of the total in percent (rounded down).
 * Nothing happens while the histogram has never been incremented or when
 * the total is 0. The total is summed in 64 bits. */
void oxlo_bins_normalize(oxlo_bins *bins);

/* The counters as "c0,c1,...", stopping before a piece that does not fit;
 * returns out (an empty text when nothing fits). */
char *oxlo_bins_print(oxlo_bins *bins, int normalize_first, char *out, size_t size);

/* Euclidean distance over the full counter values; -1 for null or different
 * bin counts; with a non-zero threshold, -2 once the distance passes it. */
float oxlo_bins_similarity(oxlo_bins *a, oxlo_bins *b, int normalize_first, float threshold);

/* k-means over count histograms into min(count, num_clusters, 128) clusters;
 * cluster_ids gets one id per histogram. Centroids, when given, must hold at
 * least that many histograms with the same number of bins; they end up
 * normalised. The initial assignment draws from the standard generator
 * rand(), which the caller seeds. -1 for bad arguments, -2 when memory runs
 * out, else 0. */
int oxlo_bins_cluster(oxlo_bins *bins, uint32_t count, uint16_t num_clusters,
                      uint16_t *cluster_ids, oxlo_bins *centroids);

#ifdef __cplusplus
}
#endif

#endif
