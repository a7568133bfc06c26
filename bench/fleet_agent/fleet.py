"""The simulated fleet, the exporter and a real Prometheus, started inside bench/session for the
fleet test, the fleet benchmark and the main job. Everything started here is ended by its PID.
Prometheus' configuration and storage live in a folder of the run under the build folder.
"""
import json
import os
import shutil
import socket
import subprocess
import time
import urllib.parse
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RULES = os.path.join(ROOT, "responder", "client", "horologix-alerts.yml")
# Waits end as soon as what they wait for has happened: a long bound costs nothing then.
PATIENCE_S = 120


def inside_bench():
    return os.environ.get("HOROLOGIX_NETNS") == "1"


def free_port():
    """A TCP and UDP port nothing uses now: the session is a namespace of its own, and the kernel
    hands out ephemeral ports in turn, so two tests of one session do not get the same one."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, condition, patience=PATIENCE_S, step=0.2):
    """condition() until it returns something true; that value. Raises after patience seconds."""
    deadline = time.monotonic() + patience
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError("waited %d s for %s" % (patience, what))
        time.sleep(step)


class Processes:
    """What a run started, ended by PID in reverse order."""

    def __init__(self):
        self.started = []

    def start(self, args, **kwargs):
        process = subprocess.Popen(args, **kwargs)
        self.started.append(process)
        return process

    def stop(self):
        for process in reversed(self.started):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.started = []


def start_fleet_agent(processes, fleet_agent, args):
    """fleet-agent with args, on a port of the kernel's choice; returns that port."""
    process = processes.start([fleet_agent, "--port", "0"] + list(args), stdout=subprocess.PIPE,
                              text=True)
    line = process.stdout.readline()
    if not line.startswith("ready "):
        raise RuntimeError("fleet-agent did not start: %r" % line)
    return int(line.split()[1])


def start_exporter(processes, qxctl, extra=()):
    """qxctl exporter on 127.0.0.1 and a free port; returns "127.0.0.1:PORT" once it listens."""
    process = processes.start([qxctl, "exporter", "--listen", "127.0.0.1:0"] + list(extra),
                              stderr=subprocess.PIPE, text=True)
    line = process.stderr.readline()
    if "listening on" not in line:
        raise RuntimeError("the exporter did not start: %r" % line)
    return line.strip().rsplit(" ", 1)[1]


def http_get(url, timeout=30):
    with urllib.request.urlopen(url, timeout=timeout) as answer:
        return answer.status, answer.read().decode("utf-8")


def write_rules(path, hold):
    """The shipped rules with their "for" durations shortened to hold (a test cannot wait
    minutes)."""
    text = open(RULES).read()
    for duration in ("5m", "10m"):
        text = text.replace("for: " + duration, "for: " + hold)
    with open(path, "w") as out:
        out.write(text)


class Prometheus:
    """A Prometheus scraping agents through the exporter in the multi-target pattern."""

    def __init__(self, processes, folder, exporter, targets, interval="1s", timeout=None,
                 rules_hold=None):
        self.folder = folder
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        rule_files = []
        if rules_hold:
            write_rules(os.path.join(folder, "rules.yml"), rules_hold)
            rule_files = ["rules.yml"]
        config = {
            "global": {"scrape_interval": interval, "evaluation_interval": interval,
                       "scrape_timeout": timeout or interval},
            "rule_files": rule_files,
            "scrape_configs": [
                {"job_name": "horologix", "metrics_path": "/probe",
                 "static_configs": [{"targets": list(targets)}],
                 "relabel_configs": [
                     {"source_labels": ["__address__"], "target_label": "__param_target"},
                     {"source_labels": ["__param_target"], "target_label": "instance"},
                     {"target_label": "__address__", "replacement": exporter}]},
                {"job_name": "horologix_exporter", "static_configs": [{"targets": [exporter]}]},
            ],
        }
        # JSON is YAML.
        with open(os.path.join(folder, "prometheus.yml"), "w") as out:
            json.dump(config, out, indent=1)
        self.address = "127.0.0.1:%d" % free_port()
        self.log = open(os.path.join(folder, "prometheus.log"), "w")
        processes.start(["prometheus", "--config.file=" + os.path.join(folder, "prometheus.yml"),
                         "--storage.tsdb.path=" + os.path.join(folder, "data"),
                         "--web.listen-address=" + self.address, "--log.level=warn"],
                        stdout=self.log, stderr=subprocess.STDOUT, cwd=folder)
        wait_for("Prometheus to be ready", self.ready)

    def ready(self):
        try:
            return http_get("http://%s/-/ready" % self.address, timeout=5)[0] == 200
        except OSError:
            return False

    def api(self, path, **params):
        url = "http://%s/api/v1/%s?%s" % (self.address, path, urllib.parse.urlencode(params))
        status, text = http_get(url)
        answer = json.loads(text)
        if answer.get("status") != "success":
            raise RuntimeError("%s: %s" % (url, text))
        return answer["data"]

    def query(self, expression):
        """The instant vector's samples as (labels, value) pairs."""
        data = self.api("query", query=expression)
        return [(r["metric"], float(r["value"][1])) for r in data["result"]]

    def firing(self):
        """(alertname, instance) of every firing alert."""
        return {(a["labels"].get("alertname"), a["labels"].get("instance"))
                for a in self.api("alerts")["alerts"] if a.get("state") == "firing"}
