/* Oxlo running statistics and small analytics: a running summary of a
 * series with an optional sliding window, a relative-strength indicator, a
 * jitter window, direction ratios, z-score outliers, a mean-and-deviation
 * band, least-squares prediction, Pearson correlation, distances, a set-bit
 * counter and a set of normalised vectors with a similarity score.
 *
 * Every function accepts null objects and then answers 0 (or the value its
 * comment names). */
#ifndef OXLO_ANALYTICS_H
#define OXLO_ANALYTICS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define OXLO_DATA_ANALYSIS_MAX_WINDOW 512

typedef struct oxlo_data_analysis {
  uint64_t *window; /* ring of window_size values, null when the size is 0 */
  uint64_t min, max, sum, jitter_sum;
  uint32_t count, next;
  uint16_t window_size;
  /* Squares are summed in double: a u64 sum wraps for any value of 2^32. */
  double sum_squares;
  /* The previous value, kept apart from the ring so the jitter is right
   * without a window too. */
  uint64_t last_value;
} oxlo_data_analysis;

void oxlo_data_analysis_init(oxlo_data_analysis *s, uint16_t window_size);
oxlo_data_analysis *oxlo_data_analysis_alloc(uint16_t window_size);
void oxlo_data_analysis_free(oxlo_data_analysis *s, int free_struct);
void oxlo_data_analysis_reset(oxlo_data_analysis *s);
void oxlo_data_analysis_add(oxlo_data_analysis *s, uint64_t value);
/* A new summary with window n (n taken as u16) over the n values. */
oxlo_data_analysis *oxlo_data_analysis_from_values(const uint32_t *values, uint32_t n);

float oxlo_data_analysis_average(const oxlo_data_analysis *s);
float oxlo_data_analysis_mean(const oxlo_data_analysis *s);
float oxlo_data_analysis_peak_ratio(const oxlo_data_analysis *s);
/* The last value stored in the ring; 0 when empty or without a ring. */
uint64_t oxlo_data_analysis_last(const oxlo_data_analysis *s);
uint64_t oxlo_data_analysis_min(const oxlo_data_analysis *s);
uint64_t oxlo_data_analysis_max(const oxlo_data_analysis *s);
/* Population variance, never negative. */
float oxlo_data_analysis_variance(const oxlo_data_analysis *s);
float oxlo_data_analysis_stddev(const oxlo_data_analysis *s);
/* Mean absolute difference between consecutive values. */
float oxlo_data_analysis_jitter(const oxlo_data_analysis *s);
/* Over the first min(count, window_size) ring entries; 0 without a ring. */
float oxlo_data_analysis_window_average(const oxlo_data_analysis *s);
float oxlo_data_analysis_window_variance(const oxlo_data_analysis *s);
float oxlo_data_analysis_window_stddev(const oxlo_data_analysis *s);
/* Shannon entropy in bits of the ring's entries taken as a distribution. */
float oxlo_data_analysis_window_entropy(const oxlo_data_analysis *s);

/* (a - b) / (a + b); 0 when both are 0. */
float oxlo_traffic_ratio(uint32_t a, uint32_t b);
/* "Download" below -0.2, "Upload" above 0.2, else "Mixed". */
const char *oxlo_traffic_ratio_name(float ratio);

#define OXLO_STATS_NO_VALUE_YET 0x01
#define OXLO_STATS_WINDOW_FULL 0x02

typedef struct oxlo_relative_strength {
  uint8_t flags;
  uint16_t window, next;
  uint32_t *gains, *losses;
  uint32_t last_value, total_gains, total_losses;
} oxlo_relative_strength;

/* -1 for null, window 0 or no memory; else 0. */
int oxlo_relative_strength_init(oxlo_relative_strength *r, uint16_t window);
void oxlo_relative_strength_free(oxlo_relative_strength *r);
/* The indicator (0..100), or -1 until the window has been filled once. */
float oxlo_relative_strength_add(oxlo_relative_strength *r, uint32_t value);

typedef struct oxlo_jitter_window {
  uint8_t flags;
  uint16_t window, next;
  float *diffs;
  float last_value, total;
} oxlo_jitter_window;

/* The window is at least 2. -1 for null or no memory; else 0. */
int oxlo_jitter_window_init(oxlo_jitter_window *j, uint16_t window);
void oxlo_jitter_window_free(oxlo_jitter_window *j);
/* The mean absolute step over the window, or -1 until it has been filled. */
float oxlo_jitter_window_add(oxlo_jitter_window *j, float value);

/* flags[i] = 1 when |z| of values[i] exceeds 2.5; answers the number set.
 * With deviation 0 nothing is written and the answer is 0. */
uint32_t oxlo_find_outliers(const uint32_t *values, uint8_t *flags, uint32_t n);
/* 1 when value lies outside mean +- deviation (times factor when >= 1). */
int oxlo_outside_band(const uint32_t *values, uint32_t n, uint32_t value, float *lower, float *upper,
                      float factor);
/* Least-squares line through values at positions 1..n, evaluated at
 * n + periods - 1: periods 1 is the fitted value at the last position.
 * 0 and the prediction, or -1. */
int oxlo_predict_linear(const uint32_t *values, uint32_t n, uint32_t periods, uint32_t *prediction);
/* n taken as u16. */
double oxlo_pearson_correlation(const uint32_t *x, const uint32_t *y, uint32_t n);
double oxlo_sq_euclidean_distance(const double *a, const double *b, uint32_t n);

typedef struct oxlo_bit_counter {
  uint64_t set_bits, bytes;
} oxlo_bit_counter;

int oxlo_bit_counter_init(oxlo_bit_counter *c);
void oxlo_bit_counter_add(oxlo_bit_counter *c, const uint8_t *buf, size_t len);

/* sqrt((x - mean)' S (x - mean)) with S the n x n inverse covariance, row
 * major. A matrix that is not positive semi-definite can make the sum
 * negative: the distance is then 0. */
float oxlo_mahalanobis_distance(const uint32_t *x, uint32_t n, const float *mean,
                                const float *inverse_covariance);

typedef struct oxlo_vector_set {
  double *vectors; /* back to back, dimension doubles each */
  uint32_t bytes_used, num_vectors;
  uint16_t dimension;
  double max_similarity;
} oxlo_vector_set;

oxlo_vector_set *oxlo_vector_set_alloc(uint16_t dimension);
void oxlo_vector_set_free(oxlo_vector_set *vs);
/* Normalises v in place by the sum of its elements and stores it; 1 added,
 * 0 failed (a vector summing to 0 cannot be normalised and is refused). */
int oxlo_vector_set_add(oxlo_vector_set *vs, double *v);
/* Normalises v in place; 1 when its dot product with a stored vector
 * exceeds the largest similarity seen so far, else 0. */
int oxlo_vector_set_is_novel(oxlo_vector_set *vs, double *v);

#ifdef __cplusplus
}
#endif

#endif
