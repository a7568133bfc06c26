#!/usr/bin/env python3
"""qxctl's fleet commands against simulated agents, and a real Prometheus scraping them through
the exporter: the offsets and facts each agent was given arrive in Prometheus as set, a silent
address shows probe_success 0, and the clock-off alert fires for the agent 5 s off.

usage: fleet_prometheus_test.py QXCTL FLEET_AGENT   (inside bench/session; skipped elsewhere)
"""
import concurrent.futures
import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fleet  # noqa: E402

QXCTL, FLEET_AGENT = sys.argv[1:3] if len(sys.argv) >= 3 else ("", "")
SKIPPED = 77

# ADDRESS OFFSET_MS AGE_S VERSION COMPUTER; 127.1.0.9 has no agent.
AGENTS = [
    ("127.1.0.1", 5000, 120, "4.1.b.20070418R", "SLOW-PC"),
    ("127.1.0.2", -250, 30, "4.1.b.20070418R", "FAST-PC"),
    ("127.1.0.3", 0, 600, "4.1.c.TEST", "GOOD-PC"),
]
SILENT = "127.1.0.9"
NO_HISTORY = "127.1.1.1"


def qx(*args):
    return subprocess.run([QXCTL] + list(args), capture_output=True, text=True, timeout=120)


class Fleet(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.processes = fleet.Processes()
        cls.work = tempfile.mkdtemp(prefix="fleet-test-",
                                    dir=os.environ.get("BENCH_RUN_DIR") or None)
        agents = os.path.join(cls.work, "agents.txt")
        with open(agents, "w") as out:
            for agent in AGENTS:
                out.write("%s %d %d %s %s\n" % agent)
        try:
            cls.port = fleet.start_fleet_agent(cls.processes, FLEET_AGENT, ["--agents", agents])
            cls.closed_port = fleet.start_fleet_agent(
                cls.processes, FLEET_AGENT, ["--range", NO_HISTORY, "1", "--prohibit-history"])
            cls.exporter = fleet.start_exporter(cls.processes, QXCTL)
        except Exception:
            cls.processes.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.processes.stop()

    def target(self, address):
        return "%s:%d" % (address, self.port)

    def probe(self, target, headers=None):
        request = fleet.urllib.request.Request(
            "http://%s/probe?target=%s" % (self.exporter, target), headers=headers or {})
        try:
            with fleet.urllib.request.urlopen(request, timeout=60) as answer:
                return answer.status, answer.read().decode()
        except fleet.urllib.error.HTTPError as refused:
            return refused.code, refused.read().decode()

    def promtool_accepts(self, text):
        done = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                              text=True, timeout=60)
        self.assertEqual((done.returncode, done.stdout + done.stderr), (0, ""), text)

    def test_probes_answer_metrics_that_promtool_accepts_and_bad_input_a_clear_error(self):
        status, text = self.probe(self.target("127.1.0.1"))
        self.assertEqual(status, 200)
        self.assertIn("\nprobe_success 1\n", text)
        self.assertIn("\nhorologix_clock_offset_seconds 5.000\n", text)
        self.assertIn('computer="SLOW-PC"', text)
        self.promtool_accepts(text)
        status, text = self.probe(self.target(SILENT), {"X-Prometheus-Scrape-Timeout-Seconds": "1"})
        self.assertEqual(status, 200)
        self.assertIn("\nprobe_success 0\n", text)
        # An agent whose filter drops history requests: the reading comes without them, long
        # before the time-out.
        status, text = self.probe("%s:%d" % (NO_HISTORY, self.closed_port),
                                  {"X-Prometheus-Scrape-Timeout-Seconds": "10"})
        self.assertIn("\nprobe_success 1\n", text)
        self.assertIn("\nhorologix_history_available 0\n", text)
        self.assertNotIn("horologix_last_verification_timestamp_seconds", text)
        self.assertEqual(self.probe("no.such.host.invalid")[1].count("probe_success 0"), 1)
        self.assertEqual(self.probe("")[0], 400)
        self.assertEqual(self.probe("a%20b")[0], 400)
        self.assertEqual(self.probe("pc:99999")[0], 400)
        self.assertEqual(self.probe_without_target(), 400)
        # A flood of requests: each is answered, refused or dropped, and the exporter lives on.
        with concurrent.futures.ThreadPoolExecutor(64) as pool:
            list(pool.map(lambda _: self.probe(
                self.target(SILENT), {"X-Prometheus-Scrape-Timeout-Seconds": "1"}), range(200)))
        status, own = fleet.http_get("http://%s/metrics" % self.exporter)
        self.assertEqual(status, 200)
        self.assertIn("horologix_exporter_probes_total", own)
        self.promtool_accepts(own)

    def probe_without_target(self):
        try:
            fleet.http_get("http://%s/probe" % self.exporter)
        except fleet.urllib.error.HTTPError as refused:
            return refused.code
        return 200

    def test_metrics_file_is_replaced_whole_with_one_target_label_per_agent(self):
        path = os.path.join(self.work, "horologix.prom")
        targets = [self.target(a[0]) for a in AGENTS] + [self.target(SILENT)]
        done = qx("metrics", "--timeout", "300", "--retries", "1", "--textfile", path, *targets)
        self.assertEqual(done.returncode, 0, done.stderr)
        data = open(path, "rb").read()
        self.assertFalse(data.startswith(b"\xef\xbb\xbf"))
        self.assertNotIn(b"\r", data)
        self.assertTrue(data.endswith(b"\n"))
        text = data.decode("utf-8")
        self.assertIn('probe_success{target="%s"} 0\n' % self.target(SILENT), text)
        self.assertIn('horologix_clock_offset_seconds{target="%s"} -0.250\n'
                      % self.target("127.1.0.2"), text)
        self.assertEqual(sorted(os.listdir(self.work)), ["agents.txt", "horologix.prom"])
        self.promtool_accepts(text)

    def test_survey_lists_worst_first_and_check_keeps_unknown_apart(self):
        done = qx("survey", "--json", "--timeout", "300", "--retries", "1",
                  "127.1.0.0/28", "--port", str(self.port))
        rows = [json.loads(line) for line in done.stdout.splitlines()]
        self.assertEqual(done.returncode, 1)  # most of the range is silent
        answered = [r for r in rows if r["answered"]]
        self.assertEqual([r["target"] for r in answered], ["127.1.0.1", "127.1.0.2", "127.1.0.3"])
        self.assertFalse(rows[0]["answered"])
        self.assertEqual(answered[0]["offset_s"], 5.0)
        # Verified 600 s before the agent's clock; the two answers may straddle a second.
        self.assertLessEqual(abs(answered[2]["verification_age_s"] - 600), 2)

        def check(address, *ranges):
            return qx("check", "--timeout", "300", "--retries", "1", *ranges,
                      self.target(address)).returncode

        self.assertEqual(check("127.1.0.1", "--warn", "100", "--crit", "1000"), 2)
        self.assertEqual(check("127.1.0.2", "--warn", "100", "--crit", "1000"), 1)
        self.assertEqual(check("127.1.0.2", "-w", "~:300", "-c", "@2000:"), 0)
        self.assertEqual(check("127.1.0.3", "-w", "10:", "-c", "~:1000"), 1)
        self.assertEqual(check(SILENT, "--warn", "100", "--crit", "1000"), 3)

    def test_prometheus_holds_each_agents_series_and_fires_the_offset_alert(self):
        targets = [self.target(a[0]) for a in AGENTS] + [self.target(SILENT)]
        prometheus = fleet.Prometheus(self.processes, os.path.join(self.work, "prometheus"),
                                      self.exporter, targets, interval="1s", rules_hold="3s")
        offsets = fleet.wait_for("every agent's offset in Prometheus", lambda: (
            lambda found: found if len(found) == len(AGENTS) else None)(
            {s[0]["instance"]: s[1] for s in prometheus.query("horologix_clock_offset_seconds")}))
        for address, offset_ms, _, version, computer in AGENTS:
            self.assertEqual(offsets[self.target(address)], offset_ms / 1000.0)
            info = prometheus.query('horologix_agent_info{instance="%s"}' % self.target(address))
            self.assertEqual((info[0][0]["version"], info[0][0]["computer"],
                              info[0][0]["role"], info[0][0]["release"], info[0][0]["type"]),
                             (version, computer, "Horologix", "Windows XP", "NTP"))
        silent = fleet.wait_for("the silent address's probe_success", lambda: prometheus.query(
            'probe_success{instance="%s"}' % self.target(SILENT)))
        self.assertEqual(silent[0][1], 0.0)
        firing = fleet.wait_for("the clock-off alert", lambda: (
            lambda alerts: alerts if ("HorologixClockOffset", self.target("127.1.0.1")) in alerts
            else None)(prometheus.firing()))
        self.assertNotIn(("HorologixClockOffset", self.target("127.1.0.2")), firing)


if __name__ == "__main__":
    if not fleet.inside_bench():
        print("[  SKIPPED ] opens sockets and starts Prometheus: run inside bench/session")
        sys.exit(SKIPPED)
    unittest.main(argv=sys.argv[:1], verbosity=2)
