#include "history/drift_trend.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "timesrc/time_format.h"

namespace {

constexpr double kSecondsPerDay = 86400.0;
// Huber's constant, in units of the robust residual scale.
constexpr double kHuberK = 2.5;
// A record's variance is a whole millisecond: its rounding alone spreads the residuals by about
// 0.29 ms, so a smaller scale would turn rounding into outliers.
constexpr double kScaleFloorMs = 0.5;
constexpr int kReweightRounds = 4;
// One-sided normal quantile for the runs test (1 %): dropping points on chance costs precision.
constexpr double kRunsZ = 2.33;
// Beyond this a crossing is no prediction worth the name.
constexpr double kMaxCrossingSeconds = 100.0 * 365.25 * kSecondsPerDay;

struct Point {
    double x; // seconds relative to the newest record (0 or negative)
    double y; // variance, ms
};

struct Line {
    bool ok;
    double intercept; // at x = 0
    double slope;     // ms per second
    double slopeError;
    double residualSd;
};

// Weighted least squares over points[0..n) with the given weights.
Line FitWeighted(const std::vector<Point>& points, size_t n, const std::vector<double>& weights) {
    Line line{};
    double sw = 0, sx = 0, sy = 0;
    for (size_t i = 0; i < n; ++i) {
        sw += weights[i];
        sx += weights[i] * points[i].x;
        sy += weights[i] * points[i].y;
    }
    if (!(sw > 0)) {
        return line;
    }
    const double mx = sx / sw;
    const double my = sy / sw;
    double sxx = 0, sxy = 0, syy = 0;
    for (size_t i = 0; i < n; ++i) {
        const double dx = points[i].x - mx;
        const double dy = points[i].y - my;
        sxx += weights[i] * dx * dx;
        sxy += weights[i] * dx * dy;
        syy += weights[i] * dy * dy;
    }
    // Times spread less than a millisecond over the records cannot carry a rate.
    if (!(sxx > 1e-6 * sw)) {
        return line;
    }
    line.slope = sxy / sxx;
    line.intercept = my - line.slope * mx;
    // The weighted sum of squared residuals about the line.
    const double ss = std::max(0.0, syy - line.slope * sxy);
    // Weights are 1 for every point that is not an outlier: their sum stands for the count.
    const double dof = sw - 2.0;
    const double variance = dof > 0 ? ss / dof : 0;
    line.residualSd = std::sqrt(variance);
    line.slopeError = std::sqrt(std::max(variance, kScaleFloorMs * kScaleFloorMs / 3) / sxx);
    line.ok = std::isfinite(line.slope) && std::isfinite(line.intercept);
    return line;
}

double Residual(const Point& p, const Line& line) {
    return p.y - (line.intercept + line.slope * p.x);
}

// Least squares, then Huber weights on the median absolute residual, a few rounds; done as soon
// as no point is weighted down (the usual case: a line without outliers costs one fit).
Line FitRobust(const std::vector<Point>& points, size_t n, std::vector<double>* weights,
               std::vector<double>* scratch) {
    weights->assign(n, 1.0);
    Line line = FitWeighted(points, n, *weights);
    std::vector<double>& absolute = *scratch;
    absolute.resize(n);
    for (int round = 0; round < kReweightRounds && line.ok; ++round) {
        for (size_t i = 0; i < n; ++i) {
            absolute[i] = std::fabs(Residual(points[i], line));
        }
        const double largest = *std::max_element(absolute.begin(), absolute.begin() + n);
        std::vector<double> residuals(absolute.begin(), absolute.begin() + n);
        std::nth_element(absolute.begin(), absolute.begin() + n / 2, absolute.begin() + n);
        const double scale = std::max(1.4826 * absolute[n / 2], kScaleFloorMs);
        if (round == 0 && largest <= kHuberK * scale) {
            break;
        }
        for (size_t i = 0; i < n; ++i) {
            (*weights)[i] = residuals[i] <= kHuberK * scale ? 1.0 : kHuberK * scale / residuals[i];
        }
        const Line next = FitWeighted(points, n, *weights);
        if (!next.ok) {
            break;
        }
        // Settled: another round would move the line by a hundredth of its error at most.
        const bool settled = std::fabs(next.slope - line.slope) <= 0.01 * next.slopeError;
        line = next;
        if (settled) {
            break;
        }
    }
    return line;
}

// Wald-Wolfowitz runs test on the residuals' signs, in time order. Residuals within the half
// millisecond of a record's rounding carry no sign: on a clean line rounding alone makes long
// runs. True when the runs are not too few for chance.
bool RunsLookRandom(const std::vector<Point>& points, size_t n, const Line& line) {
    double positives = 0, negatives = 0, runs = 0;
    int previous = 0;
    for (size_t i = n; i-- > 0;) {
        const double r = Residual(points[i], line);
        const int sign = r > kScaleFloorMs ? 1 : r < -kScaleFloorMs ? -1 : 0;
        if (sign == 0) {
            continue;
        }
        (sign > 0 ? positives : negatives) += 1;
        if (sign != previous) {
            runs += 1;
            previous = sign;
        }
    }
    const double total = positives + negatives;
    if (positives < 2 || negatives < 2) {
        return true;
    }
    const double mean = 2 * positives * negatives / total + 1;
    const double variance = (mean - 1) * (mean - 2) / (total - 1);
    return variance <= 0 || runs >= mean - kRunsZ * std::sqrt(variance);
}

DriftTrend NoTrend(const char* note, uint32_t points, uint32_t span, uint32_t newest) {
    DriftTrend trend{};
    trend.note = note;
    trend.points = points;
    trend.spanSeconds = span;
    trend.newestTime = newest;
    return trend;
}

} // namespace

DriftTrend AnalyzeDriftTrend(const DriftRecord* records, size_t count,
                             const DriftTrendOptions& options) {
    if (records == nullptr || count == 0) {
        return NoTrend("no records", 0, 0, 0);
    }
    const uint32_t newest = records[count - 1].checkTime;
    std::vector<Point> points;
    points.reserve(count);
    uint32_t previousAge = 0;
    for (size_t i = count; i-- > 0;) {
        // Age before the newest record, modulo 2^32: a record "after" the newest one has an
        // age above 2^31 and ends the walk like any time running backwards.
        const uint32_t age = newest - records[i].checkTime;
        if (age > 0x7FFFFFFFu || age < previousAge) {
            break;
        }
        if (options.windowSeconds != 0 && age > options.windowSeconds) {
            break;
        }
        points.push_back(
            Point{-static_cast<double>(age), static_cast<double>(records[i].varianceMs)});
        previousAge = age;
        // A corrected record was measured just after the clock was set: it opens the stretch.
        if (IsCorrected(records[i])) {
            break;
        }
    }
    const uint32_t n0 = static_cast<uint32_t>(points.size());
    const uint32_t span0 = previousAge;
    if (n0 < kTrendMinPoints) {
        return NoTrend(n0 <= 1 ? "fewer than 2 records in the window"
                               : "fewer than 5 records in the window",
                       n0, span0, newest);
    }

    std::vector<double> weights, scratch;
    size_t n = n0;
    Line line = FitRobust(points, n, &weights, &scratch);
    while (line.ok && n > kTrendMinPoints && !RunsLookRandom(points, n, line)) {
        n -= std::max<size_t>(1, std::min(n / 8, n - kTrendMinPoints));
        line = FitRobust(points, n, &weights, &scratch);
    }
    const uint32_t span = static_cast<uint32_t>(-points[n - 1].x);
    if (!line.ok) {
        return NoTrend("the records' times do not spread", static_cast<uint32_t>(n), span, newest);
    }

    DriftTrend trend{};
    trend.fitted = true;
    trend.note = "fitted";
    trend.msPerDay = line.slope * kSecondsPerDay;
    trend.msPerDayError = line.slopeError * kSecondsPerDay;
    trend.ppm = trend.msPerDay / kMsPerDayPerPpm;
    trend.residualMs = line.residualSd;
    trend.lineNowMs = line.intercept;
    trend.points = static_cast<uint32_t>(n);
    trend.spanSeconds = span;
    trend.newestTime = newest;
    trend.significant = std::fabs(line.slope) > kTrendSignificance * line.slopeError;

    const double threshold = static_cast<double>(options.thresholdMs);
    if (trend.significant && options.thresholdMs != 0) {
        if (std::fabs(line.intercept) > threshold) {
            trend.crossing = true;
            trend.alreadyBeyond = true;
            trend.crossingTime = newest;
        } else {
            const double target = line.slope > 0 ? threshold : -threshold;
            const double seconds = (target - line.intercept) / line.slope;
            if (seconds >= 0 && seconds < kMaxCrossingSeconds) {
                trend.crossing = true;
                trend.crossingTime = static_cast<int64_t>(newest) + std::llround(seconds);
            }
        }
    }
    return trend;
}

bool DecideDriftWarning(DriftWarningState* state, const DriftTrend& trend, int64_t now,
                        uint32_t horizonHours) {
    if (horizonHours == 0 || !trend.crossing || trend.alreadyBeyond ||
        !(trend.msPerDayError <= kWarningRatePrecision * std::fabs(trend.msPerDay))) {
        return false;
    }
    const int64_t horizon = static_cast<int64_t>(horizonHours) * 3600;
    const int64_t remaining = trend.crossingTime - now;
    if (remaining > horizon) {
        return false;
    }
    if (state->warned && now - state->warnedAt < horizon) {
        const int64_t remainedOfLast = state->warnedCrossing - now;
        if (remaining * 2 >= remainedOfLast) {
            return false;
        }
    }
    state->warned = true;
    state->warnedAt = now;
    state->warnedCrossing = trend.crossingTime;
    return true;
}

void FormatDriftWarning(const DriftTrend& trend, int64_t now, uint32_t thresholdMs,
                        const char* source, char* out, size_t size) {
    const double hours =
        std::max<double>(0.0, static_cast<double>(trend.crossingTime - now) / 3600.0);
    char when[48];
    if (hours >= 10) {
        std::snprintf(when, sizeof(when), "about %.0f hours", hours);
    } else if (hours >= 1) {
        std::snprintf(when, sizeof(when), "about %.1f hours", hours);
    } else if (hours * 60 >= 1) {
        std::snprintf(when, sizeof(when), "about %.0f minutes", hours * 60);
    } else {
        std::snprintf(when, sizeof(when), "less than a minute");
    }
    const CalendarTime at =
        UtcCalendarTime(static_cast<uint64_t>(std::max<int64_t>(0, trend.crossingTime)));
    std::snprintf(out, size,
                  "At its present drift of %+.1f ms per day the clock will be off by more than "
                  "%u ms in %s (around %04lld-%02d-%02d %02d:%02d:%02d UTC); last verified "
                  "against %s.",
                  trend.msPerDay, thresholdMs, when, static_cast<long long>(at.year), at.month,
                  at.day, at.hour, at.minute, at.second,
                  source != nullptr && source[0] != '\0' ? source : "no source");
}

uint32_t EffectiveDriftWarningHours(bool present, bool isNumber, uint32_t value) {
    if (!present || !isNumber || value > kDriftWarningMaxHours) {
        return kDriftWarningDefaultHours;
    }
    return value;
}
