// trend-timer: the drift trend's cost on a full history file of 16,384 records, and its
// estimate error on synthetic drifts of known rate and noise. Portable: bench/trend-bench runs the
// Windows build under Wine beside a native build of the same source.
//
//   trend-timer [--label TEXT] [--goal-ms MS]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "history/drift_file.h"
#include "history/drift_record.h"
#include "history/drift_trend.h"

namespace {

constexpr uint32_t kStart = 1765000000;

std::vector<DriftRecord> Synthetic(uint32_t step, size_t count, double msPerDay, double noiseMs,
                                   uint32_t seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, noiseMs);
    std::vector<DriftRecord> records(count);
    for (size_t i = 0; i < count; ++i) {
        const double v = msPerDay * (static_cast<double>(i) * step / 86400.0) + noise(random);
        records[i] = MakeDriftRecord(std::llround(v), kStart + static_cast<uint32_t>(i) * step, 0,
                                     kReasonSyncCheck, 0x0100007F, kRoleHorologix, 0);
    }
    return records;
}

// Median and 95th percentile of `runs` analyses, in milliseconds.
void Time(const char* what, const std::vector<DriftRecord>& records, uint32_t window, int runs,
          double goalMs, const char* label) {
    DriftTrendOptions options;
    options.windowSeconds = window;
    std::vector<double> ms;
    uint32_t points = 0;
    for (int i = 0; i < runs; ++i) {
        const auto begin = std::chrono::steady_clock::now();
        const DriftTrend trend = AnalyzeDriftTrend(records.data(), records.size(), options);
        const auto end = std::chrono::steady_clock::now();
        points = trend.points;
        ms.push_back(std::chrono::duration<double, std::milli>(end - begin).count());
    }
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    const double p95 = ms[ms.size() * 95 / 100];
    std::printf("%-8s %-44s %6u points  median %7.3f ms  p95 %7.3f ms", label, what, points, median,
                p95);
    if (goalMs > 0) {
        std::printf("  goal < %.0f ms: %s", goalMs, median < goalMs ? "met" : "NOT met");
    }
    std::printf("\n");
}

void Accuracy(const char* label) {
    struct Case {
        double msPerDay;
        double noiseMs;
    } cases[] = {{10, 1}, {100, 5}, {1000, 20}, {-500, 5}, {0, 10}};
    std::printf("%-8s estimate error, 48 checks every 30 min, 500 histories each:\n", label);
    for (const Case& c : cases) {
        double sumError = 0, sumStated = 0;
        int within2 = 0, within3 = 0, fitted = 0;
        for (uint32_t seed = 1; seed <= 500; ++seed) {
            const auto records = Synthetic(1800, 48, c.msPerDay, c.noiseMs, seed);
            DriftTrendOptions options;
            options.thresholdMs = 0;
            const DriftTrend t = AnalyzeDriftTrend(records.data(), records.size(), options);
            if (!t.fitted) {
                continue;
            }
            ++fitted;
            const double error = std::fabs(t.msPerDay - c.msPerDay);
            sumError += error;
            sumStated += t.msPerDayError;
            within2 += error <= 2 * t.msPerDayError;
            within3 += error <= 3 * t.msPerDayError;
        }
        std::printf("%-8s   rate %+7.1f ms/day, noise %4.1f ms: mean |error| %6.2f ms/day "
                    "(%.4f ppm), mean stated error %6.2f, within 2 stated %5.1f %%, within 3 "
                    "%5.1f %%\n",
                    label, c.msPerDay, c.noiseMs, sumError / fitted, sumError / fitted / 86.4,
                    sumStated / fitted, 100.0 * within2 / fitted, 100.0 * within3 / fitted);
    }
}

} // namespace

int main(int argc, char** argv) {
    const char* label = "";
    double goalMs = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--label") == 0) {
            label = argv[i + 1];
        } else if (std::strcmp(argv[i], "--goal-ms") == 0) {
            goalMs = std::atof(argv[i + 1]);
        }
    }
    // Every record inside the 24 hour window: the most the analysis can be given.
    const auto dense = Synthetic(5, kDriftMaxRecords, 500, 5, 1);
    Time("full file, every record in the window", dense, 86400, 200, goalMs, label);
    // A check every 30 minutes: a year of history, 48 records in the window.
    const auto sparse = Synthetic(1800, kDriftMaxRecords, 500, 5, 2);
    Time("full file, a check every 30 min", sparse, 86400, 200, goalMs, label);
    Accuracy(label);
    return 0;
}
