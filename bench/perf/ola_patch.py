"""Patches the input ports of olad's Art-Net device to OLA universes, then exits.

Runs with Debian's /usr/bin/python3 (the one with the ola module), inside the
namespace of that olad. Usage: ola_patch.py UNIVERSE... Prints one JSON line:
{"patched": [...]} or {"error": "..."}.
"""

import json
import sys
import time

from ola.ClientWrapper import ClientWrapper
from ola.OlaClient import OlaClient, OLADNotRunningException, Plugin

DEADLINE_S = 15.0
RETRY_MS = 50


def main():
    universes = [int(u) for u in sys.argv[1:]]
    deadline = time.monotonic() + DEADLINE_S
    while True:
        try:
            wrapper = ClientWrapper()
            break
        except OLADNotRunningException:
            if time.monotonic() > deadline:
                print(json.dumps({"error": "olad did not open its RPC port"}), flush=True)
                return 1
            time.sleep(RETRY_MS / 1000.0)
    client = wrapper.Client()
    patched = []
    result = {}

    def on_patched(universe, status):
        if not status.Succeeded():
            result["error"] = "patch of universe %d failed: %s" % (universe, status.message)
            wrapper.Stop()
            return
        patched.append(universe)
        if len(patched) == len(universes):
            result["patched"] = sorted(patched)
            wrapper.Stop()

    def on_devices(status, devices):
        # olad opens its Art-Net device a little after its RPC port: ask again.
        if not (status.Succeeded() and devices):
            if time.monotonic() > deadline:
                result["error"] = "olad has no Art-Net device"
                wrapper.Stop()
            else:
                wrapper.AddEvent(RETRY_MS, find_device)
            return
        device = devices[0]
        if len(device.input_ports) < len(universes):
            result["error"] = "olad's Art-Net device has %d input ports" % len(device.input_ports)
            wrapper.Stop()
            return
        for port, universe in enumerate(universes):
            client.PatchPort(device.alias, port, False, OlaClient.PATCH, universe,
                             lambda status, u=universe: on_patched(u, status))

    def find_device():
        client.FetchDevices(on_devices, Plugin.OLA_PLUGIN_ARTNET)

    find_device()
    wrapper.AddEvent(int(DEADLINE_S * 1000), wrapper.Stop)
    wrapper.Run()
    print(json.dumps(result or {"error": "no answer from olad"}), flush=True)
    return 0 if "patched" in result else 1


if __name__ == "__main__":
    sys.exit(main())
