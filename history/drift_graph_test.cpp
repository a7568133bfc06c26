#include "history/drift_graph.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<DriftRecord> Variances(const std::vector<int32_t>& values) {
    std::vector<DriftRecord> records;
    for (int32_t v : values) {
        records.push_back(MakeDriftRecord(v,
                                          1715000000 + 60 * static_cast<uint32_t>(records.size()),
                                          0, kReasonScheduled, 0x0100000A, kRoleHorologix, 0));
    }
    return records;
}

std::string ScaleText(uint32_t scale) {
    char text[48];
    FormatScaleText(scale, text, sizeof(text));
    return text;
}

TEST(GraphGeometry, divides_the_field_into_nineteen_divisions_around_the_zero_line) {
    const GraphGeometry g = ComputeGraphGeometry(300);
    EXPECT_EQ(g.divisionHeight, 15);
    EXPECT_EQ(g.topMargin, (300 - 19 * 16) / 2); // -2: toward zero
    EXPECT_EQ(g.topMargin, -2);
    EXPECT_EQ(g.zeroLine, 148);
    EXPECT_EQ(GridLineY(g, 1), 13);
    EXPECT_EQ(GridLineY(g, 19), 283);
    EXPECT_EQ(AxisLabelTop(g, 9, 12), -2 + 15 - 6);
    EXPECT_EQ(AxisLabelTop(g, -9, 12), -2 + 19 * 15 - 6);
    // Points: scale 25 ms, 15 pixels a division.
    EXPECT_EQ(PointY(g, 0, 25), 148);
    EXPECT_EQ(PointY(g, 250, 25), 148 - 150);
    EXPECT_EQ(PointY(g, -30, 25), 148 + 18);           // 1.2 divisions: 18 pixels
    EXPECT_EQ(PointY(g, 7, 25), 148 - 4);              // 4.2 truncated
    EXPECT_EQ(PointY(g, INT32_MIN, 1), 148 + 1000000); // far outside, clipped by the field
    EXPECT_EQ(PointX(0, 40, 9.5), 40);
    EXPECT_EQ(PointX(3, 40, 9.5), 68);
}

TEST(GraphScale, automatic_scale_is_the_first_whose_tenfold_covers_the_largest_variance) {
    std::vector<DriftRecord> r = Variances({10, -250, 3});
    EXPECT_EQ(AutoGraphScale(r.data(), 0, 3), 25u);
    r = Variances({251});
    EXPECT_EQ(AutoGraphScale(r.data(), 0, 1), 50u);
    r = Variances({0, 0});
    EXPECT_EQ(AutoGraphScale(r.data(), 0, 2), 10u); // 1 is never chosen
    r = Variances({INT32_MIN, 5});
    EXPECT_EQ(AutoGraphScale(r.data(), 0, 2), 1800000u);
    // Only the shown records count.
    r = Variances({100000, 5, 6});
    EXPECT_EQ(AutoGraphScale(r.data(), 1, 3), 10u);

    EXPECT_EQ(ScaleText(1), "1 millisecond");
    EXPECT_EQ(ScaleText(25), "25 milliseconds");
    EXPECT_EQ(ScaleText(1000), "1 second");
    EXPECT_EQ(ScaleText(2500), "2.5 seconds");
    EXPECT_EQ(ScaleText(10000), "10 seconds");
    EXPECT_EQ(ScaleText(60000), "1 minute");
    EXPECT_EQ(ScaleText(120000), "2 minutes");
    EXPECT_EQ(ScaleText(300000), "5 minutes");
    EXPECT_EQ(ScaleText(1800000), "30 minutes");
    char label[160];
    FormatVarianceLabel(36, 100, 100, 25, label, sizeof(label));
    EXPECT_STREQ(label, "Variance for checks 37 through 100 (of 100)\r\nEach vertical division "
                        "represents 25 milliseconds");
}

TEST(GraphMarkers, colour_by_size_and_shape_by_correction) {
    DriftRecord r = Variances({130})[0];
    EXPECT_EQ(MarkerStyleOf(r).color, MarkerColor::kRed);
    r.varianceMs = -128;
    EXPECT_EQ(MarkerStyleOf(r).color, MarkerColor::kRed);
    r.varianceMs = 127;
    EXPECT_EQ(MarkerStyleOf(r).color, MarkerColor::kYellow);
    r.varianceMs = -56;
    EXPECT_EQ(MarkerStyleOf(r).color, MarkerColor::kYellow);
    r.varianceMs = 55;
    EXPECT_EQ(MarkerStyleOf(r).color, MarkerColor::kWhite);
    EXPECT_FALSE(MarkerStyleOf(r).ellipse);
    r.flags |= 1;
    EXPECT_EQ(MarkerStyleOf(r).color, MarkerColor::kGreen);
    EXPECT_TRUE(MarkerStyleOf(r).ellipse);
    r.varianceMs = INT32_MIN;
    EXPECT_EQ(MarkerStyleOf(r).color, MarkerColor::kRed);
}

TEST(GraphScrolling, a_hundred_records_page_through_and_stay_within_the_file) {
    // Opened on the newest: first 36 (records 37 to 100).
    uint32_t first = 36;
    EXPECT_EQ(ScrollFirst(kScrollRightmost, 0, first, 64, 100), 36u);
    EXPECT_EQ(ScrollFirst(kScrollLineRight, 0, first, 64, 100), 36u); // capped
    EXPECT_EQ(ScrollFirst(kScrollLineLeft, 0, first, 64, 100), 35u);
    EXPECT_EQ(ScrollFirst(kScrollPageLeft, 0, first, 64, 100), 0u); // capped at 0
    EXPECT_EQ(ScrollFirst(kScrollLeftmost, 0, first, 64, 100), 0u);
    EXPECT_EQ(ScrollFirst(kScrollPageRight, 0, 0, 64, 100), 36u);
    EXPECT_EQ(ScrollFirst(kScrollThumbTrack, 20, first, 64, 100), 20u);
    EXPECT_EQ(ScrollFirst(kScrollThumbPosition, 500, first, 64, 100), 36u);
    EXPECT_EQ(ScrollFirst(kScrollThumbPosition, -3, first, 64, 100), 0u);
    EXPECT_EQ(ScrollFirst(kScrollEnd, 0, 20, 64, 100), 20u);
    EXPECT_EQ(ScrollFirst(99, 0, 20, 64, 100), 20u);
    // Ten records: nothing to scroll.
    EXPECT_EQ(ScrollFirst(kScrollRightmost, 0, 0, 10, 10), 0u);
    EXPECT_EQ(ScrollFirst(kScrollLineRight, 0, 0, 10, 10), 0u);
}

TEST(GraphWindowBounds, a_file_that_shrank_keeps_the_window_and_selection_inside) {
    GraphWindow w{36, 64, 100, 90};
    KeepWindowWithin(100, &w);
    EXPECT_EQ(w.first, 36u);
    EXPECT_EQ(w.end, 100u);
    EXPECT_EQ(w.selected, 90);
    // Trimmed to 40 records while showing 37 to 100.
    KeepWindowWithin(40, &w);
    EXPECT_EQ(w.first, 0u);
    EXPECT_EQ(w.windowSize, 40u);
    EXPECT_EQ(w.end, 40u);
    EXPECT_EQ(w.selected, -1);
    // Emptied.
    w = GraphWindow{5, 64, 69, 3};
    KeepWindowWithin(0, &w);
    EXPECT_EQ(w.first, 0u);
    EXPECT_EQ(w.end, 0u);
    EXPECT_EQ(w.selected, -1);
    // Grown again: the window size comes back only up to 64.
    w = GraphWindow{0, 200, 0, 2};
    KeepWindowWithin(1000, &w);
    EXPECT_EQ(w.windowSize, 64u);
    EXPECT_EQ(w.end, 64u);
    EXPECT_EQ(w.selected, 2);
}

TEST(GraphHitTest, takes_three_pixels_across_and_seven_down_and_the_first_point_wins) {
    const GraphPoint points[] = {{100, 50}, {102, 52}, {200, 80}};
    EXPECT_EQ(HitTestPoints(points, 3, 103, 57), 0);
    EXPECT_EQ(HitTestPoints(points, 3, 97, 43), 0);
    EXPECT_EQ(HitTestPoints(points, 3, 104, 57), 1); // beyond the first, within the second
    EXPECT_EQ(HitTestPoints(points, 3, 204, 80), -1);
    EXPECT_EQ(HitTestPoints(points, 3, 200, 88), -1);
    EXPECT_EQ(HitTestPoints(points, 2, 200, 80), -1); // only the shown points
}

TEST(GraphTexts, point_details_and_average_frequency) {
    DriftRecord r =
        MakeDriftRecord(1234, 1715000000, 1, kReasonPowerResume, 0x0100000A, kRoleHorologix, -7);
    char text[400];
    FormatPointDetails(r, 4, false, text, sizeof(text));
    EXPECT_STREQ(text, "Check #5: Mon 06 May 2024 12:53:20 UTC, power resume. Variance was "
                       "+1.234 seconds.\r\nTime source: 10.0.0.1. Local clock was corrected. "
                       "Phase adjust was -7.");
    r.flags &= ~1;
    r.varianceMs = -56;
    r.sourceAddress = 0;
    r.marker = 0;
    FormatPointDetails(r, 0, false, text, sizeof(text));
    EXPECT_STREQ(text, "Check #1: Mon 06 May 2024 12:53:20 UTC, power resume. Variance was "
                       "-0.056 seconds.\r\nTime source: Averaged Time. Local clock was not "
                       "corrected. Phase adjust was unknown.");
    FormatAverageFrequency(1800, text, sizeof(text));
    EXPECT_STREQ(text,
                 "Average check frequency: 30 minutes\r\nClick a data point to see its value");
    FormatAverageFrequency(0, text, sizeof(text));
    EXPECT_STREQ(text, "Average check frequency: unknown\r\nClick a data point to see its value");
}

} // namespace
