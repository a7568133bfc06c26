// The exposition's exact text: families, values and labels that Prometheus and promtool read.
#include "responder/client/exposition.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

AgentReading AnsweredReading(const std::string& target, int64_t offsetMs) {
    AgentReading r = EmptyReading(target);
    r.durationSeconds = 0.0125;
    r.haveBlock = true;
    InitAgentStatus(&r.block, kAgentRole, 1700000000, "UTC");
    r.block.lastOffsetMs = offsetMs;
    r.block.lastSyncTime = 1700003000;
    r.block.syncSuccesses = 12;
    r.block.syncFailures = 2;
    r.block.syncEvents = 14;
    r.block.repliesSent[0] = 99;
    r.block.timeServiceType = 4;
    SetPartnerName(&r.block, "time.example");
    r.haveStatus = true;
    r.status.flags = kAgentRole | kFlagVersionBit | kFlagNT | (1u << 19) | kFlagAlways;
    r.status.now = 1700003600;
    std::snprintf(r.status.computerName, sizeof(r.status.computerName), "PC-7");
    std::snprintf(r.status.versionText, sizeof(r.status.versionText), "4.1.b.20070418R");
    r.historyAnswered = true;
    r.haveVerification = true;
    r.lastVerification = 1700003001;
    return r;
}

[[maybe_unused]] AgentReading TrendReading() {
    AgentReading r = AnsweredReading("a:1", -120);
    r.haveTrend = true;
    r.trend.fitted = true;
    r.trend.ppm = -0.25;
    r.trend.points = 12;
    r.trend.crossing = true;
    r.trend.crossingTime = 1700100000;
    return r;
}

bool Contains(const std::string& text, const std::string& line) {
    return text.find(line + "\n") != std::string::npos;
}

} // namespace

TEST(Exposition, an_answered_probe_gives_every_family_with_its_value) {
    const std::string text = RenderAgentExposition({AnsweredReading("pc7:9909", 5000)}, false);
    EXPECT_EQ(text.rfind("# HELP probe_success ", 0), 0u);
    EXPECT_TRUE(Contains(text, "# TYPE probe_success gauge"));
    EXPECT_TRUE(Contains(text, "probe_success 1"));
    EXPECT_TRUE(Contains(text, "probe_duration_seconds 0.012500"));
    EXPECT_TRUE(Contains(text, "horologix_clock_offset_seconds 5.000"));
    EXPECT_TRUE(Contains(text, "horologix_last_verification_timestamp_seconds 1700003001"));
    EXPECT_TRUE(Contains(text, "horologix_agent_start_timestamp_seconds 1700000000"));
    EXPECT_TRUE(Contains(text, "horologix_agent_time_seconds 1700003600"));
    EXPECT_TRUE(Contains(text, "# TYPE horologix_synchronizations_total counter"));
    EXPECT_TRUE(Contains(text, "horologix_synchronizations_total 12"));
    EXPECT_TRUE(Contains(text, "horologix_synchronization_failures_total 2"));
    EXPECT_TRUE(Contains(text, "horologix_management_replies_total 99"));
    EXPECT_TRUE(Contains(text, "horologix_agent_info{version=\"4.1.b.20070418R\",computer=\"PC-7\","
                               "role=\"Horologix\",release=\"Windows XP\",partner=\"time.example\","
                               "type=\"NTP\"} 1"));
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(Exposition, a_local_source_and_the_drift_trend_have_their_families) {
    AgentReading local = AnsweredReading("pc7:9909", 3000);
    // The service's partner is its own clock ("LOCL" as the agent writes a reference id).
    std::snprintf(local.status.partnerName, sizeof(local.status.partnerName), "76.79.67.76");
    local.haveTrend = true;
    local.trend.fitted = true;
    local.trend.ppm = 1.5;
    local.trend.residualMs = 2.5;
    local.trend.points = 48;
    local.trend.crossing = true;
    local.trend.crossingTime = 1700090000;
    std::string text = RenderAgentExposition({local}, false);
    EXPECT_TRUE(Contains(
        text, "horologix_follows_no_network_source{claimed_source=\"Local CMOS Clock\"} 1"));
    EXPECT_TRUE(Contains(text, "horologix_drift_trend_seconds_per_second 1.5e-06"));
    EXPECT_TRUE(Contains(text, "horologix_drift_trend_residual_seconds 0.002500"));
    EXPECT_TRUE(Contains(text, "horologix_drift_trend_points 48"));
    EXPECT_TRUE(Contains(text, "horologix_drift_threshold_crossing_timestamp_seconds 1700090000"));

    // With NoSync a local source is what was asked for; a line that heads nowhere has no
    // crossing, and an agent whose history was not walked has no trend families at all.
    local.block.timeServiceType = 1;
    local.trend.crossing = false;
    text = RenderAgentExposition({local}, false);
    EXPECT_TRUE(Contains(
        text, "horologix_follows_no_network_source{claimed_source=\"Local CMOS Clock\"} 0"));
    EXPECT_EQ(text.find("horologix_drift_threshold_crossing"), std::string::npos);
    text = RenderAgentExposition({AnsweredReading("pc7:9909", 0)}, false);
    EXPECT_TRUE(Contains(
        text, "horologix_follows_no_network_source{claimed_source=\"a network source\"} 0"));
    EXPECT_EQ(text.find("horologix_drift_trend"), std::string::npos);
}

TEST(Exposition, a_silent_agent_gives_only_success_zero_and_the_duration) {
    AgentReading silent = EmptyReading("gone:9909");
    silent.durationSeconds = 2;
    EXPECT_EQ(RenderAgentExposition({silent}, false),
              "# HELP probe_success Whether the agent answered the probe (1) or not (0).\n"
              "# TYPE probe_success gauge\n"
              "probe_success 0\n"
              "# HELP probe_duration_seconds How long the probe of the agent took, in seconds.\n"
              "# TYPE probe_duration_seconds gauge\n"
              "probe_duration_seconds 2.000000\n");
}

TEST(Exposition, several_agents_share_each_family_and_carry_their_target) {
    const std::string text = RenderAgentExposition(
        {AnsweredReading("a:1", -250), EmptyReading("b:2"), AnsweredReading("c:3", 1)}, true);
    EXPECT_TRUE(Contains(text, "probe_success{target=\"a:1\"} 1\n"
                               "probe_success{target=\"b:2\"} 0\n"
                               "probe_success{target=\"c:3\"} 1"));
    EXPECT_TRUE(Contains(text, "horologix_clock_offset_seconds{target=\"a:1\"} -0.250\n"
                               "horologix_clock_offset_seconds{target=\"c:3\"} 0.001"));
    size_t headers = 0;
    for (size_t at = text.find("# TYPE probe_success "); at != std::string::npos;
         at = text.find("# TYPE probe_success ", at + 1)) {
        ++headers;
    }
    EXPECT_EQ(headers, 1u);
}

TEST(Exposition, values_and_labels_are_written_exactly) {
    EXPECT_EQ(MillisecondsAsSeconds(0), "0.000");
    EXPECT_EQ(MillisecondsAsSeconds(-1), "-0.001");
    EXPECT_EQ(MillisecondsAsSeconds(-5000), "-5.000");
    EXPECT_EQ(MillisecondsAsSeconds(123456789), "123456.789");
    EXPECT_EQ(MillisecondsAsSeconds(INT64_MIN), "-9223372036854775.808");
    EXPECT_EQ(LabelPair("partner", "a\"b\\c\nd"), "partner=\"a\\\"b\\\\c\\nd\"");
    // A code-page byte from the agent becomes valid UTF-8.
    AgentReading r = AnsweredReading("x", 0);
    SetPartnerName(&r.block, "caf\xe9");
    EXPECT_NE(RenderAgentExposition({r}, false).find("partner=\"caf\xc3\xa9\""), std::string::npos);
}

TEST(Exposition, the_exporter_histogram_counts_each_probe_in_every_bucket_it_fits) {
    ExporterFigures f{};
    f.version = "4.1";
    NoteProbeDuration(&f, 0.004);
    NoteProbeDuration(&f, 0.2);
    f.probes = 2;
    const std::string text = RenderExporterExposition(f);
    EXPECT_TRUE(
        Contains(text, "horologix_exporter_probe_duration_seconds_bucket{le=\"0.0025\"} 0"));
    EXPECT_TRUE(Contains(text, "horologix_exporter_probe_duration_seconds_bucket{le=\"0.005\"} 1"));
    EXPECT_TRUE(Contains(text, "horologix_exporter_probe_duration_seconds_bucket{le=\"0.25\"} 2"));
    EXPECT_TRUE(Contains(text, "horologix_exporter_probe_duration_seconds_bucket{le=\"+Inf\"} 2"));
    EXPECT_TRUE(Contains(text, "horologix_exporter_probe_duration_seconds_count 2"));
}

// promtool's linter reads both expositions without a complaint (where promtool is installed).
TEST(Exposition, promtool_accepts_agent_and_exporter_expositions) {
#ifdef _WIN32
    GTEST_SKIP() << "promtool runs beside the native build";
#else
    if (std::system("promtool --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "promtool is not installed (tools/deps installs it)";
    }
    ExporterFigures f{};
    f.version = "4.1";
    const std::string texts[] = {
        RenderAgentExposition({AnsweredReading("a:1", -250), EmptyReading("b:2")}, true),
        RenderAgentExposition({AnsweredReading("a:1", 7)}, false), RenderExporterExposition(f),
        RenderAgentExposition({TrendReading()}, true)};
    for (const std::string& text : texts) {
        char path[] = "/tmp/exposition-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        FILE* file = fdopen(fd, "w");
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
        const std::string command = std::string("promtool check metrics < ") + path + " 2>&1";
        FILE* out = popen(command.c_str(), "r");
        std::string said;
        char line[512];
        while (std::fgets(line, sizeof(line), out) != nullptr) {
            said += line;
        }
        const int status = pclose(out);
        std::remove(path);
        EXPECT_EQ(status, 0) << said << "\n" << text;
        EXPECT_EQ(said, "") << text;
    }
#endif
}
