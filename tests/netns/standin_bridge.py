"""A minimal forwarder with the bridge's wire behaviour, for checking the harness.

Reads the same settings file as the application, receives ArtDmx at the input
address (unicast and broadcasts), and every 75 ms sends each active output's
row as a 530-byte ArtDmx. Ends on SIGTERM.
"""

import select
import signal
import socket
import struct
import sys
import time
import xml.etree.ElementTree as ET

PORT = 6454
PERIOD_S = 0.075
SO_BINDTODEVICE = 25


def read_settings(path):
    slots = ET.parse(path).getroot().find("interfaces").findall("interface")
    outputs = [(s.get("port"), s.get("destination"), int(s.get("universe")),
                int(s.get("universeartnet")) & 0xFFFF)
               for s in slots[1:] if s.get("active", "").lower() == "true"]
    return slots[0].get("port"), outputs


def artdmx(universe, data):
    return (b"Art-Net\0" + struct.pack("<H", 0x5000) + struct.pack(">H", 14) +
            bytes([0, universe & 0xFF]) + struct.pack("<H", universe) +
            struct.pack(">H", 512) + data)


def main():
    settings, input_dev = sys.argv[1], sys.argv[2]
    input_ip, outputs = read_settings(settings)
    table = [bytes(512) for _ in range(64)]
    receivers = []
    for address, device in ((input_ip, None), ("2.255.255.255", None),
                            ("255.255.255.255", input_dev)):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        if address != input_ip:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if device:
            s.setsockopt(socket.SOL_SOCKET, SO_BINDTODEVICE, device.encode())
        s.bind((address, PORT))
        receivers.append(s)
    senders = {}
    for bind_ip, _, _, _ in outputs:
        if bind_ip not in senders:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
            s.bind((bind_ip, PORT))
            senders[bind_ip] = s
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    deadline = time.monotonic() + PERIOD_S
    while not stop:
        timeout = max(0.0, deadline - time.monotonic())
        try:
            readable, _, _ = select.select(receivers, [], [], timeout)
        except InterruptedError:
            continue
        for s in readable:
            data = s.recv(8480)
            if len(data) >= 18 and data[:8] == b"Art-Net\0" and data[8:10] == b"\x00\x50":
                universe = struct.unpack("<H", data[14:16])[0]
                if universe < 16:
                    table[universe] = (data[18:530] + bytes(512))[:512]
        if time.monotonic() >= deadline:
            deadline += PERIOD_S
            for bind_ip, destination, row, universe in outputs:
                senders[bind_ip].sendto(artdmx(universe, table[row]), (destination, PORT))
    return 0


if __name__ == "__main__":
    sys.exit(main())
