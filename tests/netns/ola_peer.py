"""Drives one olad through OLA's client API, inside the namespace of that olad.

Runs with Debian's /usr/bin/python3 (the one with the ola module). Talks JSON
lines: commands on stdin, replies and events on stdout, times from
CLOCK_MONOTONIC so that the driver can compare them across namespaces.

  {"cmd": "patch", "output": true, "universes": [1, 2]}  -> {"patched": [...]}
      patches the Art-Net device's ports 0.. to the given OLA universes
      (output: Art-Net sender; otherwise receiver, reported by "dmx" events)
  {"cmd": "send", "universe": 1, "data": "<hex>"}         -> {"sent": 1, "t": ...}
  {"cmd": "quit"}
Events: {"dmx": universe, "t": ..., "data": "<hex>"} whenever a watched
universe's data changes.
"""

import array
import json
import os
import sys
import time

from ola.ClientWrapper import ClientWrapper
from ola.OlaClient import OlaClient, OLADNotRunningException, Plugin

CONNECT_DEADLINE_S = 15.0
POLL_MS = 50


def emit(message):
    sys.stdout.write(json.dumps(message) + "\n")
    sys.stdout.flush()


def connect(deadline):
    while True:
        try:
            return ClientWrapper()
        except OLADNotRunningException:
            if time.monotonic() > deadline:
                raise
            time.sleep(POLL_MS / 1000.0)


class Peer:
    def __init__(self, wrapper, deadline):
        self.wrapper = wrapper
        self.client = wrapper.Client()
        self.deadline = deadline
        self.device = None
        self.last = {}
        self.pending = 0
        self.patched = []
        self.buffer = b""

    # olad opens its Art-Net device a little after its RPC port: ask until it is there.
    def find_device(self):
        self.client.FetchDevices(self.on_devices, Plugin.OLA_PLUGIN_ARTNET)

    def on_devices(self, status, devices):
        if status.Succeeded() and devices:
            self.device = devices[0]
            emit({"ready": self.device.alias,
                  "inputs": len(self.device.input_ports),
                  "outputs": len(self.device.output_ports)})
            # The wrapper offers no call to watch a descriptor of our own; its
            # select server does.
            self.wrapper._ss.AddReadDescriptor(sys.stdin.fileno(), self.on_stdin)
        elif time.monotonic() > self.deadline:
            emit({"error": "olad has no Art-Net device"})
            self.wrapper.Stop()
        else:
            self.wrapper.AddEvent(POLL_MS, self.find_device)

    def on_stdin(self):
        chunk = os.read(sys.stdin.fileno(), 1 << 20)
        if not chunk:
            self.wrapper.Stop()
            return
        self.buffer += chunk
        while b"\n" in self.buffer:
            line, self.buffer = self.buffer.split(b"\n", 1)
            if line.strip():
                self.run(json.loads(line))

    def run(self, command):
        name = command["cmd"]
        if name == "patch":
            self.patch(command["universes"], command["output"])
        elif name == "send":
            data = array.array("B", bytes.fromhex(command["data"]))
            t = time.monotonic()
            self.client.SendDmx(command["universe"], data,
                                lambda status, u=command["universe"], t=t:
                                emit({"sent": u, "t": t, "ok": status.Succeeded()}))
        elif name == "quit":
            self.wrapper.Stop()

    def patch(self, universes, output):
        self.pending = len(universes)
        self.patched = []
        for port, universe in enumerate(universes):
            self.client.PatchPort(self.device.alias, port, output, OlaClient.PATCH, universe,
                                  lambda status, u=universe: self.on_patched(u, status, output))

    def on_patched(self, universe, status, output):
        if not status.Succeeded():
            emit({"error": "patch of universe %d failed: %s" % (universe, status.message)})
            return
        if not output:
            self.client.RegisterUniverse(universe, OlaClient.REGISTER,
                                         lambda data, u=universe: self.on_dmx(u, data))
        self.patched.append(universe)
        self.pending -= 1
        if self.pending == 0:
            emit({"patched": sorted(self.patched)})

    def on_dmx(self, universe, data):
        raw = data.tobytes()
        if self.last.get(universe) != raw:
            self.last[universe] = raw
            emit({"dmx": universe, "t": time.monotonic(), "data": raw.hex()})


def main():
    deadline = time.monotonic() + CONNECT_DEADLINE_S
    try:
        wrapper = connect(deadline)
    except OLADNotRunningException:
        emit({"error": "olad did not open its RPC port"})
        return 1
    peer = Peer(wrapper, deadline)
    peer.find_device()
    wrapper.Run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
