// Fuzz target: any bytes as records (decoded without the reader's checks, so every field takes
// any value) through the summary report and the drift graph's arithmetic: the report's lines are
// whole, one per record, and the graph's window and hit test stay within the records; and the
// drift trend: finite numbers, a crossing only for a significant line, and a warning text.
#include <cmath>
#include <string>
#include <vector>

#include "common/fuzz_support.h"
#include "history/drift_graph.h"
#include "history/drift_record.h"
#include "history/drift_report.h"
#include "history/drift_trend.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<DriftRecord> records(size / kDriftRecordSize);
    for (size_t i = 0; i < records.size(); ++i) {
        DecodeDriftRecord(data + i * kDriftRecordSize, &records[i]);
    }
    FuzzInput input(data, size);
    const uint32_t count = static_cast<uint32_t>(records.size());
    const ReportSource source{records.data(),       count,         input.U32(), false,
                              "C:\\fuzz\\drift.qx", kUtcZoneLabel, input.U32()};
    size_t pieces = 0;
    std::string text;
    FormatSummaryReport(source, [&](const std::string& piece) {
        FUZZ_CHECK(piece.size() >= 2 && piece.compare(piece.size() - 2, 2, "\r\n") == 0);
        text += piece;
        ++pieces;
    });
    // Nine sections and headings, one piece per record, the closing line.
    FUZZ_CHECK(count == 0 ? pieces == 0 : pieces == count + 10);

    GraphWindow window{input.U32(), input.U32() % 200, 0, static_cast<int32_t>(input.U32())};
    KeepWindowWithin(count, &window);
    FUZZ_CHECK(window.first <= window.end && window.end <= count &&
               window.end - window.first == window.windowSize && window.windowSize <= 64);
    FUZZ_CHECK(window.selected == -1 || static_cast<uint32_t>(window.selected) < count);
    const uint32_t scale = AutoGraphScale(records.data(), window.first, window.end);
    FUZZ_CHECK(scale >= 10 && scale <= 1800000);
    const uint32_t next =
        ScrollFirst(static_cast<int>(input.U32() % 10), static_cast<int32_t>(input.U32()),
                    window.first, window.windowSize, count);
    FUZZ_CHECK(next + window.windowSize <= count || count == 0);
    const GraphGeometry geometry = ComputeGraphGeometry(static_cast<int>(input.U32() % 4000));
    GraphPoint points[64];
    for (uint32_t k = 0; k < window.windowSize; ++k) {
        points[k] = GraphPoint{PointX(k, 40, 9.5),
                               PointY(geometry, records[window.first + k].varianceMs, scale)};
    }
    const int hit = HitTestPoints(points, window.windowSize, static_cast<int>(input.U32() % 1000),
                                  static_cast<int>(input.U32() % 1000));
    FUZZ_CHECK(hit < static_cast<int>(window.windowSize));
    if (window.windowSize > 0) {
        char details[400];
        FormatPointDetails(records[window.first], window.first, false, details, sizeof(details));
    }

    DriftTrendOptions options;
    options.windowSeconds = input.U32() % 3 == 0 ? 0 : input.U32();
    options.thresholdMs = input.U32();
    const DriftTrend trend = AnalyzeDriftTrend(records.data(), records.size(), options);
    FUZZ_CHECK(trend.note != nullptr && trend.points <= count);
    FUZZ_CHECK(std::isfinite(trend.msPerDay) && std::isfinite(trend.msPerDayError) &&
               std::isfinite(trend.residualMs) && std::isfinite(trend.lineNowMs));
    FUZZ_CHECK(trend.fitted || (!trend.significant && !trend.crossing));
    FUZZ_CHECK(!trend.crossing || trend.significant);
    FUZZ_CHECK(!trend.fitted || trend.points >= kTrendMinPoints);
    DriftWarningState state{};
    const int64_t now = static_cast<int64_t>(input.U32());
    if (DecideDriftWarning(&state, trend, now, input.U32() % 9000)) {
        char warning[400];
        FormatDriftWarning(trend, now, options.thresholdMs, "fuzz", warning, sizeof(warning));
    }
    return 0;
}
