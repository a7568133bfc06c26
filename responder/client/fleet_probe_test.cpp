// The fleet commands' parsing and ordering: ranges, probe targets and budgets, listen
// addresses, monitoring thresholds, and the survey's worst-first order.
#include "responder/client/fleet_probe.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "responder/client/client_output.h"
#include "responder/client/exporter.h"
#include "responder/client/survey.h"

namespace {

std::string Dotted(uint32_t network) {
    in_addr a;
    a.s_addr = network;
    return inet_ntoa(a);
}

} // namespace

TEST(FleetTargets, ranges_expand_to_their_host_addresses) {
    std::vector<uint32_t> a;
    ASSERT_TRUE(ExpandRange("127.1.0.0/30", &a));
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(Dotted(a[0]), "127.1.0.1");
    EXPECT_EQ(Dotted(a[1]), "127.1.0.2");
    a.clear();
    ASSERT_TRUE(ExpandRange("10.0.0.7", &a));
    EXPECT_EQ(a.size(), 1u);
    a.clear();
    ASSERT_TRUE(ExpandRange("127.1.0.0/16", &a));
    EXPECT_EQ(a.size(), 65534u);
    EXPECT_EQ(Dotted(a.back()), "127.1.255.254");
    for (const char* bad : {"127.1.0.0/8", "127.1.0.0/33", "127.1.0/24", "127.1.0.256", "a.b.c.d",
                            "127.1.0.0/", "127.1.0.0/2x", "", "1.2.3.4.5"}) {
        EXPECT_FALSE(ExpandRange(bad, &a)) << bad;
    }
}

TEST(FleetTargets, probe_targets_and_budgets_follow_what_prometheus_sends) {
    std::string host, problem;
    uint16_t port = 0;
    ASSERT_TRUE(ParseProbeTarget("pc7.example", 9909, &host, &port, &problem));
    EXPECT_EQ(host, "pc7.example");
    EXPECT_EQ(port, 9909);
    ASSERT_TRUE(ParseProbeTarget("127.1.0.5:19909", 9909, &host, &port, &problem));
    EXPECT_EQ(host, "127.1.0.5");
    EXPECT_EQ(port, 19909);
    for (const char* bad : {"", ":9909", "pc:0", "pc:65536", "pc:x", "a b", "pc/x", "[::1]:9909"}) {
        EXPECT_FALSE(ParseProbeTarget(bad, 9909, &host, &port, &problem)) << bad;
        EXPECT_FALSE(problem.empty());
    }
    EXPECT_FALSE(ParseProbeTarget(std::string(254, 'a'), 9909, &host, &port, &problem));

    EXPECT_EQ(ProbeBudgetMs(nullptr, 5000), 5000);
    EXPECT_EQ(ProbeBudgetMs("10", 5000), 5000);
    EXPECT_EQ(ProbeBudgetMs("2.5", 5000), 2000);
    EXPECT_EQ(ProbeBudgetMs("0.2", 5000), 100);
    EXPECT_EQ(ProbeBudgetMs("soon", 5000), 5000);
    EXPECT_EQ(ProbeBudgetMs("-3", 5000), 5000);

    ExporterSettings s{};
    ASSERT_TRUE(ParseListenAddress("127.0.0.1:9799", &s));
    EXPECT_EQ(s.listenHost, "127.0.0.1");
    EXPECT_EQ(s.listenPort, 9799);
    ASSERT_TRUE(ParseListenAddress(":0", &s));
    EXPECT_EQ(s.listenHost, "0.0.0.0");
    EXPECT_FALSE(ParseListenAddress("127.0.0.1", &s));
    EXPECT_FALSE(ParseListenAddress("127.0.0.1:99999", &s));
}

TEST(CheckRanges, plugin_ranges_alert_where_the_conventions_say) {
    ThresholdRange r{};
    ASSERT_TRUE(ParseThresholdRange("10", &r));
    EXPECT_FALSE(RangeAlerts(r, 10));
    EXPECT_TRUE(RangeAlerts(r, 10.5));
    ASSERT_TRUE(ParseThresholdRange("10:", &r));
    EXPECT_TRUE(RangeAlerts(r, 9));
    EXPECT_FALSE(RangeAlerts(r, 1e9));
    ASSERT_TRUE(ParseThresholdRange("~:10", &r));
    EXPECT_FALSE(RangeAlerts(r, -5));
    EXPECT_TRUE(RangeAlerts(r, 11));
    ASSERT_TRUE(ParseThresholdRange("10:20", &r));
    EXPECT_TRUE(RangeAlerts(r, 9));
    EXPECT_FALSE(RangeAlerts(r, 15));
    EXPECT_TRUE(RangeAlerts(r, 21));
    ASSERT_TRUE(ParseThresholdRange("@10:20", &r));
    EXPECT_TRUE(RangeAlerts(r, 10));
    EXPECT_TRUE(RangeAlerts(r, 20));
    EXPECT_FALSE(RangeAlerts(r, 21));
    for (const char* bad : {"", "@", "20:10", "x", "1:2:3", "~", "10:x"}) {
        EXPECT_FALSE(ParseThresholdRange(bad, &r)) << bad;
    }
}

TEST(CheckRanges, the_verdict_takes_ranges_and_keeps_unknown_apart_from_critical) {
    CheckInput in{};
    in.answered = true;
    in.varianceMs = -5000;
    ThresholdRange warn{}, crit{};
    ASSERT_TRUE(ParseThresholdRange("100", &warn));
    ASSERT_TRUE(ParseThresholdRange("~:1000", &crit));
    const CheckResult off = EvaluateCheck("h", in, warn, crit);
    EXPECT_EQ(off.state, kCheckCritical);
    EXPECT_EQ(off.line, "QX CRITICAL - h: variance -5000 ms | variance=-5000ms;100;~:1000;;");
    in.varianceMs = 50;
    EXPECT_EQ(EvaluateCheck("h", in, warn, crit).state, kCheckOk);
    in.answered = false;
    EXPECT_EQ(EvaluateCheck("h", in, warn, crit).state, kCheckUnknown);
}

TEST(Survey, rows_come_worst_first) {
    auto row = [](const char* target, bool answered, int64_t offset, int64_t age) {
        SurveyRow r{};
        r.target = target;
        r.answered = answered;
        r.offsetMs = offset;
        r.verified = age >= 0;
        r.verificationAgeSeconds = age;
        r.lastVerification = 1700000000;
        return r;
    };
    std::vector<SurveyRow> rows = {row("ok", true, 10, 60),     row("old", true, 10, 7200),
                                   row("never", true, 10, -1),  row("off", true, -5000, 60),
                                   row("silent", false, 0, -1), row("ahead", true, 300, 60)};
    SortWorstFirst(&rows);
    std::vector<std::string> order;
    for (const SurveyRow& r : rows) {
        order.push_back(r.target);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"silent", "off", "ahead", "never", "old", "ok"}));
    const std::string csv = RenderSurveyCsv({row("a,b", true, -1500, 5)});
    EXPECT_EQ(csv, "target,answered,offset_s,last_verification,verification_age_s,computer,"
                   "version,partner\n\"a,b\",1,-1.500,2023-11-14T22:13:20Z,5,,,\n");
}
