#include "responder/client/exposition.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "agent/time_source_judge.h"
#include "history/drift_record.h"
#include "responder/client/client_output.h"

namespace {

std::string Labels(const AgentReading& reading, bool labelTarget, const std::string& more = "") {
    std::string labels = labelTarget ? LabelPair("target", reading.target) : std::string();
    if (!more.empty()) {
        labels += (labels.empty() ? "" : ",") + more;
    }
    return labels;
}

// One family over the agents: value returns false for an agent that has no value for it.
template <typename Value>
Family AgentFamily(const char* name, const char* type, const char* help,
                   const std::vector<AgentReading>& readings, bool labelTarget, Value value) {
    Family family{name, type, help, {}};
    for (const AgentReading& reading : readings) {
        std::string text;
        std::string extraLabels;
        if (value(reading, &text, &extraLabels)) {
            family.samples.push_back(Sample{"", Labels(reading, labelTarget, extraLabels), text});
        }
    }
    return family;
}

// Agents' texts are 8-bit in the machine's code page; the format wants UTF-8. Bytes above 127
// are taken as Latin-1, which keeps every text valid and ASCII ones unchanged.
std::string AgentText(const char* text) {
    std::string utf8;
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

// The reading's text fields, from the status block where it came, else from the status record.
const char* VersionText(const AgentReading& r) {
    return r.haveBlock ? r.block.versionText : r.status.versionText;
}
const char* PartnerText(const AgentReading& r) {
    return r.haveBlock ? r.block.partnerName : r.status.partnerName;
}

} // namespace

AgentReading EmptyReading(const std::string& target) {
    AgentReading reading{};
    reading.target = target;
    return reading;
}

bool ProbeSucceeded(const AgentReading& reading) {
    return reading.haveBlock || reading.haveStatus;
}

std::string LabelPair(const char* name, const std::string& value) {
    std::string text = name;
    text += "=\"";
    for (char c : value) {
        if (c == '\\') {
            text += "\\\\";
        } else if (c == '"') {
            text += "\\\"";
        } else if (c == '\n') {
            text += "\\n";
        } else {
            text += c;
        }
    }
    return text + "\"";
}

std::string RenderFamilies(const std::vector<Family>& families) {
    std::string text;
    for (const Family& family : families) {
        if (family.samples.empty()) {
            continue;
        }
        text += std::string("# HELP ") + family.name + " " + family.help + "\n";
        text += std::string("# TYPE ") + family.name + " " + family.type + "\n";
        for (const Sample& sample : family.samples) {
            text += family.name + sample.suffix;
            if (!sample.labels.empty()) {
                text += "{" + sample.labels + "}";
            }
            text += " " + sample.value + "\n";
        }
    }
    return text;
}

std::string IntegerValue(int64_t value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%" PRId64, value);
    return text;
}

std::string UnsignedValue(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%" PRIu64, value);
    return text;
}

std::string MillisecondsAsSeconds(int64_t ms) {
    // Exact: the integer milliseconds split, never through a binary fraction.
    const uint64_t magnitude =
        ms < 0 ? static_cast<uint64_t>(-(ms + 1)) + 1 : static_cast<uint64_t>(ms);
    char text[40];
    std::snprintf(text, sizeof(text), "%s%" PRIu64 ".%03u", ms < 0 ? "-" : "", magnitude / 1000,
                  static_cast<unsigned>(magnitude % 1000));
    return text;
}

std::string SecondsValue(double seconds) {
    char text[40];
    std::snprintf(text, sizeof(text), "%.6f", seconds);
    return text;
}

namespace {

// A rate such as seconds per second: too small for fixed decimals.
std::string RatioValue(double value) {
    char text[40];
    std::snprintf(text, sizeof(text), "%.6g", value);
    return text;
}

// Whether the service follows no network source, from the status record's partner and (with
// the status block) the service's type: with NoSync a local source is what was asked for.
bool FollowsNoNetworkSource(const AgentReading& r, const char** claimed) {
    const StatusSourceVerdict verdict = JudgeStatusRecordSource(
        r.status.partnerName, r.status.lastSyncTime, r.status.agentStartTime, r.status.now);
    *claimed = verdict.claimedText;
    if (r.haveBlock && !ExpectsNetworkSources(r.block.timeServiceType)) {
        return false;
    }
    return verdict.followsNoNetworkSource;
}

} // namespace

std::vector<Family> AgentFamilies(const std::vector<AgentReading>& readings, bool labelTarget) {
    using R = const AgentReading&;
    using S = std::string*;
    std::vector<Family> families;
    families.push_back(AgentFamily("probe_success", "gauge",
                                   "Whether the agent answered the probe (1) or not (0).", readings,
                                   labelTarget, [](R r, S v, S) {
                                       *v = ProbeSucceeded(r) ? "1" : "0";
                                       return true;
                                   }));
    families.push_back(AgentFamily("probe_duration_seconds", "gauge",
                                   "How long the probe of the agent took, in seconds.", readings,
                                   labelTarget, [](R r, S v, S) {
                                       *v = SecondsValue(r.durationSeconds);
                                       return true;
                                   }));
    families.push_back(AgentFamily(
        "horologix_clock_offset_seconds", "gauge",
        "Offset of the agent's clock found by its last verification: reference time minus "
        "local clock, in seconds; positive when the local clock is behind (slow), negative when "
        "it is ahead.",
        readings, labelTarget, [](R r, S v, S) {
            if (!ProbeSucceeded(r)) {
                return false;
            }
            *v = MillisecondsAsSeconds(r.haveBlock ? r.block.lastOffsetMs : r.status.lastOffsetMs);
            return true;
        }));
    families.push_back(AgentFamily(
        "horologix_last_verification_timestamp_seconds", "gauge",
        "When the agent last verified its clock, seconds since 1970 on the agent's clock (from its "
        "history; absent when the agent does not answer history requests).",
        readings, labelTarget, [](R r, S v, S) {
            if (!r.haveVerification) {
                return false;
            }
            *v = UnsignedValue(r.lastVerification);
            return true;
        }));
    families.push_back(AgentFamily(
        "horologix_history_available", "gauge",
        "Whether the agent answered the history request (1) or its filter prohibits it (0).",
        readings, labelTarget, [](R r, S v, S) {
            if (!ProbeSucceeded(r)) {
                return false;
            }
            *v = r.historyAnswered ? "1" : "0";
            return true;
        }));
    families.push_back(AgentFamily(
        "horologix_last_sync_timestamp_seconds", "gauge",
        "When the Windows Time service last synchronized, as the agent saw it, seconds since "
        "1970; 0 when it has not since the agent started.",
        readings, labelTarget, [](R r, S v, S) {
            if (!ProbeSucceeded(r)) {
                return false;
            }
            *v = UnsignedValue(r.haveBlock ? r.block.lastSyncTime : r.status.lastSyncTime);
            return true;
        }));
    families.push_back(AgentFamily(
        "horologix_agent_start_timestamp_seconds", "gauge",
        "When the agent started, seconds since 1970 on the agent's clock.", readings, labelTarget,
        [](R r, S v, S) {
            if (!ProbeSucceeded(r)) {
                return false;
            }
            *v = UnsignedValue(r.haveBlock ? r.block.agentStartTime : r.status.agentStartTime);
            return true;
        }));
    families.push_back(AgentFamily("horologix_agent_time_seconds", "gauge",
                                   "The agent's clock when it answered, seconds since 1970.",
                                   readings, labelTarget, [](R r, S v, S) {
                                       if (!r.haveStatus) {
                                           return false;
                                       }
                                       *v = UnsignedValue(r.status.now);
                                       return true;
                                   }));
    families.push_back(AgentFamily(
        "horologix_statistics_reset_timestamp_seconds", "gauge",
        "When the agent's counters were last reset (start or clear), seconds since 1970.", readings,
        labelTarget, [](R r, S v, S) {
            if (!r.haveBlock) {
                return false;
            }
            *v = UnsignedValue(r.block.statisticsResetTime);
            return true;
        }));
    families.push_back(AgentFamily("horologix_install_timestamp_seconds", "gauge",
                                   "When the agent was installed, seconds since 1970.", readings,
                                   labelTarget, [](R r, S v, S) {
                                       if (!r.haveStatus) {
                                           return false;
                                       }
                                       *v = UnsignedValue(r.status.installTime);
                                       return true;
                                   }));
    families.push_back(AgentFamily(
        "horologix_time_service_pending", "gauge",
        "Whether the agent still waits for the Windows Time service's first verdict (1) or not "
        "(0).",
        readings, labelTarget, [](R r, S v, S) {
            if (!r.haveBlock) {
                return false;
            }
            *v = (r.block.statusFlags & kStatusPending) != 0 ? "1" : "0";
            return true;
        }));
    struct SharedCounter {
        const char* name;
        const char* help;
        uint64_t AgentStatus::*blockField;
        uint64_t StatusRecord::*recordField;
    };
    static const SharedCounter kCounters[] = {
        {"horologix_synchronizations_total",
         "Synchronizations of the Windows Time service the agent saw (each one is followed by a "
         "verification).",
         &AgentStatus::syncSuccesses, &StatusRecord::syncSuccesses},
        {"horologix_synchronization_failures_total",
         "Synchronization failures of the Windows Time service the agent saw.",
         &AgentStatus::syncFailures, &StatusRecord::syncFailures},
        {"horologix_synchronization_events_total",
         "Synchronizations and synchronization failures the agent saw.", &AgentStatus::syncEvents,
         &StatusRecord::syncEvents},
    };
    for (const SharedCounter& counter : kCounters) {
        families.push_back(AgentFamily(
            counter.name, "counter", counter.help, readings, labelTarget, [&counter](R r, S v, S) {
                if (!ProbeSucceeded(r)) {
                    return false;
                }
                *v = UnsignedValue(r.haveBlock ? r.block.*counter.blockField
                                               : r.status.*counter.recordField);
                return true;
            }));
    }
    struct BlockCounter {
        const char* name;
        const char* help;
        uint64_t (*get)(const AgentStatus&);
    };
    static const BlockCounter kBlockCounters[] = {
        {"horologix_management_replies_total", "Replies the agent's management responder sent.",
         [](const AgentStatus& s) { return s.repliesSent[0]; }},
        {"horologix_management_receive_errors_total",
         "Failed receives on the agent's management socket.",
         [](const AgentStatus& s) { return s.receiveErrors[0]; }},
        {"horologix_management_received_bytes_total",
         "Bytes of management requests the agent accepted.",
         [](const AgentStatus& s) { return s.bytesReceived; }},
        {"horologix_management_sent_bytes_total", "Bytes of management replies the agent sent.",
         [](const AgentStatus& s) { return s.bytesSent; }},
    };
    for (const BlockCounter& counter : kBlockCounters) {
        families.push_back(AgentFamily(counter.name, "counter", counter.help, readings, labelTarget,
                                       [&counter](R r, S v, S) {
                                           if (!r.haveBlock) {
                                               return false;
                                           }
                                           *v = UnsignedValue(counter.get(r.block));
                                           return true;
                                       }));
    }
    families.push_back(AgentFamily(
        "horologix_follows_no_network_source", "gauge",
        "Whether the Windows Time service, set to follow network servers, claims a local source "
        "instead (1: Local CMOS Clock, a free-running clock or the virtual machine's host, named "
        "in claimed_source) or not (0).",
        readings, labelTarget, [](R r, S v, S labels) {
            if (!r.haveStatus) {
                return false;
            }
            const char* claimed = "";
            *v = FollowsNoNetworkSource(r, &claimed) ? "1" : "0";
            *labels = LabelPair("claimed_source", claimed);
            return true;
        }));
    families.push_back(AgentFamily(
        "horologix_drift_trend_seconds_per_second", "gauge",
        "How fast the verified offset changes, from a line fitted through the last day of the "
        "agent's history: seconds per second (1e-6 is one part per million, 86.4 ms per day); "
        "positive when the local clock falls behind.",
        readings, labelTarget, [](R r, S v, S) {
            if (!r.haveTrend || !r.trend.fitted) {
                return false;
            }
            *v = RatioValue(r.trend.ppm * 1e-6);
            return true;
        }));
    families.push_back(
        AgentFamily("horologix_drift_trend_residual_seconds", "gauge",
                    "Standard deviation of the verified offsets about the fitted line, in seconds.",
                    readings, labelTarget, [](R r, S v, S) {
                        if (!r.haveTrend || !r.trend.fitted) {
                            return false;
                        }
                        *v = SecondsValue(r.trend.residualMs / 1000.0);
                        return true;
                    }));
    families.push_back(
        AgentFamily("horologix_drift_trend_points", "gauge",
                    "Verifications the drift line was fitted through (0: too few for a line).",
                    readings, labelTarget, [](R r, S v, S) {
                        if (!r.haveTrend) {
                            return false;
                        }
                        *v = UnsignedValue(r.trend.fitted ? r.trend.points : 0);
                        return true;
                    }));
    families.push_back(AgentFamily(
        "horologix_drift_threshold_crossing_timestamp_seconds", "gauge",
        "When the fitted line carries the offset past the alert threshold, seconds since 1970 on "
        "the agent's clock; absent while the trend is not significant or heads away from it.",
        readings, labelTarget, [](R r, S v, S) {
            if (!r.haveTrend || !r.trend.fitted || !r.trend.crossing) {
                return false;
            }
            *v = IntegerValue(r.trend.crossingTime);
            return true;
        }));
    families.push_back(AgentFamily(
        "horologix_agent_info", "gauge",
        "The agent's descriptive facts as labels (value 1): version, computer name, role, Windows "
        "release, current time partner and the Windows Time service's type.",
        readings, labelTarget, [](R r, S v, S labels) {
            if (!ProbeSucceeded(r)) {
                return false;
            }
            const uint32_t role = r.haveBlock ? r.block.role : (r.status.flags & 0xF);
            *labels =
                LabelPair("version", AgentText(VersionText(r))) + "," +
                LabelPair("computer", AgentText(r.haveStatus ? r.status.computerName : "")) + "," +
                LabelPair("role", RoleName(static_cast<uint8_t>(role))) + "," +
                LabelPair("release", r.haveStatus ? ReleaseName(r.status.flags) : "") + "," +
                LabelPair("partner", AgentText(PartnerText(r))) + "," +
                LabelPair("type", r.haveBlock ? TimeServiceTypeName(r.block.timeServiceType) : "");
            *v = "1";
            return true;
        }));
    return families;
}

std::string RenderAgentExposition(const std::vector<AgentReading>& readings, bool labelTarget) {
    return RenderFamilies(AgentFamilies(readings, labelTarget));
}

const double kDurationBucketBounds[kDurationBuckets] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                        0.1,   0.25,   0.5,   1,    2.5,   5};

void NoteProbeDuration(ExporterFigures* figures, double seconds) {
    for (size_t i = 0; i < kDurationBuckets; ++i) {
        if (seconds <= kDurationBucketBounds[i]) {
            ++figures->durationCounts[i];
        }
    }
    figures->durationSum += seconds;
}

std::string RenderExporterExposition(const ExporterFigures& f) {
    std::vector<Family> families;
    families.push_back(Family{"horologix_exporter_probes_total",
                              "counter",
                              "Probes that asked an agent.",
                              {Sample{"", "", UnsignedValue(f.probes)}}});
    families.push_back(Family{"horologix_exporter_probe_failures_total",
                              "counter",
                              "Probes whose agent did not answer (probe_success 0).",
                              {Sample{"", "", UnsignedValue(f.probeFailures)}}});
    families.push_back(Family{"horologix_exporter_bad_requests_total",
                              "counter",
                              "Probe requests refused for a missing or unusable target (400).",
                              {Sample{"", "", UnsignedValue(f.badRequests)}}});
    families.push_back(Family{"horologix_exporter_refused_requests_total",
                              "counter",
                              "Probe requests turned away while too many probes ran (503).",
                              {Sample{"", "", UnsignedValue(f.refusedRequests)}}});
    families.push_back(Family{"horologix_exporter_probes_in_flight",
                              "gauge",
                              "Probes running now.",
                              {Sample{"", "", UnsignedValue(f.inFlight)}}});
    Family histogram{"horologix_exporter_probe_duration_seconds",
                     "histogram",
                     "How long probes took, in seconds.",
                     {}};
    for (size_t i = 0; i < kDurationBuckets; ++i) {
        char bound[32];
        std::snprintf(bound, sizeof(bound), "%g", kDurationBucketBounds[i]);
        histogram.samples.push_back(
            Sample{"_bucket", LabelPair("le", bound), UnsignedValue(f.durationCounts[i])});
    }
    histogram.samples.push_back(
        Sample{"_bucket", LabelPair("le", "+Inf"), UnsignedValue(f.probes)});
    histogram.samples.push_back(Sample{"_sum", "", SecondsValue(f.durationSum)});
    histogram.samples.push_back(Sample{"_count", "", UnsignedValue(f.probes)});
    families.push_back(histogram);
    families.push_back(Family{"horologix_exporter_start_timestamp_seconds",
                              "gauge",
                              "When the exporter started, seconds since 1970.",
                              {Sample{"", "", SecondsValue(f.startTime)}}});
    families.push_back(Family{"horologix_exporter_build_info",
                              "gauge",
                              "The exporter's release as a label (value 1).",
                              {Sample{"", LabelPair("version", f.version), "1"}}});
    return RenderFamilies(families);
}
