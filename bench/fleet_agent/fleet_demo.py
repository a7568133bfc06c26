#!/usr/bin/env python3
"""The main job's fleet section (inside bench/session, the agent running in the stand-in): the
exporter, Prometheus scraping the real agent and 50 simulated ones, what a query for the worst
offsets returns, the alerts that fire, and `qxctl survey` over the same agents.

usage: fleet_demo.py QXCTL FLEET_AGENT REAL_AGENT(HOST:PORT)
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fleet  # noqa: E402

QXCTL, FLEET_AGENT, REAL = sys.argv[1:4]
SIMULATED = 50


def main():
    processes = fleet.Processes()
    run = os.environ.get("BENCH_RUN_DIR") or tempfile.gettempdir()
    try:
        # 50 agents on 127.1.0.1-50 with made-up offsets within a second, the last one 5 s
        # behind.
        agents = os.path.join(run, "fleet-demo-agents.txt")
        with open(agents, "w") as out:
            out.write("127.1.0.%d 5000 90 4.1.b.20070418R SIM-%05d\n" % (SIMULATED, SIMULATED - 1))
        port = fleet.start_fleet_agent(processes, FLEET_AGENT,
                                       ["--range", "127.1.0.1", str(SIMULATED), "--agents", agents])
        exporter = fleet.start_exporter(processes, QXCTL)
        targets = [REAL] + ["127.1.0.%d:%d" % (n, port) for n in range(1, SIMULATED + 1)]
        print("  fleet-agent: %d simulated agents on 127.1.0.1-%d, UDP port %d" %
              (SIMULATED, SIMULATED, port))
        print("  $ qxctl exporter --listen %s" % exporter)
        prometheus = fleet.Prometheus(processes, os.path.join(run, "fleet-demo-prometheus"),
                                      exporter, targets, interval="2s", rules_hold="4s")
        print("  prometheus %s scraping job \"horologix\": the real agent %s and the %d simulated"
              " (every 2 s; the shipped rules with \"for\" shortened to 4 s)" %
              (prometheus.address, REAL, SIMULATED))
        fleet.wait_for("every target scraped", lambda: len(prometheus.query(
            'probe_success{job="horologix"}')) == len(targets))
        fleet.wait_for("the real agent's offset", lambda: prometheus.query(
            'horologix_clock_offset_seconds{instance="%s"}' % REAL))
        print()
        print('  query: sum(probe_success{job="horologix"}) = %d of %d targets answer' % (
            prometheus.query('sum(probe_success{job="horologix"})')[0][1], len(targets)))
        print("  query: topk(5, abs(horologix_clock_offset_seconds))   (each with its signed offset"
              " and horologix_agent_info)")
        worst = prometheus.query("topk(5, abs(horologix_clock_offset_seconds))")
        for labels, value in sorted(worst, key=lambda s: -s[1]):
            instance = labels["instance"]
            signed = prometheus.query('horologix_clock_offset_seconds{instance="%s"}' % instance)
            info = prometheus.query('horologix_agent_info{instance="%s"}' % instance)
            facts = info[0][0] if info else {}
            print("    %-18s offset %+8.3f s  computer %-10s version %s" % (
                instance, signed[0][1], facts.get("computer", ""), facts.get("version", "")))
        real = prometheus.query('horologix_agent_info{instance="%s"}' % REAL)[0][0]
        offset = prometheus.query('horologix_clock_offset_seconds{instance="%s"}' % REAL)[0][1]
        print("  the real agent (%s): offset %+.3f s, computer %s, release %s, partner %s, type %s"
              % (REAL, offset, real.get("computer"), real.get("release"), real.get("partner"),
                 real.get("type")))
        firing = fleet.wait_for("the clock-off alert", lambda: {
            a for a in prometheus.firing() if a[0] == "HorologixClockOffset"})
        for name, instance in sorted(firing):
            print("  alert firing: %s for %s" % (name, instance))
        print()
        survey = [QXCTL, "survey", "--timeout", "500", "--retries", "1", "--port", str(port),
                  REAL, "127.1.0.0/26"]
        print("  $ qxctl survey --port %d %s 127.1.0.0/26   (worst first: the silent addresses of"
              " the range, then the largest offsets)" % (port, REAL))
        done = subprocess.run(survey, capture_output=True, text=True, timeout=120)
        lines = done.stdout.splitlines()
        silent = [line for line in lines[1:-1] if " silent " in line]
        answered = [line for line in lines[1:-1] if " silent " not in line]
        print("    " + lines[0])
        for line in silent[:2]:
            print("    " + line)
        print("    ... %d more silent" % (len(silent) - 2))
        for line in answered[:8]:
            print("    " + line)
        print("    ... %d more" % (len(answered) - 8))
        print("    " + lines[-1])
    finally:
        processes.stop()


if __name__ == "__main__":
    main()
