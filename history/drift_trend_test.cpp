#include "history/drift_trend.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr uint32_t kStart = 1765000000; // early December 2025

DriftRecord At(uint32_t time, int64_t varianceMs, bool corrected = false) {
    return MakeDriftRecord(varianceMs, time, corrected ? 1 : 0, kReasonSyncCheck, 0x0100007F,
                           kRoleHorologix, 0);
}

// A history with a known rate (ms per day) and Gaussian noise, rounded to whole milliseconds as
// the agent stores it.
std::vector<DriftRecord> Synthetic(uint32_t start, uint32_t step, int count, double msPerDay,
                                   double noiseMs, uint32_t seed, double offsetMs = 0) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, noiseMs);
    std::vector<DriftRecord> records;
    for (int i = 0; i < count; ++i) {
        const uint32_t t = start + static_cast<uint32_t>(i) * step;
        const double v = offsetMs + msPerDay * (static_cast<double>(i) * step / 86400.0) +
                         (noiseMs > 0 ? noise(random) : 0.0);
        records.push_back(At(t, std::llround(v)));
    }
    return records;
}

DriftTrend Analyze(const std::vector<DriftRecord>& records, uint32_t thresholdMs = 2000,
                   uint32_t window = 86400) {
    DriftTrendOptions options;
    options.windowSeconds = window;
    options.thresholdMs = thresholdMs;
    return AnalyzeDriftTrend(records.data(), records.size(), options);
}

TEST(DriftTrend, estimates_known_rates_within_their_stated_error) {
    struct Case {
        double msPerDay;
        double noiseMs;
        uint32_t step;
        int count;
    } cases[] = {
        {100, 5, 1800, 48},   {-250, 20, 1800, 48}, {12, 1, 600, 144},
        {3000, 50, 300, 288}, {0, 10, 1800, 48},
    };
    for (const Case& c : cases) {
        for (uint32_t seed = 1; seed <= 20; ++seed) {
            const DriftTrend t =
                Analyze(Synthetic(kStart, c.step, c.count, c.msPerDay, c.noiseMs, seed), 0);
            SCOPED_TRACE(testing::Message() << "rate " << c.msPerDay << " seed " << seed);
            ASSERT_TRUE(t.fitted);
            EXPECT_LE(std::fabs(t.msPerDay - c.msPerDay), 4 * t.msPerDayError);
            EXPECT_NEAR(t.ppm, t.msPerDay / 86.4, 1e-9);
            EXPECT_NEAR(t.residualMs, c.noiseMs, c.noiseMs * 0.5 + 0.5);
            EXPECT_GE(t.points, static_cast<uint32_t>(c.count) / 2);
        }
    }
}

TEST(DriftTrend, predicts_the_crossing_of_a_clean_line) {
    // 1000 ms per day from 0: 2000 ms two days after the first record, reached going forward
    // from the newest one; and the same falling.
    for (double sign : {1.0, -1.0}) {
        const auto records = Synthetic(kStart, 600, 100, sign * 1000, 0, 1);
        const DriftTrend t = Analyze(records, 2000, 0);
        ASSERT_TRUE(t.fitted);
        EXPECT_TRUE(t.significant);
        EXPECT_EQ(t.points, 100u);
        EXPECT_EQ(t.spanSeconds, 99u * 600);
        EXPECT_EQ(t.newestTime, kStart + 99 * 600);
        ASSERT_TRUE(t.crossing);
        EXPECT_FALSE(t.alreadyBeyond);
        // Rounding to whole milliseconds leaves the rate good to a fraction of a percent.
        EXPECT_NEAR(static_cast<double>(t.crossingTime), kStart + 2 * 86400.0, 600);
    }
}

TEST(DriftTrend, no_crossing_without_a_significant_slope_or_threshold) {
    const DriftTrend flat = Analyze(Synthetic(kStart, 1800, 48, 0, 30, 7));
    EXPECT_TRUE(flat.fitted);
    EXPECT_FALSE(flat.crossing);
    const DriftTrend off = Analyze(Synthetic(kStart, 600, 100, 1000, 0, 1), 0, 0);
    EXPECT_TRUE(off.significant);
    EXPECT_FALSE(off.crossing);
}

TEST(DriftTrend, a_line_already_beyond_the_threshold_crosses_at_the_newest_record) {
    const DriftTrend t = Analyze(Synthetic(kStart, 600, 20, 1000, 0, 1, 2500));
    ASSERT_TRUE(t.crossing);
    EXPECT_TRUE(t.alreadyBeyond);
    EXPECT_EQ(t.crossingTime, kStart + 19 * 600);
}

TEST(DriftTrend, keeps_to_the_window_and_to_the_stretch_since_the_last_correction) {
    // Two days at -500 ms per day, then one at +200: the 24 h window (both ends included) sees
    // the last and one record before it.
    auto records = Synthetic(kStart, 1800, 96, -500, 0, 1);
    const auto later = Synthetic(kStart + 96 * 1800, 1800, 48, 200, 0, 1, -1000);
    records.insert(records.end(), later.begin(), later.end());
    DriftTrend t = Analyze(records);
    EXPECT_EQ(t.points, 49u);
    EXPECT_EQ(t.spanSeconds, 86400u);
    EXPECT_NEAR(t.msPerDay, 200, 5);

    // A correction marks where the clock was set: nothing before it counts.
    records = Synthetic(kStart, 600, 60, 800, 0, 1);
    for (size_t i = 40; i < records.size(); ++i) {
        records[i].varianceMs -= 600;
    }
    records[40].flags |= 1;
    t = Analyze(records);
    EXPECT_EQ(t.points, 20u);
    EXPECT_NEAR(t.msPerDay, 800, 5);
}

TEST(DriftTrend, an_unmarked_step_fails_the_runs_test_and_the_older_points_go) {
    auto records = Synthetic(kStart, 900, 96, 300, 3, 11);
    for (size_t i = 0; i < 48; ++i) {
        records[i].varianceMs += 400; // the clock was stepped back by 400 ms halfway
    }
    const DriftTrend t = Analyze(records, 0);
    ASSERT_TRUE(t.fitted);
    EXPECT_LE(t.points, 56u); // a few stepped points may stay, weighted down as outliers
    EXPECT_LE(std::fabs(t.msPerDay - 300), 4 * t.msPerDayError);
}

TEST(DriftTrend, outliers_and_gaps_leave_the_estimate_within_its_error) {
    auto records = Synthetic(kStart, 1800, 48, 150, 4, 3);
    for (size_t i = 3; i < records.size(); i += 9) {
        records[i].varianceMs += (i % 2 == 0 ? 1 : -1) * 5000;
    }
    DriftTrend t = Analyze(records, 0);
    ASSERT_TRUE(t.fitted);
    EXPECT_LE(std::fabs(t.msPerDay - 150), 4 * t.msPerDayError);
    EXPECT_LT(t.residualMs, 2000);

    // Twelve hours with no checks in the middle of the day.
    records = Synthetic(kStart, 1800, 48, 150, 4, 5);
    records.erase(records.begin() + 12, records.begin() + 36);
    t = Analyze(records, 0);
    ASSERT_TRUE(t.fitted);
    EXPECT_EQ(t.points, 24u);
    EXPECT_EQ(t.spanSeconds, 47u * 1800);
    EXPECT_LE(std::fabs(t.msPerDay - 150), 4 * t.msPerDayError);
}

TEST(DriftTrend, reads_across_the_wrap_of_32_bit_seconds) {
    const uint32_t start = 0xFFFFFFFFu - 12 * 3600;
    const auto wrapped = Synthetic(start, 1800, 48, 400, 2, 9);
    const auto plain = Synthetic(kStart, 1800, 48, 400, 2, 9);
    ASSERT_LT(wrapped.back().checkTime, wrapped.front().checkTime);
    const DriftTrend a = Analyze(wrapped);
    const DriftTrend b = Analyze(plain);
    ASSERT_TRUE(a.fitted);
    EXPECT_EQ(a.points, 48u);
    EXPECT_DOUBLE_EQ(a.msPerDay, b.msPerDay);
    // Counted on from the newest record as stored, past the wrap.
    EXPECT_EQ(a.crossingTime - a.newestTime, b.crossingTime - b.newestTime);
}

TEST(DriftTrend, bad_histories_give_no_trend) {
    EXPECT_FALSE(AnalyzeDriftTrend(nullptr, 0, DriftTrendOptions{}).fitted);
    const std::vector<DriftRecord> one = {At(kStart, 5)};
    DriftTrend t = Analyze(one);
    EXPECT_FALSE(t.fitted);
    EXPECT_EQ(t.points, 1u);

    std::vector<DriftRecord> same;
    for (int i = 0; i < 50; ++i) {
        same.push_back(At(kStart, i * 100));
    }
    t = Analyze(same);
    EXPECT_FALSE(t.fitted);
    EXPECT_EQ(t.points, 50u);

    // Times running backwards: the walk from the newest record stops at once.
    std::vector<DriftRecord> backwards;
    for (int i = 0; i < 50; ++i) {
        backwards.push_back(At(kStart - static_cast<uint32_t>(i) * 60, i));
    }
    t = Analyze(backwards);
    EXPECT_FALSE(t.fitted);
    EXPECT_EQ(t.points, 1u);

    // Extreme variances: a line or none, but finite numbers.
    std::vector<DriftRecord> extreme;
    for (int i = 0; i < 50; ++i) {
        extreme.push_back(
            At(kStart + static_cast<uint32_t>(i) * 60, i % 2 ? INT32_MIN : INT32_MAX));
    }
    extreme.push_back(At(kStart + 3000, INT32_MIN));
    t = Analyze(extreme);
    EXPECT_TRUE(std::isfinite(t.msPerDay) && std::isfinite(t.residualMs) &&
                std::isfinite(t.msPerDayError));
}

TEST(DriftWarning, once_per_horizon_unless_the_crossing_comes_much_closer) {
    DriftTrend trend{};
    trend.fitted = trend.significant = trend.crossing = true;
    trend.msPerDay = 1000;
    trend.msPerDayError = 101;
    const int64_t now = kStart;
    trend.crossingTime = now + 10 * 3600;
    DriftWarningState state{};

    EXPECT_FALSE(DecideDriftWarning(&state, trend, now, 0)) << "0 switches warnings off";
    EXPECT_FALSE(DecideDriftWarning(&state, trend, now, 24)) << "a rate not known well enough";
    trend.msPerDayError = 100;
    EXPECT_FALSE(DecideDriftWarning(&state, trend, now, 9)) << "beyond the horizon";
    EXPECT_TRUE(DecideDriftWarning(&state, trend, now, 24));
    EXPECT_FALSE(DecideDriftWarning(&state, trend, now + 1800, 24)) << "the same prediction";
    trend.crossingTime = now + 6 * 3600;
    EXPECT_FALSE(DecideDriftWarning(&state, trend, now + 1800, 24)) << "closer, not much";
    trend.crossingTime = now + 3 * 3600;
    EXPECT_TRUE(DecideDriftWarning(&state, trend, now + 3600, 24)) << "less than half";
    EXPECT_EQ(state.warnedCrossing, now + 3 * 3600);
    trend.crossingTime = now + 30 * 3600;
    EXPECT_FALSE(DecideDriftWarning(&state, trend, now + 20 * 3600, 24));
    EXPECT_TRUE(DecideDriftWarning(&state, trend, now + 25 * 3600, 24)) << "a horizon later";

    trend.alreadyBeyond = true;
    EXPECT_FALSE(DecideDriftWarning(&state, trend, now + 60 * 3600, 24));
}

TEST(DriftWarning, text_and_horizon_setting) {
    DriftTrend trend{};
    trend.msPerDay = 12.46;
    trend.crossingTime = 1765287600; // 2025-12-09 13:40:00 UTC
    char text[300];
    FormatDriftWarning(trend, trend.crossingTime - 5 * 3600 - 720, 2000, "127.0.0.1", text,
                       sizeof(text));
    EXPECT_STREQ(text, "At its present drift of +12.5 ms per day the clock will be off by more "
                       "than 2000 ms in about 5.2 hours (around 2025-12-09 13:40:00 UTC); last "
                       "verified against 127.0.0.1.");
    FormatDriftWarning(trend, trend.crossingTime - 2700, 2000, "127.0.0.1", text, sizeof(text));
    EXPECT_STREQ(text, "At its present drift of +12.5 ms per day the clock will be off by more "
                       "than 2000 ms in about 45 minutes (around 2025-12-09 13:40:00 UTC); last "
                       "verified against 127.0.0.1.");
    trend.msPerDay = -300;
    FormatDriftWarning(trend, trend.crossingTime - 30 * 3600, 500, "ntp.example", text,
                       sizeof(text));
    EXPECT_STREQ(text, "At its present drift of -300.0 ms per day the clock will be off by more "
                       "than 500 ms in about 30 hours (around 2025-12-09 13:40:00 UTC); last "
                       "verified against ntp.example.");

    EXPECT_EQ(EffectiveDriftWarningHours(false, false, 0), 24u);
    EXPECT_EQ(EffectiveDriftWarningHours(true, false, 5), 24u);
    EXPECT_EQ(EffectiveDriftWarningHours(true, true, 0), 0u);
    EXPECT_EQ(EffectiveDriftWarningHours(true, true, 72), 72u);
    EXPECT_EQ(EffectiveDriftWarningHours(true, true, 8760), 8760u);
    EXPECT_EQ(EffectiveDriftWarningHours(true, true, 8761), 24u);
}

} // namespace
