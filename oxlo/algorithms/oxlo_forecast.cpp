/* Holt-Winters and exponential smoothing. The smoothers report the
 * smoothed value that takes the new value in (F = alpha x + (1 - alpha)
 * F_prev) and measure their error against it; Holt-Winters reports the
 * forecast made from the state before the value. */
#include "oxlo_forecast.h"

#include "oxlo_memory.h"

#include <cmath>
#include <cstring>

namespace {

constexpr uint32_t error_block = 64;

double z_factor(float significance)
{
    double p = (significance >= 0 && significance <= 1) ? 1.0 - significance / 2.0
                                                        : static_cast<double>(0.975f);
    return oxlo_inverse_normal(p);
}

/* Adds the step's squared error to both accumulators and answers the
 * confidence half-width. The first accumulator covers 64 to 127 steps: every
 * 64 steps it takes over the second, which starts again from 0. */
double confidence_step(double error, uint32_t n, uint32_t divisor_below_block, double z,
                       double &sum, double &next_sum, uint8_t &block_counter)
{
    sum += error;
    next_sum += error;
    uint32_t divisor = n < error_block ? divisor_below_block : (n % error_block) + error_block + 1;
    double confidence = divisor ? std::sqrt(sum / divisor) * z : 0;
    if (block_counter == error_block - 1) {
        sum = next_sum;
        next_sum = 0;
        block_counter = 0;
    } else {
        block_counter++;
    }
    return confidence;
}

void set_outputs(double *forecast, double f, double *confidence, double c)
{
    if (forecast)
        *forecast = f;
    if (confidence)
        *confidence = c;
}

/* The grid shared by both fits: 0.1 to 0.95 in float steps of 0.05. */
constexpr int grid_size = 18;

float grid_value(int i)
{
    float v = 0.1f;
    for (int j = 0; j < i; j++)
        v += 0.05f;
    return v;
}

bool better(bool have_best, double best, double score) { return !have_best || best == 0 || score <= best; }

/* First value after the warm-up. Multiplicative: the seasonal factors are
 * the warm-up values over their mean and the level is the value over the
 * last factor. Additive: the seasonal terms are the warm-up values minus
 * their mean and the level is the value minus the last term. */
void start_cycle(oxlo_holt_winters *hw, double v)
{
    uint16_t m = hw->num_season_slots;
    double mean = 0;
    for (uint16_t i = 0; i < m; i++)
        mean += static_cast<double>(hw->warmup[i]);
    mean /= m;
    hw->trend = 0;
    if (hw->additive) {
        for (uint16_t i = 0; i < m; i++)
            hw->seasonal[i] = static_cast<double>(hw->warmup[i]) - mean;
        hw->level = v - hw->seasonal[m - 1];
        return;
    }
    if (mean == 0)
        mean = 1;
    for (uint16_t i = 0; i < m; i++)
        hw->seasonal[i] = static_cast<double>(hw->warmup[i]) / mean;
    double last = hw->seasonal[m - 1];
    hw->level = last != 0 ? v / last : 0;
}

/* One step of the level, trend and the slot's seasonal term; g, L and T
 * are the values before the step. */
void update_additive(oxlo_holt_winters *hw, uint32_t i, double v, double g, double L, double T)
{
    hw->level = hw->alpha * (v - g) + (1 - hw->alpha) * (L + T);
    hw->trend = hw->beta * (hw->level - L) + (1 - hw->beta) * T;
    hw->seasonal[i] = hw->gamma * (v - hw->level) + (1 - hw->gamma) * g;
}

void update_multiplicative(oxlo_holt_winters *hw, uint32_t i, double v, double g, double L, double T)
{
    if (g != 0) {
        hw->level = hw->alpha * v / g + (1 - hw->alpha) * (L + T);
        hw->trend = hw->beta * (hw->level - L) + (1 - hw->beta) * T;
        hw->seasonal[i] = hw->level != 0 ? hw->gamma * v / hw->level + (1 - hw->gamma) * g : 0;
    } else {
        hw->level = 0;
        hw->trend = hw->beta * (0 - L) + (1 - hw->beta) * T;
        hw->seasonal[i] = 0;
    }
}

} // namespace

extern "C" {

double oxlo_inverse_normal(double p)
{
    if (p <= 0 || p >= 1)
        return 0;
    double q = p < 0.5 ? p : 1 - p;
    double t = std::sqrt(-2 * std::log(q));
    double z = t - (2.515517 + 0.802853 * t + 0.010328 * t * t) /
                       (1 + 1.432788 * t + 0.189269 * t * t + 0.001308 * t * t * t);
    return p < 0.5 ? -z : z;
}

int oxlo_holt_winters_init(oxlo_holt_winters *hw, uint16_t season_length, uint8_t additive,
                           double alpha, double beta, double gamma, float significance)
{
    if (!hw)
        return -1;
    std::memset(hw, 0, sizeof(*hw));
    if (season_length == 65535)
        return -1;
    hw->num_season_slots = static_cast<uint16_t>(season_length + 1);
    hw->additive = additive;
    hw->alpha = alpha;
    hw->beta = beta;
    hw->gamma = gamma;
    hw->z = z_factor(significance);
    hw->warmup = static_cast<uint64_t *>(oxlo_heap_calloc(hw->num_season_slots, sizeof(uint64_t)));
    if (!hw->warmup)
        return -1;
    hw->seasonal = static_cast<double *>(oxlo_heap_calloc(hw->num_season_slots, sizeof(double)));
    if (!hw->seasonal) {
        oxlo_heap_free(hw->warmup);
        hw->warmup = nullptr;
        return -1;
    }
    return 0;
}

void oxlo_holt_winters_free(oxlo_holt_winters *hw)
{
    if (!hw)
        return;
    oxlo_heap_free(hw->warmup);
    oxlo_heap_free(hw->seasonal);
    hw->warmup = nullptr;
    hw->seasonal = nullptr;
}

int oxlo_holt_winters_add(oxlo_holt_winters *hw, uint64_t value, double *forecast, double *confidence)
{
    set_outputs(forecast, 0, confidence, 0);
    if (!hw || !hw->warmup || !hw->seasonal)
        return 0;
    uint16_t m = hw->num_season_slots;
    double v = static_cast<double>(value);
    if (hw->count < m) {
        hw->warmup[hw->count++] = value;
        return 0;
    }
    if (hw->count == m)
        start_cycle(hw, v);

    uint32_t i = hw->count % m;
    double g = hw->seasonal[i], L = hw->level, T = hw->trend;
    if (hw->additive)
        update_additive(hw, i, v, g, L, T);
    else
        update_multiplicative(hw, i, v, g, L, T);
    double f = hw->additive ? L + T + g : g * (L + T);
    double e = (v - f) * (v - f);
    double c = confidence_step(e, hw->count, hw->count, hw->z, hw->sum_square_error,
                               hw->next_sum_square_error, hw->block_counter);
    hw->count++;
    set_outputs(forecast, f, confidence, c);
    return 1;
}

void oxlo_holt_winters_reset(oxlo_holt_winters *hw)
{
    if (!hw)
        return;
    hw->count = 0;
    hw->block_counter = 0;
    hw->level = hw->trend = 0;
    hw->sum_square_error = hw->next_sum_square_error = 0;
    /* The warm-up array stays allocated for the life of the forecaster, so
     * a reset one can warm up again. */
    if (hw->warmup)
        std::memset(hw->warmup, 0, sizeof(uint64_t) * hw->num_season_slots);
    if (hw->seasonal)
        std::memset(hw->seasonal, 0, sizeof(double) * hw->num_season_slots);
}

int oxlo_single_smoothing_init(oxlo_single_smoothing *ses, double alpha, float significance)
{
    if (!ses)
        return -1;
    std::memset(ses, 0, sizeof(*ses));
    ses->alpha = alpha;
    ses->z = z_factor(significance);
    return 0;
}

int oxlo_single_smoothing_add(oxlo_single_smoothing *ses, double value, double *forecast, double *confidence)
{
    set_outputs(forecast, 0, confidence, 0);
    if (!ses)
        return 0;
    int stepped = ses->count > 0;
    double smoothed = stepped ? ses->alpha * value + (1 - ses->alpha) * ses->last_forecast : value;
    double e = (value - smoothed) * (value - smoothed);
    double c = confidence_step(e, ses->count, ses->count + 1, ses->z, ses->sum_square_error,
                               ses->next_sum_square_error, ses->block_counter);
    ses->last_forecast = smoothed;
    ses->last_value = value;
    ses->count++;
    set_outputs(forecast, smoothed, confidence, stepped ? c : 0);
    return stepped;
}

void oxlo_single_smoothing_reset(oxlo_single_smoothing *ses)
{
    if (!ses)
        return;
    ses->count = 0;
    ses->block_counter = 0;
    ses->sum_square_error = ses->next_sum_square_error = 0;
    ses->last_value = ses->last_forecast = 0;
}

int oxlo_single_smoothing_fit(const double *values, uint32_t n, float *alpha)
{
    if (alpha)
        *alpha = 0;
    if (!values || n == 0 || !alpha)
        return -1;
    bool have_best = false;
    double best = 0;
    for (int a = 0; a < grid_size; a++) {
        oxlo_single_smoothing s;
        oxlo_single_smoothing_init(&s, grid_value(a), 0.05f);
        double score = 0;
        for (uint32_t i = 0; i < n; i++) {
            double f, c;
            if (oxlo_single_smoothing_add(&s, values[i], &f, &c))
                score += (f - values[i]) * (f - values[i]);
        }
        if (better(have_best, best, score)) {
            have_best = true;
            best = score;
            *alpha = grid_value(a);
        }
    }
    return 0;
}

int oxlo_double_smoothing_init(oxlo_double_smoothing *des, double alpha, double beta, float significance)
{
    if (!des)
        return -1;
    std::memset(des, 0, sizeof(*des));
    des->alpha = alpha;
    des->beta = beta;
    des->z = z_factor(significance);
    return 0;
}

int oxlo_double_smoothing_add(oxlo_double_smoothing *des, double value, double *forecast, double *confidence)
{
    set_outputs(forecast, 0, confidence, 0);
    if (!des)
        return 0;
    int stepped = des->count > 0;
    double smoothed = value;
    if (stepped) {
        smoothed = des->alpha * value + (1 - des->alpha) * (des->level + des->trend);
        des->trend = des->beta * (smoothed - des->level) + (1 - des->beta) * des->trend;
    } else {
        des->trend = 0;
    }
    double e = (value - smoothed) * (value - smoothed);
    double c = confidence_step(e, des->count, des->count + 1, des->z, des->sum_square_error,
                               des->next_sum_square_error, des->block_counter);
    des->level = smoothed;
    des->last_value = value;
    des->count++;
    set_outputs(forecast, smoothed, confidence, stepped ? c : 0);
    return stepped;
}

void oxlo_double_smoothing_reset(oxlo_double_smoothing *des)
{
    if (!des)
        return;
    des->count = 0;
    des->block_counter = 0;
    des->sum_square_error = des->next_sum_square_error = 0;
    des->level = des->trend = des->last_value = 0;
}

int oxlo_double_smoothing_fit(const double *values, uint32_t n, float *alpha, float *beta)
{
    if (alpha)
        *alpha = 0;
    if (beta)
        *beta = 0;
    if (!values || n == 0 || !alpha || !beta)
        return -1;
    bool have_best = false;
    double best = 0;
    for (int b = 0; b < grid_size; b++) {
        for (int a = 0; a < grid_size; a++) {
            oxlo_double_smoothing s;
            oxlo_double_smoothing_init(&s, grid_value(a), grid_value(b), 0.05f);
            double score = 0;
            for (uint32_t i = 0; i < n; i++) {
                double f, c;
                if (oxlo_double_smoothing_add(&s, values[i], &f, &c))
                    score += (f - values[i]) * (f - values[i]);
            }
            if (better(have_best, best, score)) {
                have_best = true;
                best = score;
                *alpha = grid_value(a);
                *beta = grid_value(b);
            }
        }
    }
    return 0;
}

} // extern "C"
