"""The bridge between two real networks, with third-party Art-Net peers.

Builds three network namespaces (console, bridge, node), runs OLA's olad in the
console and node namespaces, the application in the bridge namespace, and
captures both links. Shows that:
  1. the application runs offscreen with a settings file: input 2.0.0.10,
     outputs from 192.168.0.10 to 192.168.0.30 (one with a wire universe of
     its own), to 255.255.255.255 and to 192.168.0.255;
  2. levels set on the console's OLA reach the node's OLA unchanged, for each
     kind of output, with the console sending unicast, as a directed broadcast
     and as a limited broadcast;
  3. nothing from the bridge appears on the console's network, also while the
     node's link is down, OLA's ArtPoll gets no reply, every datagram at the
     node is a well-formed ArtDmx, the output period is 75 ms without drift,
     and forwarding resumes by itself when the node's link comes back;
  4. the window's status texts for four faults (window_status_probe);
  5. the settings file after SIGTERM holds what the run had.

Needs root; exits with 77 (skipped) where namespaces cannot be made or the
peers are not installed. Usage:
  netns_bridge_test.py --pallador <binary> --probe <window_status_probe> [--keep]
"""

import argparse
import os
import random
import shutil
import signal
import sys
import subprocess
import tempfile
import time
import traceback
import xml.etree.ElementTree as ET

sys.dont_write_bytecode = True  # the source tree stays as checked out
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import peers  # noqa: E402
import wire  # noqa: E402
from topology import (BRIDGE_IN_IP, BRIDGE_OUT_IP, CONSOLE_IP, NODE_IP,  # noqa: E402
                      SetupError, Topology, wait_for)

SKIP = 77
RUN_DEADLINE_S = 150
PERIOD_S = 0.075
MEASURE_S = 20.0

# The active outputs: (row of UniverseTable, wire universe, destination, kind).
# The console sends universe u, which the input stores in row u.
OUTPUTS = (
    (1, 1, NODE_IP, "unicast"),
    (2, 5, NODE_IP, "unicast, wire universe 5 for row 2"),
    (3, 3, "255.255.255.255", "limited broadcast"),
    (4, 4, "192.168.0.255", "directed broadcast"),
)
CONSOLE_UNIVERSES = [row for row, _, _, _ in OUTPUTS]
# How the console addresses its ArtDmx, and where they go.
CONSOLE_MODES = (
    ("unicast", BRIDGE_IN_IP),
    ("directed broadcast", "2.255.255.255"),
    ("limited broadcast", "255.255.255.255"),
)
NODE_UNIVERSES = [wire_universe for _, wire_universe, _, _ in OUTPUTS]


class Deadline(Exception):
    pass


class Checks:
    def __init__(self):
        self.failed = []

    def __call__(self, point, ok, text):
        print("[%s] %s: %s" % ("PASS" if ok else "FAIL", point, text), flush=True)
        if not ok:
            self.failed.append("%s: %s" % (point, text))
        return ok


def levels(universe, generation):
    """512 levels, every value 0..255 twice, different per universe and generation."""
    return bytes((c * 7 + universe * 31 + generation * 101) % 256 for c in range(512))


def settings_xml():
    slots = ['<interface port="%s" destination="" interfacetype="Art-Net Node (INPUT)" '
             'isinput="True" universe="0" universeartnet="0" channelcount="512" '
             'active="False"/>' % BRIDGE_IN_IP]
    active = {row: (wire_universe, destination) for row, wire_universe, destination, _ in OUTPUTS}
    for row in range(16):
        wire_universe, destination = active.get(row, (row, NODE_IP))
        slots.append('<interface port="%s" destination="%s" interfacetype="Art-Net Server '
                     '(OUTPUT)" isinput="False" universe="%d" universeartnet="%d" '
                     'channelcount="512" active="%s"/>'
                     % (BRIDGE_OUT_IP, destination, row, wire_universe,
                        "True" if row in active else "False"))
    # An element of its own beside the slots, which the application keeps.
    return ('<config><interfaces>%s</interfaces><keep note="beside the slots"/></config>'
            % "".join(slots))


def slot_attributes(xml_text):
    root = ET.fromstring(xml_text)
    return root, [dict(e.attrib) for e in root.find("interfaces")]


class NodeLevels:
    """The levels the node's OLA reports, followed until they match."""

    def __init__(self, peer):
        self.peer = peer
        self.latest = {}
        self.seen_at = {}

    def wait(self, expected, timeout_s):
        """Waits until every universe holds its expected levels; returns the
        monotonic time each one first did, or raises with what differs."""
        matched = {}
        deadline = time.monotonic() + timeout_s
        while True:
            for universe, data in expected.items():
                if universe not in matched and self.latest.get(universe) == data:
                    matched[universe] = self.seen_at[universe]
            if len(matched) == len(expected):
                return matched
            try:
                message = self.peer.expect(lambda m: "dmx" in m,
                                           max(0.01, deadline - time.monotonic()), "levels")
            except AssertionError:
                raise AssertionError("node universes never matched: " + "; ".join(
                    self.describe(u, d) for u, d in expected.items() if u not in matched))
            self.latest[message["dmx"]] = bytes.fromhex(message["data"])
            self.seen_at[message["dmx"]] = message["t"]

    def describe(self, universe, expected):
        got = self.latest.get(universe)
        if got is None:
            return "universe %d: no data" % universe
        if len(got) != len(expected):
            return "universe %d: %d channels" % (universe, len(got))
        first = next(i for i in range(len(got)) if got[i] != expected[i])
        return "universe %d: channel %d is %d, expected %d" % (
            universe, first + 1, got[first], expected[first])


class Run:
    def __init__(self, args, topology, checks):
        self.args = args
        self.t = topology
        self.check = checks
        self.figures = {}
        self.generations = []  # (generation, console mode, {universe: monotonic send time})
        self.env = dict(os.environ, QT_QPA_PLATFORM="offscreen",
                        XDG_RUNTIME_DIR=os.path.join(topology.workdir, "xdg"),
                        PALLADOR_NETNS_OUTPUT_DEV="vb1",
                        PALLADOR_NETNS_OUTPUT_CIDR=BRIDGE_OUT_IP + "/24")
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        self.phase = random.Random(6454)

    # -- peers ---------------------------------------------------------------

    def start_console(self, mode):
        # olad 0.10 sends ArtDmx unicast only to nodes that answered its ArtPoll,
        # and the bridge answers none; with always_broadcast it sends to its
        # interface's broadcast address. Giving the console's interface 2.0.0.10
        # as broadcast address makes its ArtDmx arrive addressed to the bridge's
        # input (IP unicast in an Ethernet broadcast frame).
        self.t.set_console_broadcast(BRIDGE_IN_IP if mode == "unicast" else "+")
        name = mode.replace(" ", "-")
        self.console_olad = peers.Olad(self.t, "olad-console-" + name, self.t.console, CONSOLE_IP,
                                       always_broadcast=True,
                                       limited_broadcast=mode == "limited broadcast")
        self.console = peers.OlaPeer(self.t, "ola-console-" + name, self.t.console)
        self.console.patch(CONSOLE_UNIVERSES, output=True)

    def stop_console(self):
        self.console.stop()
        self.console_olad.stop()

    def send_levels(self, generation, mode, point="2", after=""):
        # Changes at random points of the output period, for a fair latency figure.
        time.sleep(self.phase.uniform(0.0, PERIOD_S))
        sent = {u: self.console.set_levels(u, levels(u, generation)) for u in CONSOLE_UNIVERSES}
        self.generations.append((generation, mode, sent))
        expected = {wire_u: levels(row, generation) for row, wire_u, _, _ in OUTPUTS}
        try:
            seen = self.node_levels.wait(expected, 5.0)
        except AssertionError as error:
            self.check(point, False, "levels %d (console %s)%s: %s" % (
                generation, mode, after, error))
            return
        latency = {row: 1000.0 * (seen[wire_u] - sent[row]) for row, wire_u, _, _ in OUTPUTS}
        self.figures.setdefault("ola_latency_ms", []).extend(latency.values())
        self.check(point, True, "levels %d (console %s)%s: all 512 channels of console universes "
                   "%s reached node universes %s unchanged, OLA to OLA in %s ms" % (
                       generation, mode, after, CONSOLE_UNIVERSES, NODE_UNIVERSES,
                       "/".join("%.0f" % v for v in latency.values())))

    # -- the application -----------------------------------------------------

    def start_bridge(self):
        home = os.path.join(self.t.workdir, "bridge")
        os.makedirs(home)
        self.settings_path = os.path.join(home, "config_unibridge.xml")
        with open(self.settings_path, "w") as f:
            f.write(settings_xml())
        binary = os.path.join(home, "pallador")
        shutil.copy2(self.args.pallador, binary)
        self.bridge_started = time.time()
        self.bridge = self.t.start("pallador", self.t.bridge, [binary], env=self.env)
        wanted = {BRIDGE_IN_IP + ":6454", BRIDGE_OUT_IP + ":6454"}
        wait_for(lambda: wanted <= self.t.bound_udp(self.t.bridge) or not self.bridge.running(),
                 20.0, "the application to bind its sockets")
        bound = self.t.bound_udp(self.t.bridge)
        if not self.check("1", self.bridge.running() and wanted <= bound,
                          "application runs offscreen in the bridge namespace, bound to %s"
                          % ", ".join(sorted(bound))):
            raise AssertionError("the application did not start: " + self.bridge.log_text()[-2000:])

    def stop_bridge(self):
        status = self.bridge.stop(signal.SIGTERM, timeout_s=20.0)
        self.bridge_stopped = time.time()
        self.check("5", status == 0, "application ended on SIGTERM with exit status %s" % status)
        if status != 0:
            print(self.bridge.log_text()[-4000:])
        with open(self.settings_path) as f:
            saved_text = f.read()
        saved_root, saved = slot_attributes(saved_text)
        _, written = slot_attributes(settings_xml())
        self.check("5", saved == written,
                   "settings file after SIGTERM holds the run's 17 slots" if saved == written
                   else "settings file differs:\n  wrote %s\n  found %s" % (written, saved))
        keep = saved_root.find("keep")
        self.check("5", keep is not None and keep.get("note") == "beside the slots",
                   "the element beside the slots survives the save")

    # -- the window under faults ---------------------------------------------

    def probe(self, test):
        name = "probe-" + test
        process = self.t.start(name, self.t.bridge,
                               [self.args.probe, "--gtest_filter=BridgeFaults." + test],
                               env=self.env)
        try:
            status = process.popen.wait(timeout=60)
        except subprocess.TimeoutExpired:
            status = process.stop()
        output = process.log_text()
        observed = [line[len("[probe] "):] for line in output.splitlines()
                    if line.startswith("[probe] ") and '"' in line]
        ok = status == 0 and "[  PASSED  ] 1 test" in output and "SKIPPED" not in output
        self.check("4", ok, "%s: %s" % (test, "; ".join(observed)))
        if not ok:
            print(output[-6000:])
        # The probe restores what it changed; later steps need the link back up.
        wait_for(lambda: "state UP" in self.t.ns(self.t.bridge, "ip", "link", "show", "vb1").stdout,
                 5.0, "vb1 up again")

    # -- the captures --------------------------------------------------------

    def analyse_node(self, pcap, wall_per_mono):
        _, datagrams = wire.read_pcap(pcap)
        fields = ["frame.number", "ip.src", "ip.dst", "udp.srcport", "udp.length",
                  "artnet.header.opcode", "artnet.header.protver", "artnet.output.sequence",
                  "artnet.output.physical", "artnet.output.universe", "artnet.output.length"]
        rows = peers.dissect(pcap, fields, "ip.src == %s" % BRIDGE_OUT_IP)
        bad = [r for r in rows if not (
            r["udp.srcport"] == "6454" and r["udp.length"] == "538" and
            r["artnet.header.opcode"] == "0x5000" and r["artnet.header.protver"] == "14" and
            r["artnet.output.sequence"] == "0" and r["artnet.output.length"] == "512" and
            r["artnet.output.universe"] != "" and
            int(r["artnet.output.physical"] or -1) == int(r["artnet.output.universe"]) & 0xFF)]
        self.check("3", rows and not bad,
                   "all %d datagrams from the bridge at the node decode in tshark as ArtDmx, "
                   "ProtVer 14, Sequence 0, Physical = universe low byte, Length 512, 530-byte "
                   "payload%s" % (len(rows), "" if not bad else "; not so: %s" % bad[:3]))

        window = [d for d in datagrams if d.src == BRIDGE_OUT_IP and
                  self.bridge_started <= d.time <= self.measured_until]
        for row, wire_u, destination, kind in OUTPUTS:
            # Periods on the monotonic clock: capture times are wall-clock times.
            times = [d.time / wall_per_mono for d in window
                     if d.dst == destination and d.artdmx_universe() == wire_u]
            if len(times) < 10:
                self.check("3", False, "%s output (universe %d to %s): only %d frames" % (
                    kind, wire_u, destination, len(times)))
                continue
            s = wire.period_stats(times, PERIOD_S)
            self.figures.setdefault("period", []).append((kind, destination, wire_u, s))
            self.check("3", abs(s["mean_ms"] - 75.0) <= 1.0 and abs(s["drift_ms"]) <= 5.0,
                       "%s output to %s: %d frames over %.1f s, period mean %.3f ms, p50 %.3f, "
                       "p99 %.3f, max %.3f ms, drift %+.3f ms (%+.3f ms/min), %d missed ticks"
                       % (kind, destination, s["frames"], s["span_s"], s["mean_ms"],
                          s["p50_ms"], s["p99_ms"], s["max_ms"], s["drift_ms"],
                          s["drift_ms_per_min"], s["missed_ticks"]))
        return datagrams

    def analyse_console(self, pcap, node_datagrams):
        packets, datagrams = wire.read_pcap(pcap)
        from_bridge = [p for p in packets if p[1] in (BRIDGE_IN_IP, BRIDGE_OUT_IP)]
        self.check("3", not from_bridge,
                   "no IP packet from the bridge on the console's network over the whole run "
                   "(%d packets captured)%s" % (len(packets), "" if not from_bridge
                                                else ": %s" % from_bridge[:5]))
        polls = [d for d in datagrams if d.src == CONSOLE_IP and d.payload[:10] ==
                 b"Art-Net\0\x00\x20" and self.bridge_started <= d.time <= self.bridge_stopped]
        replies = [d for d in datagrams if d.payload[:10] == b"Art-Net\0\x00\x21" and
                   d.src != CONSOLE_IP]
        self.check("3", polls and not replies,
                   "console's OLA sent %d ArtPoll while the bridge ran (to %s); replies: %d"
                   % (len(polls), ", ".join(sorted({d.dst for d in polls})), len(replies)))

        # Wire latency: the console's ArtDmx carrying new levels, to the first
        # frame with those levels that leaves the bridge towards the node; and
        # how many frames with the old levels left in between (0: the change
        # went out with the next tick).
        latencies, stale = [], []
        for generation, mode, _ in self.generations:
            for row, wire_u, destination, _ in OUTPUTS:
                data = levels(row, generation)
                sent = [d for d in datagrams if d.src == CONSOLE_IP and
                        d.artdmx_universe() == row and d.dmx()[:512] == data]
                arrived = [d for d in node_datagrams if d.src == BRIDGE_OUT_IP and
                           d.dst == destination and d.artdmx_universe() == wire_u and
                           d.dmx() == data]
                if sent and arrived:
                    latencies.append(1000.0 * (arrived[0].time - sent[0].time))
                    stale.append(sum(1 for d in node_datagrams if d.src == BRIDGE_OUT_IP and
                                     d.dst == destination and d.artdmx_universe() == wire_u and
                                     sent[0].time < d.time < arrived[0].time))
                    if row == CONSOLE_UNIVERSES[0]:
                        self.figures.setdefault("console_dst", {})[mode] = sent[0].dst
        expected_pairs = len(self.generations) * len(OUTPUTS)
        self.figures["wire_latency_ms"] = latencies
        self.figures["stale_frames"] = stale
        self.check("2", self.figures.get("console_dst") == dict(CONSOLE_MODES),
                   "the console's ArtDmx went to %s" % self.figures.get("console_dst"))
        # A change goes out with the next tick; the bound leaves room for a loaded machine.
        self.check("3", len(latencies) == expected_pairs and max(latencies) < 4 * 75.0,
                   "console ArtDmx to bridge ArtDmx at the node: %d of %d changes, %.1f ms mean, "
                   "%.1f ms max; %d went out with the next tick, %d one tick later, %d later"
                   % (len(latencies), expected_pairs, sum(latencies) / max(1, len(latencies)),
                      max(latencies, default=0.0), stale.count(0), stale.count(1),
                      sum(1 for n in stale if n > 1)))

    # -- the whole run -------------------------------------------------------

    def run(self):
        console_cap = peers.Capture(self.t, "capture-console", self.t.console, "vc0")
        node_cap = peers.Capture(self.t, "capture-node", self.t.node, "vn1")
        self.node_olad = peers.Olad(self.t, "olad-node", self.t.node, NODE_IP,
                                    always_broadcast=False)
        self.node = peers.OlaPeer(self.t, "ola-node", self.t.node)
        self.node.patch(NODE_UNIVERSES, output=False)
        self.node_levels = NodeLevels(self.node)

        self.start_bridge()
        generation = 0
        for mode, _ in CONSOLE_MODES:
            if generation:
                self.stop_console()
            self.start_console(mode)
            for _ in range(2):  # the levels, then a change of all of them
                generation += 1
                self.send_levels(generation, mode)

        self.probe("SecondInstanceShowsCouldNotBind")
        left = MEASURE_S - (time.time() - self.bridge_started)
        if left > 0:
            time.sleep(left)  # the period is measured over this stretch of the run
        self.measured_until = time.time()

        # The node's link lost while running: the outputs cannot send, and
        # nothing may take the default route onto the console's network
        # (checked over the whole run); forwarding resumes with the link.
        self.t.set_link(self.t.bridge, "vb1", "down")
        time.sleep(1.0)  # some thirteen ticks without the link
        self.t.set_link(self.t.bridge, "vb1", "up")
        self.send_levels(generation + 1, mode, point="3",
                         after=" after the node's link was down for 1 s, without reconnect")
        self.stop_console()
        self.stop_bridge()

        self.probe("InputAddressAbsentShowsSocketNotAvailable")
        self.probe("OutputAddressRemovedShowsSendFailureUntilReconnect")
        self.probe("NodeLinkDownAtStartShowsNetworkDown")

        node_datagrams = self.analyse_node(node_cap.stop(), node_cap.wall_per_mono())
        self.analyse_console(console_cap.stop(), node_datagrams)


def on_signal(signum, frame):
    if signum == signal.SIGALRM:
        raise Deadline("the run took longer than %d s" % RUN_DEADLINE_S)
    raise Deadline("stopped by signal %d" % signum)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pallador", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the logs and captures")
    args = parser.parse_args()

    if os.geteuid() != 0:
        print("SKIP: needs root to build network namespaces")
        return SKIP
    missing = peers.missing_tools()
    if missing:
        print("SKIP: the Art-Net peers are not installed (%s); scripts/deps.sh installs them"
              % ", ".join(missing))
        return SKIP

    Topology.remove_stale()
    workdir = tempfile.mkdtemp(prefix="pallador-netns-")
    topology = Topology(workdir)
    checks = Checks()
    for signum in (signal.SIGALRM, signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, on_signal)
    signal.alarm(RUN_DEADLINE_S)
    started = time.monotonic()
    try:
        try:
            topology.up()
        except SetupError as error:
            print("SKIP: " + str(error))
            return SKIP
        run = Run(args, topology, checks)
        run.run()
        report(run, time.monotonic() - started)
    except (AssertionError, Deadline) as error:
        checks("run", False, str(error))
    except Exception as error:  # whatever else stops the run is reported, after the teardown
        traceback.print_exc()
        checks("run", False, repr(error))
    finally:
        signal.alarm(0)
        topology.down()
        if checks.failed or args.keep:
            print("logs and captures kept in " + workdir)
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    if checks.failed:
        print("%d check(s) failed:\n  %s" % (len(checks.failed), "\n  ".join(checks.failed)))
        return 1
    return 0


def report(run, elapsed):
    f = run.figures
    print("\n== figures (run took %.1f s)" % elapsed)
    for kind, destination, universe, s in f.get("period", []):
        print("period %-36s mean %.3f ms  p50 %.3f  p99 %.3f  min %.3f  max %.3f  "
              "drift %+.3f ms over %.1f s" % ("%s (%s, u%d)" % (kind, destination, universe),
                                              s["mean_ms"], s["p50_ms"], s["p99_ms"],
                                              s["min_ms"], s["max_ms"], s["drift_ms"],
                                              s["span_s"]))
    for name, label in (("wire_latency_ms", "console ArtDmx -> node ArtDmx"),
                        ("ola_latency_ms", "console OLA client -> node OLA client")):
        values = f.get(name) or [0.0]
        print("latency %-38s mean %.1f ms  min %.1f  max %.1f  (n=%d)" % (
            label, sum(values) / len(values), min(values), max(values), len(values)))


if __name__ == "__main__":
    sys.exit(main())
