// What reaches qxctl from outside as text: probe targets and Prometheus' time-out header (from
// any HTTP client), ranges, listen addresses and plugin thresholds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "responder/client/client_output.h"
#include "responder/client/exporter.h"
#include "responder/client/fleet_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string host, problem;
    uint16_t port = 0;
    ParseProbeTarget(text, 9909, &host, &port, &problem);
    ProbeBudgetMs(text.c_str(), 5000);
    ExporterSettings settings{};
    ParseListenAddress(text, &settings);
    ThresholdRange range{};
    if (ParseThresholdRange(text, &range)) {
        RangeAlerts(range, 5000.0);
    }
    std::vector<uint32_t> addresses;
    ExpandRange(text, &addresses);
    return 0;
}
