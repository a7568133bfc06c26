#include "history/drift_report.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kStart = 1715000000;   // Mon 06 May 2024 12:53:20 UTC
constexpr uint32_t kAddress = 0x0100000A; // 10.0.0.1 in network byte order

DriftRecord Record(int32_t variance, uint8_t reason = kReasonScheduled, uint32_t offset = 0,
                   uint8_t role = kRoleHorologix, uint32_t corrected = 0) {
    return MakeDriftRecord(variance, kStart + offset, corrected, static_cast<CheckReason>(reason),
                           kAddress, role, 0);
}

struct Report {
    std::vector<std::string> pieces;
    std::string text;
    std::vector<std::string> lines; // without CR LF
};

Report Write(const std::vector<DriftRecord>& records, uint32_t averageInterval = 0,
             const char* path = "C:\\windows\\system32\\drift.qx") {
    ReportSource source{records.data(),
                        static_cast<uint32_t>(records.size()),
                        averageInterval,
                        false,
                        path,
                        kUtcZoneLabel,
                        kStart + 3600};
    Report report;
    FormatSummaryReport(source, [&](const std::string& piece) {
        report.pieces.push_back(piece);
        report.text += piece;
    });
    size_t start = 0;
    for (size_t end; (end = report.text.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        report.lines.push_back(report.text.substr(start, end - start));
    }
    EXPECT_EQ(start, report.text.size()) << "every line ends in CR LF";
    return report;
}

// The line that starts with `prefix`, or "" when none does.
std::string LineStarting(const Report& report, const std::string& prefix) {
    for (const std::string& line : report.lines) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return line;
        }
    }
    return "";
}

// The record lines: those after the rule line, up to the blank line before the end.
std::vector<std::string> RecordLines(const Report& report) {
    std::vector<std::string> out;
    bool inList = false;
    for (const std::string& line : report.lines) {
        if (inList && line.empty()) {
            break;
        }
        if (inList) {
            out.push_back(line);
        }
        if (line.compare(0, 5, "-----") == 0 && line.find("  ---  ") != std::string::npos) {
            inList = true;
        }
    }
    return out;
}

TEST(SummaryReport, three_variances_give_the_worst_figures_buckets_widths_and_record_lines) {
    const Report r = Write({Record(-250, kReasonScheduled, 0), Record(0, kReasonSyncCheck, 60),
                            Record(4999, kReasonScheduled, 120, kRoleHorologix, 1)},
                           60);
    EXPECT_EQ(LineStarting(r, "     Worst negative:"),
              "     Worst negative:  -250 ms (250 milliseconds fast)");
    EXPECT_EQ(LineStarting(r, "     Worst positive:"),
              "     Worst positive: +4999 ms (4 seconds, 999 milliseconds slow)");
    // No startup records: +0 right-aligned, 0 milliseconds, "slow".
    EXPECT_EQ(LineStarting(r, "      Worst startup:"),
              "      Worst startup:    +0 ms (0 milliseconds slow at startup)");
    EXPECT_EQ(LineStarting(r, "    Average startup:"),
              "    Average startup:    +0 ms (0 milliseconds slow at startup)");
    EXPECT_EQ(LineStarting(r, "     Average of all:"),
              "     Average of all: +1583 ms (1 second, 583 milliseconds slower than time "
              "sources)");

    EXPECT_NE(r.text.find("Clock Corrections:\r\n\r\n"
                          "    33.33% - 1 checks caused clock corrections\r\n"
                          "    66.67% - 2 checks did not cause clock corrections\r\n"
                          "    33.33% - 1 variances were negative\r\n"
                          "    33.33% - 1 variances were positive\r\n"
                          "    33.33% - 1 variances were zero\r\n\r\n"),
              std::string::npos);
    EXPECT_NE(r.text.find("Clock Discipline (3 non-startup/resume variances summarized):\r\n\r\n"
                          "    33.33% - under 100 ms (1/10 second)\r\n"
                          "     0.00% - 100-249 ms\r\n"
                          "    33.33% - 250-499 ms\r\n"
                          "     0.00% - 500-999 ms\r\n"
                          "    33.33% - 1000-4999 ms\r\n"
                          "     0.00% - 5 seconds or more\r\n\r\n"),
              std::string::npos);
    EXPECT_NE(r.text.find("Reason for each Check:\r\n\r\n"
                          "    66.67% - 2 Scheduled\r\n"
                          "    33.33% - 1 Sync Check\r\n\r\n"),
              std::string::npos);

    EXPECT_EQ(LineStarting(r, "        Data points:"), "        Data points: 3");
    EXPECT_EQ(LineStarting(r, "       Data history:"), "       Data history: 2 minutes");
    EXPECT_EQ(LineStarting(r, "    Earliest record:"),
              "    Earliest record: Mon 06 May 2024 12:53:20 UTC");
    EXPECT_EQ(LineStarting(r, "   Average Interval:"),
              "   Average Interval: 1 minute between data points");
    EXPECT_EQ(LineStarting(r, "    Report timezone:"),
              "    Report timezone: Universal Coordinated Time (GMT+0)");
    EXPECT_EQ(LineStarting(r, "        Report date:"),
              "        Report date: Mon 06 May 2024 13:53:20 UTC");

    const std::vector<std::string> records = RecordLines(r);
    ASSERT_EQ(records.size(), 3u);
    // UTC time stamps lose " UTC"; W4 = 5 ("4.999").
    // The phase adjustment of a current record is shown, 0 here.
    EXPECT_EQ(records[0], "Mon 06 May 2024 12:53:20         10.0.0.1   N       0      "
                          "Scheduled  -0.250 (Horologix)");
    EXPECT_EQ(records[1], "Mon 06 May 2024 12:54:20         10.0.0.1   N       0     "
                          "Sync Check   0.000");
    EXPECT_EQ(records[2], "Mon 06 May 2024 12:55:20         10.0.0.1   Y       0      "
                          "Scheduled  +4.999");
    EXPECT_EQ(r.lines.back(), "--End of Report--");
}

TEST(SummaryReport, is_written_section_by_section_and_one_record_line_at_a_time) {
    const Report r = Write({Record(5), Record(7, kReasonScheduled, 30)});
    // Header, period, variances, corrections, discipline, reasons, list heading, column
    // heading, rule, two records, end.
    ASSERT_EQ(r.pieces.size(), 12u);
    EXPECT_EQ(r.pieces[0].compare(0, 11, "Horologix\r\n"), 0);
    EXPECT_EQ(r.pieces[7],
              "              Check Time      Time Source  Set  PhAdj   Check Reason  Variance "
              "from Time Source (Report Source)\r\n");
    EXPECT_EQ(r.pieces[8], std::string(24, '-') + "  " + std::string(15, '-') + "  ---  -----  " +
                               std::string(13, '-') + "  " + std::string(43, '-') + "\r\n");
    EXPECT_EQ(r.pieces[11], "\r\n--End of Report--\r\n");
}

TEST(SummaryReport, startup_records_are_summarized_apart) {
    // Only startup and resume checks: no discipline figures; the worst and average of all
    // equal the startup figures.
    Report r = Write({Record(-40, kReasonStartup), Record(-20, kReasonPowerResume, 10)});
    EXPECT_EQ(LineStarting(r, "Clock Discipline"),
              "Clock Discipline (0 non-startup/resume variances summarized):");
    EXPECT_NE(r.text.find("   Unable to display: all recorded variances were marked as "
                          "startup/resumes\r\n"),
              std::string::npos);
    EXPECT_EQ(LineStarting(r, "      Worst startup:"),
              "      Worst startup: -40 ms (40 milliseconds fast at startup)");
    EXPECT_EQ(LineStarting(r, "    Average startup:"),
              "    Average startup: -30 ms (30 milliseconds fast at startup)");
    EXPECT_EQ(LineStarting(r, "     Average of all:"),
              "     Average of all: -30 ms (30 milliseconds faster than time sources)");
    EXPECT_EQ(LineStarting(r, "     Worst negative:"),
              "     Worst negative: -40 ms (40 milliseconds fast)");

    // An average of -2.5 ms is truncated toward zero and still reads fast.
    r = Write({Record(-3), Record(-2, kReasonScheduled, 1)});
    EXPECT_EQ(LineStarting(r, "     Average of all:"),
              "     Average of all: -2 ms (2 milliseconds faster than time sources)");
}

TEST(SummaryReport, one_record_and_reason_groups_and_role_changes) {
    Report r = Write({Record(12)});
    EXPECT_EQ(LineStarting(r, "       Data history:"), "       Data history: 1 second");
    EXPECT_EQ(LineStarting(r, "   Average Interval:"),
              "   Average Interval: unknown between data points");

    // Reasons 8 and 9 count as "Other" but the record lines name them; roles 7, 3, 3, 7.
    r = Write({Record(1, kReasonQx2Multicast, 0, kRoleHorologix),
               Record(2, kReasonNtpMulticast, 10, kRoleIndependentServer),
               Record(3, kReasonStartup, 20, kRoleIndependentServer),
               Record(4, kReasonTraining, 30, kRoleHorologix)});
    EXPECT_NE(r.text.find("Reason for each Check:\r\n\r\n"
                          "    25.00% - 1 Startup\r\n"
                          "    25.00% - 1 Training\r\n"
                          "    50.00% - 2 Other\r\n\r\n"),
              std::string::npos);
    const std::vector<std::string> lines = RecordLines(r);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find("QX2 MCast  +0.001 (Horologix)"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("NTP MCast  +0.002 (Indp. Server)"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("Startup  +0.003"), std::string::npos);
    EXPECT_EQ(lines[2].find('('), std::string::npos);
    EXPECT_NE(lines[3].find("Training  +0.004 (Horologix)"), std::string::npos) << lines[3];
}

TEST(SummaryReport, names_the_reference_clock_for_a_server_file_and_averaged_time) {
    DriftRecord averaged = Record(-1500);
    averaged.sourceAddress = 0;
    const Report r = Write({averaged, Record(0, kReasonScheduled, 5)}, 0,
                           "\\\\TIMEHOST\\logs\\NTP Server week.qx");
    EXPECT_NE(r.pieces[7].find("Variance from Reference Clock (Report Source)"), std::string::npos);
    EXPECT_NE(RecordLines(r)[0].find("   Averaged Time   N  "), std::string::npos);
    EXPECT_NE(RecordLines(r)[0].find("-1.500"), std::string::npos);
    EXPECT_EQ(LineStarting(r, "      Report source:"),
              "      Report source: \\\\TIMEHOST\\logs\\NTP Server week.qx");
}

TEST(SummaryReport, any_record_fields_give_whole_lines_and_no_records_give_nothing) {
    DriftRecord odd{};
    odd.marker = 255;
    odd.flags = 0xFF;
    odd.phaseAdjust = -8388608;
    odd.reason = 200;
    odd.checkTime = 0xFFFFFFFF;
    odd.varianceMs = INT_MIN;
    odd.sourceAddress = 0xFFFFFFFF;
    DriftRecord other = odd;
    other.varianceMs = INT_MAX;
    other.checkTime = 0;
    const Report r = Write({odd, other});
    const std::vector<std::string> lines = RecordLines(r);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("-2147483.648 (Unknown)"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("+2147483.647"), std::string::npos) << lines[1];
    EXPECT_NE(LineStarting(r, "     Worst negative:").find("-2147483648 ms"), std::string::npos);

    const Report none = Write({});
    EXPECT_TRUE(none.pieces.empty());
}

TEST(ZoneLabel, local_zones_show_the_sign_of_the_base_bias_and_the_total_offset) {
    char label[kZoneLabelSize];
    FormatZoneLabel("India Standard Time", -330, -330, label, sizeof(label));
    EXPECT_STREQ(label, "India Standard Time (GMT+0530)");
    FormatZoneLabel("Eastern Daylight Time", 300, 240, label, sizeof(label));
    EXPECT_STREQ(label, "Eastern Daylight Time (GMT-0400)");
    FormatZoneLabel("Greenwich Standard Time", 0, 0, label, sizeof(label));
    EXPECT_STREQ(label, "Greenwich Standard Time (GMT+0000)");
    // The name is cut at 127 bytes; the offset always follows.
    const std::string longName(300, 'Z');
    FormatZoneLabel(longName.c_str(), 60, 60, label, sizeof(label));
    EXPECT_EQ(std::string(label), std::string(127, 'Z') + " (GMT-0100)");
}

} // namespace
