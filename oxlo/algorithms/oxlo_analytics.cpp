/* Running statistics and small analytics over series of counters. The
 * summaries are cheap enough to update per packet; the few routines that
 * need scratch space take it from the library's allocator. */
#include "oxlo_analytics.h"

#include "oxlo_memory.h"

#include <cmath>
#include <cstring>

namespace {

uint64_t abs_diff(uint64_t a, uint64_t b)
{
    return a > b ? a - b : b - a;
}

uint32_t window_entries(const oxlo_data_analysis *s)
{
    return s->count < s->window_size ? s->count : s->window_size;
}

/* Population mean and deviation of a u32 series. */
void mean_and_deviation(const uint32_t *values, uint32_t n, double &mean, double &deviation)
{
    oxlo_data_analysis s;
    oxlo_data_analysis_init(&s, 0);
    for (uint32_t i = 0; i < n; i++)
        oxlo_data_analysis_add(&s, values[i]);
    mean = oxlo_data_analysis_average(&s);
    deviation = oxlo_data_analysis_stddev(&s);
}

/* Divides v by the sum of its elements; false when the sum is 0 (or not a
 * number), which would poison every later similarity. */
bool normalise(double *v, uint16_t dimension)
{
    double sum = 0;
    for (uint16_t i = 0; i < dimension; i++)
        sum += v[i];
    if (sum == 0 || !std::isfinite(sum))
        return false;
    for (uint16_t i = 0; i < dimension; i++)
        v[i] /= sum;
    return true;
}

double dot(const double *a, const double *b, uint16_t dimension)
{
    double d = 0;
    for (uint16_t i = 0; i < dimension; i++)
        d += a[i] * b[i];
    return d;
}

} // namespace

extern "C" {

void oxlo_data_analysis_init(oxlo_data_analysis *s, uint16_t window_size)
{
    if (!s)
        return;
    std::memset(s, 0, sizeof(*s));
    s->window_size = window_size > OXLO_DATA_ANALYSIS_MAX_WINDOW ? OXLO_DATA_ANALYSIS_MAX_WINDOW : window_size;
    if (s->window_size) {
        s->window = static_cast<uint64_t *>(oxlo_heap_calloc(s->window_size, sizeof(uint64_t)));
        if (!s->window)
            s->window_size = 0;
    }
}

oxlo_data_analysis *oxlo_data_analysis_alloc(uint16_t window_size)
{
    auto *s = static_cast<oxlo_data_analysis *>(oxlo_heap_alloc(sizeof(oxlo_data_analysis)));
    if (s)
        oxlo_data_analysis_init(s, window_size);
    return s;
}

void oxlo_data_analysis_free(oxlo_data_analysis *s, int free_struct)
{
    if (!s)
        return;
    oxlo_heap_free(s->window);
    s->window = nullptr;
    s->window_size = 0;
    if (free_struct)
        oxlo_heap_free(s);
}

void oxlo_data_analysis_reset(oxlo_data_analysis *s)
{
    if (!s)
        return;
    uint64_t *window = s->window;
    uint16_t size = s->window_size;
    std::memset(s, 0, sizeof(*s));
    s->window = window;
    s->window_size = size;
    if (window)
        std::memset(window, 0, size * sizeof(uint64_t));
}

void oxlo_data_analysis_add(oxlo_data_analysis *s, uint64_t value)
{
    if (!s)
        return;
    if (s->count > 0) {
        s->jitter_sum += abs_diff(value, s->last_value);
        if (value < s->min)
            s->min = value;
        if (value > s->max)
            s->max = value;
    } else {
        s->min = s->max = value;
    }
    s->sum += value;
    s->count++;
    if (s->window) {
        s->window[s->next] = value;
        s->next = (s->next + 1) % s->window_size;
    }
    s->sum_squares += static_cast<double>(value) * static_cast<double>(value);
    s->last_value = value;
}

oxlo_data_analysis *oxlo_data_analysis_from_values(const uint32_t *values, uint32_t n)
{
    if (!values)
        return nullptr;
    uint16_t size = static_cast<uint16_t>(n);
    oxlo_data_analysis *s = oxlo_data_analysis_alloc(size);
    if (!s)
        return nullptr;
    for (uint16_t i = 0; i < size; i++)
        oxlo_data_analysis_add(s, values[i]);
    return s;
}

float oxlo_data_analysis_average(const oxlo_data_analysis *s)
{
    if (!s || s->count == 0)
        return 0;
    return static_cast<float>(static_cast<double>(s->sum) / s->count);
}

float oxlo_data_analysis_mean(const oxlo_data_analysis *s)
{
    return oxlo_data_analysis_average(s);
}

float oxlo_data_analysis_peak_ratio(const oxlo_data_analysis *s)
{
    float average = oxlo_data_analysis_average(s);
    return average == 0 ? 0 : static_cast<float>(s->max / static_cast<double>(average));
}

uint64_t oxlo_data_analysis_last(const oxlo_data_analysis *s)
{
    if (!s || s->count == 0 || !s->window)
        return 0;
    return s->window[s->next == 0 ? s->window_size - 1 : s->next - 1];
}

uint64_t oxlo_data_analysis_min(const oxlo_data_analysis *s)
{
    return s ? s->min : 0;
}

uint64_t oxlo_data_analysis_max(const oxlo_data_analysis *s)
{
    return s ? s->max : 0;
}

float oxlo_data_analysis_variance(const oxlo_data_analysis *s)
{
    if (!s || s->count == 0)
        return 0;
    double mean = static_cast<double>(s->sum) / s->count;
    double v = s->sum_squares / s->count - mean * mean;
    return v < 0 ? 0 : static_cast<float>(v);
}

float oxlo_data_analysis_stddev(const oxlo_data_analysis *s)
{
    return std::sqrt(oxlo_data_analysis_variance(s));
}

float oxlo_data_analysis_jitter(const oxlo_data_analysis *s)
{
    if (!s || s->count < 2)
        return 0;
    return static_cast<float>(static_cast<double>(s->jitter_sum) / (s->count - 1));
}

float oxlo_data_analysis_window_average(const oxlo_data_analysis *s)
{
    if (!s || !s->window)
        return 0;
    uint32_t n = window_entries(s);
    if (n == 0)
        return 0;
    double sum = 0;
    for (uint32_t i = 0; i < n; i++)
        sum += static_cast<double>(s->window[i]);
    return static_cast<float>(sum / n);
}

float oxlo_data_analysis_window_variance(const oxlo_data_analysis *s)
{
    if (!s || !s->window)
        return 0;
    uint32_t n = window_entries(s);
    if (n == 0)
        return 0;
    double average = oxlo_data_analysis_window_average(s);
    double sum = 0;
    for (uint32_t i = 0; i < n; i++) {
        double d = static_cast<double>(s->window[i]) - average;
        sum += d * d;
    }
    return static_cast<float>(sum / n);
}

float oxlo_data_analysis_window_stddev(const oxlo_data_analysis *s)
{
    return std::sqrt(oxlo_data_analysis_window_variance(s));
}

float oxlo_data_analysis_window_entropy(const oxlo_data_analysis *s)
{
    if (!s || !s->window)
        return 0;
    double total = 0;
    for (uint16_t i = 0; i < s->window_size; i++)
        total += static_cast<double>(s->window[i]);
    if (total == 0)
        return 0;
    double h = 0;
    for (uint16_t i = 0; i < s->window_size; i++) {
        double p = static_cast<double>(s->window[i]) / total;
        if (p > 1.1920929e-7)
            h -= p * std::log(p);
    }
    return static_cast<float>(h / 0.6931472);
}

float oxlo_traffic_ratio(uint32_t a, uint32_t b)
{
    double total = static_cast<double>(a) + b;
    if (total == 0)
        return 0;
    return static_cast<float>((static_cast<double>(a) - b) / total);
}

const char *oxlo_traffic_ratio_name(float ratio)
{
    if (ratio < -0.2f)
        return "Download";
    if (ratio > 0.2f)
        return "Upload";
    return "Mixed";
}

int oxlo_relative_strength_init(oxlo_relative_strength *r, uint16_t window)
{
    if (!r || window == 0)
        return -1;
    std::memset(r, 0, sizeof(*r));
    r->gains = static_cast<uint32_t *>(oxlo_heap_calloc(window, sizeof(uint32_t)));
    r->losses = static_cast<uint32_t *>(oxlo_heap_calloc(window, sizeof(uint32_t)));
    if (!r->gains || !r->losses) {
        oxlo_relative_strength_free(r);
        return -1;
    }
    r->window = window;
    r->flags = OXLO_STATS_NO_VALUE_YET;
    return 0;
}

void oxlo_relative_strength_free(oxlo_relative_strength *r)
{
    if (!r)
        return;
    oxlo_heap_free(r->gains);
    oxlo_heap_free(r->losses);
    r->gains = r->losses = nullptr;
    r->window = 0;
}

float oxlo_relative_strength_add(oxlo_relative_strength *r, uint32_t value)
{
    if (!r || !r->gains || !r->losses)
        return 0;
    uint16_t i = r->next;
    if (!(r->flags & OXLO_STATS_NO_VALUE_YET)) {
        r->total_gains -= r->gains[i];
        r->total_losses -= r->losses[i];
        if (value > r->last_value) {
            r->gains[i] = value - r->last_value;
            r->losses[i] = 0;
            r->total_gains += r->gains[i];
        } else {
            r->losses[i] = r->last_value - value;
            r->gains[i] = 0;
            r->total_losses += r->losses[i];
        }
    }
    r->last_value = value;
    r->flags &= ~OXLO_STATS_NO_VALUE_YET;
    r->next = (i + 1) % r->window;
    if (r->next == 0)
        r->flags |= OXLO_STATS_WINDOW_FULL;
    if (!(r->flags & OXLO_STATS_WINDOW_FULL))
        return -1;
    if (r->total_losses == 0)
        return 100;
    return 100.0f - 100.0f / (1.0f + static_cast<float>(r->total_gains) / r->total_losses);
}

int oxlo_jitter_window_init(oxlo_jitter_window *j, uint16_t window)
{
    if (!j)
        return -1;
    std::memset(j, 0, sizeof(*j));
    j->window = window < 2 ? 2 : window;
    j->diffs = static_cast<float *>(oxlo_heap_calloc(j->window, sizeof(float)));
    if (!j->diffs) {
        j->window = 0;
        return -1;
    }
    j->flags = OXLO_STATS_NO_VALUE_YET;
    return 0;
}

void oxlo_jitter_window_free(oxlo_jitter_window *j)
{
    if (!j)
        return;
    oxlo_heap_free(j->diffs);
    j->diffs = nullptr;
    j->window = 0;
}

float oxlo_jitter_window_add(oxlo_jitter_window *j, float value)
{
    if (!j || !j->diffs)
        return 0;
    if (!(j->flags & OXLO_STATS_NO_VALUE_YET)) {
        j->total -= j->diffs[j->next];
        j->diffs[j->next] = std::fabs(value - j->last_value);
        j->total += j->diffs[j->next];
    }
    j->last_value = value;
    j->flags &= ~OXLO_STATS_NO_VALUE_YET;
    j->next = (j->next + 1) % j->window;
    if (j->next == 0)
        j->flags |= OXLO_STATS_WINDOW_FULL;
    return (j->flags & OXLO_STATS_WINDOW_FULL) ? j->total / j->window : -1;
}

uint32_t oxlo_find_outliers(const uint32_t *values, uint8_t *flags, uint32_t n)
{
    if (!values || !flags || n == 0)
        return 0;
    double mean, deviation;
    mean_and_deviation(values, n, mean, deviation);
    if (deviation == 0)
        return 0;
    uint32_t found = 0;
    for (uint32_t i = 0; i < n; i++) {
        double z = (values[i] - mean) / deviation;
        flags[i] = (z < -2.5 || z > 2.5) ? 1 : 0;
        found += flags[i];
    }
    return found;
}

int oxlo_outside_band(const uint32_t *values, uint32_t n, uint32_t value, float *lower, float *upper,
                      float factor)
{
    if (!values || !lower || !upper || n == 0)
        return 0;
    double mean, deviation;
    mean_and_deviation(values, n, mean, deviation);
    if (factor >= 1)
        deviation *= factor;
    *lower = static_cast<float>(mean - deviation);
    *upper = static_cast<float>(mean + deviation);
    return (value < *lower || value > *upper) ? 1 : 0;
}

int oxlo_predict_linear(const uint32_t *values, uint32_t n, uint32_t periods, uint32_t *prediction)
{
    if (!values || !prediction || n == 0)
        return -1;
    float sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (uint32_t i = 0; i < n; i++) {
        float x = static_cast<float>(i + 1);
        sx += x;
        sy += values[i];
        sxx += x * x;
        sxy += x * values[i];
    }
    float d = n * sxx - sx * sx;
    if (d == 0)
        return -1;
    float slope = (n * sxy - sx * sy) / d;
    float intercept = (sxx * sy - sx * sxy) / d;
    float at = slope * static_cast<float>(static_cast<uint64_t>(n) + periods - 1) + intercept;
    *prediction = at <= 0 ? 0 : (at >= 4294967295.0f ? UINT32_MAX : static_cast<uint32_t>(at));
    return 0;
}

double oxlo_pearson_correlation(const uint32_t *x, const uint32_t *y, uint32_t n)
{
    uint16_t m = static_cast<uint16_t>(n);
    if (!x || !y || m == 0)
        return 0;
    double mx = 0, my = 0;
    for (uint16_t i = 0; i < m; i++) {
        mx += x[i];
        my += y[i];
    }
    mx /= m;
    my /= m;
    double vx = 0, vy = 0, cov = 0;
    for (uint16_t i = 0; i < m; i++) {
        double dx = x[i] - mx, dy = y[i] - my;
        vx += dx * dx;
        vy += dy * dy;
        cov += dx * dy;
    }
    vx /= m;
    vy /= m;
    cov /= m;
    if (vx == 0 || vy == 0)
        return 0;
    return cov / std::sqrt(vx * vy);
}

double oxlo_sq_euclidean_distance(const double *a, const double *b, uint32_t n)
{
    if (!a || !b)
        return 0;
    double d = 0;
    for (uint32_t i = 0; i < n; i++)
        d += (a[i] - b[i]) * (a[i] - b[i]);
    return d;
}

int oxlo_bit_counter_init(oxlo_bit_counter *c)
{
    if (!c)
        return -1;
    c->set_bits = c->bytes = 0;
    return 0;
}

void oxlo_bit_counter_add(oxlo_bit_counter *c, const uint8_t *buf, size_t len)
{
    if (!c || !buf)
        return;
    size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        uint32_t word;
        std::memcpy(&word, buf + i, sizeof(word));
        c->set_bits += __builtin_popcount(word);
    }
    for (; i < len; i++)
        c->set_bits += __builtin_popcount(buf[i]);
    c->bytes += len;
}

float oxlo_mahalanobis_distance(const uint32_t *x, uint32_t n, const float *mean,
                                const float *inverse_covariance)
{
    if (!x || !mean || !inverse_covariance || n == 0)
        return 0;
    auto *r = static_cast<float *>(oxlo_heap_calloc(n, sizeof(float)));
    auto *s = static_cast<float *>(oxlo_heap_calloc(n, sizeof(float)));
    float result = 0;
    if (r && s) {
        for (uint32_t k = 0; k < n; k++)
            r[k] = static_cast<float>(x[k]) - mean[k];
        double total = 0;
        for (uint32_t j = 0; j < n; j++) {
            double sj = 0;
            for (uint32_t k = 0; k < n; k++)
                sj += static_cast<double>(inverse_covariance[static_cast<size_t>(k) * n + j]) * r[k];
            s[j] = static_cast<float>(sj);
            total += sj * r[j];
        }
        result = total > 0 ? static_cast<float>(std::sqrt(total)) : 0;
    }
    oxlo_heap_free(r);
    oxlo_heap_free(s);
    return result;
}

oxlo_vector_set *oxlo_vector_set_alloc(uint16_t dimension)
{
    auto *vs = static_cast<oxlo_vector_set *>(oxlo_heap_calloc(1, sizeof(oxlo_vector_set)));
    if (vs)
        vs->dimension = dimension;
    return vs;
}

void oxlo_vector_set_free(oxlo_vector_set *vs)
{
    if (!vs)
        return;
    oxlo_heap_free(vs->vectors);
    oxlo_heap_free(vs);
}

int oxlo_vector_set_add(oxlo_vector_set *vs, double *v)
{
    if (!vs || !v || vs->dimension == 0 || !normalise(v, vs->dimension))
        return 0;
    size_t vector_bytes = vs->dimension * sizeof(double);
    if (vs->bytes_used > UINT32_MAX - vector_bytes)
        return 0;
    auto *grown = static_cast<double *>(oxlo_heap_realloc(vs->vectors, vs->bytes_used + vector_bytes));
    if (!grown)
        return 0;
    vs->vectors = grown;
    for (uint32_t i = 0; i < vs->num_vectors; i++) {
        double similarity = dot(vs->vectors + static_cast<size_t>(i) * vs->dimension, v, vs->dimension);
        if (similarity > vs->max_similarity)
            vs->max_similarity = similarity;
    }
    std::memcpy(vs->vectors + static_cast<size_t>(vs->num_vectors) * vs->dimension, v, vector_bytes);
    vs->bytes_used += vector_bytes;
    vs->num_vectors++;
    return 1;
}

int oxlo_vector_set_is_novel(oxlo_vector_set *vs, double *v)
{
    if (!vs || !v || vs->dimension == 0 || !normalise(v, vs->dimension))
        return 0;
    for (uint32_t i = 0; i < vs->num_vectors; i++)
        if (dot(vs->vectors + static_cast<size_t>(i) * vs->dimension, v, vs->dimension) > vs->max_similarity)
            return 1;
    return 0;
}

} // extern "C"
