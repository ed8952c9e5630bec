#!/usr/bin/env python3
"""Usage: unshare -m -n bench/silent_resolver.py <pallador_harness copy> <seconds> <reconnect ms or ->

Runs the bridge (pallador_harness) with one output whose destination is a
host name and a resolver that never answers, inside a private mount and
network namespace (run it under `unshare -m -n`), and reports the frames per
second that the other outputs send and the DNS queries the resolver sees."""
import os, select, signal, socket, subprocess, sys, time

harness, seconds, reconnect = sys.argv[1], float(sys.argv[2]), sys.argv[3]
run = os.path.dirname(os.path.abspath(harness))
subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
subprocess.run(["mount", "--make-rprivate", "/"], check=True)
with open(os.path.join(run, "resolv.conf"), "w") as f:
    f.write("nameserver 127.0.0.53\n")
subprocess.run(["mount", "--bind", os.path.join(run, "resolv.conf"), "/etc/resolv.conf"], check=True)

def slot(port, dest, kind, u, active, isinput):
    return (f'<interface port="{port}" destination="{dest}" interfacetype="{kind}" '
            f'isinput="{isinput}" universe="{u}" universeartnet="{u}" channelcount="512" '
            f'active="{active}"/>')
slots = [slot("127.0.8.1", "", "Art-Net Node (INPUT)", 0, "False", "True")]
dests = {0: "console.show", 1: "127.0.8.30", 2: "127.0.8.31"}
for u in range(16):
    slots.append(slot("127.0.8.10", dests.get(u, "127.0.8.32"), "Art-Net Server (OUTPUT)", u,
                      "True" if u in dests else "False", "False"))
with open(os.path.join(run, "config_unibridge.xml"), "w") as f:
    f.write("<config><interfaces>" + "".join(slots) + "</interfaces></config>")

dns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); dns.bind(("127.0.0.53", 53))
nodes = []
for ip in ("127.0.8.30", "127.0.8.31"):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind((ip, 6454)); nodes.append(s)
args = [harness, "--status"] + (["--reconnect-every", reconnect] if reconnect != "-" else [])
env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
proc = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, text=True)
queries, frames, statuses = 0, [0, 0], set()
start = time.monotonic()
while time.monotonic() - start < seconds:
    ready, _, _ = select.select([dns] + nodes, [], [], 0.05)
    for s in ready:
        s.recv(9000)
        if s is dns: queries += 1
        else: frames[nodes.index(s)] += 1
stop = time.monotonic()
proc.send_signal(signal.SIGTERM)
try:
    out, _ = proc.communicate(timeout=15)
    closed = time.monotonic() - stop
except subprocess.TimeoutExpired:
    proc.kill(); out, _ = proc.communicate(); closed = float("inf")
lines = [l for l in out.splitlines() if l.startswith("status")]
print(f"seconds {seconds:.0f}  frames/s node1 {frames[0]/seconds:.1f} node2 {frames[1]/seconds:.1f}  "
      f"dns queries {queries}  closed after {closed:.2f} s")
print("last status row 0:", repr(lines[-1].split("\t")[2]) if lines else None)
print(out.splitlines()[-1] if out else "")
