"""Three network namespaces joined by veth pairs, and the processes run in them.

  console  vc0 2.0.0.1/8      <==>  vb0 2.0.0.10/8        bridge
                                    vb1 192.168.0.10/24  <==>  vn1 192.168.0.30/24  node

The namespaces' names carry a per-run prefix; the links are made inside them,
so their names never meet the host's. Teardown stops every process started in
a namespace by its PID before it deletes the namespaces, on success and on
failure alike; deleting a namespace removes its veth ends with it.
"""

import ctypes
import os
import re
import signal
import subprocess
import time

PR_SET_PDEATHSIG = 1
NAME_PREFIX = "plnt"

CONSOLE_IP = "2.0.0.1"
BRIDGE_IN_IP = "2.0.0.10"
BRIDGE_OUT_IP = "192.168.0.10"
NODE_IP = "192.168.0.30"


class SetupError(Exception):
    """The test bed cannot be built here (no privileges, no namespaces)."""


def run(*args, check=True):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if check and result.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(args), result.stderr.strip()))
    return result


def _die_with_parent():
    # A driver killed outright must not leave daemons behind in the namespaces.
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def kill_all(namespace):
    """Kills, by PID, the processes left in a namespace that this test made."""
    for pid in run("ip", "netns", "pids", namespace, check=False).stdout.split():
        try:
            os.kill(int(pid), signal.SIGKILL)
        except ProcessLookupError:
            pass


def wait_for(predicate, timeout_s, what, interval_s=0.02):
    deadline = time.monotonic() + timeout_s
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (timeout_s, what))
        time.sleep(interval_s)


class Process:
    def __init__(self, name, namespace, args, log_path, stdin=None, stdout=None, env=None):
        self.name = name
        self.namespace = namespace
        self.log_path = log_path
        self.log = open(log_path, "wb")
        self.popen = subprocess.Popen(
            ["ip", "netns", "exec", namespace] + list(args),
            stdin=stdin, stdout=stdout if stdout is not None else self.log,
            stderr=self.log, env=env, preexec_fn=_die_with_parent)
        self.pid = self.popen.pid

    def running(self):
        return self.popen.poll() is None

    def stop(self, sig=signal.SIGTERM, timeout_s=10.0):
        """Signals the process by its PID; returns its exit status."""
        if self.popen.poll() is None:
            os.kill(self.pid, sig)
            try:
                self.popen.wait(timeout=timeout_s)
            except subprocess.TimeoutExpired:
                os.kill(self.pid, signal.SIGKILL)
                self.popen.wait()
        self.log.close()
        return self.popen.returncode

    def log_text(self):
        if not self.log.closed:
            self.log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")


class Topology:
    def __init__(self, workdir):
        self.prefix = "%s%d" % (NAME_PREFIX, os.getpid())
        self.console = self.prefix + "c"
        self.bridge = self.prefix + "b"
        self.node = self.prefix + "n"
        self.workdir = workdir
        self.processes = []
        self.made = []

    # Namespaces left by a run that was killed before its teardown: only ours, and
    # only when the run that made them is gone.
    @staticmethod
    def remove_stale():
        for line in run("ip", "netns", "list", check=False).stdout.splitlines():
            name = line.split()[0] if line.split() else ""
            m = re.fullmatch(NAME_PREFIX + r"(\d+)[cbn]", name)
            if m and not os.path.exists("/proc/" + m.group(1)):
                kill_all(name)
                run("ip", "netns", "del", name, check=False)

    def up(self):
        if os.geteuid() != 0:
            raise SetupError("needs root to create network namespaces")
        for ns in (self.console, self.bridge, self.node):
            result = run("ip", "netns", "add", ns, check=False)
            if result.returncode != 0:
                raise SetupError("cannot create a network namespace: " + result.stderr.strip())
            self.made.append(ns)
            self.ns(ns, "ip", "link", "set", "lo", "up")
            # Keeps the links quiet: no IPv6 router or listener traffic in the captures.
            self.ns(ns, "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1")
            self.ns(ns, "sysctl", "-qw", "net.ipv6.conf.default.disable_ipv6=1")
        for ours, theirs, peer in (("vb0", "vc0", self.console), ("vb1", "vn1", self.node)):
            result = run("ip", "link", "add", ours, "netns", self.bridge, "type", "veth",
                         "peer", "name", theirs, "netns", peer, check=False)
            if result.returncode != 0:
                raise SetupError("cannot create a veth pair: " + result.stderr.strip())
        for ns, dev in ((self.console, "vc0"), (self.bridge, "vb0"), (self.bridge, "vb1"),
                        (self.node, "vn1")):
            self.ns(ns, "ip", "link", "set", dev, "up")
        self.set_console_broadcast("+")
        self.ns(self.bridge, "ip", "addr", "add", BRIDGE_IN_IP + "/8", "broadcast", "+", "dev", "vb0")
        self.ns(self.bridge, "ip", "addr", "add", BRIDGE_OUT_IP + "/24", "broadcast", "+",
                "dev", "vb1")
        self.ns(self.node, "ip", "addr", "add", NODE_IP + "/24", "broadcast", "+", "dev", "vn1")
        # The bridge's gateway is on the console side, as at a show: traffic that
        # escapes its own interface would show up on the console's network.
        self.ns(self.bridge, "ip", "route", "add", "default", "via", CONSOLE_IP, "dev", "vb0")

    def ns(self, namespace, *args, check=True):
        return run("ip", "netns", "exec", namespace, *args, check=check)

    def set_console_broadcast(self, broadcast):
        """The console's address with the given broadcast address ("+" for 2.255.255.255)."""
        self.ns(self.console, "ip", "addr", "flush", "dev", "vc0")
        self.ns(self.console, "ip", "addr", "add", CONSOLE_IP + "/8", "broadcast", broadcast,
                "dev", "vc0")
        # A limited broadcast needs a route; the console's network is its only one.
        self.ns(self.console, "ip", "route", "replace", "default", "dev", "vc0")

    def set_link(self, namespace, dev, state):
        self.ns(namespace, "ip", "link", "set", dev, state)

    def start(self, name, namespace, args, **kwargs):
        process = Process(name, namespace, args, os.path.join(self.workdir, name + ".log"),
                          **kwargs)
        self.processes.append(process)
        return process

    def bound_udp(self, namespace, port=6454):
        """Local "address:port" texts of the UDP sockets bound to the port in a namespace."""
        out = self.ns(namespace, "ss", "-Hnlu", "sport = :%d" % port).stdout
        return {line.split()[3] for line in out.splitlines() if len(line.split()) > 3}

    def down(self):
        for process in reversed(self.processes):
            process.stop()
        for ns in self.made:
            # Nothing may outlive its namespace; anything left here was started by this run.
            kill_all(ns)
        for ns in reversed(self.made):
            run("ip", "netns", "del", ns, check=False)
        self.made = []
