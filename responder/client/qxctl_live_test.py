#!/usr/bin/env python3
"""The native qxctl (and the Windows build under Wine) against the live agent: kestrel.cpl loaded
by the Windows Time service stand-in of the bench, asked on the bench's management port.

Every record the agent sends is decoded here a second time from its raw bytes (qxctl raw), by
the published layouts, and compared with what qxctl prints.

usage: qxctl_live_test.py QXCTL_NATIVE QXCTL_EXE KESTREL_CPL   (inside bench/session only)
"""
import datetime
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

QXCTL, QXCTL_EXE, KESTREL = sys.argv[1:4] if len(sys.argv) >= 4 else ("", "", "")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE64 = "/usr/lib/wine/wine64"
AGENT_KEY = r"HKLM\System\CurrentControlSet\Services\W32Time\TimeProviders\Horologix"
NTP_CLIENT_KEY = r"HKLM\System\CurrentControlSet\Services\W32Time\TimeProviders\NtpClient"
W32TIME_PARAMETERS = r"HKLM\System\CurrentControlSet\Services\W32Time\Parameters"
ID_KEY = r"HKLM\Software\Classes\Mirel\QX2\Info"
ZONE_KEY = r"HKLM\System\CurrentControlSet\Control\TimeZoneInformation"
STANDIN_STATE_KEY = r"HKLM\Software\HorologixBench\W32TimeStandin"
# Put back as they were when the tests are done.
SAVED_KEYS = [AGENT_KEY, NTP_CLIENT_KEY, W32TIME_PARAMETERS, ID_KEY, STANDIN_STATE_KEY]
PORT = os.environ.get("BENCH_QX_PORT", "9909")
HOST = "127.0.0.1:" + PORT
# How long to wait for what should happen: waits end as soon as it has, so a long bound costs
# nothing when a test passes, and a loaded machine does not fail it.
PATIENCE_S = 30


def run(args, input_text=None, check=False):
    done = subprocess.run(args, input=input_text, capture_output=True, text=True, timeout=120)
    if check and done.returncode != 0:
        raise RuntimeError("%s failed: %s %s" % (args, done.stdout, done.stderr))
    return done


def reg(*args):
    return run([WINE64, "reg.exe"] + list(args))


def reg_value(key, name):
    """The value's data as reg.exe prints it, or None."""
    out = reg("query", key, "/v", name).stdout.replace("\r", "")
    for line in out.splitlines():
        found = re.match(r"^\s+(.*?)\s+(REG_\w+)\s*(.*)$", line)
        if found and found.group(1) == name:
            return found.group(3)
    return None


def standin(*args):
    return run([os.path.join(ROOT, "bench", "standin")] + list(args), check=True)


def qx(*args, input_text=None, exe=None):
    """qxctl waiting PATIENCE_S for each answer, unless the arguments name a shorter wait (for
    requests that must go unanswered)."""
    command = [exe] if exe else [QXCTL]
    if exe and exe.endswith(".exe"):
        command = [os.path.join(ROOT, "bench", "wine-exec"), exe]
    return run(command + ["--timeout", str(PATIENCE_S * 1000)] + list(args),
               input_text=input_text)


def qx_json(*args):
    done = qx("--json", *args)
    return done.returncode, [json.loads(line) for line in done.stdout.splitlines() if line]


def raw(code, data=None, *options):
    args = list(options) + ["raw", str(code)] + ([str(data)] if data is not None else []) + [HOST]
    status, lines = qx_json(*args)
    if status != 0 or not lines or not lines[0]["answered"]:
        return None
    return bytes.fromhex(lines[0]["hex"])


def text(field):
    return field.split(b"\0", 1)[0].decode("latin-1")


def iso(seconds):
    if seconds == 0:
        return "never"
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime(
        "%Y-%m-%dT%H:%M:%SZ")


def wait_for(condition, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if condition():
            return True
        time.sleep(0.2)
    return condition()


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class SavedState:
    """Registry keys (as reg.exe exports them) and the history file as the tests found them."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="qxctl-live-")
        self.exported = {}
        for index, key in enumerate(SAVED_KEYS):
            path = os.path.join(self.folder, "%d.reg" % index)
            done = reg("export", key, windows_path(path), "/y")
            self.exported[key] = path if done.returncode == 0 and os.path.exists(path) else None
        self.drift = None
        if os.path.exists(DRIFT):
            with open(DRIFT, "rb") as drift:
                self.drift = drift.read()

    def restore(self):
        for key, path in self.exported.items():
            reg("delete", key, "/f")
            if path is not None:
                reg("import", windows_path(path))
        if self.drift is None:
            if os.path.exists(DRIFT):
                os.remove(DRIFT)
        else:
            with open(DRIFT, "wb") as drift:
                drift.write(self.drift)
        shutil.rmtree(self.folder, ignore_errors=True)


SYSTEM32 = os.path.join(os.environ.get("WINEPREFIX", ""), "drive_c", "windows", "system32")
DRIFT = os.path.join(SYSTEM32, "drift.qx")
NOW = int(time.time())
# Three verifications of the last hour, as the agent would have written them.
RECORDS = [struct.pack("<BB5xBIiI", 41, 0x0F, 6, NOW - 3000 + 600 * i, -20 + 15 * i, 0x0100007F)
           for i in range(3)]


def start_service():
    standin("start")
    if not wait_for(lambda: qx("--timeout", "200", "--retries", "0", "ping", HOST).returncode == 0,
                    PATIENCE_S):
        raise RuntimeError("the agent does not answer on " + HOST)


class LiveAgent(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        standin("stop")
        cls.saved = SavedState()
        target = os.path.join(SYSTEM32, "kestrel.cpl")
        if os.path.exists(target):
            os.replace(target, target + ".old-%d" % os.getpid())
        with open(KESTREL, "rb") as source, open(target, "wb") as placed:
            placed.write(source.read())
        for old in os.listdir(SYSTEM32):
            if old.startswith("kestrel.cpl.old-"):
                try:
                    os.remove(os.path.join(SYSTEM32, old))
                except OSError:
                    pass
        reg("delete", AGENT_KEY, "/f")
        for name, kind, data in [("DllName", "REG_SZ", "kestrel.cpl"), ("Enabled", "REG_DWORD", "1"),
                                 ("InputProvider", "REG_DWORD", "1"),
                                 ("DNS Lookups Enabled", "REG_SZ", "False")]:
            reg("add", AGENT_KEY, "/v", name, "/t", kind, "/d", data, "/f")
        reg("add", NTP_CLIENT_KEY, "/v", "Enabled", "/t", "REG_DWORD", "/d", "1", "/f")
        reg("add", NTP_CLIENT_KEY, "/v", "InputProvider", "/t", "REG_DWORD", "/d", "1", "/f")
        # Code 160 open, code 50 "open" too: it must stay shut as it is not implemented.
        reg("add", W32TIME_PARAMETERS, "/v", "Prohibited QX2 Commands", "/t", "REG_BINARY", "/d",
            "00" * 161, "/f")
        with open(DRIFT, "wb") as drift:
            drift.write(b"".join(RECORDS))
        standin("clear")
        standin("reset")
        start_service()

    @classmethod
    def tearDownClass(cls):
        standin("stop")
        cls.saved.restore()
        try:
            os.remove(os.path.join(SYSTEM32, "kestrel.cpl"))
        except OSError:
            pass

    def test_01_ping_answers_ack_and_only_the_low_byte_of_the_code_counts(self):
        done = qx("ping", HOST)
        self.assertEqual(done.returncode, 0)
        self.assertRegex(done.stdout, r"^%s:\n  answer:        ACK\n  round_trip_ms: \d+\.\d{3}\n$"
                         % HOST.replace(".", r"\."))
        self.assertEqual(raw(0x100), b"ACK\0")

    def test_02_version_record_byte_for_byte(self):
        record = raw(4)
        self.assertEqual(len(record), 64)
        (installed, role, major, minor, year, monthday, flags, is_nt, version,
         computer) = struct.unpack("<IIHHHHII16s8x16s", record)
        self.assertEqual((role, major, minor, year, monthday, flags, is_nt), (7, 4, 1, 2007, 418, 1, 1))
        self.assertEqual(record[40:48], b"\0" * 8)
        self.assertEqual(int(reg_value(AGENT_KEY, "Ephemerides"), 16), installed)
        status, lines = qx_json("version", HOST)
        self.assertEqual(status, 0)
        shown = lines[0]
        self.assertEqual(shown["version"], text(version))
        self.assertEqual(text(version), "4.1.b.20070418R")
        self.assertEqual(shown["installed"], iso(installed))
        self.assertEqual(shown["computer"], text(computer))
        self.assertTrue(text(computer).isupper())
        self.assertEqual(shown["build"], "4.1, 2007-04-18")

    def test_03_agent_block_byte_for_byte(self):
        before = int(time.time())
        block = raw(128)
        after = int(time.time())
        self.assertEqual(len(block), 355)
        fields = struct.unpack("<6I2q32s20sBB10x63sB7x7I7Q7Q5Q", block)
        role, snapshot, reset, last_sync, started, reserved = fields[0:6]
        last_offset, offset_sum, zone, version, flags, service_type, partner, protocol = fields[6:14]
        self.assertEqual((role, reserved, protocol), (7, 0, 254))
        # Taken between the question and the answer (a second's leeway either side).
        self.assertGreaterEqual(snapshot + 1, before)
        self.assertLessEqual(snapshot, after + 1)
        self.assertEqual(text(partner), "(none since startup)")
        self.assertEqual(flags, 2)  # still waiting for the service's first verdict
        status, lines = qx_json("agent", HOST)
        shown = lines[0]
        self.assertEqual(shown["agent_started"], iso(started))
        self.assertEqual(shown["statistics_reset"], iso(reset))
        self.assertEqual(shown["last_sync"], iso(last_sync))
        self.assertEqual(shown["time_zone"], text(zone))
        self.assertEqual(shown["version"], text(version))
        self.assertEqual(shown["partner"], text(partner))
        self.assertEqual(shown["last_variance_ms"], last_offset)
        self.assertEqual(shown["variance_sum_ms"], offset_sum)
        self.assertTrue(shown["pending"])
        names = {0: "not set", 1: "NoSync", 2: "NT5DS", 3: "AllSync", 4: "NTP", 5: "disabled"}
        self.assertEqual(shown["time_service_type"], names.get(service_type, "unknown"))
        # The block qxctl asked for counts the raw request before it, and its answer.
        self.assertGreaterEqual(shown["replies_sent"], fields[21] + 1)
        self.assertGreaterEqual(shown["bytes_sent"], fields[-4] + 355)

    def test_04_status_record_byte_for_byte_and_the_products_word(self):
        record = raw(200)
        self.assertEqual(len(record), 302)
        fields = struct.unpack("<III BB 8H 8H q QQQ IIII 32s 32s 64s 36s 42x H", record)
        identifier, flags, zero, protocol, marker = fields[0:5]
        self.assertEqual((zero, protocol, marker), (0, 254, 0x24))
        self.assertEqual(identifier, int(reg_value(ID_KEY, "Serial Number"), 16))
        self.assertNotEqual(identifier, 0)
        self.assertEqual(flags & 0xF, 7)
        self.assertEqual(flags & (1 << 4 | 1 << 5 | 1 << 25), 1 << 4 | 1 << 5 | 1 << 25)
        self.assertEqual(fields[-1], 0x8000)
        status, lines = qx_json("status", HOST)
        shown = lines[0]
        self.assertEqual(shown["installation_id"], "0x%08X" % identifier)
        self.assertEqual(shown["flags"], "0x%08X" % flags)
        self.assertEqual(shown["time_zone"], text(fields[29]))
        self.assertEqual(shown["version"], text(fields[30]))
        self.assertEqual(shown["partner"], text(fields[31]))
        self.assertEqual(shown["computer"], text(fields[32]))
        self.assertEqual(shown["products"], "none")
        reg("add", AGENT_KEY, "/v", "Service Installed", "/t", "REG_SZ", "/d", "True", "/f")
        # The agent reads the products at most once a second.

        def products_word():
            shown = qx_json("status", HOST)[1]
            return shown[0].get("products_word") if shown else None
        self.assertTrue(wait_for(lambda: products_word() == "0x8200", PATIENCE_S))
        status, lines = qx_json("status", HOST)
        self.assertEqual(lines[0]["products_word"], "0x8200")
        self.assertEqual(lines[0]["products"], "agent")
        # 201 answers only with this installation's identifier.
        self.assertEqual(len(raw(201, identifier) or b""), 302)
        self.assertIsNone(raw(201, identifier ^ 1, "--timeout", "300", "--retries", "0"))

    def test_05_time_and_zone(self):
        status, lines = qx_json("time", HOST)
        self.assertEqual(status, 0)
        self.assertRegex(lines[0]["utc"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        # The same clock; an exchange slowed on one way only shifts it by up to half its time.
        self.assertLess(abs(lines[0]["offset_s"]), 1.0 + lines[0]["round_trip_ms"] / 2000.0)
        zone = raw(6)
        self.assertEqual(len(zone), 504)
        leading, disable = struct.unpack("<II", zone[:8])
        self.assertEqual(leading, 0)
        expected = reg_value(ZONE_KEY, "StandardName") or ""
        self.assertEqual(text(zone[8:72]), expected[:63])
        self.assertEqual(zone[72:], b"\0" * (504 - 72))
        status, lines = qx_json("timezone", HOST)
        self.assertEqual(lines[0]["standard_name"], expected[:63])
        self.assertEqual(lines[0]["auto_daylight_disabled"], disable != 0)

    def test_06_history_walks_from_a_moment_as_csv_and_drift_file(self):
        done = qx("history", "--from", str(NOW - 3000 + 600), HOST)
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = done.stdout.splitlines()
        self.assertEqual(lines[0], "checked,check_time,variance_ms,source,reason,role,corrected,"
                                   "phase_adjust")
        self.assertEqual(lines[1], "%s,%d,-5,127.0.0.1,Sync Check,Horologix,1,0"
                         % (iso(NOW - 2400), NOW - 2400))
        self.assertEqual(lines[2].split(",")[2], "10")
        out = os.path.join(os.environ.get("BENCH_RUN_DIR", "/tmp"), "history-%d.qx" % os.getpid())
        done = qx("history", "--format", "drift", "--out", out, HOST)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(out, "rb") as saved:
            data = saved.read()
        os.remove(out)
        # The agent's own checks may have added records after ours.
        self.assertEqual(data[:60], b"".join(RECORDS))
        self.assertEqual(len(data) % 20, 0)

    def test_07_check_reports_plugin_states(self):
        done = qx("check", "--warn", "100", "--crit", "500", "--max-age", "3600", HOST)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertRegex(done.stdout, r"^QX OK - .*variance=-?\d+ms;100;500;; age=\d+s;;3600;0;\n$")
        done = qx("--timeout", "200", "--retries", "0", "check", "--warn", "1", "--crit", "2",
                  "127.0.0.1:1")
        self.assertEqual(done.returncode, 3)

    def test_08_an_exact_repeat_is_ignored_a_new_sequence_number_answered(self):
        self.assertEqual(len(raw(4, None, "--seq", "4242", "--retries", "0") or b""), 64)
        self.assertIsNone(raw(4, None, "--seq", "4242", "--retries", "0", "--timeout", "300"))
        self.assertEqual(len(raw(4, None, "--seq", "4243", "--retries", "0") or b""), 64)

    def test_09_unknown_code_50_is_dropped_whatever_the_filter_says(self):
        self.assertIsNone(raw(50, None, "--timeout", "300", "--retries", "0"))

    def test_10_sync_reaches_the_service(self):
        start = len(standin("log").stdout.splitlines())
        status, lines = qx_json("sync", HOST)
        self.assertEqual(status, 0)
        self.assertEqual(lines[0]["answer"], "ACK")
        self.assertTrue(wait_for(lambda: any("SyncNow" in line for line in
                                             standin("log").stdout.splitlines()[start:]),
                                 PATIENCE_S))

    def test_11_several_hosts_print_one_line_each(self):
        # The agent's answers get the usual patience, which the silent port then takes up.
        done = qx("--retries", "0", "ping", HOST, "localhost:" + PORT, "127.0.0.1:1")
        self.assertEqual(done.returncode, 1)
        lines = done.stdout.splitlines()
        self.assertEqual(len(lines), 3)
        self.assertTrue(lines[0].startswith(HOST + ": answer=ACK round_trip_ms="))
        self.assertTrue(lines[1].startswith("localhost:%s: answer=ACK" % PORT))
        self.assertEqual(lines[2], "127.0.0.1:1: no answer after 1 tries")

    def test_12_the_windows_build_reads_the_same_records(self):
        native = qx_json("status", HOST)[1][0]
        done = qx("--json", "status", HOST, exe=QXCTL_EXE)
        self.assertEqual(done.returncode, 0, done.stderr)
        windows = json.loads(done.stdout.splitlines()[0])
        for key in ("installation_id", "computer", "version", "flags", "products_word", "partner"):
            self.assertEqual(windows[key], native[key], key)

    def test_13_clear_asks_first_then_empties_history_and_statistics(self):
        done = qx("clear", HOST, input_text="n\n")
        self.assertEqual(done.returncode, 1)
        self.assertGreater(len(qx("history", HOST).stdout.splitlines()), 1)
        status, lines = qx_json("clear", "--yes", HOST)
        self.assertEqual(status, 0)
        self.assertEqual(lines[0]["replies_sent"], 0)
        self.assertEqual(lines[0]["bytes_received"], 0)
        self.assertEqual(qx("history", HOST).stdout.splitlines()[1:], [])
        self.assertEqual(os.path.getsize(DRIFT), 0)
        done = qx("check", "--warn", "100", "--crit", "500", "--max-age", "60", HOST)
        self.assertEqual(done.returncode, 2, done.stdout)

    def test_14_history_is_dropped_while_the_filter_value_is_absent(self):
        reg("delete", W32TIME_PARAMETERS, "/v", "Prohibited QX2 Commands", "/f")
        standin("stop")
        start_service()
        self.assertIsNone(raw(160, 0, "--timeout", "300", "--retries", "0"))
        done = qx("--timeout", "300", "--retries", "0", "history", HOST)
        self.assertEqual(done.returncode, 1)
        self.assertIn("Prohibited QX2 Commands", done.stderr)

    def test_15_exporter_and_metrics_file_read_the_live_agent(self):
        # With the filter value absent (test 14) the agent drops history requests: the probe
        # completes without them, long before its time-out.
        _, lines = qx_json("agent", HOST)
        _, version = qx_json("version", HOST)
        exporter = subprocess.Popen([QXCTL, "exporter", "--listen", "127.0.0.1:0"],
                                    stderr=subprocess.PIPE, text=True)
        try:
            address = exporter.stderr.readline().strip().rsplit(" ", 1)[1]
            started = time.monotonic()
            with urllib.request.urlopen(urllib.request.Request(
                    "http://%s/probe?target=%s" % (address, HOST),
                    headers={"X-Prometheus-Scrape-Timeout-Seconds": "10"}), timeout=60) as answer:
                text_probe = answer.read().decode()
            self.assertLess(time.monotonic() - started, 5)
        finally:
            exporter.terminate()
            exporter.wait()
        self.assertIn("\nprobe_success 1\n", text_probe)
        self.assertIn("\nhorologix_history_available 0\n", text_probe)
        self.assertIn("\nhorologix_clock_offset_seconds %s\n" % format_ms(
            lines[0]["last_variance_ms"]), text_probe)
        self.assertIn('computer="%s"' % version[0]["computer"], text_probe)
        self.assertIn('role="Horologix"', text_probe)
        path = os.path.join(tempfile.mkdtemp(), "agent.prom")
        self.assertEqual(qx("metrics", "--textfile", path, HOST).returncode, 0)
        data = open(path, "rb").read()
        self.assertIn(('probe_success{target="%s"} 1\n' % HOST).encode(), data)
        checked = run(["promtool", "check", "metrics"], input_text=data.decode())
        self.assertEqual((checked.returncode, checked.stdout + checked.stderr), (0, ""))


def format_ms(ms):
    """Milliseconds as the exposition writes seconds: three decimals, exact."""
    return "%s%d.%03d" % ("-" if ms < 0 else "", abs(ms) // 1000, abs(ms) % 1000)


if __name__ == "__main__":
    if os.environ.get("HOROLOGIX_NETNS") != "1":
        print("qxctl_live_test: run inside bench/session", file=sys.stderr)
        sys.exit(125)
    unittest.main(argv=[sys.argv[0], "-v"])
