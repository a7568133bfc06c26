// The drift trend of a history: a line fitted through the recent variances, what it says about
// the clock's rate against its sources, and when the variance will pass the alert threshold.
// Records in, a plain result out; the agent, the client and the exporter share it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "history/drift_record.h"

// Fewest records worth a line: two define it, the rest give its residual deviation.
constexpr uint32_t kTrendMinPoints = 5;
// The slope counts as real when it exceeds its standard error this many times.
constexpr double kTrendSignificance = 3.0;
// Milliseconds per day of one part per million.
constexpr double kMsPerDayPerPpm = 86.4;

struct DriftTrendOptions {
    // Records older than this before the newest one are left out; 0 takes the whole history.
    uint32_t windowSeconds = 86400;
    // The alert threshold in milliseconds (the agent alerts when |variance| exceeds it); 0 asks
    // for no crossing time.
    uint32_t thresholdMs = 2000;
};

struct DriftTrend {
    bool fitted;      // a line was fitted; when false, note says why and the numbers are 0
    const char* note; // a short reason in words: "fitted", "fewer than 5 records", ...
    // Change of the variance in milliseconds per day. Positive: the variance grows, so the local
    // clock falls behind its sources (runs slow) or its lead shrinks.
    double msPerDay;
    double msPerDayError; // standard error of msPerDay
    double ppm;           // msPerDay in parts per million (1 ppm = 86.4 ms per day)
    double residualMs;    // standard deviation of the records about the line
    double lineNowMs;     // the line's variance at the newest record
    uint32_t points;      // records the line was fitted through
    uint32_t spanSeconds; // from the oldest of them to the newest
    uint32_t newestTime;  // check time of the newest record (seconds since 1970, as stored)
    bool significant;     // the slope differs from 0 beyond kTrendSignificance standard errors
    // The line passes the threshold: significant, heading for it, and within 100 years. When
    // the line is already beyond it at the newest record, crossingTime is that record's time.
    bool crossing;
    bool alreadyBeyond;
    int64_t crossingTime; // seconds since 1970, counted on from newestTime (may pass 2^32)
};

// Fits the history, oldest record first, the way a careful NTP client fits its samples: only
// the records of the window (and none before the newest one marked corrected, which started a
// new stretch of free running), read back from the newest while their times do not run
// backwards (times are compared modulo 2^32, so a history across the wrap of 32-bit seconds
// reads in order); a weighted least-squares line whose weights step outliers down (Huber
// weights on the median absolute residual); and while the signs of the residuals show too few
// runs for chance (a step, a change of rate), the oldest eighth of the points is dropped and the
// line fitted again. Any input gives a result: garbage, one record, identical times or extreme
// variances give fitted = false or a line, never a division by zero.
DriftTrend AnalyzeDriftTrend(const DriftRecord* records, size_t count,
                             const DriftTrendOptions& options);

// What the agent remembers between checks about its drift warnings.
struct DriftWarningState {
    bool warned;
    int64_t warnedAt;       // seconds since 1970 of the last warning
    int64_t warnedCrossing; // the crossing it predicted
};

// A warning waits until the rate is known to within this share of itself (one standard error),
// so that the crossing it names is as good: a significant line of a handful of records is not.
constexpr double kWarningRatePrecision = 0.1;

// Whether to warn now that the variance will pass the threshold: the predicted crossing lies
// within horizonHours of now (0 switches warnings off), the rate is known well enough
// (kWarningRatePrecision), the line is not past the threshold already (the threshold alert
// speaks then), and either no warning was given in the last horizon or the crossing has moved
// closer by more than half of what remained of the last prediction. A warning given updates
// state.
bool DecideDriftWarning(DriftWarningState* state, const DriftTrend& trend, int64_t now,
                        uint32_t horizonHours);

// The warning's text: "At its present drift of +12.5 ms per day the clock will be off by more
// than 2000 ms in about 5.2 hours (around 2026-12-09 13:40:00 UTC); last verified against S."
void FormatDriftWarning(const DriftTrend& trend, int64_t now, uint32_t thresholdMs,
                        const char* source, char* out, size_t size);

// The horizon under the agent key: the value when it is a number within 0..8760 hours (a year),
// otherwise the default of 24. present: the value exists; isNumber: it is a 4-byte number.
constexpr uint32_t kDriftWarningDefaultHours = 24;
constexpr uint32_t kDriftWarningMaxHours = 8760;
uint32_t EffectiveDriftWarningHours(bool present, bool isNumber, uint32_t value);
