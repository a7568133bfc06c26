#include "history/drift_report.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "resources/version.h"
#include "timesrc/time_format.h"

namespace {

constexpr uint32_t kBucketLimits[5] = {100, 250, 500, 1000, 5000};
constexpr const char* kBucketLabels[6] = {
    "under 100 ms (1/10 second)", "100-249 ms", "250-499 ms", "500-999 ms", "1000-4999 ms",
    "5 seconds or more"};
constexpr uint8_t kReasonGroups[10] = {1, 2, 3, 4, 5, 6, 255, 7, 254, 253};
constexpr size_t kOtherGroup = 10;

// Appends printf-formatted text of any length: the piece is measured first, so no field of a
// record can run past a buffer.
void Append(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string& text, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length > 0) {
        const size_t start = text.size();
        text.resize(start + static_cast<size_t>(length) + 1);
        std::vsnprintf(&text[start], static_cast<size_t>(length) + 1, format, arguments);
        text.resize(start + static_cast<size_t>(length));
    }
    va_end(arguments);
}

int SignedWidth(int64_t value) {
    char text[32];
    return std::snprintf(text, sizeof(text), "%+lld", static_cast<long long>(value));
}

int UnsignedWidth(uint32_t value) {
    char text[16];
    return std::snprintf(text, sizeof(text), "%u", value);
}

uint32_t Magnitude(int32_t value) {
    return value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
}

// Mean truncated toward zero, 0 for no values.
int32_t Mean(int64_t sum, uint32_t count) {
    if (count == 0) {
        return 0;
    }
    return static_cast<int32_t>(static_cast<double>(sum) / static_cast<double>(count));
}

double Percent(uint32_t part, uint32_t whole) {
    return whole == 0 ? 0.0 : 100.0 * part / whole;
}

const char* FastOrSlow(int64_t value) {
    return value < 0 ? "fast" : "slow";
}

} // namespace

void FormatZoneLabel(const char* zoneName, int32_t baseBias, int32_t totalBias, char* out,
                     size_t size) {
    if (out == nullptr || size == 0) {
        return;
    }
    char name[kZoneNameChars + 1];
    std::snprintf(name, sizeof(name), "%s", zoneName != nullptr ? zoneName : "");
    const int64_t magnitude = std::llabs(static_cast<int64_t>(totalBias));
    std::snprintf(out, size, "%s (GMT%c%02lld%02lld)", name, baseBias > 0 ? '-' : '+',
                  static_cast<long long>(magnitude / 60), static_cast<long long>(magnitude % 60));
}

ReportStatistics GatherReportStatistics(const DriftRecord* records, uint32_t count) {
    ReportStatistics s{};
    for (uint32_t i = 0; i < count; ++i) {
        const DriftRecord& r = records[i];
        const int32_t v = r.varianceMs;
        if (v < s.allMin) {
            s.allMin = v;
        }
        if (v > s.allMax) {
            s.allMax = v;
        }
        s.allSum += v;
        ++s.allCount;
        if (r.reason == kReasonStartup || r.reason == kReasonPowerResume) {
            if (v < s.startupMin) {
                s.startupMin = v;
            }
            if (v > s.startupMax) {
                s.startupMax = v;
            }
            s.startupSum += v;
            ++s.startupCount;
        } else {
            ++s.nonStartupCount;
            size_t bucket = 0;
            while (bucket < 5 && Magnitude(v) >= kBucketLimits[bucket]) {
                ++bucket;
            }
            ++s.buckets[bucket];
        }
        if (v < 0) {
            ++s.negative;
        } else if (v > 0) {
            ++s.positive;
        }
        if (IsCorrected(r)) {
            ++s.corrected;
        } else {
            ++s.notCorrected;
        }
        size_t group = kOtherGroup;
        for (size_t g = 0; g < kOtherGroup; ++g) {
            if (kReasonGroups[g] == r.reason) {
                group = g;
                break;
            }
        }
        ++s.reasonCounts[group];
        if (s.earliest == 0 || r.checkTime < s.earliest) {
            s.earliest = r.checkTime;
        }
        if (s.latest == 0 || r.checkTime > s.latest) {
            s.latest = r.checkTime;
        }
    }
    return s;
}

void FormatSummaryReport(const ReportSource& source,
                         const std::function<void(const std::string& piece)>& write) {
    if (source.count == 0 || source.records == nullptr) {
        return;
    }
    const ReportStatistics s = GatherReportStatistics(source.records, source.count);
    const int32_t worstStartup =
        Magnitude(s.startupMin) > Magnitude(s.startupMax) ? s.startupMin : s.startupMax;
    const int32_t averageStartup = Mean(s.startupSum, s.startupCount);
    const int32_t averageAll = Mean(s.allSum, s.allCount);
    const uint32_t span = s.latest > s.earliest ? s.latest - s.earliest : 1;
    const uint32_t zero = source.count - s.positive - s.negative;
    const uint32_t largest =
        Magnitude(s.allMin) > Magnitude(s.allMax) ? Magnitude(s.allMin) : Magnitude(s.allMax);
    const char* path = source.path != nullptr ? source.path : "";
    const bool local = source.localTime;

    std::string text;
    Append(text, HOROLOGIX_PRODUCT_NAME "\r\n"
                                        "A product of " HOROLOGIX_MAKER_NAME "\r\n"
                                        "All rights reserved.\r\n\r\n");
    Append(text,
           "------------------------------\r\nSYNCHRONIZATION SUMMARY REPORT\r\n"
           "------------------------------\r\n\r\nReport Time and Data Source:\r\n\r\n"
           "    Report timezone: %s\r\n",
           source.zoneLabel != nullptr ? source.zoneLabel : "");
    Append(text, "        Report date: %s\r\n", FormatTimestamp(source.now, local));
    Append(text, "      Report source: %s\r\n\r\n", path);
    write(text);

    text.clear();
    Append(text, "Report Data Period:\r\n\r\n        Data points: %u\r\n", source.count);
    Append(text, "       Data history: %s\r\n", FormatSeconds(span));
    Append(text, "    Earliest record: %s\r\n", FormatTimestamp(s.earliest, local));
    Append(text, "      Latest record: %s\r\n", FormatTimestamp(s.latest, local));
    Append(text, "   Average Interval: %s between data points\r\n\r\n",
           source.averageInterval != 0 ? FormatSeconds(source.averageInterval) : "unknown");
    write(text);

    int w = 1;
    for (int64_t value : {static_cast<int64_t>(s.allMin), static_cast<int64_t>(s.allMax),
                          static_cast<int64_t>(worstStartup), static_cast<int64_t>(averageStartup),
                          static_cast<int64_t>(averageAll)}) {
        const int width = SignedWidth(value);
        w = width > w ? width : w;
    }
    text.clear();
    Append(text, "Variance Summary:\r\n\r\n");
    Append(text, "     Worst negative: %+*d ms (%s fast)\r\n", w, s.allMin,
           FormatMilliseconds(s.allMin));
    Append(text, "     Worst positive: %+*d ms (%s slow)\r\n", w, s.allMax,
           FormatMilliseconds(s.allMax));
    Append(text, "      Worst startup: %+*d ms (%s %s at startup)\r\n", w, worstStartup,
           FormatMilliseconds(worstStartup), FastOrSlow(worstStartup));
    Append(text, "    Average startup: %+*d ms (%s %s at startup)\r\n", w, averageStartup,
           FormatMilliseconds(averageStartup), FastOrSlow(averageStartup));
    Append(text, "     Average of all: %+*d ms (%s %ser than time sources)\r\n\r\n", w, averageAll,
           FormatMilliseconds(averageAll), FastOrSlow(averageAll));
    write(text);

    int w2 = 1;
    for (uint32_t value : {s.corrected, s.notCorrected, s.negative, s.positive, zero}) {
        const int width = UnsignedWidth(value);
        w2 = width > w2 ? width : w2;
    }
    text.clear();
    Append(text, "Clock Corrections:\r\n\r\n");
    Append(text, "  % #7.2f%% - %*u checks caused clock corrections\r\n",
           Percent(s.corrected, source.count), w2, s.corrected);
    Append(text, "  % #7.2f%% - %*u checks did not cause clock corrections\r\n",
           Percent(s.notCorrected, source.count), w2, s.notCorrected);
    Append(text, "  % #7.2f%% - %*u variances were negative\r\n", Percent(s.negative, source.count),
           w2, s.negative);
    Append(text, "  % #7.2f%% - %*u variances were positive\r\n", Percent(s.positive, source.count),
           w2, s.positive);
    Append(text, "  % #7.2f%% - %*u variances were zero\r\n\r\n", Percent(zero, source.count), w2,
           zero);
    write(text);

    text.clear();
    Append(text, "Clock Discipline (%u non-startup/resume variances summarized):\r\n\r\n",
           s.nonStartupCount);
    if (s.nonStartupCount > 0) {
        for (size_t i = 0; i < 6; ++i) {
            Append(text, "  % #7.2f%% - %s\r\n", Percent(s.buckets[i], s.nonStartupCount),
                   kBucketLabels[i]);
        }
    } else {
        Append(text, "   Unable to display: all recorded variances were marked as "
                     "startup/resumes\r\n");
    }
    Append(text, "\r\n");
    write(text);

    int w3 = 1;
    for (uint32_t value : s.reasonCounts) {
        const int width = UnsignedWidth(value);
        w3 = width > w3 ? width : w3;
    }
    text.clear();
    Append(text, "Reason for each Check:\r\n\r\n");
    for (size_t g = 0; g <= kOtherGroup; ++g) {
        if (s.reasonCounts[g] != 0) {
            Append(text, "  % #7.2f%% - %*u %s\r\n", Percent(s.reasonCounts[g], source.count), w3,
                   s.reasonCounts[g],
                   g < kOtherGroup ? CheckReasonName(kReasonGroups[g]) : "Other");
        }
    }
    Append(text, "\r\n");
    write(text);

    write("\r\n----------------------------------\r\nINDIVIDUAL SYNCHRONIZATION RECORDS\r\n"
          "----------------------------------\r\n\r\n");
    text.clear();
    Append(text, "%24s  %15s  %s  %5s  %13s  %s (Report Source)\r\n", "Check Time", "Time Source",
           "Set", "PhAdj", "Check Reason",
           std::strstr(path, "NTP Server") != nullptr ? "Variance from Reference Clock"
                                                      : "Variance from Time Source");
    write(text);
    text.clear();
    Append(text, "%24s  %15s  %s  %5s  %13s  %s\r\n", std::string(24, '-').c_str(),
           std::string(15, '-').c_str(), "---", "-----", std::string(13, '-').c_str(),
           std::string(43, '-').c_str());
    write(text);

    char largestText[32];
    const int w4 = std::snprintf(largestText, sizeof(largestText), "%.3f", largest / 1000.0);
    uint8_t previousRole = 0;
    for (uint32_t i = 0; i < source.count; ++i) {
        const DriftRecord& r = source.records[i];
        std::string when = FormatTimestamp(r.checkTime, local);
        if (!local && when.size() >= 4 && when.compare(when.size() - 4, 4, " UTC") == 0) {
            when.resize(when.size() - 4);
        }
        char address[kAddressTextSize];
        if (r.sourceAddress == 0) {
            std::snprintf(address, sizeof(address), "Averaged Time");
        } else {
            FormatAddress(r.sourceAddress, address);
        }
        const int32_t v = r.varianceMs;
        text.clear();
        Append(text, "%24s  %15s  %s  %5s  %13s  %s%*.3f", when.c_str(), address,
               IsCorrected(r) ? " Y " : " N ", PhaseAdjustText(r), CheckReasonName(r.reason),
               v < 0 ? "-" : (v == 0 ? " " : "+"), w4, Magnitude(v) / 1000.0);
        const uint8_t role = RecordRole(r);
        if (role != previousRole) {
            Append(text, " (%s)", RoleName(role));
        }
        previousRole = role;
        Append(text, "\r\n");
        write(text);
    }
    write("\r\n--End of Report--\r\n");
}
