/* Oxlo forecasters: Holt-Winters with seasons, single and double
 * exponential smoothing, grid-search fitting of the two smoothers, and the
 * inverse standard normal that turns a significance level into a z factor.
 *
 * Each add call returns a forecast and a confidence half-width from the
 * recent errors against it. Holt-Winters forecasts the value being added
 * from the state before it; the two smoothers return the smoothed value
 * that already takes the new value in (F = alpha x + (1 - alpha) F_prev),
 * so their errors and confidences are those of the smoothing, not of a
 * prediction. The multiplicative Holt-Winters kind keeps its seasonal
 * factors as ratios to the level and forecasts g (L + T); the additive kind
 * keeps them as offsets from the level (v - L) and forecasts L + T + s, so
 * that a flat series is forecast as itself at any scale. The error sum
 * covers the last 64 to 127 steps. */
#ifndef OXLO_FORECAST_H
#define OXLO_FORECAST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct oxlo_holt_winters {
  uint8_t additive; /* 0 multiplicative seasons, 1 additive */
  double alpha, beta, gamma, z;
  uint16_t num_season_slots; /* season length + 1 */
  uint32_t count;
  uint8_t block_counter;
  double level, trend;
  double sum_square_error, next_sum_square_error;
  uint64_t *warmup;  /* num_season_slots values */
  double *seasonal;  /* num_season_slots factors (or offsets when additive) */
} oxlo_holt_winters;

typedef struct oxlo_single_smoothing {
  double alpha, z;
  uint32_t count;
  uint8_t block_counter;
  double sum_square_error, next_sum_square_error;
  double last_value, last_forecast;
} oxlo_single_smoothing;

typedef struct oxlo_double_smoothing {
  double alpha, beta, z;
  uint32_t count;
  uint8_t block_counter;
  double sum_square_error, next_sum_square_error;
  double level, trend, last_value;
} oxlo_double_smoothing;

/* The season cycle spans season_length + 1 values: a series with period P
 * is modelled with season_length P - 1. The first cycle is the warm-up.
 * -1 for null, season length 65535 or no memory; else 0. A significance
 * outside [0, 1] is taken as 0.05. */
int oxlo_holt_winters_init(oxlo_holt_winters *hw, uint16_t season_length, uint8_t additive,
                           double alpha, double beta, double gamma, float significance);
void oxlo_holt_winters_free(oxlo_holt_winters *hw);
/* 0 during the warm-up (both outputs 0), else 1. */
int oxlo_holt_winters_add(oxlo_holt_winters *hw, uint64_t value, double *forecast, double *confidence);
/* Back to the start, warm-up included. */
void oxlo_holt_winters_reset(oxlo_holt_winters *hw);

int oxlo_single_smoothing_init(oxlo_single_smoothing *ses, double alpha, float significance);
/* 0 for the first value (forecast = the value, confidence 0), else 1. */
int oxlo_single_smoothing_add(oxlo_single_smoothing *ses, double value, double *forecast, double *confidence);
void oxlo_single_smoothing_reset(oxlo_single_smoothing *ses);
/* The alpha in 0.1, 0.15 .. 0.95 with the smallest sum of squared one-step
 * errors over the values (ties to the larger alpha). -1 and alpha 0 for
 * null or no values, else 0. */
int oxlo_single_smoothing_fit(const double *values, uint32_t n, float *alpha);

int oxlo_double_smoothing_init(oxlo_double_smoothing *des, double alpha, double beta, float significance);
int oxlo_double_smoothing_add(oxlo_double_smoothing *des, double value, double *forecast, double *confidence);
void oxlo_double_smoothing_reset(oxlo_double_smoothing *des);
int oxlo_double_smoothing_fit(const double *values, uint32_t n, float *alpha, float *beta);

/* z with Phi(z) = p (absolute error below 4.5e-4); 0 for p <= 0 or p >= 1. */
double oxlo_inverse_normal(double p);

#ifdef __cplusplus
}
#endif

#endif
