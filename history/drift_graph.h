// The drift graph's arithmetic and texts free of system calls: where the divisions, labels and
// points go in a field of given size, the automatic scale, the window over the records as the
// user scrolls, which point a mouse position hits, and the texts beside the graph.
#pragma once

#include "history/drift_record.h"

#include <cstddef>
#include <cstdint>

// Milliseconds per vertical division the user may pick, in list order after "Auto".
constexpr size_t kGraphScaleCount = 17;
extern const uint32_t kGraphScales[kGraphScaleCount];

// Records shown at once.
constexpr uint32_t kGraphWindowRecords = 64;

// Vertical layout of a field H pixels high: 19 divisions of divisionHeight pixels, the zero line
// in the middle.
struct GraphGeometry {
    int divisionHeight; // H / 20
    int topMargin;      // (H - 19 * (divisionHeight + 1)) / 2, toward zero
    int zeroLine;       // topMargin + 10 * divisionHeight
};
GraphGeometry ComputeGraphGeometry(int height);

// y of a grid line (j from 1 to 19), and top of the axis label of scale * k (k from 9 to -9)
// for a character charHeight pixels high.
int GridLineY(const GraphGeometry& g, int j);
int AxisLabelTop(const GraphGeometry& g, int k, int charHeight);

// The automatic scale for the shown records first .. end - 1: the first fixed scale from 10 up
// whose ten-fold is at least the largest absolute variance among them, or the largest scale.
uint32_t AutoGraphScale(const DriftRecord* records, uint32_t first, uint32_t end);

// "1 millisecond", "25 milliseconds", "1 second", "2.5 seconds", "1 minute", "5 minutes": the
// scale's text with a ".0" after the decimal point left out. Writes at most size - 1 characters.
void FormatScaleText(uint32_t scale, char* out, size_t size);

// The variance label: "Variance for checks %d through %d (of %d)\r\nEach vertical division
// represents %s".
void FormatVarianceLabel(uint32_t first, uint32_t end, uint32_t count, uint32_t scale, char* out,
                         size_t size);

// x of the k-th shown record: points start at x1 and are step pixels apart.
int PointX(uint32_t k, int x1, double step);
// y of a variance at the given scale (milliseconds per division).
int PointY(const GraphGeometry& g, int32_t varianceMs, uint32_t scale);

// Marker of a record: its fill colour and shape.
enum class MarkerColor { kRed, kYellow, kGreen, kWhite };
struct MarkerStyle {
    MarkerColor color; // red above 127 ms, yellow from 56 ms, else green when corrected, white
    bool ellipse;      // corrected checks are round, others rounded rectangles
};
MarkerStyle MarkerStyleOf(const DriftRecord& record);

// Scroll requests of the horizontal scroll bar, as the system numbers them.
enum ScrollRequest : int {
    kScrollLineLeft = 0,
    kScrollLineRight = 1,
    kScrollPageLeft = 2,
    kScrollPageRight = 3,
    kScrollThumbPosition = 4,
    kScrollThumbTrack = 5,
    kScrollLeftmost = 6,
    kScrollRightmost = 7,
    kScrollEnd = 8,
};
// The first shown record after a scroll request; thumb is the thumb's position for the two thumb
// requests. The result lies from 0 to count - windowSize (0 when windowSize exceeds count).
uint32_t ScrollFirst(int request, int32_t thumb, uint32_t first, uint32_t windowSize,
                     uint32_t count);

// The window over the records after a load: first, windowSize and end kept so that
// first <= end == first + windowSize <= count, and a selection outside the records dropped
// (-1). A file that shrank while the graph showed it thus never makes the graph read beyond it.
struct GraphWindow {
    uint32_t first;
    uint32_t windowSize;
    uint32_t end;
    int32_t selected;
};
void KeepWindowWithin(uint32_t count, GraphWindow* window);

// A point on the screen, in the graph field's pixels.
struct GraphPoint {
    int32_t x;
    int32_t y;
};
// Index (0 .. n - 1) of the first point within 3 pixels across and 7 down or up of (x, y),
// -1 when none.
int HitTestPoints(const GraphPoint* points, uint32_t n, int x, int y);

// The detail text of one record, index being its absolute index (shown as index + 1).
void FormatPointDetails(const DriftRecord& record, uint32_t index, bool localTime, char* out,
                        size_t size);

// "Average check frequency: %s\r\nClick a data point to see its value".
void FormatAverageFrequency(uint32_t averageInterval, char* out, size_t size);
