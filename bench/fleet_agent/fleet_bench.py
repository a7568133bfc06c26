#!/usr/bin/env python3
"""The fleet benchmark (inside bench/session): qxctl's survey and its exporter over 1,000 and
10,000 simulated agents, beside the bare request/answer loop over the same addresses, and a real
Prometheus scraping 1,000 targets through the exporter every 15 s. Figures side by side, goals
marked "met" or "NOT met".

usage: fleet_bench.py QXCTL FLEET_AGENT FLEET_PING [--quick]
"""
import http.client
import os
import re
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fleet  # noqa: E402

QXCTL, FLEET_AGENT, FLEET_PING = sys.argv[1:4]
QUICK = "--quick" in sys.argv
FIRST = "127.2.0.1"


def addresses(count):
    """The agents' addresses, FIRST and on: the survey asks exactly these (a range would add
    silent addresses, each waiting out its time-out, which the bare loop does not)."""
    base = [int(x) for x in FIRST.split(".")]
    start = (base[2] << 8) | base[3]
    return ["%d.%d.%d.%d" % (base[0], base[1], (start + n) >> 8, (start + n) & 255)
            for n in range(count)]


def goal(ok):
    return "met" if ok else "NOT met"


def peak_mb_of(args):
    """Runs args under GNU time; (wall s, peak MB, stdout, exit status)."""
    done = subprocess.run(["/usr/bin/time", "-f", "%e %M"] + args, capture_output=True,
                          text=True, timeout=600)
    last = done.stderr.strip().splitlines()[-1].split()
    return float(last[0]), int(last[1]) / 1024.0, done.stdout, done.returncode


def bare_loop(count, port):
    done = subprocess.run([FLEET_PING, FIRST, str(count), str(port), "256"], capture_output=True,
                          text=True, timeout=600)
    found = re.search(r"answered (\d+) of (\d+) in ([\d.]+) s: (\d+) answers/s", done.stdout)
    if not found or int(found.group(1)) == 0:
        raise RuntimeError("the bare loop got no answers: %s %s" % (done.stdout, done.stderr))
    return int(found.group(1)), float(found.group(3)), float(found.group(4))


def survey(count, port):
    wall, peak, out, status = peak_mb_of([QXCTL, "survey", "--csv", "--port", str(port),
                                          "--timeout", "1000", "--retries", "1",
                                          "--in-flight", "256"] + addresses(count))
    answered = sum(1 for line in out.splitlines()[1:] if line.split(",")[1] == "1")
    return answered, wall, peak


def scrape_through_exporter(count, port, threads=16):
    """Every agent probed once through the exporter, threads probes at a time over kept-alive
    connections; (answered, wall s, probes/s, p99 ms, exporter peak MB)."""
    processes = fleet.Processes()
    try:
        exporter = fleet.start_exporter(processes, QXCTL, ["--in-flight", "64"])
        pid = processes.started[-1].pid
        host, port_text = exporter.split(":")
        agents = addresses(count)
        durations, answered, lock = [], [0], threading.Lock()

        def worker(k):
            connection = http.client.HTTPConnection(host, int(port_text), timeout=60)
            for n in range(k, count, threads):
                address = agents[n]
                started = time.monotonic()
                connection.request("GET", "/probe?target=%s:%d" % (address, port),
                                   headers={"X-Prometheus-Scrape-Timeout-Seconds": "10"})
                body = connection.getresponse().read().decode()
                with lock:
                    durations.append(time.monotonic() - started)
                    answered[0] += "\nprobe_success 1\n" in body
            connection.close()

        started = time.monotonic()
        workers = [threading.Thread(target=worker, args=(k,)) for k in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        wall = time.monotonic() - started
        peak = 0.0
        for line in open("/proc/%d/status" % pid):
            if line.startswith("VmHWM:"):
                peak = int(line.split()[1]) / 1024.0
        durations.sort()
        p99 = durations[int(len(durations) * 0.99) - 1] * 1000 if durations else 0
        return answered[0], wall, answered[0] / wall, p99, peak
    finally:
        processes.stop()


def prometheus_round(port, count=1000, rounds=3):
    """Prometheus scraping count targets through the exporter every 15 s for a few rounds;
    (samples, p99 of probe_duration_seconds in ms, share of successful probes)."""
    processes = fleet.Processes()
    try:
        exporter = fleet.start_exporter(processes, QXCTL)
        targets = ["%s:%d" % (address, port) for address in addresses(count)]
        folder = os.path.join(os.environ.get("BENCH_RUN_DIR", "/tmp"), "fleet-bench-prometheus")
        prometheus = fleet.Prometheus(processes, folder, exporter, targets, interval="15s",
                                      timeout="10s")
        # Each target is scraped once per interval at its own offset: after rounds intervals
        # every target has that many samples.
        fleet.wait_for("%d scrape rounds" % rounds, lambda: (
            prometheus.query("min(count_over_time(probe_duration_seconds[5m]))") or [({}, 0)])[0][1]
            >= rounds, patience=15 * rounds + 120, step=2)
        data = prometheus.api("query", query="probe_duration_seconds[5m]")
        values = sorted(float(v[1]) for series in data["result"] for v in series["values"])
        success = prometheus.query("avg(avg_over_time(probe_success[5m]))")[0][1]
        p99 = values[max(0, int(len(values) * 0.99) - 1)] * 1000
        return len(values), p99, success
    finally:
        processes.stop()


def main():
    print("fleet-bench: qxctl %s" % QXCTL)
    print("%-8s %-34s %10s %12s %10s" % ("agents", "what", "wall s", "answers/s", "peak MB"))
    results = {}
    for count in ((1000,) if QUICK else (1000, 10000)):
        processes = fleet.Processes()
        try:
            port = fleet.start_fleet_agent(processes, FLEET_AGENT, ["--range", FIRST, str(count)])
            bare_loop(count, port)  # warms the agents' tables and the caches
            got, wall, rate = bare_loop(count, port)
            print("%-8d %-34s %10.3f %12.0f %10s" % (count, "bare UDP loop (fleet-ping)", wall,
                                                    rate, "-"))
            answered, wall_s, peak = survey(count, port)
            print("%-8d %-34s %10.3f %12.0f %10.1f" % (count, "qxctl survey (%d answered)" % answered,
                                                      wall_s, answered / wall_s, peak))
            scraped, wall_e, rate_e, p99_e, peak_e = scrape_through_exporter(count, port)
            print("%-8d %-34s %10.3f %12.0f %10.1f" % (
                count, "exporter /probe x%d (p99 %.1f ms)" % (scraped, p99_e), wall_e, rate_e,
                peak_e))
            results[count] = (rate, answered, wall_s, peak, peak_e)
            if count == 1000:
                samples, p99, success = prometheus_round(port)
                print("%-8d %-34s %10s %12s %10s" % (
                    count, "Prometheus every 15 s: %d probes" % samples, "-", "-", "-"))
                results["prometheus"] = (p99, success)
        finally:
            processes.stop()
    print()
    print("goals:")
    if 10000 in results:
        rate, answered, wall_s, peak, _ = results[10000]
        print("  10,000 agents surveyed in %.2f s (under 2 s): %s" % (wall_s, goal(
            wall_s < 2 and answered == 10000)))
        print("  survey rate %.0f agents/s = %.2f of the bare loop's %.0f (at least 0.5): %s" % (
            answered / wall_s, answered / wall_s / rate, rate, goal(answered / wall_s >= 0.5 * rate)))
    peaks = [v[3] for k, v in results.items() if k != "prometheus"] + \
            [v[4] for k, v in results.items() if k != "prometheus"]
    print("  qxctl peak memory %.1f MB (under 64 MB): %s" % (max(peaks), goal(max(peaks) < 64)))
    if "prometheus" in results:
        p99, success = results["prometheus"]
        print("  1,000 targets through Prometheus every 15 s: p99 probe duration %.1f ms "
              "(under 50 ms), %.1f %% successful: %s" % (p99, success * 100, goal(p99 < 50)))


if __name__ == "__main__":
    if not fleet.inside_bench():
        sys.exit("fleet_bench.py: run through bench/fleet-bench (inside bench/session)")
    main()
