#include "oxlo_analytics.h"

#include "reference_runner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

void expect_relative(double ours, double theirs, double tolerance, const char *what)
{
    EXPECT_NEAR(ours, theirs, std::fabs(theirs) * tolerance + 1e-9) << what;
}

std::vector<double> as_doubles(const std::vector<uint32_t> &v)
{
    return {v.begin(), v.end()};
}

TEST(RunningStatistics, agrees_with_numpy_over_a_wide_random_series)
{
    std::mt19937 rng(7);
    std::vector<uint32_t> x(10000);
    for (auto &v : x)
        v = rng();
    oxlo_data_analysis s;
    oxlo_data_analysis_init(&s, 512);
    for (uint32_t v : x)
        oxlo_data_analysis_add(&s, v);
    auto ref = reference::run("running", {{"x", as_doubles(x)}, {"window", {512}}});
    expect_relative(oxlo_data_analysis_mean(&s), ref["mean"][0], 1e-4, "mean");
    expect_relative(oxlo_data_analysis_variance(&s), ref["variance"][0], 1e-4, "variance");
    expect_relative(oxlo_data_analysis_stddev(&s), ref["stddev"][0], 1e-4, "stddev");
    expect_relative(oxlo_data_analysis_jitter(&s), ref["jitter"][0], 1e-4, "jitter");
    expect_relative(oxlo_data_analysis_window_average(&s), ref["window_mean"][0], 1e-4, "window mean");
    expect_relative(oxlo_data_analysis_window_variance(&s), ref["window_variance"][0], 1e-4, "window variance");
    expect_relative(oxlo_data_analysis_window_entropy(&s), ref["window_entropy"][0], 1e-4, "entropy");
    EXPECT_EQ(oxlo_data_analysis_last(&s), x.back());
    oxlo_data_analysis_free(&s, 0);
}

TEST(RunningStatistics, jitter_without_a_window_is_the_mean_step)
{
    oxlo_data_analysis s;
    oxlo_data_analysis_init(&s, 0);
    for (uint64_t v : {100, 110, 100, 110})
        oxlo_data_analysis_add(&s, v);
    EXPECT_FLOAT_EQ(oxlo_data_analysis_jitter(&s), 10);
    EXPECT_EQ(oxlo_data_analysis_last(&s), 0u);
    EXPECT_FLOAT_EQ(oxlo_data_analysis_window_average(&s), 0);
}

TEST(RunningStatistics, variance_of_large_equal_values_is_zero)
{
    oxlo_data_analysis s;
    oxlo_data_analysis_init(&s, 0);
    for (int i = 0; i < 1000; i++)
        oxlo_data_analysis_add(&s, 1ull << 40);
    EXPECT_FLOAT_EQ(oxlo_data_analysis_variance(&s), 0);
    EXPECT_FLOAT_EQ(oxlo_data_analysis_mean(&s), static_cast<float>(1ull << 40));
}

TEST(RunningStatistics, ring_min_max_and_window_cut)
{
    oxlo_data_analysis s;
    oxlo_data_analysis_init(&s, 3);
    for (uint64_t v : {1, 2, 3, 4})
        oxlo_data_analysis_add(&s, v);
    EXPECT_EQ(s.window[0], 4u);
    EXPECT_EQ(s.window[1], 2u);
    EXPECT_EQ(s.window[2], 3u);
    EXPECT_EQ(oxlo_data_analysis_last(&s), 4u);
    EXPECT_FLOAT_EQ(oxlo_data_analysis_window_average(&s), 3);
    EXPECT_FLOAT_EQ(oxlo_data_analysis_peak_ratio(&s), 4 / 2.5f);
    oxlo_data_analysis_reset(&s);
    EXPECT_EQ(s.count, 0u);
    EXPECT_EQ(s.window_size, 3);
    EXPECT_EQ(s.window[0], 0u);
    for (uint64_t v : {0, 0, 5})
        oxlo_data_analysis_add(&s, v);
    EXPECT_EQ(oxlo_data_analysis_min(&s), 0u);
    EXPECT_EQ(oxlo_data_analysis_max(&s), 5u);
    oxlo_data_analysis_free(&s, 0);

    oxlo_data_analysis *big = oxlo_data_analysis_alloc(600);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->window_size, 512);
    oxlo_data_analysis_free(big, 1);

    uint32_t values[] = {5, 1, 9};
    oxlo_data_analysis *from = oxlo_data_analysis_from_values(values, 3);
    ASSERT_NE(from, nullptr);
    EXPECT_EQ(from->count, 3u);
    EXPECT_FLOAT_EQ(oxlo_data_analysis_window_average(from), 5);
    oxlo_data_analysis_free(from, 1);
}

TEST(RunningStatistics, null_objects_answer_zero)
{
    EXPECT_FLOAT_EQ(oxlo_data_analysis_mean(nullptr), 0);
    EXPECT_FLOAT_EQ(oxlo_data_analysis_variance(nullptr), 0);
    EXPECT_FLOAT_EQ(oxlo_data_analysis_window_entropy(nullptr), 0);
    EXPECT_EQ(oxlo_data_analysis_last(nullptr), 0u);
    oxlo_data_analysis_add(nullptr, 1);
    oxlo_data_analysis_free(nullptr, 1);
    EXPECT_EQ(oxlo_relative_strength_init(nullptr, 3), -1);
    EXPECT_EQ(oxlo_jitter_window_init(nullptr, 3), -1);
    EXPECT_EQ(oxlo_bit_counter_init(nullptr), -1);
    EXPECT_EQ(oxlo_mahalanobis_distance(nullptr, 4, nullptr, nullptr), 0);
    EXPECT_EQ(oxlo_vector_set_add(nullptr, nullptr), 0);
}

TEST(Series, outliers_and_fitted_line_agree_with_numpy)
{
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(1000, 100);
    std::vector<uint32_t> x(1000);
    for (size_t i = 0; i < x.size(); i++)
        x[i] = static_cast<uint32_t>(std::max(0.0, noise(rng)) + i / 4);
    for (size_t at : {17, 400, 401, 999})
        x[at] = 100000;
    std::vector<uint8_t> flags(x.size(), 9);
    uint32_t found = oxlo_find_outliers(x.data(), flags.data(), x.size());
    auto ref = reference::run("running", {{"x", as_doubles(x)}, {"window", {16}}});
    ASSERT_EQ(found, ref["outliers"].size());
    for (double at : ref["outliers"])
        EXPECT_EQ(flags[static_cast<size_t>(at)], 1) << at;

    std::vector<uint32_t> small(x.begin(), x.begin() + 17);
    small[0] = 700;
    auto fit = reference::run("running", {{"x", as_doubles(small)}, {"window", {16}}});
    uint32_t prediction = 0;
    ASSERT_EQ(oxlo_predict_linear(small.data(), small.size(), 1, &prediction), 0);
    EXPECT_NEAR(prediction, fit["fitted_last"][0], 1.01);

    uint32_t same[] = {7, 7, 7, 7};
    uint8_t untouched[4] = {9, 9, 9, 9};
    EXPECT_EQ(oxlo_find_outliers(same, untouched, 4), 0u);
    EXPECT_EQ(untouched[0], 9);
}

TEST(Series, linear_prediction_band_and_ratio)
{
    uint32_t rising[] = {2, 4, 6};
    uint32_t prediction = 0;
    ASSERT_EQ(oxlo_predict_linear(rising, 3, 1, &prediction), 0);
    EXPECT_EQ(prediction, 6u);
    ASSERT_EQ(oxlo_predict_linear(rising, 3, 3, &prediction), 0);
    EXPECT_EQ(prediction, 10u);
    EXPECT_EQ(oxlo_predict_linear(rising, 0, 1, &prediction), -1);

    uint32_t band[] = {10, 20, 30};
    float lower, upper;
    EXPECT_EQ(oxlo_outside_band(band, 3, 25, &lower, &upper, 0.5f), 0);
    EXPECT_NEAR(lower, 20 - std::sqrt(200.0 / 3), 1e-4);
    EXPECT_EQ(oxlo_outside_band(band, 3, 5, &lower, &upper, 1), 1);
    EXPECT_EQ(oxlo_outside_band(band, 3, 5, &lower, &upper, 2), 0);

    EXPECT_FLOAT_EQ(oxlo_traffic_ratio(30, 70), -0.4f);
    EXPECT_STREQ(oxlo_traffic_ratio_name(oxlo_traffic_ratio(30, 70)), "Download");
    EXPECT_STREQ(oxlo_traffic_ratio_name(oxlo_traffic_ratio(70, 30)), "Upload");
    EXPECT_STREQ(oxlo_traffic_ratio_name(oxlo_traffic_ratio(50, 50)), "Mixed");
    EXPECT_FLOAT_EQ(oxlo_traffic_ratio(0, 0), 0);
}

TEST(Series, correlation_and_distances_agree_with_numpy_and_scipy)
{
    std::mt19937 rng(3);
    std::vector<uint32_t> x(300), y(300);
    for (size_t i = 0; i < x.size(); i++) {
        x[i] = rng() % 100000;
        y[i] = x[i] / 2 + rng() % 40000;
    }
    std::vector<double> dx = as_doubles(x), dy = as_doubles(y);
    auto ref = reference::run("pair", {{"x", dx}, {"y", dy}});
    EXPECT_NEAR(oxlo_pearson_correlation(x.data(), y.data(), x.size()), ref["pearson"][0], 1e-9);
    expect_relative(oxlo_sq_euclidean_distance(dx.data(), dy.data(), dx.size()), ref["sq_euclidean"][0], 1e-12,
                    "sq euclidean");
    std::vector<uint32_t> flat(300, 5);
    EXPECT_EQ(oxlo_pearson_correlation(x.data(), flat.data(), x.size()), 0);

    /* A random symmetric positive-definite inverse covariance: A A' + n I. */
    const uint32_t n = 4;
    std::uniform_real_distribution<double> u(-1, 1);
    double a[n][n];
    for (auto &row : a)
        for (double &v : row)
            v = u(rng);
    std::vector<float> vi(n * n), mean(n);
    for (uint32_t i = 0; i < n; i++)
        for (uint32_t j = 0; j < n; j++) {
            double s = i == j ? n : 0;
            for (uint32_t k = 0; k < n; k++)
                s += a[i][k] * a[j][k];
            vi[i * n + j] = static_cast<float>(s * 1e-4);
        }
    uint32_t point[n] = {1850, 4000, 700, 1200};
    for (uint32_t i = 0; i < n; i++)
        mean[i] = 1000.5f + 300 * i;
    auto m = reference::run("mahalanobis", {{"x", {point, point + n}},
                                            {"mean", {mean.begin(), mean.end()}},
                                            {"vi", {vi.begin(), vi.end()}},
                                            {"n", {double(n)}}});
    expect_relative(oxlo_mahalanobis_distance(point, n, mean.data(), vi.data()), m["distance"][0], 1e-4,
                    "mahalanobis");

    float negative[] = {-1, 0, 0, -1};
    float zero_mean[] = {0, 0};
    uint32_t p2[] = {3, 4};
    EXPECT_EQ(oxlo_mahalanobis_distance(p2, 2, zero_mean, negative), 0);
}

TEST(Windows, relative_strength_and_jitter_fill_before_answering)
{
    oxlo_relative_strength r;
    ASSERT_EQ(oxlo_relative_strength_init(&r, 3), 0);
    EXPECT_FLOAT_EQ(oxlo_relative_strength_add(&r, 10), -1);
    EXPECT_FLOAT_EQ(oxlo_relative_strength_add(&r, 12), -1);
    EXPECT_FLOAT_EQ(oxlo_relative_strength_add(&r, 15), 100);
    /* Slot 0 now takes the loss of 3: gains 2 + 3, losses 3 in the window... */
    EXPECT_FLOAT_EQ(oxlo_relative_strength_add(&r, 12), 100 - 100 / (1 + 5.0f / 3));
    /* ...and the next value pushes the gain of 2 out. */
    EXPECT_FLOAT_EQ(oxlo_relative_strength_add(&r, 12), 100 - 100 / (1 + 3.0f / 3));
    oxlo_relative_strength_free(&r);
    EXPECT_EQ(oxlo_relative_strength_init(&r, 0), -1);

    oxlo_jitter_window j;
    ASSERT_EQ(oxlo_jitter_window_init(&j, 1), 0);
    EXPECT_EQ(j.window, 2);
    EXPECT_FLOAT_EQ(oxlo_jitter_window_add(&j, 1), -1);
    EXPECT_FLOAT_EQ(oxlo_jitter_window_add(&j, 3), 1); /* steps 0, 2 */
    EXPECT_FLOAT_EQ(oxlo_jitter_window_add(&j, 4), 1.5f); /* slot 0 now 1 */
    EXPECT_FLOAT_EQ(oxlo_jitter_window_add(&j, 8), 2.5f); /* slot 1 now 4 */
    oxlo_jitter_window_free(&j);
}

TEST(Counters, bit_counter_counts_words_and_tail_bytes)
{
    oxlo_bit_counter c;
    ASSERT_EQ(oxlo_bit_counter_init(&c), 0);
    const uint8_t buf[] = {0xff, 0x01, 0x00, 0x80, 0x0f, 0x03, 0x01};
    oxlo_bit_counter_add(&c, buf, sizeof(buf));
    EXPECT_EQ(c.set_bits, 8u + 1 + 1 + 4 + 2 + 1);
    EXPECT_EQ(c.bytes, sizeof(buf));
}

TEST(VectorSet, similarity_is_tracked_and_zero_vectors_refused)
{
    oxlo_vector_set *vs = oxlo_vector_set_alloc(3);
    ASSERT_NE(vs, nullptr);
    double a[] = {1, 1, 2};
    double b[] = {2, 0, 2};
    double zero[] = {0, 0, 0};
    ASSERT_EQ(oxlo_vector_set_add(vs, a), 1);
    EXPECT_DOUBLE_EQ(a[2], 0.5);
    ASSERT_EQ(oxlo_vector_set_add(vs, b), 1);
    EXPECT_DOUBLE_EQ(vs->max_similarity, 0.25 * 0.5 + 0.5 * 0.5);
    EXPECT_EQ(oxlo_vector_set_add(vs, zero), 0);
    EXPECT_EQ(vs->num_vectors, 2u);
    double same_as_b[] = {1, 0, 1};
    EXPECT_EQ(oxlo_vector_set_is_novel(vs, same_as_b), 1);
    double spread[] = {1, 1, 1};
    EXPECT_EQ(oxlo_vector_set_is_novel(vs, spread), 0);
    EXPECT_EQ(oxlo_vector_set_is_novel(vs, zero), 0);
    oxlo_vector_set_free(vs);
}

} // namespace
