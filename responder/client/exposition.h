// The Prometheus text exposition of agents and of the exporter itself: records in, text out
// (format 0.0.4: HELP and TYPE once per family, then its samples), shared by the exporter's
// /probe and /metrics, by `qxctl metrics` files and by the tests. New families are added to the
// tables in exposition.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "history/drift_trend.h"
#include "responder/status_records.h"

// What one probe of one agent learnt. The records are those the agent answered; a record that
// did not come leaves its families out.
struct AgentReading {
    std::string target;     // as asked: "HOST[:PORT]"
    double durationSeconds; // from the first request to the last answer or the give-up
    bool haveBlock;         // the running status block (request 128)
    AgentStatus block;
    bool haveStatus; // the status record (request 200)
    StatusRecord status;
    bool historyAnswered;      // the history request (160) was answered at all
    bool haveVerification;     // and named a verification
    uint32_t lastVerification; // its check time, seconds since 1970 UTC (the agent's clock)
    bool haveTrend;            // the recent history was walked to its newest record
    DriftTrend trend;          // and fitted (trend.fitted says whether a line came of it)
};
// A reading with nothing answered yet.
AgentReading EmptyReading(const std::string& target);
// The probe counts as a success when the status block or the status record came.
bool ProbeSucceeded(const AgentReading& reading);

// One line of a family: name suffix ("" or "_bucket", "_sum", "_count"), the labels inside the
// braces (already escaped), and the value as text.
struct Sample {
    std::string suffix;
    std::string labels;
    std::string value;
};
struct Family {
    const char* name;
    const char* type; // "gauge", "counter", "histogram"
    const char* help;
    std::vector<Sample> samples;
};

// `name="value"` with backslash, double quote and line feed escaped as the format asks.
std::string LabelPair(const char* name, const std::string& value);
// Families in order, each with HELP and TYPE; families without samples are left out. LF line
// ends, the last line ends too.
std::string RenderFamilies(const std::vector<Family>& families);

// Values as the format writes them: integers exactly, milliseconds as seconds with three
// decimals, and other seconds with microseconds.
std::string IntegerValue(int64_t value);
std::string UnsignedValue(uint64_t value);
std::string MillisecondsAsSeconds(int64_t ms);
std::string SecondsValue(double seconds);

// The families of agents, one sample per agent. With labelTarget each sample carries
// target="HOST[:PORT]" (files that hold several agents); without it the scrape's target label
// tells them apart (the exporter's /probe).
std::vector<Family> AgentFamilies(const std::vector<AgentReading>& readings, bool labelTarget);
std::string RenderAgentExposition(const std::vector<AgentReading>& readings, bool labelTarget);

// The exporter's own figures for /metrics.
constexpr size_t kDurationBuckets = 12;
extern const double kDurationBucketBounds[kDurationBuckets]; // seconds, ascending
struct ExporterFigures {
    uint64_t probes;                           // /probe requests that asked an agent
    uint64_t probeFailures;                    // of those, probe_success 0
    uint64_t badRequests;                      // /probe without a usable target: 400
    uint64_t refusedRequests;                  // turned away while too many probes ran: 503
    uint64_t inFlight;                         // probes running now
    uint64_t durationCounts[kDurationBuckets]; // probes that took at most each bound
    double durationSum;                        // seconds, all probes
    double startTime;                          // seconds since 1970
    const char* version;
};
// Adds one probe's duration to the histogram.
void NoteProbeDuration(ExporterFigures* figures, double seconds);
std::string RenderExporterExposition(const ExporterFigures& figures);
