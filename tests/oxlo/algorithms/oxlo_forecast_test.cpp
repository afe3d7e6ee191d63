#include "oxlo_forecast.h"

#include "reference_runner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

namespace {

TEST(InverseNormal, within_the_approximation_error_of_scipy)
{
    std::vector<double> p;
    for (int i = 1; i < 1000; i++)
        p.push_back(i / 1000.0);
    p.push_back(1e-6);
    p.push_back(1 - 1e-6);
    auto ref = reference::run("ppf", {{"p", p}});
    ASSERT_EQ(ref["z"].size(), p.size());
    for (size_t i = 0; i < p.size(); i++)
        EXPECT_NEAR(oxlo_inverse_normal(p[i]), ref["z"][i], 4.5e-4) << p[i];
    for (double outside : {0.0, -1.0, 1.0, 2.0})
        EXPECT_EQ(oxlo_inverse_normal(outside), 0.0);
}

TEST(InverseNormal, significance_sets_the_z_factor)
{
    struct {
        float significance;
        double z;
    } cases[] = {{0.05f, 1.96}, {1.5f, 1.96}, {-1.0f, 1.96}, {0.01f, 2.576}, {0.32f, 0.994}, {0.0f, 0.0}};
    for (const auto &c : cases) {
        oxlo_single_smoothing s;
        ASSERT_EQ(oxlo_single_smoothing_init(&s, 0.5, c.significance), 0);
        EXPECT_NEAR(s.z, c.z, 2e-3) << c.significance;
    }
}

std::vector<double> random_walk(unsigned seed, int n, double start = 100)
{
    std::mt19937 gen(seed);
    std::normal_distribution<double> step(0, 3);
    std::vector<double> x;
    double v = start;
    for (int i = 0; i < n; i++) {
        v += step(gen) + 0.2;
        x.push_back(v);
    }
    return x;
}

/* Forecasts and confidences of one forecaster over a series. */
struct trace {
    std::vector<double> forecast, confidence;
    std::vector<int> stepped;
};

template <typename F> trace run_series(const std::vector<double> &x, F add)
{
    trace t;
    for (double v : x) {
        double f = -1, c = -1;
        t.stepped.push_back(add(v, &f, &c));
        t.forecast.push_back(f);
        t.confidence.push_back(c);
    }
    return t;
}

void expect_matches(const trace &t, reference::arrays &ref, size_t skip = 0)
{
    ASSERT_EQ(ref["forecast"].size(), t.forecast.size() - skip);
    for (size_t i = 0; i + skip < t.forecast.size(); i++) {
        EXPECT_NEAR(t.forecast[i + skip], ref["forecast"][i], 1e-9 * (1 + std::fabs(ref["forecast"][i]))) << i;
        EXPECT_NEAR(t.confidence[i + skip], ref["confidence"][i], 1e-6 * (1 + ref["confidence"][i])) << i;
    }
}

TEST(Smoothing, single_smoothing_agrees_with_an_iir_filter_over_the_error_windows)
{
    /* 300 values: the rolling error sum hands over at 64, 128, ... */
    auto x = random_walk(3, 300);
    oxlo_single_smoothing s;
    oxlo_single_smoothing_init(&s, 0.3, 0.05f);
    trace t = run_series(x, [&](double v, double *f, double *c) { return oxlo_single_smoothing_add(&s, v, f, c); });
    EXPECT_EQ(t.stepped[0], 0);
    EXPECT_EQ(t.stepped[1], 1);
    auto ref = reference::run("ses", {{"x", x}, {"alpha", {0.3}}, {"z", {s.z}}});
    expect_matches(t, ref);
}

TEST(Smoothing, double_smoothing_agrees_with_holts_method)
{
    auto x = random_walk(4, 300);
    oxlo_double_smoothing s;
    oxlo_double_smoothing_init(&s, 0.4, 0.2, 0.05f);
    trace t = run_series(x, [&](double v, double *f, double *c) { return oxlo_double_smoothing_add(&s, v, f, c); });
    auto ref = reference::run("holt", {{"x", x}, {"alpha", {0.4}}, {"beta", {0.2}}, {"z", {s.z}}});
    expect_matches(t, ref);
}

/* Two short series worked through by hand with the formulas: series A
 * (3, 5, 4, 8) for the smoothers, series B (10, 20, 12, 22, 14) for
 * Holt-Winters with season length 1 (two slots), and series C (0, 6, 4, 8),
 * whose zero warm-up value gives a seasonal factor of 0. Confidences are
 * z x sqrt(sum of squared errors / divisor), the divisor being the count
 * before the step (Holt-Winters) or that count + 1 (smoothers). */
struct hand_step {
    int stepped;
    double forecast;
    double mean_square; /* sum of squared errors / divisor */
};

void expect_steps(const char *what, const std::vector<hand_step> &want, double z,
                  const std::function<int(double, double *, double *)> &add, const std::vector<double> &x)
{
    ASSERT_EQ(want.size(), x.size());
    for (size_t i = 0; i < x.size(); i++) {
        double f = -1, c = -1;
        EXPECT_EQ(add(x[i], &f, &c), want[i].stepped) << what << " step " << i + 1;
        EXPECT_NEAR(f, want[i].forecast, 1e-12) << what << " step " << i + 1;
        EXPECT_NEAR(c, z * std::sqrt(want[i].mean_square), 1e-12) << what << " step " << i + 1;
    }
}

TEST(Smoothing, values_of_the_formulas_worked_by_hand)
{
    const std::vector<double> a = {3, 5, 4, 8};
    /* alpha 0.6: F2 = 0.6*5 + 0.4*3 = 4.2, e = 0.64, /2;
     * F3 = 0.6*4 + 0.4*4.2 = 4.08, e = 0.0064, (0.64 + 0.0064)/3;
     * F4 = 0.6*8 + 0.4*4.08 = 6.432, e = 1.568^2 = 2.458624, /4. */
    oxlo_single_smoothing ses;
    oxlo_single_smoothing_init(&ses, 0.6, 0.05f);
    expect_steps("single", {{0, 3, 0}, {1, 4.2, 0.64 / 2}, {1, 4.08, 0.6464 / 3}, {1, 6.432, 3.105024 / 4}}, ses.z,
                 [&](double v, double *f, double *c) { return oxlo_single_smoothing_add(&ses, v, f, c); }, a);
    /* alpha 0.6, beta 0.5: F2 = 0.6*5 + 0.4*(3 + 0) = 4.2, trend 0.5*1.2 = 0.6;
     * F3 = 0.6*4 + 0.4*(4.2 + 0.6) = 4.32, trend 0.5*0.12 + 0.5*0.6 = 0.36,
     * e = 0.1024; F4 = 0.6*8 + 0.4*(4.32 + 0.36) = 6.672, e = 1.328^2. */
    oxlo_double_smoothing des;
    oxlo_double_smoothing_init(&des, 0.6, 0.5, 0.05f);
    expect_steps("double", {{0, 3, 0}, {1, 4.2, 0.64 / 2}, {1, 4.32, 0.7424 / 3}, {1, 6.672, 2.505984 / 4}}, des.z,
                 [&](double v, double *f, double *c) { return oxlo_double_smoothing_add(&des, v, f, c); }, a);
}

TEST(HoltWinters, values_of_the_formulas_worked_by_hand)
{
    /* Series B, alpha = beta = gamma = 0.5. Warm-up 10, 20: mean 15,
     * factors 2/3 and 4/3; the third value 12 starts the level at
     * 12 / (4/3) = 9, trend 0.
     * Value 3 (slot 0, g 2/3): forecast 2/3 * 9 = 6; level
     *   0.5*12/(2/3) + 0.5*9 = 13.5, trend 2.25, factor 0.5*12/13.5 + 1/3 = 7/9.
     * Value 4 (slot 1, g 4/3): forecast 4/3 * 15.75 = 21; level
     *   0.5*22/(4/3) + 0.5*15.75 = 16.125, trend 0.5*2.625 + 0.5*2.25 = 2.4375.
     * Value 5 (slot 0, g 7/9): forecast 7/9 * 18.5625 = 14.4375.
     * Series C: warm-up 0, 6: factors 0 and 2, level 4/2 = 2. Value 3 (g 0):
     *   forecast 0; level 0, trend 0.5*(0 - 2) = -1, factor 0.
     * Value 4 (g 2): forecast 2 * (0 - 1) = -2.
     * Additive, seasonal terms v - mean, level v - last term:
     * B: terms -5 and 5, level 12 - 5 = 7. Value 3 (g -5): forecast 2; level
     *   0.5*(12 + 5) + 0.5*7 = 12, trend 2.5, term 0.5*(12 - 12) - 2.5 = -2.5.
     *   Value 4 (g 5): forecast 19.5; level 0.5*17 + 0.5*14.5 = 15.75, trend
     *   3.125. Value 5 (g -2.5): forecast 16.375.
     * C: terms -3 and 3, level 4 - 3 = 1 (a zero warm-up value is an offset
     *   like any other). Value 3 (g -3): forecast -2; level 4, trend 1.5.
     *   Value 4 (g 3): forecast 8.5. */
    struct {
        const char *what;
        std::vector<double> x;
        uint8_t additive;
        std::vector<hand_step> want;
    } cases[] = {
        {"B, multiplicative", {10, 20, 12, 22, 14}, 0,
         {{0, 0, 0}, {0, 0, 0}, {1, 6, 36.0 / 2}, {1, 21, 37.0 / 3}, {1, 14.4375, (37 + 0.4375 * 0.4375) / 4}}},
        {"B, additive", {10, 20, 12, 22, 14}, 1,
         {{0, 0, 0}, {0, 0, 0}, {1, 2, 100.0 / 2}, {1, 19.5, 106.25 / 3}, {1, 16.375, 111.890625 / 4}}},
        {"C, multiplicative", {0, 6, 4, 8}, 0, {{0, 0, 0}, {0, 0, 0}, {1, 0, 16.0 / 2}, {1, -2, (16.0 + 100) / 3}}},
        {"C, additive", {0, 6, 4, 8}, 1, {{0, 0, 0}, {0, 0, 0}, {1, -2, 36.0 / 2}, {1, 8.5, 36.25 / 3}}},
    };
    for (const auto &c : cases) {
        oxlo_holt_winters hw;
        ASSERT_EQ(oxlo_holt_winters_init(&hw, 1, c.additive, 0.5, 0.5, 0.5, 0.05f), 0);
        expect_steps(c.what, c.want, hw.z, [&](double v, double *f, double *conf) {
            return oxlo_holt_winters_add(&hw, static_cast<uint64_t>(v), f, conf);
        }, c.x);
        oxlo_holt_winters_free(&hw);
    }
}

TEST(Smoothing, constant_series_forecasts_the_value_with_no_spread)
{
    oxlo_single_smoothing ses;
    oxlo_double_smoothing des;
    oxlo_holt_winters hw, hwa;
    oxlo_single_smoothing_init(&ses, 0.3, 0.05f);
    oxlo_double_smoothing_init(&des, 0.3, 0.3, 0.05f);
    ASSERT_EQ(oxlo_holt_winters_init(&hw, 3, 0, 0.3, 0.2, 0.1, 0.05f), 0);
    ASSERT_EQ(oxlo_holt_winters_init(&hwa, 3, 1, 0.3, 0.2, 0.1, 0.05f), 0);
    for (int i = 0; i < 100; i++) {
        double f, c;
        oxlo_single_smoothing_add(&ses, 42, &f, &c);
        EXPECT_EQ(f, 42);
        EXPECT_EQ(c, 0);
        oxlo_double_smoothing_add(&des, 42, &f, &c);
        EXPECT_EQ(f, 42);
        EXPECT_EQ(c, 0);
        if (oxlo_holt_winters_add(&hw, 42, &f, &c)) {
            EXPECT_DOUBLE_EQ(f, 42);
            EXPECT_NEAR(c, 0, 1e-9);
        }
        if (oxlo_holt_winters_add(&hwa, 42, &f, &c)) {
            EXPECT_DOUBLE_EQ(f, 42);
            EXPECT_EQ(c, 0);
        }
    }
    oxlo_holt_winters_free(&hw);
    oxlo_holt_winters_free(&hwa);

    std::vector<double> flat(50, 7.0);
    float alpha = 0, beta = 0;
    EXPECT_EQ(oxlo_single_smoothing_fit(flat.data(), 50, &alpha), 0);
    EXPECT_FLOAT_EQ(alpha, 0.95f);
    EXPECT_EQ(oxlo_double_smoothing_fit(flat.data(), 50, &alpha, &beta), 0);
    EXPECT_FLOAT_EQ(alpha, 0.95f);
    EXPECT_FLOAT_EQ(beta, 0.95f);
    EXPECT_EQ(oxlo_single_smoothing_fit(nullptr, 50, &alpha), -1);
    EXPECT_EQ(alpha, 0.0f);
    EXPECT_EQ(oxlo_double_smoothing_fit(flat.data(), 0, &alpha, &beta), -1);
    EXPECT_EQ(beta, 0.0f);
}

TEST(Smoothing, fit_agrees_with_the_reference_grid_search)
{
    /* Scored against the smoothed values, noise around a level and a
     * drifting walk give different scores per alpha; the pick must be the
     * reference's, ties going to the later alpha. */
    std::mt19937 gen(6);
    std::normal_distribution<double> noise(0, 5);
    std::vector<double> level;
    for (int i = 0; i < 400; i++)
        level.push_back(100 + noise(gen));
    auto walk = random_walk(7, 400);
    for (const auto *x : {&level, &walk}) {
        float alpha = 0;
        ASSERT_EQ(oxlo_single_smoothing_fit(x->data(), static_cast<uint32_t>(x->size()), &alpha), 0);
        auto ref = reference::run("ses_fit", {{"x", *x}});
        ASSERT_EQ(ref["alpha"].size(), 1u);
        EXPECT_FLOAT_EQ(alpha, static_cast<float>(ref["alpha"][0]));
    }
}

std::vector<double> seasonal_series(bool additive, int period, int seasons, double trend)
{
    std::vector<double> x;
    for (int i = 0; i < period * seasons; i++) {
        double s = std::sin(2 * M_PI * i / period);
        double base = 1000 + trend * i;
        x.push_back(std::round(additive ? base + 200 * s : base * (1 + 0.3 * s)));
    }
    return x;
}

TEST(HoltWinters, agrees_with_a_reference_in_both_season_kinds)
{
    std::mt19937 gen(9);
    std::normal_distribution<double> noise(0, 20);
    for (int additive : {0, 1}) {
        auto x = seasonal_series(additive, 12, 20, 2);
        for (double &v : x)
            v = std::round(v + noise(gen));
        oxlo_holt_winters hw;
        ASSERT_EQ(oxlo_holt_winters_init(&hw, 11, static_cast<uint8_t>(additive), 0.3, 0.1, 0.2, 0.05f), 0);
        trace t = run_series(x, [&](double v, double *f, double *c) {
            return oxlo_holt_winters_add(&hw, static_cast<uint64_t>(v), f, c);
        });
        double z = hw.z;
        oxlo_holt_winters_free(&hw);
        for (int i = 0; i < 12; i++)
            EXPECT_EQ(t.stepped[i], 0);
        auto ref = reference::run("holt_winters", {{"x", x}, {"season_length", {11}}, {"additive", {double(additive)}},
                                                   {"alpha", {0.3}}, {"beta", {0.1}}, {"gamma", {0.2}}, {"z", {z}}});
        expect_matches(t, ref, 12);
    }
}

TEST(HoltWinters, clean_multiplicative_series_is_forecast_closely)
{
    /* Period 12 is season length 11. After the warm-up cycle and one more,
     * every forecast is within 5%. */
    auto x = seasonal_series(false, 12, 6, 1);
    oxlo_holt_winters hw;
    ASSERT_EQ(oxlo_holt_winters_init(&hw, 11, 0, 0.5, 0.2, 0.3, 0.05f), 0);
    double worst = 0;
    for (size_t i = 0; i < x.size(); i++) {
        double f = 0, c = 0;
        int stepped = oxlo_holt_winters_add(&hw, static_cast<uint64_t>(x[i]), &f, &c);
        EXPECT_EQ(stepped, i >= 12 ? 1 : 0);
        if (i >= 24)
            worst = std::max(worst, std::fabs(f - x[i]) / x[i]);
    }
    EXPECT_LT(worst, 0.05);
    oxlo_holt_winters_free(&hw);
}

TEST(HoltWinters, additive_kind_follows_level_trend_and_season)
{
    /* Period 12 (season length 11), alpha 0.3, beta 0.1, gamma 0.2, 20
     * periods. The seasonal terms are offsets from the level: a flat series
     * is forecast as itself at any scale, and a trend or a pure season is
     * learnt to within a fraction of its swing by the last two periods
     * (ratio factors added to the level missed by the whole amplitude). */
    struct {
        const char *what;
        std::function<double(int)> at;
        double tolerance;
    } cases[] = {
        {"flat 42", [](int) { return 42.0; }, 0},
        {"flat 4e9", [](int) { return 4e9; }, 0},
        {"trend 100 + 5t", [](int t) { return 100.0 + 5 * t; }, 10},
        {"season 1000 + 200 sin", [](int t) { return std::round(1000 + 200 * std::sin(2 * M_PI * t / 12)); }, 5},
    };
    for (const auto &c : cases) {
        oxlo_holt_winters hw;
        ASSERT_EQ(oxlo_holt_winters_init(&hw, 11, 1, 0.3, 0.1, 0.2, 0.05f), 0);
        double worst = 0;
        for (int t = 0; t < 240; t++) {
            double f = 0, conf = 0, v = c.at(t);
            if (oxlo_holt_winters_add(&hw, static_cast<uint64_t>(v), &f, &conf) && t >= 216)
                worst = std::max(worst, std::fabs(f - v));
        }
        EXPECT_LE(worst, c.tolerance) << c.what;
        oxlo_holt_winters_free(&hw);
    }
}

TEST(HoltWinters, warm_up_length_limits_and_reset)
{
    oxlo_holt_winters hw;
    EXPECT_EQ(oxlo_holt_winters_init(&hw, 65535, 0, 0.5, 0.5, 0.5, 0.05f), -1);
    EXPECT_EQ(oxlo_holt_winters_init(nullptr, 3, 0, 0.5, 0.5, 0.5, 0.05f), -1);
    ASSERT_EQ(oxlo_holt_winters_init(&hw, 3, 0, 0.5, 0.5, 0.5, 0.05f), 0);
    /* the cycle is season length + 1 = 4 values long; twice, around a reset
     * (the warm-up store must still be there the second time) */
    for (int round = 0; round < 2; round++) {
        for (int i = 0; i < 8; i++) {
            double f = -1, c = -1;
            int stepped = oxlo_holt_winters_add(&hw, 10 + i % 4, &f, &c);
            EXPECT_EQ(stepped, i >= 4 ? 1 : 0) << round << " " << i;
            if (!stepped) {
                EXPECT_EQ(f, 0);
                EXPECT_EQ(c, 0);
            }
        }
        oxlo_holt_winters_reset(&hw);
        EXPECT_EQ(hw.count, 0u);
    }
    oxlo_holt_winters_free(&hw);
    oxlo_holt_winters_free(&hw);
    double f, c;
    EXPECT_EQ(oxlo_holt_winters_add(&hw, 1, &f, &c), 0);

    /* season length 0: a one-value cycle, like smoothing with a trend */
    ASSERT_EQ(oxlo_holt_winters_init(&hw, 0, 1, 0.5, 0.5, 0.5, 0.05f), 0);
    EXPECT_EQ(oxlo_holt_winters_add(&hw, 5, &f, &c), 0);
    EXPECT_EQ(oxlo_holt_winters_add(&hw, 5, &f, &c), 1);
    EXPECT_EQ(f, 5); /* offset 0 added to the level 5 */
    oxlo_holt_winters_free(&hw);
}

} // namespace
