#!/usr/bin/python3
"""The performance run: the bridge measured against the machine's limit and
against OLA's olad, side by side in one run.

Builds three network namespaces (console, bridge, node; see perflab.py), runs
the real program and the load tools of perf_load in them, and measures:
input capacity against a bare receive loop and against olad, the transmit
clock idle and with the other core busy, forwarding latency, CPU and memory
at a console's load, the window's status refresh and a reconnect under a
flood, start and stop, and the micro-benchmarks of bench/. Prints one table
and writes it, with the method and two plots, to docs/PERFORMANCE.md.

Run as root (it makes namespaces), with Debian's /usr/bin/python3 (ola and
matplotlib modules): scripts/perf.sh does both.
"""

import argparse
import datetime
import json
import math
import os
import platform
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # nothing written into the source tree

import perflab  # noqa: E402
import perfreport  # noqa: E402
import perfstats  # noqa: E402
from perflab import (BARE_IP, BRIDGE_IN_IP, BRIDGE_OUT_IP, CONSOLE_IP, NODE_IP,  # noqa: E402
                     PEER_CONSOLE_IP, PEER_IP)

LOSS_LIMIT = 0.001          # "lossless": under 0.1 % of the datagrams lost
FLOOD_UNIVERSES = "0-31"    # the 16 forwarded universes and 16 others
OLA_UNIVERSES = [0, 1, 2, 3]  # olad's Art-Net device has four input ports
OLA_HTTP_PORT = 9090
OLA_PLUGINS = ("artnet", "dummy", "e131", "espnet", "ftdidmx", "gpio", "karate", "kinet",
               "milinst", "opendmx", "openpixelcontrol", "osc", "pathport", "renard", "sandnet",
               "shownet", "spi", "stageprofi", "uartdmx", "usbdmx", "usbserial")
SYSTEM_PYTHON = "/usr/bin/python3"


def log(text):
    print("[perf] " + text, flush=True)


class Durations:
    def __init__(self, full, smoke=False):
        self.full = full
        self.clock_s = 60.0 if full else 20.0      # each transmit clock run
        self.steady_s = 60.0 if full else 20.0     # 704 ArtDmx/s: CPU, memory, latency
        self.trial_s = 2.0 if full else 1.0        # one flood of the capacity search
        self.reps = 5 if full else 3               # capacity and micro-benchmark repetitions
        self.window_s = 8.0                        # responsiveness under flood
        self.start_runs = 5
        if smoke:  # every step once, briefly: a check of the tools, not a measurement
            self.clock_s = self.steady_s = 3.0
            self.trial_s = 0.5
            self.reps = 1
            self.window_s = 3.0
            self.start_runs = 2


# -- settings and programs -------------------------------------------------

def settings_xml(active_outputs):
    slots = ['<interface port="%s" destination="" interfacetype="Art-Net Node (INPUT)" '
             'isinput="True" universe="0" universeartnet="0" channelcount="512" active="False"/>'
             % BRIDGE_IN_IP]
    for u in range(16):
        slots.append('<interface port="%s" destination="%s" interfacetype="Art-Net Server (OUTPUT)" '
                     'isinput="False" universe="%d" universeartnet="%d" channelcount="512" '
                     'active="%s"/>' % (BRIDGE_OUT_IP, NODE_IP, u, u,
                                        "True" if u < active_outputs else "False"))
    return "<config><interfaces>%s</interfaces></config>" % "".join(slots)


class Tools:
    def __init__(self, build, workdir):
        self.build = build
        self.load = os.path.join(build, "bench", "perf", "perf_load")
        self.window = os.path.join(build, "bench", "perf", "perf_window")
        self.bench = os.path.join(build, "bench")
        program = os.path.join(build, "app", "pallador")
        for path in (self.load, self.window, program):
            if not os.access(path, os.X_OK):
                raise SystemExit("perf: %s is missing; build the release preset first" % path)
        # The program reads its settings beside its executable: a copy of its own.
        self.app_dir = os.path.join(workdir, "app")
        os.makedirs(self.app_dir)
        self.program = os.path.join(self.app_dir, "pallador")
        shutil.copy2(program, self.program)
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            self.env.pop(name, None)
        # Readable by the unprivileged run; its settings are not written back then.
        os.chmod(workdir, 0o755)
        os.chmod(self.app_dir, 0o755)
        self.env["XDG_RUNTIME_DIR"] = os.path.join(workdir, "xdg")
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        self.write_settings(16)

    def write_settings(self, active_outputs):
        with open(os.path.join(self.app_dir, "config_unibridge.xml"), "w") as f:
            f.write(settings_xml(active_outputs))


def wait_bound(lab, namespace, address, timeout_s=5.0):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if address in lab.ns(namespace, "ss", "-Hnlu").stdout:
            return True
        time.sleep(0.02)
    return False


def proc_cpu_ns(pid):
    """Time on CPU of every thread of a process (ns), from schedstat."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


def proc_memory_kb(pid):
    values = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0])
    return values


# -- micro-benchmarks ------------------------------------------------------

def run_benchmark(lab, tools, name, extra):
    path = os.path.join(tools.bench, name)
    if not os.access(path, os.X_OK):
        return None
    # In the bridge namespace: its loopback is its own, so the loopback
    # benchmarks meet no one else's sockets.
    out = lab.ns(lab.bridge, path, "--benchmark_format=json", *extra, check=False)
    try:
        return json.loads(out.stdout)["benchmarks"]
    except (ValueError, KeyError):
        log("%s failed: %s" % (name, out.stderr.strip()[-300:]))
        return None


def benchmark_value(results, run_name, key, aggregate="median"):
    for entry in results or []:
        name = entry.get("run_name", entry.get("name", ""))
        if name.startswith(run_name) and entry.get("aggregate_name", aggregate) == aggregate:
            if key in entry:
                return entry[key]
    return None


def micro_benchmarks(lab, tools, d):
    reps = "--benchmark_repetitions=%d" % d.reps
    common = [reps, "--benchmark_report_aggregates_only=true"]
    log("micro-benchmarks")
    codec = run_benchmark(lab, tools, "codec_bench", common + ["--benchmark_min_time=0.1"])
    ports = run_benchmark(lab, tools, "ports_bench", common + ["--benchmark_min_time=0.1"])
    handoff = run_benchmark(lab, tools, "handoff_bench", common)
    udp = run_benchmark(lab, tools, "udp_bench", ["--benchmark_report_aggregates_only=true"])
    return {
        "decode_ns": benchmark_value(codec, "BM_DecodeArtDmx530", "real_time"),
        "encode_ns": benchmark_value(codec, "BM_EncodeArtDmx512", "real_time"),
        "input_allocs": benchmark_value(ports, "BM_InputReceivesArtDmx", "allocs/op"),
        "input_ns": benchmark_value(ports, "BM_InputReceivesArtDmx", "real_time"),
        "tick_allocs": benchmark_value(ports, "BM_TransmitTickOf16Outputs", "allocs/tick"),
        "tick_us": benchmark_value(ports, "BM_TransmitTickOf16Outputs", "real_time"),
        "sync_event_loop_us": benchmark_value(handoff, "BM_Synchronize_MainInEventLoop",
                                              "median_us"),
        "sync_wait_for_us": benchmark_value(handoff, "BM_Synchronize_MainInWaitFor", "median_us"),
        "timer_late_p99_ms": benchmark_value(handoff, "BM_PeriodicTimer_75ms", "late_p99_ms"),
        "timer_drift_ms": benchmark_value(handoff, "BM_PeriodicTimer_75ms", "drift_ms"),
        "handoff_ratio_event_loop": benchmark_value(udp, "BM_HandOffVsBareReceive/0", "ratio"),
        "handoff_ratio_wait_for": benchmark_value(udp, "BM_HandOffVsBareReceive/1", "ratio"),
        "handoff_per_s": benchmark_value(udp, "BM_HandOffVsBareReceive/0", "handoff_per_s"),
        "bare_per_s": benchmark_value(udp, "BM_HandOffVsBareReceive/0", "bare_per_s"),
        "stop_server_us": benchmark_value(udp, "BM_StopServer", "real_time"),
    }


# -- input capacity --------------------------------------------------------

class Receiver:
    """What a flood is aimed at: a bare loop (bridge, 2.0.0.11), the program
    (bridge, 2.0.0.10) or olad (peer namespace, 3.0.0.10). All three stay up
    for a repetition; only one is flooded at a time."""

    def __init__(self, lab, tools, kind, workdir):
        self.lab = lab
        self.kind = kind
        self.processes = []
        if kind == "bare":
            self.source, self.target = CONSOLE_IP, BARE_IP
            p = lab.start("bare", lab.bridge, [tools.load, "bare", "--bind", BARE_IP,
                                                "--seconds", "400"])
            p.expect(lambda m: m.get("ready"), 10, "ready")
            self.processes.append(p)
        elif kind == "app":
            self.source, self.target = CONSOLE_IP, BRIDGE_IN_IP
            self.processes.append(lab.start("node-sink", lab.node, [
                tools.load, "bare", "--bind", NODE_IP, "--seconds", "400"]))
            self.processes.append(lab.start("pallador", lab.bridge, [tools.program],
                                            env=tools.env))
            if not wait_bound(lab, lab.bridge, BRIDGE_IN_IP + ":6454"):
                raise AssertionError("the program did not bind its input")
        else:
            self.source, self.target = PEER_CONSOLE_IP, PEER_IP
            self.processes.append(start_olad(lab, workdir))
            patch = lab.start("ola-patch", lab.peer, [
                SYSTEM_PYTHON, os.path.join(HERE, "ola_patch.py")] + [str(u) for u in OLA_UNIVERSES])
            answer = patch.expect(lambda m: True, 30, "patch result")
            patch.wait(5)
            if "patched" not in answer:
                raise AssertionError("olad: %s" % answer.get("error"))

    def handled(self):
        """Datagrams handled so far: read by a process of the bridge namespace
        (its UDP InDatagrams), or for olad the frames its patched universes counted."""
        if self.kind == "olad":
            return sum(olad_frames(self.lab).get(u, 0) for u in OLA_UNIVERSES)
        return self.lab.udp_counters(self.lab.bridge)["InDatagrams"]

    def expected(self, sent):
        if self.kind != "olad":
            return sent
        # The flood cycles through 32 universes from 0: universe u gets ceil((sent - u) / 32).
        return sum(max(0, -(-(sent - u) // 32)) for u in OLA_UNIVERSES)

    def close(self):
        for p in reversed(self.processes):
            p.stop()


def start_olad(lab, workdir):
    config = os.path.join(workdir, "olad-%d" % len(lab.processes))
    os.makedirs(config)
    for plugin in OLA_PLUGINS:
        with open(os.path.join(config, "ola-%s.conf" % plugin), "w") as f:
            f.write("enabled = %s\n" % ("true" if plugin == "artnet" else "false"))
    with open(os.path.join(config, "ola-artnet.conf"), "a") as f:
        f.write("ip = %s\nalways_broadcast = false\nnet = 0\nsubnet = 0\n" % PEER_IP)
    olad = pwd.getpwnam("olad")
    for path in [config] + [os.path.join(config, f) for f in os.listdir(config)]:
        os.chown(path, olad.pw_uid, olad.pw_gid)
    os.chmod(workdir, 0o755)
    # olad refuses root. Its HTTP server stays inside the peer namespace, for its counters.
    return lab.start("olad", lab.peer, [
        "setpriv", "--pdeathsig", "KILL", "--reuid=olad", "--regid=nogroup", "--clear-groups",
        "olad", "-c", config, "-p", str(OLA_HTTP_PORT), "--no-register-with-dns-sd", "-l", "2"])


def olad_frames(lab):
    """olad's own count of DMX frames per universe (its export variable
    universe-dmx-frames, from its /debug page)."""
    script = ("import urllib.request;print(urllib.request.urlopen("
              "'http://127.0.0.1:%d/debug', timeout=5).read().decode())" % OLA_HTTP_PORT)
    text = lab.ns(lab.peer, SYSTEM_PYTHON, "-c", script).stdout
    for line in text.splitlines():
        if line.startswith("universe-dmx-frames:"):
            pairs = line.split("universe", 2)[-1].split()
            return {int(k): int(v) for k, v in (p.split(":") for p in pairs)}
    return {}


def flood(lab, tools, rate, seconds, source=CONSOLE_IP, target=BRIDGE_IN_IP):
    p = lab.start("flood", lab.console, [
        tools.load, "flood", "--from", source, "--to", target, "--rate", "%.0f" % rate,
        "--seconds", str(seconds), "--universes", FLOOD_UNIVERSES])
    result = p.expect(lambda m: "sent" in m, seconds + 15, "flood result")
    p.wait(5)
    return result


def trial(lab, tools, receiver, rate, seconds):
    before = receiver.handled()
    sent = flood(lab, tools, rate, seconds, receiver.source, receiver.target)
    # Let the receiver drain its queue: wait until its count stops moving.
    count = receiver.handled()
    deadline = time.monotonic() + 5.0
    while time.monotonic() < deadline:
        time.sleep(0.15)
        now = receiver.handled()
        if now == count:
            break
        count = now
    expected = receiver.expected(sent["sent"])
    handled = count - before
    loss = max(0.0, 1.0 - handled / expected) if expected else 1.0
    offered = sent["sent"] / sent["seconds"]
    return {"rate": rate, "offered": offered, "sent": sent["sent"], "expected": expected,
            "handled": handled, "loss": loss}


class Search:
    """The highest offered rate with loss under 0.1 %: a saturating flood first
    (as fast as the sender goes), then rates around what the receiver handled,
    rising and falling until the bracket is within about 8 %."""

    MAX_TRIALS = 8

    def __init__(self, trial_s):
        self.trial_s = trial_s
        self.trials = []
        self.lo = None
        self.hi = None
        self.saturated = None
        self.next_rate = 0.0
        self.sender_limited = False
        self.done = False

    def record(self, t):
        self.trials.append(t)
        lossless = t["loss"] < LOSS_LIMIT
        if t["rate"] == 0:
            self.saturated = t["offered"]
            if lossless:
                self.lo, self.sender_limited, self.done = t["offered"], True, True
                return
            self.hi = t["offered"]
            self.next_rate = t["handled"] / self.trial_s * 0.9
            return
        if lossless:
            self.lo = max(self.lo or 0.0, t["offered"])
        else:
            self.hi = min(self.hi, t["offered"])
        if len(self.trials) >= self.MAX_TRIALS:
            self.done = True
        elif self.lo is None:
            self.next_rate = t["rate"] * 0.75
        elif self.hi / self.lo <= 1.08:
            self.done = True
        elif self.hi >= self.saturated:
            self.next_rate = self.lo * 1.2
        else:
            self.next_rate = math.sqrt(self.lo * self.hi)

    def result(self):
        return {"lossless": self.lo or 0.0, "sender_limited": self.sender_limited,
                "trials": self.trials}


def input_capacity(lab, tools, workdir, d, with_olad):
    """Per repetition, the three searches advance in turn, one trial each, so
    that a burst of load from elsewhere on the machine falls on all of them."""
    kinds = ["bare", "app"] + (["olad"] if with_olad else [])
    reps = []
    for rep in range(d.reps):
        receivers = {}
        try:
            for kind in kinds:
                receivers[kind] = Receiver(lab, tools, kind, workdir)
            time.sleep(0.3)
            searches = {kind: Search(d.trial_s) for kind in kinds}
            while not all(s.done for s in searches.values()):
                for kind in kinds:
                    search = searches[kind]
                    if search.done:
                        continue
                    t = trial(lab, tools, receivers[kind], search.next_rate, d.trial_s)
                    # A loss can come from a burst of someone else's work: a
                    # rate counts as lossy only when a second try loses too.
                    if t["rate"] > 0 and t["loss"] >= LOSS_LIMIT:
                        again = trial(lab, tools, receivers[kind], search.next_rate, d.trial_s)
                        t = min(t, again, key=lambda x: x["loss"])
                        t["tries"] = 2
                    search.record(t)
        finally:
            for receiver in receivers.values():
                receiver.close()
        row = {kind: searches[kind].result() for kind in kinds}
        log("capacity %d/%d: %s" % (rep + 1, d.reps, ", ".join(
            "%s %.0f/s%s" % (kind, row[kind]["lossless"],
                             " (the sender's limit)" if row[kind]["sender_limited"] else "")
            for kind in kinds)))
        reps.append(row)
    return reps


# -- transmit clock, latency, CPU and memory -------------------------------

def bridge_run(lab, tools, workdir, name, seconds, busy=False, console=False, user=None):
    """The program with 16 outputs for `seconds` after a short warm-up, a sink
    at the node recording every datagram; optionally a spinning process (the
    other core busy), a console at 16 x 44 ArtDmx/s with changing levels, or
    the program run as an unprivileged user (its clock thread then keeps
    normal priority, as on a desktop without a real-time allowance)."""
    records_path = os.path.join(workdir, name + "-node.txt")
    changes_path = os.path.join(workdir, name + "-console.txt")
    warmup = 1.5
    sink = lab.start("sink-" + name, lab.node, [
        tools.load, "sink", "--bind", NODE_IP, "--out", records_path,
        "--seconds", str(seconds + warmup + 10)])
    sink.expect(lambda m: m.get("ready"), 10, "ready")
    command = [tools.program]
    if user:
        command = ["setpriv", "--reuid=" + user, "--regid=nogroup", "--clear-groups",
                   "--inh-caps=-all", "--bounding-set=-all"] + command
    app = lab.start("pallador-" + name, lab.bridge, command, env=tools.env)
    if not wait_bound(lab, lab.bridge, BRIDGE_IN_IP + ":6454"):
        raise AssertionError("the program did not bind its input")
    extra = []
    if console:
        extra.append(lab.start("console-" + name, lab.console, [
            tools.load, "console", "--from", CONSOLE_IP, "--to", BRIDGE_IN_IP,
            "--universes", "0-15", "--hz", "44", "--seconds", str(seconds + warmup + 0.5),
            "--log", changes_path]))
    time.sleep(warmup)
    if busy:
        extra.append(lab.start("spin", None, [tools.load, "spin", "--seconds", str(seconds + 2)]))
    start_ns = time.monotonic_ns()
    cpu_before = proc_cpu_ns(app.pid)
    rss = []
    while time.monotonic_ns() - start_ns < seconds * 1e9:
        time.sleep(1.0)
        rss.append(proc_memory_kb(app.pid)["VmRSS"])
    end_ns = time.monotonic_ns()
    cpu = (proc_cpu_ns(app.pid) - cpu_before) / (end_ns - start_ns)
    memory = proc_memory_kb(app.pid)
    for p in extra:
        if p.name.startswith("spin"):
            p.stop()
    for p in extra:
        p.wait(10)
    app_exit = app.stop()
    sink.stop()
    sink.expect(lambda m: "received" in m, 10, "sink result")
    records = perfstats.read_records(records_path)
    result = {
        "clock": perfstats.transmit_clock(records, start_ns, end_ns),
        "cpu_fraction": cpu,
        "rss_kb": memory["VmRSS"],
        "hwm_kb": memory["VmHWM"],
        "rss_series_kb": rss,
        "exit": app_exit,
        "seconds": (end_ns - start_ns) / 1e9,
    }
    if console:
        changes = [c for c in perfstats.read_changes(changes_path) if start_ns <= c[2] <= end_ns]
        result["latency"] = perfstats.forwarding_latency(changes, records)
    return result


# -- responsiveness under flood --------------------------------------------

def responsiveness(lab, tools, rate, d):
    node = lab.start("node-sink", lab.node, [tools.load, "bare", "--bind", NODE_IP,
                                              "--seconds", str(d.window_s + 30)])
    window = lab.start("perf-window", lab.bridge, [
        tools.window, "--dir", tools.app_dir, "--seconds", str(d.window_s),
        "--reconnect-at", str(d.window_s / 2)], env=dict(tools.env, QT_QPA_PLATFORM="offscreen"))
    window.expect(lambda m: m.get("ready"), 20, "window ready")
    before = lab.udp_counters(lab.bridge)["InDatagrams"]
    sent = flood(lab, tools, rate, d.window_s + 0.5)
    result = window.expect(lambda m: "refresh_ms" in m, 30, "window result")
    window.wait(10)
    handled = lab.udp_counters(lab.bridge)["InDatagrams"] - before
    node.stop()
    refreshes = result["refresh_ms"]
    intervals = [b - a for a, b in zip(refreshes, refreshes[1:])]
    result.update({
        "rate": rate,
        "offered": sent["sent"] / sent["seconds"],
        "loss": max(0.0, 1 - handled / sent["sent"]) if sent["sent"] else 1.0,
        "intervals_ms": intervals,
        "worst_deviation_ms": max((abs(i - 1000.0) for i in intervals), default=None),
        "exit": window.popen.returncode,
    })
    return result


# -- start and stop ----------------------------------------------------------

def start_stop(lab, tools, workdir, d):
    p = lab.start("startstop", None, [
        tools.load, "startstop", "--bridge-ns", lab.bridge, "--node-ns", lab.node,
        "--node-ip", NODE_IP, "--program", tools.program, "--runs", str(d.start_runs),
        "--log", os.path.join(workdir, "startstop-program.log")], env=tools.env)
    runs = [p.expect(lambda m: "run" in m, 30, "run %d" % i) for i in range(d.start_runs)]
    p.wait(10)
    return runs


# -- main --------------------------------------------------------------------

def machine():
    def first(path, key):
        try:
            with open(path) as f:
                for line in f:
                    if line.startswith(key):
                        return line.split(":", 1)[1].strip()
        except OSError:
            pass
        return "?"

    try:
        with open("/etc/debian_version") as f:
            debian = f.read().strip()
    except OSError:
        debian = "?"
    commit = subprocess.run(["git", "-C", ROOT, "describe", "--always", "--dirty"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return {
        "cpu": first("/proc/cpuinfo", "model name"),
        "cores": os.cpu_count(),
        "memory": first("/proc/meminfo", "MemTotal"),
        "kernel": platform.release(),
        "debian": debian,
        "load": os.getloadavg(),
        "commit": commit.stdout.strip() or "?",
        "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--docs", default=os.path.join(ROOT, "docs"))
    parser.add_argument("--full", action="store_true",
                        help="60 s clock and load runs, longer floods, 5 repetitions")
    parser.add_argument("--smoke", action="store_true",
                        help="every step once and briefly, to check the tools (no docs)")
    parser.add_argument("--no-olad", action="store_true", help="skip the comparison with olad")
    parser.add_argument("--no-docs", action="store_true", help="print the table only")
    parser.add_argument("--from-results", metavar="JSON",
                        help="write the table and docs from an earlier run's results.json")
    args = parser.parse_args()
    if args.from_results:
        with open(args.from_results) as f:
            results = json.load(f)
        report(results, args)
        return
    if os.geteuid() != 0:
        raise SystemExit("perf: run as root (it makes network namespaces): scripts/perf.sh")

    d = Durations(args.full, args.smoke)
    if args.smoke:
        args.no_docs = True
    with_olad = not args.no_olad and shutil.which("olad") is not None
    if not args.no_olad and not with_olad:
        log("olad is not installed: the comparison with the peer is skipped")
    info = machine()
    started = time.monotonic()
    workdir = tempfile.mkdtemp(prefix="pallador-perf-")
    results = {"machine": info, "full": args.full}
    perflab.Lab.remove_stale()
    lab = perflab.Lab(workdir)
    try:
        lab.up()
        tools = Tools(os.path.abspath(args.build), workdir)
        results["micro"] = {} if args.smoke else micro_benchmarks(lab, tools, d)
        log("input capacity (%d repetitions)" % d.reps)
        results["capacity"] = input_capacity(lab, tools, workdir, d, with_olad)
        log("transmit clock, idle (%.0f s)" % d.clock_s)
        results["idle"] = bridge_run(lab, tools, workdir, "idle", d.clock_s)
        log("transmit clock, the other core busy (%.0f s)" % d.clock_s)
        results["busy"] = bridge_run(lab, tools, workdir, "busy", d.clock_s, busy=True)
        log("transmit clock, the other core busy, program without privileges (%.0f s)" % d.clock_s)
        results["busy_user"] = bridge_run(lab, tools, workdir, "busy-user", d.clock_s, busy=True,
                                          user="nobody")
        log("704 ArtDmx/s from a console (%.0f s)" % d.steady_s)
        results["steady"] = bridge_run(lab, tools, workdir, "steady", d.steady_s, console=True)
        rate = perfstats.median(r["app"]["lossless"] for r in results["capacity"]) or 10000.0
        log("responsiveness under a flood of %.0f ArtDmx/s" % rate)
        results["window"] = responsiveness(lab, tools, rate, d)
        log("start and stop (%d runs)" % d.start_runs)
        results["startstop"] = start_stop(lab, tools, workdir, d)
    finally:
        lab.down()
    results["seconds"] = time.monotonic() - started
    with open(os.path.join(workdir, "results.json"), "w") as f:
        json.dump(results, f, indent=1, default=str)

    report(results, args)
    log("took %.0f s; raw results in %s" % (results["seconds"], workdir))


def report(results, args):
    rows = perfreport.table(results)
    print()
    print(perfreport.text_table(rows))
    print()
    if not args.no_docs:
        os.makedirs(args.docs, exist_ok=True)
        perfreport.write_docs(results, rows, args.docs, "scripts/perf.sh" + (
            " --full" if results.get("full") else ""))
        log("wrote %s" % os.path.join(args.docs, "PERFORMANCE.md"))


if __name__ == "__main__":
    main()
