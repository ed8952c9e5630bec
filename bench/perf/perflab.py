"""The performance run's test bed: three network namespaces joined by veth pairs,
and the processes started in them.

  console  vc0 2.0.0.1/8  <==>  vb0 2.0.0.10/8 (+ 2.0.0.11/8)  bridge
                                vb1 192.168.0.10/24  <==>  vn1 192.168.0.30/24  node
           vc1 3.0.0.1/8  <==>  vp0 3.0.0.10/8  peer (olad)

Names carry a per-run prefix. Teardown stops every process started here by its
PID, then deletes the namespaces (their veth ends go with them). No traffic
leaves these namespaces.
"""

import ctypes
import json
import os
import queue
import re
import signal
import subprocess
import threading
import time

PREFIX = "plpf"
CONSOLE_IP = "2.0.0.1"
BRIDGE_IN_IP = "2.0.0.10"
BARE_IP = "2.0.0.11"
PEER_CONSOLE_IP = "3.0.0.1"
PEER_IP = "3.0.0.10"
BRIDGE_OUT_IP = "192.168.0.10"
NODE_IP = "192.168.0.30"
PR_SET_PDEATHSIG = 1


class SetupError(Exception):
    """The test bed cannot be built here."""


def run(*args, check=True):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if check and result.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(args), result.stderr.strip()))
    return result


def _die_with_parent():
    # A driver killed outright must not leave load running in the namespaces.
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class Proc:
    """One process in a namespace; its stdout is read as JSON lines."""

    def __init__(self, name, namespace, args, log_path, env=None):
        self.name = name
        self.log = open(log_path, "wb")
        self.log_path = log_path
        command = list(args) if namespace is None else ["ip", "netns", "exec", namespace] + list(args)
        self.popen = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=self.log, env=env, preexec_fn=_die_with_parent)
        self.pid = self.popen.pid
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.popen.stdout:
            text = raw.decode(errors="replace").strip()
            try:
                self.lines.put(json.loads(text))
            except ValueError:
                self.log.write(raw)
        self.lines.put(None)

    def expect(self, predicate, timeout_s, what):
        deadline = time.monotonic() + timeout_s
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("%s: no %s within %.1f s (%s)" % (
                    self.name, what, timeout_s, self.log_tail()))
            try:
                message = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if message is None:
                raise AssertionError("%s ended before %s (%s)" % (self.name, what, self.log_tail()))
            if predicate(message):
                return message

    def running(self):
        return self.popen.poll() is None

    def wait(self, timeout_s):
        try:
            return self.popen.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, sig=signal.SIGTERM, timeout_s=10.0):
        """Signals the process by its PID and waits for it; SIGKILL after the timeout."""
        if self.popen.poll() is None:
            os.kill(self.pid, sig)
            if self.wait(timeout_s) is None:
                os.kill(self.pid, signal.SIGKILL)
                self.popen.wait()
        if not self.log.closed:
            self.log.close()
        return self.popen.returncode

    def log_tail(self, size=600):
        if not self.log.closed:
            self.log.flush()
        with open(self.log_path, "rb") as f:
            text = f.read().decode(errors="replace")
        return text[-size:].strip() or "no output"


class Lab:
    def __init__(self, workdir):
        self.prefix = "%s%d" % (PREFIX, os.getpid())
        self.console = self.prefix + "c"
        self.bridge = self.prefix + "b"
        self.node = self.prefix + "n"
        self.peer = self.prefix + "p"
        self.workdir = workdir
        self.processes = []
        self.made = []

    @staticmethod
    def remove_stale():
        """Namespaces of an earlier run that was killed before its teardown (only ours,
        only when the run that made them is gone)."""
        for line in run("ip", "netns", "list", check=False).stdout.splitlines():
            name = line.split()[0] if line.split() else ""
            m = re.fullmatch(PREFIX + r"(\d+)[cbnp]", name)
            if m and not os.path.exists("/proc/" + m.group(1)):
                for pid in run("ip", "netns", "pids", name, check=False).stdout.split():
                    try:
                        os.kill(int(pid), signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                run("ip", "netns", "del", name, check=False)

    def up(self):
        if os.geteuid() != 0:
            raise SetupError("needs root to create network namespaces")
        for ns in (self.console, self.bridge, self.node, self.peer):
            result = run("ip", "netns", "add", ns, check=False)
            if result.returncode != 0:
                raise SetupError("cannot create a network namespace: " + result.stderr.strip())
            self.made.append(ns)
            self.ns(ns, "ip", "link", "set", "lo", "up")
            self.ns(ns, "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1")
            self.ns(ns, "sysctl", "-qw", "net.ipv6.conf.default.disable_ipv6=1")
        run("ip", "link", "add", "vb0", "netns", self.bridge, "type", "veth",
            "peer", "name", "vc0", "netns", self.console)
        run("ip", "link", "add", "vb1", "netns", self.bridge, "type", "veth",
            "peer", "name", "vn1", "netns", self.node)
        run("ip", "link", "add", "vp0", "netns", self.peer, "type", "veth",
            "peer", "name", "vc1", "netns", self.console)
        for ns, dev, cidr in ((self.console, "vc0", CONSOLE_IP + "/8"),
                              (self.console, "vc1", PEER_CONSOLE_IP + "/8"),
                              (self.bridge, "vb0", BRIDGE_IN_IP + "/8"),
                              (self.bridge, "vb0", BARE_IP + "/8"),
                              (self.bridge, "vb1", BRIDGE_OUT_IP + "/24"),
                              (self.node, "vn1", NODE_IP + "/24"),
                              (self.peer, "vp0", PEER_IP + "/8")):
            self.ns(ns, "ip", "addr", "add", cidr, "broadcast", "+", "dev", dev)
            self.ns(ns, "ip", "link", "set", dev, "up")
        # The kernel reports a new link as running a little later (up to a
        # second); the program refuses an interface that is not running yet.
        links = ((self.console, "vc0"), (self.console, "vc1"), (self.bridge, "vb0"),
                 (self.bridge, "vb1"), (self.node, "vn1"), (self.peer, "vp0"))
        deadline = time.monotonic() + 5.0
        def running(ns, dev):
            shown = self.ns(ns, "ip", "link", "show", dev).stdout
            return "LOWER_UP" in shown and "state UP" in shown

        while not all(running(ns, dev) for ns, dev in links):
            if time.monotonic() > deadline:
                raise SetupError("the veth links did not come up")
            time.sleep(0.05)

    def ns(self, namespace, *args, check=True):
        return run("ip", "netns", "exec", namespace, *args, check=check)

    def start(self, name, namespace, args, env=None):
        log = os.path.join(self.workdir, "%s-%d.log" % (name, len(self.processes)))
        process = Proc(name, namespace, args, log, env=env)
        self.processes.append(process)
        return process

    def udp_counters(self, namespace):
        """The namespace's UDP counters (InDatagrams counts datagrams read by a process)."""
        lines = [l.split() for l in self.ns(namespace, "cat", "/proc/net/snmp").stdout.splitlines()
                 if l.startswith("Udp:")]
        return dict(zip(lines[0][1:], (int(v) for v in lines[1][1:])))

    def down(self):
        for process in reversed(self.processes):
            try:
                process.stop(timeout_s=5.0)
            except OSError:
                pass
        for ns in self.made:
            for pid in run("ip", "netns", "pids", ns, check=False).stdout.split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except ProcessLookupError:
                    pass
        for ns in reversed(self.made):
            run("ip", "netns", "del", ns, check=False)
        self.made = []
