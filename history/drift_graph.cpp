#include "history/drift_graph.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "timesrc/time_format.h"

const uint32_t kGraphScales[kGraphScaleCount] = {1,     10,     25,     50,     100,    250,
                                                 500,   1000,   2500,   5000,   10000,  30000,
                                                 60000, 120000, 300000, 600000, 1800000};

namespace {

uint32_t Magnitude(int32_t value) {
    return value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
}

} // namespace

GraphGeometry ComputeGraphGeometry(int height) {
    GraphGeometry g{};
    g.divisionHeight = height / 20;
    g.topMargin = (height - 19 * (g.divisionHeight + 1)) / 2;
    g.zeroLine = g.topMargin + 10 * g.divisionHeight;
    return g;
}

int GridLineY(const GraphGeometry& g, int j) {
    return g.topMargin + j * g.divisionHeight;
}

int AxisLabelTop(const GraphGeometry& g, int k, int charHeight) {
    return g.topMargin + (10 - k) * g.divisionHeight - charHeight / 2;
}

uint32_t AutoGraphScale(const DriftRecord* records, uint32_t first, uint32_t end) {
    uint64_t largest = 0;
    for (uint32_t i = first; records != nullptr && i < end; ++i) {
        const uint64_t magnitude = Magnitude(records[i].varianceMs);
        largest = magnitude > largest ? magnitude : largest;
    }
    for (size_t i = 1; i < kGraphScaleCount; ++i) {
        if (uint64_t{kGraphScales[i]} * 10 >= largest) {
            return kGraphScales[i];
        }
    }
    return kGraphScales[kGraphScaleCount - 1];
}

void FormatScaleText(uint32_t scale, char* out, size_t size) {
    if (out == nullptr || size == 0) {
        return;
    }
    if (scale == 1) {
        std::snprintf(out, size, "1 millisecond");
    } else if (scale < 1000) {
        std::snprintf(out, size, "%u milliseconds", scale);
    } else if (scale == 1000) {
        std::snprintf(out, size, "1 second");
    } else if (scale < 60000) {
        std::snprintf(out, size, "%0.1f seconds", scale / 1000.0);
    } else if (scale == 60000) {
        std::snprintf(out, size, "1 minute");
    } else {
        std::snprintf(out, size, "%0.1f minutes", scale / 60000.0);
    }
    char* point = std::strstr(out, ".0");
    if (point != nullptr) {
        std::memmove(point, point + 2, std::strlen(point + 2) + 1);
    }
}

void FormatVarianceLabel(uint32_t first, uint32_t end, uint32_t count, uint32_t scale, char* out,
                         size_t size) {
    char scaleText[48];
    FormatScaleText(scale, scaleText, sizeof(scaleText));
    std::snprintf(out, size,
                  "Variance for checks %u through %u (of %u)\r\nEach vertical division "
                  "represents %s",
                  first + 1, end, count, scaleText);
}

int PointX(uint32_t k, int x1, double step) {
    return static_cast<int>(std::trunc(k * step + x1));
}

int PointY(const GraphGeometry& g, int32_t varianceMs, uint32_t scale) {
    if (scale == 0) {
        return g.zeroLine;
    }
    const double offset = std::trunc(static_cast<double>(varianceMs) / scale * g.divisionHeight);
    // Far outside the field the point is clipped anyway; keep it within what a GDI call takes.
    const double limited = offset > 1e6 ? 1e6 : (offset < -1e6 ? -1e6 : offset);
    return g.zeroLine - static_cast<int>(limited);
}

MarkerStyle MarkerStyleOf(const DriftRecord& record) {
    const uint32_t magnitude = Magnitude(record.varianceMs);
    const bool corrected = IsCorrected(record);
    MarkerStyle style{};
    style.ellipse = corrected;
    if (magnitude > 127) {
        style.color = MarkerColor::kRed;
    } else if (magnitude >= 56) {
        style.color = MarkerColor::kYellow;
    } else {
        style.color = corrected ? MarkerColor::kGreen : MarkerColor::kWhite;
    }
    return style;
}

uint32_t ScrollFirst(int request, int32_t thumb, uint32_t first, uint32_t windowSize,
                     uint32_t count) {
    int64_t next = first;
    switch (request) {
    case kScrollLineLeft:
        next = int64_t{first} - 1;
        break;
    case kScrollLineRight:
        next = int64_t{first} + 1;
        break;
    case kScrollPageLeft:
        next = int64_t{first} - windowSize;
        break;
    case kScrollPageRight:
        next = int64_t{first} + windowSize;
        break;
    case kScrollThumbPosition:
    case kScrollThumbTrack:
        next = thumb;
        break;
    case kScrollLeftmost:
        next = 0;
        break;
    case kScrollRightmost:
        next = int64_t{count} - windowSize;
        break;
    default:
        break;
    }
    const int64_t last = count > windowSize ? int64_t{count} - windowSize : 0;
    if (next < 0) {
        return 0;
    }
    return static_cast<uint32_t>(next > last ? last : next);
}

void KeepWindowWithin(uint32_t count, GraphWindow* window) {
    if (window->windowSize > kGraphWindowRecords) {
        window->windowSize = kGraphWindowRecords;
    }
    if (window->windowSize > count) {
        window->windowSize = count;
    }
    if (window->first > count - window->windowSize) {
        window->first = count - window->windowSize;
    }
    window->end = window->first + window->windowSize;
    if (window->selected < 0 || static_cast<uint32_t>(window->selected) >= count) {
        window->selected = -1;
    }
}

int HitTestPoints(const GraphPoint* points, uint32_t n, int x, int y) {
    for (uint32_t k = 0; k < n; ++k) {
        if (std::abs(points[k].x - x) <= 3 && std::abs(points[k].y - y) <= 7) {
            return static_cast<int>(k);
        }
    }
    return -1;
}

void FormatPointDetails(const DriftRecord& record, uint32_t index, bool localTime, char* out,
                        size_t size) {
    char reason[32];
    std::snprintf(reason, sizeof(reason), "%s", CheckReasonName(record.reason));
    for (char* c = reason; *c != '\0'; ++c) {
        *c = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    }
    char address[kAddressTextSize];
    if (record.sourceAddress == 0) {
        std::snprintf(address, sizeof(address), "Averaged Time");
    } else {
        FormatAddress(record.sourceAddress, address);
    }
    std::snprintf(out, size,
                  "Check #%u: %s, %s. Variance was %s%0.3f seconds.\r\nTime source: %s. Local "
                  "clock was%s corrected. Phase adjust was %s.",
                  index + 1, FormatTimestamp(record.checkTime, localTime), reason,
                  record.varianceMs > 0 ? "+" : "", record.varianceMs / 1000.0, address,
                  IsCorrected(record) ? "" : " not",
                  record.marker != 0 ? PhaseAdjustText(record) : "unknown");
}

void FormatAverageFrequency(uint32_t averageInterval, char* out, size_t size) {
    std::snprintf(out, size, "Average check frequency: %s\r\nClick a data point to see its value",
                  averageInterval != 0 ? FormatSeconds(averageInterval) : "unknown");
}
