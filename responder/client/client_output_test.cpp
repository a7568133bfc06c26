#include "responder/client/client_output.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(ClientTimes, utc_texts_are_iso_8601_with_z_and_local_ones_without) {
    EXPECT_EQ(IsoUtc(0), "never");
    EXPECT_EQ(IsoUtc(1), "1970-01-01T00:00:01Z");
    EXPECT_EQ(IsoUtc(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(IsoUtc(0xFFFFFFFF), "2106-02-07T06:28:15Z");
    const CalendarRecord t{2024, 7, 3, 17, 9, 5, 7, 21};
    EXPECT_EQ(IsoCalendar(t, true), "2024-07-17T09:05:07.021Z");
    EXPECT_EQ(IsoCalendar(t, false), "2024-07-17T09:05:07.021");
}

TEST(ClientTimes, calendar_records_convert_to_seconds_and_impossible_dates_are_refused) {
    double seconds = 0;
    ASSERT_TRUE(CalendarToUnix(CalendarRecord{2000, 2, 2, 29, 0, 0, 0, 500}, &seconds));
    EXPECT_DOUBLE_EQ(seconds, 951782400.5);
    EXPECT_FALSE(CalendarToUnix(CalendarRecord{2001, 2, 4, 29, 0, 0, 0, 0}, &seconds));
    EXPECT_FALSE(CalendarToUnix(CalendarRecord{2001, 13, 4, 1, 0, 0, 0, 0}, &seconds));
    EXPECT_FALSE(CalendarToUnix(CalendarRecord{2001, 1, 4, 1, 24, 0, 0, 0}, &seconds));
    EXPECT_FALSE(CalendarToUnix(CalendarRecord{2001, 1, 4, 1, 0, 0, 0, 1000}, &seconds));
}

TEST(ClientTimes, moments_are_seconds_dates_date_times_or_spans_before_now) {
    uint32_t t = 0;
    const uint32_t now = 1700000000;
    EXPECT_TRUE(ParseMoment("1234", now, &t));
    EXPECT_EQ(t, 1234u);
    EXPECT_TRUE(ParseMoment("2000-02-29", now, &t));
    EXPECT_EQ(t, 951782400u);
    EXPECT_TRUE(ParseMoment("2000-02-29T01:02", now, &t));
    EXPECT_EQ(t, 951782400u + 3720);
    EXPECT_TRUE(ParseMoment("2000-02-29T01:02:03Z", now, &t));
    EXPECT_EQ(t, 951782400u + 3723);
    EXPECT_TRUE(ParseMoment("-90s", now, &t));
    EXPECT_EQ(t, now - 90);
    EXPECT_TRUE(ParseMoment("-7d", now, &t));
    EXPECT_EQ(t, now - 7 * 86400);
    for (const char* bad : {"", "x", "2001-02-29", "2000-2-29", "2000-02-29T25:00", "-5", "-5w",
                            "-99999d", "12a", "-s", "2000-02-29T01", "99999999999"}) {
        EXPECT_FALSE(ParseMoment(bad, now, &t)) << bad;
    }
}

TEST(ClientRendering, json_quotes_texts_escapes_bytes_and_leaves_numbers_bare) {
    Fields f;
    AddText(&f, "name", "a \"b\"\\\n\x01\xE9");
    AddNumber(&f, "offset", -12);
    AddDecimal(&f, "seconds", 0.5, 3);
    AddBoolean(&f, "ok", true);
    EXPECT_EQ(RenderJson(f),
              "{\"name\":\"a \\\"b\\\"\\\\\\n\\u0001\\u00e9\",\"offset\":-12,\"seconds\":0.500,"
              "\"ok\":true}");
    EXPECT_EQ(RenderJson(Fields{}), "{}");
}

TEST(ClientRendering, lines_align_values_and_compact_form_quotes_only_when_needed) {
    Fields f;
    AddText(&f, "partner", "ntp one");
    AddNumber(&f, "syncs", 3);
    AddText(&f, "empty", "");
    EXPECT_EQ(RenderLines(f, "  "), "  partner: ntp one\n  syncs:   3\n  empty:   \n");
    EXPECT_EQ(RenderCompact(f), "partner=\"ntp one\" syncs=3 empty=\"\"");
}

TEST(ClientDecoding, flags_products_and_sources_are_named) {
    EXPECT_STREQ(ReleaseName(7u | 1u << 4 | 1u << 5 | 1u << 19 | 1u << 25), "Windows XP");
    EXPECT_STREQ(ReleaseName(1u << 27), "Windows Server 2008 or later");
    EXPECT_STREQ(ReleaseName(1u << 14), "Windows 9x");
    EXPECT_STREQ(ReleaseName(0), "unknown");
    EXPECT_STREQ(ZoneStateName(1), "daylight");
    EXPECT_STREQ(ZoneStateName(2), "standard");
    EXPECT_STREQ(ZoneStateName(0), "none");
    EXPECT_EQ(ProductNames(0x8000), "none");
    EXPECT_EQ(ProductNames(0x8201), "server, agent");
    EXPECT_EQ(DriftSourceText(0), "Averaged Time");
    EXPECT_EQ(DriftSourceText(0xFFFFFFFF), "unresolved");
    const uint8_t address[4] = {10, 0, 0, 7};
    uint32_t word;
    std::memcpy(&word, address, 4);
    EXPECT_EQ(DriftSourceText(word), "10.0.0.7");
}

TEST(ClientDecoding, status_record_fields_carry_the_record_readably) {
    StatusRecord r{};
    r.installationId = 0xAB;
    r.flags = 7u | 1u << 4 | 1u << 5 | 1u << 19 | 1u << 25 | 2u << 30;
    r.utcTime = {2024, 1, 1, 2, 3, 4, 5, 6};
    r.products = 0x8200;
    std::strcpy(r.computerName, "VM");
    const std::string json = RenderJson(StatusRecordFields(r));
    EXPECT_NE(json.find("\"installation_id\":\"0x000000AB\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"release\":\"Windows XP\""), std::string::npos);
    EXPECT_NE(json.find("\"zone_state\":\"standard\""), std::string::npos);
    EXPECT_NE(json.find("\"utc\":\"2024-01-02T03:04:05.006Z\""), std::string::npos);
    EXPECT_NE(json.find("\"products\":\"agent\""), std::string::npos);
    EXPECT_NE(json.find("\"last_sync\":\"never\""), std::string::npos);
}

TEST(ClientHistory, csv_lines_name_reason_role_and_source) {
    DriftRecord r{};
    r.marker = 41;
    r.flags = 0x0F;
    r.phaseAdjust = -7;
    r.reason = 255;
    r.checkTime = 1700000000;
    r.varianceMs = -1500;
    r.sourceAddress = 0;
    EXPECT_EQ(DriftCsvLine(r),
              "2023-11-14T22:13:20Z,1700000000,-1500,Averaged Time,Startup,Horologix,1,-7\n");
    EXPECT_EQ(DriftCsvHeader(),
              "checked,check_time,variance_ms,source,reason,role,corrected,phase_adjust\n");
}

TEST(ClientCheck, thresholds_give_ok_warning_and_critical_in_either_direction) {
    CheckInput in{};
    in.answered = true;
    in.varianceMs = 50;
    EXPECT_EQ(EvaluateCheck("h", in, 100, 500).state, kCheckOk);
    EXPECT_EQ(EvaluateCheck("h", in, 100, 500).line,
              "QX OK - h: variance 50 ms | variance=50ms;100;500;;");
    in.varianceMs = -101;
    EXPECT_EQ(EvaluateCheck("h", in, 100, 500).state, kCheckWarning);
    in.varianceMs = 100; // at the threshold is still within it
    EXPECT_EQ(EvaluateCheck("h", in, 100, 500).state, kCheckOk);
    in.varianceMs = -501;
    const CheckResult critical = EvaluateCheck("h", in, 100, 500);
    EXPECT_EQ(critical.state, kCheckCritical);
    EXPECT_EQ(critical.line.rfind("QX CRITICAL - h: variance -501 ms", 0), 0u);
    in.answered = false;
    EXPECT_EQ(EvaluateCheck("h", in, 100, 500).state, kCheckUnknown);
}

TEST(ClientCheck, a_missing_or_unanswered_verification_within_the_age_is_reported) {
    CheckInput in{};
    in.answered = true;
    in.varianceMs = 3;
    in.agentNow = 1700003600;
    in.maxAgeSeconds = 3600;
    in.historyAnswered = true;
    in.verified = true;
    in.newestCheck = 1700003000;
    const CheckResult ok = EvaluateCheck("h", in, 100, 500);
    EXPECT_EQ(ok.state, kCheckOk);
    EXPECT_EQ(ok.line, "QX OK - h: variance 3 ms, last verification 2023-11-14T23:03:20Z | "
                       "variance=3ms;100;500;; age=600s;;3600;0;");
    in.verified = false;
    const CheckResult stale = EvaluateCheck("h", in, 100, 500);
    EXPECT_EQ(stale.state, kCheckCritical);
    EXPECT_NE(stale.line.find("no verification in the last 3600 s"), std::string::npos);
    in.historyAnswered = false;
    EXPECT_EQ(EvaluateCheck("h", in, 100, 500).state, kCheckUnknown);
    in.varianceMs = 1000; // a critical variance outweighs the unknown history
    EXPECT_EQ(EvaluateCheck("h", in, 100, 500).state, kCheckCritical);
}

TEST(ClientCheck, several_hosts_take_the_worst_state) {
    EXPECT_EQ(WorseState(kCheckOk, kCheckUnknown), kCheckUnknown);
    EXPECT_EQ(WorseState(kCheckUnknown, kCheckWarning), kCheckWarning);
    EXPECT_EQ(WorseState(kCheckWarning, kCheckCritical), kCheckCritical);
    EXPECT_EQ(WorseState(kCheckCritical, kCheckUnknown), kCheckCritical);
    EXPECT_STREQ(CheckStateName(3), "UNKNOWN");
}
