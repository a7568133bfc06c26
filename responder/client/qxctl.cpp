// qxctl: asks agents over the management port and prints their answers, readable or as JSON;
// walks and saves their history; and checks them for monitoring systems.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "agent/time_source_judge.h"
#include "history/drift_record.h"
#include "history/drift_trend.h"
#include "responder/byte_order.h"
#include "responder/client/client_output.h"
#include "responder/client/client_session.h"
#include "responder/client/exporter.h"
#include "responder/client/exposition.h"
#include "responder/client/fleet_probe.h"
#include "responder/client/survey.h"
#include "responder/client/udp_socket.h"
#include "responder/management_protocol.h"
#include "responder/status_records.h"

namespace {

const char kUsage[] =
    "usage: qxctl [OPTIONS] COMMAND HOST[:PORT]...\n"
    "       qxctl exporter --listen ADDR:PORT\n"
    "       qxctl metrics [--textfile FILE.prom] HOST[:PORT]...\n"
    "       qxctl survey [--broadcast ADDR]... [--json | --csv] [HOST[:PORT] | CIDR]...\n"
    "commands:\n"
    "  ping        is the agent there (request 0)\n"
    "  time        the agent's UTC and local time and its offset from this machine (2, 7)\n"
    "  version     version, installation time and computer name (4)\n"
    "  timezone    the time-zone facts (6)\n"
    "  agent       the agent's running status and counters (128)\n"
    "  status      the status record (200)\n"
    "  history     the verifications from --from to the newest (160, one host): CSV, JSON lines\n"
    "              with --json, or a drift.qx file with --format drift --out FILE; with\n"
    "              --analyze the drift trend instead (--threshold MS, default 2000)\n"
    "  sync        ask the Windows Time service to synchronize now (3)\n"
    "  clear       empty the history and reset the statistics (129); asks unless --yes\n"
    "  check       for monitoring: --warn RANGE --crit RANGE [--max-age SECONDS] on |offset| in\n"
    "              ms, ranges as monitoring plugins write them: 100 (alert above 100), 10:\n"
    "              (below 10), ~:100, 10:20 (outside), @10:20 (inside); exit 0 OK,\n"
    "              1 WARNING, 2 CRITICAL, 3 UNKNOWN (the agent could not be asked)\n"
    "  exporter    a Prometheus exporter on --listen ADDR:PORT: GET /probe?target=HOST[:PORT]\n"
    "              asks that agent, GET /metrics the exporter's own figures; where the agent\n"
    "              answers history requests, its drift trend over the last day too, crossing\n"
    "              reckoned for --threshold MS (default 2000)\n"
    "  metrics     the exporter's metrics of every host at once, with a target label; to\n"
    "              standard output or, replaced in one step, to --textfile FILE.prom\n"
    "  survey      asks every agent given (A.B.C.D/N ranges too, and those answering a\n"
    "              --broadcast ADDR), at most --in-flight N at once (256), and prints one table,\n"
    "              worst first: no answer, then largest |offset|, then oldest verification;\n"
    "              --json one object per line, --csv\n"
    "  raw CODE [DATA]  any request code (and data word); the answer in hexadecimal\n"
    "options:\n"
    "  --port N        management port (default: \"quorvexnet\" in the services database,\n"
    "                  else 9909)\n"
    "  --timeout MS    wait per try (default 1000)   --retries N   tries after the first (2)\n"
    "  --json          one JSON object per host (or record) and line\n"
    "  --from TIME     history start: seconds since 1970, YYYY-MM-DD[THH:MM[:SS]][Z] in UTC,\n"
    "                  or -Ns, -Nm, -Nh, -Nd before now (default: the beginning)\n"
    "  --format F      history as csv (default) or drift     --out FILE   history to a file\n"
    "  --yes           clear without asking\n"
    "  --listen A:P    exporter: address and port to serve on (port 0: any, printed)\n"
    "  --textfile F    metrics: the file to write (a temporary beside it, then a rename)\n"
    "  --broadcast A   survey: also ask the agents that answer a ping sent to A\n"
    "  --csv           survey: comma-separated values with a header line\n"
    "  --in-flight N   survey, metrics: agents asked at once; exporter: probes at once, more\n"
    "                  are answered 503 (256)\n"
    "                  survey, metrics: --timeout per try, --retries as above; exporter: a\n"
    "                  probe ends 0.5 s before Prometheus' scrape time-out and after\n"
    "                  --timeout MS at the latest (5000)\n"
    "  --seq N         raw: send every try with this sequence number\n"
    "exit status: 0 every host answered, 1 one did not or refused, 2 usage; check as above\n";

struct Options {
    std::string command;
    std::vector<std::string> hosts;
    std::vector<std::string> arguments; // raw: code and data
    int port = -1;
    int timeoutMs = 1000;
    int retries = 2;
    bool json = false;
    bool yes = false;
    bool analyze = false;
    uint32_t thresholdMs = 2000;
    std::string from;
    std::string format = "csv";
    std::string out;
    bool haveWarn = false, haveCrit = false;
    ThresholdRange warn{}, crit{};
    bool timeoutGiven = false;
    std::string listen;
    std::string textfile;
    std::vector<std::string> broadcasts;
    bool csv = false;
    int inFlight = 256;
    bool help = false;
    uint32_t maxAge = 0;
    bool haveSeq = false;
    uint32_t seq = 0;
};

bool ParseNumber(const char* text, int64_t low, int64_t high, int64_t* value) {
    char* end = nullptr;
    const long long parsed = std::strtoll(text, &end, 0);
    if (end == text || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    *value = parsed;
    return true;
}

int Usage(const char* problem) {
    if (problem != nullptr) {
        std::fprintf(stderr, "qxctl: %s\n", problem);
    }
    std::fputs(kUsage, stderr);
    return 2;
}

bool ParseOptions(int argc, char** argv, Options* o, std::string* problem) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](int64_t low, int64_t high, int64_t* out) {
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], low, high, out)) {
                *problem = arg + " wants a number from " + std::to_string(low) + " to " +
                           std::to_string(high);
                return false;
            }
            ++i;
            return true;
        };
        auto text = [&](std::string* out) {
            if (i + 1 >= argc) {
                *problem = arg + " wants a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        int64_t number = 0;
        if (arg == "--port") {
            if (!value(1, 65535, &number)) {
                return false;
            }
            o->port = static_cast<int>(number);
        } else if (arg == "--timeout") {
            if (!value(1, 600000, &number)) {
                return false;
            }
            o->timeoutMs = static_cast<int>(number);
            o->timeoutGiven = true;
        } else if (arg == "--retries") {
            if (!value(0, 100, &number)) {
                return false;
            }
            o->retries = static_cast<int>(number);
        } else if (arg == "--warn" || arg == "--crit" || arg == "-w" || arg == "-c") {
            const bool isWarn = arg == "--warn" || arg == "-w";
            std::string range;
            if (!text(&range) || !ParseThresholdRange(range, isWarn ? &o->warn : &o->crit)) {
                *problem = arg + " wants a range: N, N:, ~:N, N:M or @N:M (ms)";
                return false;
            }
            (isWarn ? o->haveWarn : o->haveCrit) = true;
        } else if (arg == "--in-flight") {
            if (!value(1, 65536, &number)) {
                return false;
            }
            o->inFlight = static_cast<int>(number);
        } else if (arg == "--listen") {
            if (!text(&o->listen)) {
                return false;
            }
        } else if (arg == "--textfile") {
            if (!text(&o->textfile)) {
                return false;
            }
        } else if (arg == "--broadcast") {
            std::string address;
            if (!text(&address)) {
                return false;
            }
            o->broadcasts.push_back(address);
        } else if (arg == "--csv") {
            o->csv = true;
        } else if (arg == "--max-age") {
            if (!value(1, 0xFFFFFFFFll, &number)) {
                return false;
            }
            o->maxAge = static_cast<uint32_t>(number);
        } else if (arg == "--seq") {
            if (!value(0, 0xFFFFFFFFll, &number)) {
                return false;
            }
            o->haveSeq = true;
            o->seq = static_cast<uint32_t>(number);
        } else if (arg == "--json") {
            o->json = true;
        } else if (arg == "--yes") {
            o->yes = true;
        } else if (arg == "--analyze") {
            o->analyze = true;
        } else if (arg == "--threshold") {
            if (!value(0, 0xFFFFFFFFll, &number)) {
                return false;
            }
            o->thresholdMs = static_cast<uint32_t>(number);
        } else if (arg == "--from") {
            if (!text(&o->from)) {
                return false;
            }
        } else if (arg == "--format") {
            if (!text(&o->format) || (o->format != "csv" && o->format != "drift")) {
                *problem = "--format is csv or drift";
                return false;
            }
        } else if (arg == "--out") {
            if (!text(&o->out)) {
                return false;
            }
        } else if (arg == "-h" || arg == "--help") {
            o->help = true;
            *problem = "";
            return false;
        } else if (!arg.empty() && arg[0] == '-' && arg.size() > 1 &&
                   !(arg[1] >= '0' && arg[1] <= '9')) {
            *problem = "unknown option " + arg;
            return false;
        } else if (o->command.empty()) {
            o->command = arg;
        } else if (o->command == "raw" && o->arguments.size() < 2 && o->hosts.empty() &&
                   ParseNumber(argv[i], INT64_MIN, INT64_MAX, &number)) {
            o->arguments.push_back(arg);
        } else {
            o->hosts.push_back(arg);
        }
    }
    if (o->command.empty()) {
        *problem = "no command";
        return false;
    }
    if (o->command == "exporter") {
        if (o->listen.empty()) {
            *problem = "exporter wants --listen ADDR:PORT";
            return false;
        }
        return true;
    }
    if (o->hosts.empty() && !(o->command == "survey" && !o->broadcasts.empty())) {
        *problem = "no host";
        return false;
    }
    return true;
}

struct Target {
    std::string name; // as given
    Endpoint endpoint;
};

bool ResolveTargets(const Options& o, std::vector<Target>* targets) {
    const uint16_t defaultPort = o.port > 0 ? static_cast<uint16_t>(o.port)
                                            : ServicePort(kManagementService, kManagementPort);
    for (const std::string& host : o.hosts) {
        std::string name = host;
        uint16_t port = defaultPort;
        const size_t colon = host.rfind(':');
        if (colon != std::string::npos) {
            int64_t number = 0;
            if (!ParseNumber(host.c_str() + colon + 1, 1, 65535, &number)) {
                std::fprintf(stderr, "qxctl: bad port in %s\n", host.c_str());
                return false;
            }
            name = host.substr(0, colon);
            port = static_cast<uint16_t>(number);
        }
        uint32_t address = 0;
        if (!ResolveHost(name.c_str(), &address)) {
            std::fprintf(stderr, "qxctl: cannot resolve %s\n", name.c_str());
            return false;
        }
        targets->push_back(Target{host, Endpoint{address, port}});
    }
    return true;
}

std::vector<Endpoint> Endpoints(const std::vector<Target>& targets) {
    std::vector<Endpoint> endpoints;
    for (const Target& target : targets) {
        endpoints.push_back(target.endpoint);
    }
    return endpoints;
}

// The request's data word as 4 bytes.
struct DataWord {
    explicit DataWord(uint32_t value) { StoreLe32(bytes, value); }
    uint8_t bytes[4];
};

class Printer {
public:
    Printer(const Options& o, size_t hosts)
        : json_(o.json), several_(hosts > 1), command_(o.command) {}

    void Answered(const Target& target, Fields fields) {
        if (json_) {
            Fields all;
            AddText(&all, "host", target.name);
            AddText(&all, "command", command_);
            AddBoolean(&all, "answered", true);
            all.insert(all.end(), fields.begin(), fields.end());
            std::printf("%s\n", RenderJson(all).c_str());
        } else if (several_) {
            std::printf("%s: %s\n", target.name.c_str(), RenderCompact(fields).c_str());
        } else {
            std::printf("%s:\n%s", target.name.c_str(), RenderLines(fields, "  ").c_str());
        }
    }
    void Silent(const Target& target, const Answer& answer, const char* why = nullptr) {
        if (json_) {
            Fields all;
            AddText(&all, "host", target.name);
            AddText(&all, "command", command_);
            AddBoolean(&all, "answered", false);
            AddNumber(&all, "tries", answer.tries);
            std::printf("%s\n", RenderJson(all).c_str());
        } else {
            std::printf("%s: no answer after %d tries%s%s\n", target.name.c_str(), answer.tries,
                        why != nullptr ? "; " : "", why != nullptr ? why : "");
        }
    }

private:
    bool json_;
    bool several_;
    std::string command_;
};

int AskAndPrint(ManagementSession& session, const Options& o, const std::vector<Target>& targets,
                uint32_t code, size_t length, Fields (*decode)(const Answer&)) {
    Printer printer(o, targets.size());
    const DataWord zero(0);
    const auto answers =
        session.AskAll(Endpoints(targets), code, zero.bytes, 4, AnswerOfLength(length));
    int status = 0;
    for (size_t i = 0; i < targets.size(); ++i) {
        if (answers[i].answered) {
            printer.Answered(targets[i], decode(answers[i]));
        } else {
            printer.Silent(targets[i], answers[i]);
            status = 1;
        }
    }
    return status;
}

const uint8_t* Bytes(const Answer& answer) {
    return reinterpret_cast<const uint8_t*>(answer.bytes.data());
}

Fields DecodePing(const Answer& a) {
    Fields f;
    AddText(&f, "answer", std::string(a.bytes.c_str()));
    AddDecimal(&f, "round_trip_ms", a.roundTripMs, 3);
    return f;
}
Fields DecodeVersion(const Answer& a) {
    VersionRecord record;
    DecodeVersionRecord(Bytes(a), &record);
    return VersionFields(record);
}
Fields DecodeZone(const Answer& a) {
    TimeZoneFacts facts;
    DecodeTimeZoneFacts(Bytes(a), &facts);
    return TimeZoneFields(facts);
}
Fields DecodeAgent(const Answer& a) {
    AgentStatus status;
    DecodeAgentStatusBlock(Bytes(a), &status);
    return AgentStatusFields(status);
}
Fields DecodeStatus(const Answer& a) {
    StatusRecord record;
    DecodeStatusRecord(Bytes(a), &record);
    Fields f = StatusRecordFields(record);
    // The partner is the service's reference identifier: a local one, or no synchronization
    // since the agent started, means Windows Time follows no network source.
    const StatusSourceVerdict source = JudgeStatusRecordSource(
        record.partnerName, record.lastSyncTime, record.agentStartTime, record.now);
    AddBoolean(&f, "follows_no_network_source", source.followsNoNetworkSource);
    AddText(&f, "claimed_source", source.claimedText);
    return f;
}

int CommandTime(ManagementSession& session, const Options& o, const std::vector<Target>& targets) {
    Printer printer(o, targets.size());
    const DataWord zero(0);
    const auto utc = session.AskAll(Endpoints(targets), kRequestUtcTime, zero.bytes, 4,
                                    AnswerOfLength(kCalendarRecordSize));
    const auto local = session.AskAll(Endpoints(targets), kRequestLocalTime, zero.bytes, 4,
                                      AnswerOfLength(kCalendarRecordSize));
    int status = 0;
    for (size_t i = 0; i < targets.size(); ++i) {
        if (!utc[i].answered) {
            printer.Silent(targets[i], utc[i]);
            status = 1;
            continue;
        }
        CalendarRecord agentUtc;
        DecodeCalendarRecord(Bytes(utc[i]), &agentUtc);
        Fields f;
        AddText(&f, "utc", IsoCalendar(agentUtc, true));
        if (local[i].answered) {
            CalendarRecord agentLocal;
            DecodeCalendarRecord(Bytes(local[i]), &agentLocal);
            AddText(&f, "local", IsoCalendar(agentLocal, false));
        }
        double agentSeconds = 0;
        if (CalendarToUnix(agentUtc, &agentSeconds)) {
            // The agent read its clock about half a round trip before the answer arrived.
            const double ours = utc[i].receivedWall - utc[i].roundTripMs / 2000.0;
            AddDecimal(&f, "offset_s", agentSeconds - ours, 3);
        }
        AddDecimal(&f, "round_trip_ms", utc[i].roundTripMs, 3);
        printer.Answered(targets[i], f);
    }
    return status;
}

int CommandSync(ManagementSession& session, const Options& o, const std::vector<Target>& targets,
                uint32_t code) {
    Printer printer(o, targets.size());
    const DataWord zero(0);
    const auto answers =
        session.AskAll(Endpoints(targets), code, zero.bytes, 4, AnswerOfLength(kAckSize));
    int status = 0;
    for (size_t i = 0; i < targets.size(); ++i) {
        if (!answers[i].answered) {
            printer.Silent(targets[i], answers[i]);
            status = 1;
            continue;
        }
        const bool accepted = answers[i].bytes == std::string(kAck, kAckSize);
        Fields f;
        AddText(&f, "answer", std::string(answers[i].bytes.c_str()));
        AddBoolean(&f, "accepted", accepted);
        printer.Answered(targets[i], f);
        status = accepted ? status : 1;
    }
    return status;
}

int CommandClear(ManagementSession& session, const Options& o, const std::vector<Target>& targets) {
    if (!o.yes) {
        std::string names;
        for (const Target& target : targets) {
            names += (names.empty() ? "" : ", ") + target.name;
        }
        std::fprintf(stderr, "Empty the history and reset the statistics of %s? [y/N] ",
                     names.c_str());
        std::fflush(stderr);
        char line[64] = "";
        if (std::fgets(line, sizeof(line), stdin) == nullptr ||
            (std::strcmp(line, "y\n") != 0 && std::strcmp(line, "yes\n") != 0 &&
             std::strcmp(line, "Y\n") != 0)) {
            std::fprintf(stderr, "qxctl: nothing cleared\n");
            return 1;
        }
    }
    return AskAndPrint(session, o, targets, kRequestClearStatistics, kAgentStatusBlockSize,
                       DecodeAgent);
}

// Asks for the record after a moment; absent when the agent does not answer.
struct HistoryStep {
    bool answered;
    bool found;
    DriftRecord record;
    uint8_t bytes[kDriftAnswerSize];
};

HistoryStep NextRecord(ManagementSession& session, const Endpoint& target, uint32_t after) {
    HistoryStep step{};
    const DataWord word(after);
    // A late answer to the previous step is the record already written: it is not taken.
    const auto answer = session.Ask(
        target, kRequestDriftRecord, word.bytes, 4, [after](const uint8_t* bytes, size_t length) {
            if (length != kDriftAnswerSize) {
                return false;
            }
            const uint32_t checked = LoadLe32(bytes + 8);
            return checked > after ||
                   std::all_of(bytes, bytes + length, [](uint8_t b) { return b == 0; });
        });
    if (!answer.answered) {
        return step;
    }
    step.answered = true;
    std::memcpy(step.bytes, answer.bytes.data(), kDriftAnswerSize);
    DecodeDriftRecord(step.bytes, &step.record);
    step.found = step.record.checkTime > after;
    return step;
}

Fields DriftTrendFields(const DriftTrend& t) {
    Fields f;
    AddBoolean(&f, "trend", t.fitted);
    AddText(&f, "note", t.note);
    AddUnsigned(&f, "points", t.points);
    AddUnsigned(&f, "span_s", t.spanSeconds);
    if (t.fitted) {
        AddDecimal(&f, "trend_ms_per_day", t.msPerDay, 3);
        AddDecimal(&f, "trend_error_ms_per_day", t.msPerDayError, 3);
        AddDecimal(&f, "trend_ppm", t.ppm, 4);
        AddDecimal(&f, "residual_ms", t.residualMs, 3);
        AddDecimal(&f, "line_now_ms", t.lineNowMs, 1);
        AddBoolean(&f, "significant", t.significant);
    }
    AddBoolean(&f, "crossing", t.crossing);
    if (t.crossing) {
        AddNumber(&f, "crossing_unix", t.crossingTime);
        AddText(&f, "crossing",
                t.crossingTime <= 0xFFFFFFFFll ? IsoUtc(static_cast<uint32_t>(t.crossingTime))
                                               : std::string("after 2106"));
        AddBoolean(&f, "already_beyond", t.alreadyBeyond);
    }
    return f;
}

int CommandHistory(ManagementSession& session, const Options& o,
                   const std::vector<Target>& targets) {
    if (targets.size() != 1) {
        return Usage("history asks one host");
    }
    if (o.analyze && (o.format != "csv" || !o.out.empty())) {
        return Usage("--analyze prints the trend: no --format drift or --out");
    }
    if (o.format == "drift" && o.out.empty()) {
        return Usage("--format drift writes a file: give --out FILE");
    }
    uint32_t after = 0;
    if (!o.from.empty()) {
        uint32_t from = 0;
        if (!ParseMoment(o.from.c_str(), static_cast<uint32_t>(WallSeconds()), &from)) {
            return Usage("--from wants seconds since 1970, YYYY-MM-DD[THH:MM[:SS]][Z] or -N[smhd]");
        }
        // Records checked at the moment itself belong to the history asked for.
        after = from > 0 ? from - 1 : 0;
    }
    FILE* out = stdout;
    if (!o.out.empty()) {
        out = std::fopen(o.out.c_str(), o.format == "drift" ? "wb" : "w");
        if (out == nullptr) {
            std::fprintf(stderr, "qxctl: cannot write %s\n", o.out.c_str());
            return 1;
        }
    }
    if (o.format == "csv" && !o.json && !o.analyze) {
        std::fputs(DriftCsvHeader().c_str(), out);
    }
    std::vector<DriftRecord> analyzed;
    uint64_t count = 0;
    int status = 0;
    for (;;) {
        const HistoryStep step = NextRecord(session, targets[0].endpoint, after);
        if (!step.answered) {
            std::fprintf(stderr,
                         "qxctl: %s: no answer to the history request after %" PRIu64
                         " records (the agent answers it only when its \"Prohibited QX2 "
                         "Commands\" value allows code 160)\n",
                         targets[0].name.c_str(), count);
            status = 1;
            break;
        }
        if (!step.found) {
            break;
        }
        if (o.analyze) {
            analyzed.push_back(step.record);
        } else if (o.format == "drift") {
            std::fwrite(step.bytes, 1, sizeof(step.bytes), out);
        } else if (o.json) {
            Fields f;
            AddText(&f, "host", targets[0].name);
            const Fields record = DriftRecordFields(step.record);
            f.insert(f.end(), record.begin(), record.end());
            std::fprintf(out, "%s\n", RenderJson(f).c_str());
        } else {
            std::fputs(DriftCsvLine(step.record).c_str(), out);
        }
        ++count;
        after = step.record.checkTime;
    }
    if (o.analyze && status == 0) {
        DriftTrendOptions options;
        options.thresholdMs = o.thresholdMs;
        Printer printer(o, 1);
        printer.Answered(targets[0], DriftTrendFields(AnalyzeDriftTrend(analyzed.data(),
                                                                        analyzed.size(), options)));
    }
    if (out != stdout && std::fclose(out) != 0) {
        std::fprintf(stderr, "qxctl: writing %s failed\n", o.out.c_str());
        status = 1;
    }
    if (!o.out.empty()) {
        std::fprintf(stderr, "%s: %" PRIu64 " records written to %s\n", targets[0].name.c_str(),
                     count, o.out.c_str());
    }
    return status;
}

int CommandCheck(ManagementSession& session, const Options& o, const std::vector<Target>& targets) {
    if (!o.haveWarn || !o.haveCrit) {
        std::fprintf(stderr, "qxctl: check wants --warn MS and --crit MS\n");
        return kCheckUnknown;
    }
    const DataWord zero(0);
    const auto blocks = session.AskAll(Endpoints(targets), kRequestAgentStatus, zero.bytes, 4,
                                       AnswerOfLength(kAgentStatusBlockSize));
    int worst = kCheckOk;
    for (size_t i = 0; i < targets.size(); ++i) {
        CheckInput input{};
        input.answered = blocks[i].answered;
        input.maxAgeSeconds = o.maxAge;
        if (input.answered) {
            AgentStatus status;
            DecodeAgentStatusBlock(Bytes(blocks[i]), &status);
            input.varianceMs = status.lastOffsetMs;
            input.agentNow = status.snapshotTime;
        }
        if (input.answered && o.maxAge != 0) {
            // The window is measured on the agent's clock, which the history's times follow.
            uint32_t after = input.agentNow > o.maxAge ? input.agentNow - o.maxAge : 0;
            // Walk to the newest verification in the window; a handful of records per hour.
            for (int steps = 0; steps < 4096; ++steps) {
                const HistoryStep step = NextRecord(session, targets[i].endpoint, after);
                if (!step.answered) {
                    break;
                }
                input.historyAnswered = true;
                if (!step.found) {
                    break;
                }
                input.verified = true;
                input.newestCheck = step.record.checkTime;
                after = step.record.checkTime;
            }
        }
        const CheckResult result = EvaluateCheck(targets[i].name, input, o.warn, o.crit);
        if (o.json) {
            Fields f;
            AddText(&f, "host", targets[i].name);
            AddText(&f, "command", "check");
            AddNumber(&f, "state", result.state);
            AddText(&f, "state_name", CheckStateName(result.state));
            AddText(&f, "line", result.line);
            std::printf("%s\n", RenderJson(f).c_str());
        } else {
            std::printf("%s\n", result.line.c_str());
        }
        worst = i == 0 ? result.state : WorseState(worst, result.state);
    }
    return worst;
}

int CommandRaw(ManagementSession& session, const Options& o, const std::vector<Target>& targets) {
    int64_t code = 0, data = 0;
    if (o.arguments.empty() || !ParseNumber(o.arguments[0].c_str(), 0, 0xFFFFFFFFll, &code) ||
        (o.arguments.size() > 1 && !ParseNumber(o.arguments[1].c_str(), 0, 0xFFFFFFFFll, &data))) {
        return Usage("raw wants CODE [DATA], each 0 to 4294967295");
    }
    if (o.haveSeq) {
        session.FixSequence(o.seq);
    }
    Printer printer(o, targets.size());
    const DataWord word(static_cast<uint32_t>(data));
    const auto answers = session.AskAll(Endpoints(targets), static_cast<uint32_t>(code), word.bytes,
                                        4, [](const uint8_t*, size_t) { return true; });
    int status = 0;
    for (size_t i = 0; i < targets.size(); ++i) {
        if (!answers[i].answered) {
            printer.Silent(targets[i], answers[i]);
            status = 1;
            continue;
        }
        std::string hex;
        for (unsigned char c : answers[i].bytes) {
            char pair[3];
            std::snprintf(pair, sizeof(pair), "%02x", c);
            hex += pair;
        }
        Fields f;
        AddUnsigned(&f, "length", answers[i].bytes.size());
        AddText(&f, "hex", hex);
        printer.Answered(targets[i], f);
    }
    return status;
}

uint16_t DefaultPort(const Options& o) {
    return o.port > 0 ? static_cast<uint16_t>(o.port)
                      : ServicePort(kManagementService, kManagementPort);
}

// Targets of the fleet commands: a host that does not resolve is kept as an agent that cannot
// be asked (its reading says so), not a reason to ask none. Ranges give one target per address.
struct FleetTargets {
    std::vector<ProbeTarget> askable;
    std::vector<std::string> unresolved;
};

bool CollectFleetTargets(const Options& o, bool ranges, FleetTargets* out) {
    const uint16_t defaultPort = DefaultPort(o);
    std::vector<uint64_t> seen;
    auto add = [&](const std::string& name, const Endpoint& endpoint) {
        const uint64_t key = (static_cast<uint64_t>(endpoint.address) << 16) | endpoint.port;
        seen.push_back(key);
        out->askable.push_back(ProbeTarget{name, endpoint});
    };
    for (const std::string& given : o.hosts) {
        if (ranges && given.find('/') != std::string::npos) {
            std::vector<uint32_t> addresses;
            if (!ExpandRange(given, &addresses)) {
                std::fprintf(stderr, "qxctl: %s is not a range A.B.C.D/N with N from 16 to 32\n",
                             given.c_str());
                return false;
            }
            for (uint32_t address : addresses) {
                add(AddressText(address), Endpoint{address, defaultPort});
            }
            continue;
        }
        std::string host;
        uint16_t port = 0;
        std::string problem;
        if (!ParseProbeTarget(given, defaultPort, &host, &port, &problem)) {
            std::fprintf(stderr, "qxctl: %s: %s\n", given.c_str(), problem.c_str());
            return false;
        }
        uint32_t address = 0;
        if (!ResolveHost(host.c_str(), &address)) {
            std::fprintf(stderr, "qxctl: cannot resolve %s\n", host.c_str());
            out->unresolved.push_back(given);
            continue;
        }
        add(given, Endpoint{address, port});
    }
    // A range and a host naming the same agent: asked once.
    std::vector<ProbeTarget> unique;
    std::unordered_set<uint64_t> kept;
    for (size_t i = 0; i < out->askable.size(); ++i) {
        if (kept.insert(seen[i]).second) {
            unique.push_back(out->askable[i]);
        }
    }
    out->askable.swap(unique);
    return true;
}

std::vector<AgentReading> ReadFleet(UdpSocket& socket, const Options& o,
                                    const FleetTargets& targets, bool block, bool trend) {
    ProbeOptions options;
    options.block = block;
    options.trend = trend;
    options.thresholdMs = o.thresholdMs;
    options.timeoutMs = o.timeoutMs * (o.retries + 1);
    options.resendMs = o.timeoutMs;
    options.inFlight = static_cast<size_t>(o.inFlight);
    socket.SetBufferSizes(4 << 20);
    std::vector<AgentReading> readings = ProbeAgents(socket, targets.askable, options);
    for (const std::string& name : targets.unresolved) {
        readings.push_back(EmptyReading(name));
    }
    return readings;
}

int CommandExporter(const Options& o) {
    ExporterSettings settings{};
    if (!ParseListenAddress(o.listen, &settings)) {
        return Usage("--listen wants ADDR:PORT, such as 127.0.0.1:9799 or :9799");
    }
    settings.defaultPort = DefaultPort(o);
    settings.maxProbeMs = o.timeoutGiven ? o.timeoutMs : 5000;
    settings.maxInFlight = o.inFlight;
    settings.threads = 16;
    settings.thresholdMs = o.thresholdMs;
    return RunExporter(settings);
}

int CommandMetrics(UdpSocket& socket, const Options& o) {
    FleetTargets targets;
    if (!CollectFleetTargets(o, false, &targets)) {
        return 2;
    }
    const std::vector<AgentReading> readings = ReadFleet(socket, o, targets, true, true);
    const std::string text = RenderAgentExposition(readings, true);
    if (o.textfile.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    // The collector reads every *.prom file of its folder: the temporary has another ending.
    char suffix[48];
    std::snprintf(suffix, sizeof(suffix), ".%lu.tmp", ProcessNumber());
    const std::string temporary = o.textfile + suffix;
    FILE* out = std::fopen(temporary.c_str(), "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "qxctl: cannot write %s\n", temporary.c_str());
        return 1;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (std::fclose(out) != 0 || !written) {
        std::fprintf(stderr, "qxctl: writing %s failed\n", temporary.c_str());
        std::remove(temporary.c_str());
        return 1;
    }
    std::string problem;
    if (!ReplaceFileAtomically(temporary, o.textfile, &problem)) {
        std::fprintf(stderr, "qxctl: %s\n", problem.c_str());
        std::remove(temporary.c_str());
        return 1;
    }
    return 0;
}

int CommandSurvey(UdpSocket& socket, const Options& o) {
    FleetTargets targets;
    if (!CollectFleetTargets(o, true, &targets)) {
        return 2;
    }
    if (!o.broadcasts.empty()) {
        std::vector<Endpoint> to;
        for (const std::string& given : o.broadcasts) {
            std::string host, problem;
            uint16_t port = 0;
            uint32_t address = 0;
            if (!ParseProbeTarget(given, DefaultPort(o), &host, &port, &problem) ||
                !ResolveHost(host.c_str(), &address)) {
                std::fprintf(stderr, "qxctl: bad broadcast address %s\n", given.c_str());
                return 2;
            }
            to.push_back(Endpoint{address, port});
        }
        if (!socket.EnableBroadcast()) {
            std::fprintf(stderr, "qxctl: broadcasts are not allowed (error %d)\n", socket.error());
            return 1;
        }
        for (const Endpoint& found : DiscoverAgents(socket, to, o.timeoutMs)) {
            const bool known =
                std::any_of(targets.askable.begin(), targets.askable.end(),
                            [&found](const ProbeTarget& t) { return t.endpoint == found; });
            if (!known) {
                char name[40];
                std::snprintf(name, sizeof(name), "%s:%u", AddressText(found.address).c_str(),
                              static_cast<unsigned>(found.port));
                targets.askable.push_back(ProbeTarget{name, found});
            }
        }
    }
    std::vector<AgentReading> readings = ReadFleet(socket, o, targets, false, false);
    std::vector<SurveyRow> rows;
    rows.reserve(readings.size());
    for (const AgentReading& reading : readings) {
        rows.push_back(SurveyRowOf(reading));
    }
    SortWorstFirst(&rows);
    const std::string text = o.json  ? RenderSurveyJson(rows)
                             : o.csv ? RenderSurveyCsv(rows)
                                     : RenderSurveyTable(rows);
    std::fwrite(text.data(), 1, text.size(), stdout);
    const bool allAnswered =
        std::all_of(rows.begin(), rows.end(), [](const SurveyRow& r) { return r.answered; });
    return allAnswered ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    std::string problem;
    if (!ParseOptions(argc, argv, &o, &problem)) {
        if (o.help) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        const int code = Usage(problem.empty() ? nullptr : problem.c_str());
        return o.command == "check" ? kCheckUnknown : code;
    }
    if (o.command == "exporter") {
        if (!StartSockets()) {
            std::fprintf(stderr, "qxctl: sockets are not available\n");
            return 1;
        }
        return CommandExporter(o);
    }
    if (o.command == "metrics" || o.command == "survey") {
        UdpSocket fleetSocket;
        if (!StartSockets() || !fleetSocket.Open()) {
            std::fprintf(stderr, "qxctl: cannot open a socket (error %d)\n", fleetSocket.error());
            return 1;
        }
        return o.command == "metrics" ? CommandMetrics(fleetSocket, o)
                                      : CommandSurvey(fleetSocket, o);
    }
    if (!StartSockets()) {
        std::fprintf(stderr, "qxctl: sockets are not available\n");
        return o.command == "check" ? kCheckUnknown : 1;
    }
    std::vector<Target> targets;
    if (!ResolveTargets(o, &targets)) {
        return o.command == "check" ? kCheckUnknown : 1;
    }
    UdpSocket socket;
    if (!socket.Open()) {
        std::fprintf(stderr, "qxctl: cannot open a socket (error %d)\n", socket.error());
        return o.command == "check" ? kCheckUnknown : 1;
    }
    ManagementSession session(socket, o.timeoutMs, o.retries);
    const std::string& c = o.command;
    if (c == "ping") {
        return AskAndPrint(session, o, targets, kRequestPing, kAckSize, DecodePing);
    }
    if (c == "time") {
        return CommandTime(session, o, targets);
    }
    if (c == "version") {
        return AskAndPrint(session, o, targets, kRequestVersion, kVersionRecordSize, DecodeVersion);
    }
    if (c == "timezone") {
        return AskAndPrint(session, o, targets, kRequestTimeZone, kTimeZoneFactsSize, DecodeZone);
    }
    if (c == "agent") {
        return AskAndPrint(session, o, targets, kRequestAgentStatus, kAgentStatusBlockSize,
                           DecodeAgent);
    }
    if (c == "status") {
        return AskAndPrint(session, o, targets, kRequestStatusRecord, kStatusRecordSize,
                           DecodeStatus);
    }
    if (c == "history") {
        return CommandHistory(session, o, targets);
    }
    if (c == "sync") {
        return CommandSync(session, o, targets, kRequestDemandSync);
    }
    if (c == "clear") {
        return CommandClear(session, o, targets);
    }
    if (c == "check") {
        return CommandCheck(session, o, targets);
    }
    if (c == "raw") {
        return CommandRaw(session, o, targets);
    }
    return Usage(("unknown command " + c).c_str());
}
