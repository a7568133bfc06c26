// qxctl's Prometheus exporter: the multi-target pattern, where Prometheus names the agent to
// ask in each scrape (GET /probe?target=HOST[:PORT]) and GET /metrics answers the exporter's
// own figures. The decisions on a request are here; the HTTP server is in exporter_http.cpp.
#pragma once

#include <cstdint>
#include <string>

// A probe's target as Prometheus passes it: a host name or dotted IPv4 address, optionally
// ":PORT" (1-65535); defaultPort otherwise. False, with problem set, for anything else (empty,
// longer than a host name can be, characters no host name has, a bad port).
bool ParseProbeTarget(const std::string& text, uint16_t defaultPort, std::string* host,
                      uint16_t* port, std::string* problem);

// How long a probe may take, in milliseconds: Prometheus sends its scrape time-out in
// X-Prometheus-Scrape-Timeout-Seconds (header null when absent); the probe ends half a second
// before it (at least 100 ms), and never later than maxMs, which also applies when the header is
// missing or unreadable.
int ProbeBudgetMs(const char* header, int maxMs);

struct ExporterSettings {
    std::string listenHost; // dotted address or name; "0.0.0.0" for every address
    uint16_t listenPort;    // 0: any free port (printed when bound)
    uint16_t defaultPort;   // of targets given without one
    int maxProbeMs;         // a probe's time at most (see ProbeBudgetMs)
    int maxInFlight;        // probes running at once; more are answered 503
    int threads;            // HTTP worker threads
    uint32_t thresholdMs;   // the alert threshold the drift trend's crossing is reckoned for
};

// "ADDR:PORT" or ":PORT" (every address) into settings; false for anything else.
bool ParseListenAddress(const std::string& text, ExporterSettings* settings);

// Serves until the process ends; returns 1 (after printing why) when it cannot listen.
int RunExporter(const ExporterSettings& settings);
