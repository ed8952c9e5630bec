"""The third-party peers: olad with its Art-Net plugin, and dumpcap/tshark."""

import json
import os
import pwd
import queue
import shutil
import subprocess
import threading
import time

from topology import wait_for

HERE = os.path.dirname(os.path.abspath(__file__))
# Debian's interpreter carries the ola module; a python3 earlier on PATH may not.
SYSTEM_PYTHON = "/usr/bin/python3"

# Every plugin olad 0.10 knows; all but Art-Net stay off, so that no plugin
# probes serial ports, USB or GPIO of the host from inside a namespace.
OLA_PLUGINS = ("artnet", "dummy", "e131", "espnet", "ftdidmx", "gpio", "karate", "kinet",
               "milinst", "opendmx", "openpixelcontrol", "osc", "pathport", "renard", "sandnet",
               "shownet", "spi", "stageprofi", "uartdmx", "usbdmx", "usbserial")


def missing_tools():
    missing = [tool for tool in ("olad", "dumpcap", "tshark", "setpriv", "ss")
               if shutil.which(tool) is None]
    try:
        pwd.getpwnam("olad")
    except KeyError:
        missing.append("user olad")
    probe = subprocess.run([SYSTEM_PYTHON, "-c", "import ola.ClientWrapper"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if probe.returncode != 0:
        missing.append("ola-python")
    return missing


class Olad:
    """olad as the olad user (it refuses root), its own config, Art-Net only."""

    def __init__(self, topology, name, namespace, ip, always_broadcast, limited_broadcast=False):
        self.config = os.path.join(topology.workdir, name + "-config")
        os.makedirs(self.config, exist_ok=True)
        for plugin in OLA_PLUGINS:
            with open(os.path.join(self.config, "ola-%s.conf" % plugin), "w") as f:
                f.write("enabled = %s\n" % ("true" if plugin == "artnet" else "false"))
        with open(os.path.join(self.config, "ola-artnet.conf"), "a") as f:
            f.write("ip = %s\nalways_broadcast = %s\nuse_limited_broadcast = %s\n"
                    "net = 0\nsubnet = 0\n" % (ip, "true" if always_broadcast else "false",
                                               "true" if limited_broadcast else "false"))
        olad = pwd.getpwnam("olad")
        for path in [self.config] + [os.path.join(self.config, f) for f in os.listdir(self.config)]:
            os.chown(path, olad.pw_uid, olad.pw_gid)
        os.chmod(topology.workdir, 0o755)
        # RPC on the default port: each namespace has a loopback of its own.
        self.process = topology.start(
            name, namespace,
            ["setpriv", "--pdeathsig", "KILL", "--reuid=olad", "--regid=nogroup",
             "--clear-groups", "olad", "-c", self.config, "--no-http",
             "--no-register-with-dns-sd", "-l", "3"])

    def stop(self):
        return self.process.stop()


class OlaPeer:
    """One ola_peer.py run inside a namespace, spoken to in JSON lines."""

    def __init__(self, topology, name, namespace):
        self.process = topology.start(
            name, namespace, [SYSTEM_PYTHON, "-u", os.path.join(HERE, "ola_peer.py")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.events = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        ready = self.expect(lambda m: "ready" in m or "error" in m, 20.0, name + " ready")
        if "error" in ready:
            raise AssertionError("%s: %s" % (name, ready["error"]))
        self.ports = ready

    def _read(self):
        for line in self.process.popen.stdout:
            try:
                self.events.put(json.loads(line))
            except ValueError:
                self.events.put({"error": "unreadable line: %r" % line})

    def send(self, command):
        self.process.popen.stdin.write((json.dumps(command) + "\n").encode())
        self.process.popen.stdin.flush()

    def expect(self, predicate, timeout_s, what):
        """The next message that satisfies the predicate; earlier ones go to `skipped`."""
        deadline = time.monotonic() + timeout_s
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("timed out after %.1f s waiting for %s" % (timeout_s, what))
            try:
                message = self.events.get(timeout=left)
            except queue.Empty:
                continue
            if "error" in message and not predicate(message):
                raise AssertionError("%s: %s" % (what, message["error"]))
            if predicate(message):
                return message

    def patch(self, universes, output):
        self.send({"cmd": "patch", "universes": universes, "output": output})
        self.expect(lambda m: "patched" in m, 10.0, "ports patched")

    def set_levels(self, universe, data):
        self.send({"cmd": "send", "universe": universe, "data": data.hex()})
        return self.expect(lambda m: m.get("sent") == universe, 5.0, "levels sent")["t"]

    def stop(self):
        if self.process.running():
            try:
                self.send({"cmd": "quit"})
                self.process.popen.wait(timeout=3)
            except (OSError, subprocess.TimeoutExpired):
                pass
        return self.process.stop()


class Capture:
    """dumpcap on one interface of a namespace, written to a pcap file."""

    def __init__(self, topology, name, namespace, dev):
        self.path = os.path.join(topology.workdir, name + ".pcap")
        # Capture timestamps come from the wall clock, which may be slewed (seen here:
        # 0.5 % fast); the monotonic clock alongside lets periods be measured on it.
        self.clocks = [(time.time(), time.monotonic())]
        self.process = topology.start(name, namespace,
                                      ["dumpcap", "-q", "-P", "-i", dev, "-w", self.path])
        wait_for(lambda: "Capturing on" in self.process.log_text() or not self.process.running(),
                 10.0, name + " to start")
        if not self.process.running():
            raise AssertionError("%s failed: %s" % (name, self.process.log_text()))

    def stop(self):
        self.process.stop(timeout_s=5.0)
        self.clocks.append((time.time(), time.monotonic()))
        return self.path

    def wall_per_mono(self):
        """How fast the wall clock ran against the monotonic clock during the capture."""
        (w0, m0), (w1, m1) = self.clocks[0], self.clocks[-1]
        return (w1 - w0) / (m1 - m0) if m1 > m0 else 1.0


def dissect(pcap, fields, display_filter=""):
    """One dict per packet of the capture, with the given tshark fields (texts)."""
    args = ["tshark", "-r", pcap, "-T", "fields", "-E", "separator=/t", "-E", "occurrence=f"]
    if display_filter:
        args += ["-Y", display_filter]
    for field in fields:
        args += ["-e", field]
    out = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         check=True).stdout
    rows = []
    for line in out.splitlines():
        values = line.split("\t")
        values += [""] * (len(fields) - len(values))
        rows.append(dict(zip(fields, values)))
    return rows
