// The exporter's HTTP side, on cpp-httplib. This file alone is built with exceptions: the
// library reports malformed requests by throwing inside itself and answers them with 400.
#include "responder/client/exporter.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "responder/client/exposition.h"
#include "responder/client/fleet_probe.h"
#include "responder/client/udp_socket.h"
#include "responder/status_records.h"

// Requests are small: a bounded header and no body.
#define CPPHTTPLIB_REQUEST_URI_MAX_LENGTH 2048
#define CPPHTTPLIB_HEADER_MAX_LENGTH 4096
#define CPPHTTPLIB_PAYLOAD_MAX_LENGTH 4096
#include "httplib.h"

namespace {

constexpr char kExposition[] = "text/plain; version=0.0.4; charset=utf-8";

const char kIndex[] =
    "<html><head><title>Horologix exporter</title></head><body>\n"
    "<h1>Horologix exporter</h1>\n"
    "<p><a href=\"/metrics\">/metrics</a>: the exporter's own figures.</p>\n"
    "<p>/probe?target=HOST[:PORT]: asks that agent over the management port.</p>\n"
    "</body></html>\n";

class Exporter {
public:
    explicit Exporter(const ExporterSettings& s) : settings_(s), figures_() {
        figures_.startTime = WallSeconds();
        figures_.version = kAgentVersionText;
    }

    void Probe(const httplib::Request& request, httplib::Response& response) {
        if (!request.has_param("target")) {
            Refuse(response, 400, "the target parameter is missing: /probe?target=HOST[:PORT]\n",
                   &ExporterFigures::badRequests);
            return;
        }
        const std::string target = request.get_param_value("target");
        std::string host, problem;
        uint16_t port = 0;
        if (!ParseProbeTarget(target, settings_.defaultPort, &host, &port, &problem)) {
            Refuse(response, 400, problem + "\n", &ExporterFigures::badRequests);
            return;
        }
        if (inFlight_.fetch_add(1) >= settings_.maxInFlight) {
            inFlight_.fetch_sub(1);
            Refuse(response, 503, "too many probes are running; try again\n",
                   &ExporterFigures::refusedRequests);
            return;
        }
        const std::string header = request.get_header_value("X-Prometheus-Scrape-Timeout-Seconds");
        const int budget =
            ProbeBudgetMs(header.empty() ? nullptr : header.c_str(), settings_.maxProbeMs);
        const double started = MonotonicMilliseconds();
        AgentReading reading = EmptyReading(target);
        uint32_t address = 0;
        UdpSocket socket;
        // A name that does not resolve is an agent that cannot be asked: probe_success 0.
        if (ResolveHost(host.c_str(), &address) && socket.Open()) {
            ProbeOptions options;
            options.timeoutMs = budget;
            options.resendMs = budget / 4 > 50 ? budget / 4 : 50;
            options.trend = true;
            options.thresholdMs = settings_.thresholdMs;
            reading =
                ProbeAgents(socket, {ProbeTarget{target, Endpoint{address, port}}}, options)[0];
        }
        reading.durationSeconds = (MonotonicMilliseconds() - started) / 1000.0;
        inFlight_.fetch_sub(1);
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++figures_.probes;
            figures_.probeFailures += ProbeSucceeded(reading) ? 0 : 1;
            NoteProbeDuration(&figures_, reading.durationSeconds);
        }
        response.set_content(RenderAgentExposition({reading}, false), kExposition);
    }

    void Metrics(httplib::Response& response) {
        ExporterFigures figures;
        {
            std::lock_guard<std::mutex> hold(lock_);
            figures = figures_;
        }
        figures.inFlight = static_cast<uint64_t>(inFlight_.load());
        response.set_content(RenderExporterExposition(figures), kExposition);
    }

private:
    void Refuse(httplib::Response& response, int status, const std::string& text,
                uint64_t ExporterFigures::*counter) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++(figures_.*counter);
        }
        response.status = status;
        response.set_content(text, "text/plain; charset=utf-8");
    }

    const ExporterSettings settings_;
    std::mutex lock_;
    ExporterFigures figures_;
    std::atomic<int> inFlight_{0};
};

} // namespace

int RunExporter(const ExporterSettings& settings) {
    Exporter exporter(settings);
    httplib::Server server;
    const int threads = settings.threads;
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_keep_alive_timeout(30);
    // Headers and body go out in separate writes: without this, Nagle's algorithm holds the body
    // until the client's delayed acknowledgement, some 40 ms per kept-alive request.
    server.set_tcp_nodelay(true);
    server.Get("/probe", [&exporter](const httplib::Request& request, httplib::Response& response) {
        exporter.Probe(request, response);
    });
    server.Get("/metrics", [&exporter](const httplib::Request&, httplib::Response& response) {
        exporter.Metrics(response);
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kIndex, "text/html; charset=utf-8");
    });
    int port = settings.listenPort;
    if (port == 0) {
        port = server.bind_to_any_port(settings.listenHost.c_str());
    } else if (!server.bind_to_port(settings.listenHost.c_str(), port)) {
        port = -1;
    }
    if (port <= 0) {
        std::fprintf(stderr, "qxctl: cannot listen on %s:%u\n", settings.listenHost.c_str(),
                     static_cast<unsigned>(settings.listenPort));
        return 1;
    }
    std::fprintf(stderr, "qxctl exporter: listening on %s:%d\n", settings.listenHost.c_str(), port);
    std::fflush(stderr);
    return server.listen_after_bind() ? 0 : 1;
}
