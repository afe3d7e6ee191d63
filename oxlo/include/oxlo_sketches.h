/* Oxlo probabilistic counters: a HyperLogLog cardinality estimator and a
 * count-min frequency sketch. */
#ifndef OXLO_SKETCHES_H
#define OXLO_SKETCHES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- HyperLogLog --------------------------------------------------------- */

/* Relative standard error about 1.04 / sqrt(2^bits): 0.8% at 14 bits. */
typedef struct oxlo_hyperloglog {
  uint8_t bits;           /* 4..20 */
  uint64_t num_registers; /* 2^bits */
  uint8_t *registers;
} oxlo_hyperloglog;

/* null: errno EINVAL, -1; bits outside 4..20: errno ERANGE, -1; -1 when
 * memory runs out; else 0. */
int oxlo_hyperloglog_init(oxlo_hyperloglog *hll, uint8_t bits);
void oxlo_hyperloglog_destroy(oxlo_hyperloglog *hll);
void oxlo_hyperloglog_reset(oxlo_hyperloglog *hll);
/* 1 when a register grew, else 0. */
int oxlo_hyperloglog_add(oxlo_hyperloglog *hll, const void *data, size_t length);
/* Adds the 4 bytes of the number as they lie in memory (little-endian). */
int oxlo_hyperloglog_add_number(oxlo_hyperloglog *hll, uint32_t value);
/* The estimate; 0 without registers. Always finite: past the 32-bit hash
 * space the estimate saturates. */
double oxlo_hyperloglog_count(const oxlo_hyperloglog *hll);

/* ---- count-min sketch ---------------------------------------------------- */

#define OXLO_CMS_ROW_CELLS 1024
#define OXLO_CMS_MAX_DEPTH 32768

/* depth rows of 1024 counters, one array; each row indexes its own part
 * of the array through its own mix of the hash, so one item's increments
 * never land in the same counter twice. */
typedef struct oxlo_count_min_sketch {
  uint16_t depth;     /* a power of two, at least 2 */
  uint32_t mask;      /* depth x 1024 - 1: the last counter */
  uint32_t *counters; /* depth x 1024 */
} oxlo_count_min_sketch;

/* depth rounded up to a power of two, at least 2; null above 32768 or when
 * memory runs out. */
oxlo_count_min_sketch *oxlo_count_min_sketch_alloc(uint32_t depth);
/* Counters saturate instead of wrapping, so no estimate ever falls below
 * the true count. */
void oxlo_count_min_sketch_add(oxlo_count_min_sketch *sketch, uint32_t hash);
/* Never below the number of adds of the hash; 0 for null. */
uint32_t oxlo_count_min_sketch_count(const oxlo_count_min_sketch *sketch, uint32_t hash);
void oxlo_count_min_sketch_free(oxlo_count_min_sketch *sketch);

#ifdef __cplusplus
}
#endif

#endif
