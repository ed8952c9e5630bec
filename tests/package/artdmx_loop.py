#!/usr/bin/env python3
"""Sends ArtDmx for universe 0 to the bridge's input and waits for the bridge
to send the same channel levels from its output.

usage: artdmx_loop.py INPUT_IP SENDER_IP RECEIVER_IP
Sends from SENDER_IP to INPUT_IP:6454 every 100 ms and listens on
RECEIVER_IP:6454; exits 0 once a forwarded frame carries the levels, 1 when
none came within 15 s (at most 150 frames are sent)."""
import socket
import struct
import sys
import time

PORT = 6454
LEVELS = bytes([0x55, 0xAA, 0x01, 0xFE])


def artdmx(universe, data):
    # ID, OpCode 0x5000 (little-endian), protocol 14 (big-endian), Sequence,
    # Physical, Port-Address (little-endian), Length (big-endian), data.
    return (b"Art-Net\x00" + struct.pack("<H", 0x5000) + struct.pack(">H", 14) + b"\x00\x00" +
            struct.pack("<H", universe) + struct.pack(">H", len(data)) + data)


def carries_levels(datagram):
    if len(datagram) < 18 + len(LEVELS) or datagram[:8] != b"Art-Net\x00":
        return False
    opcode, = struct.unpack_from("<H", datagram, 8)
    universe, = struct.unpack_from("<H", datagram, 14)
    return opcode == 0x5000 and universe == 0 and datagram[18:18 + len(LEVELS)] == LEVELS


def main():
    input_ip, sender_ip, receiver_ip = sys.argv[1:4]
    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    receiver.bind((receiver_ip, PORT))
    receiver.settimeout(0.1)
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.bind((sender_ip, 0))
    frame = artdmx(0, LEVELS + bytes(512 - len(LEVELS)))
    deadline = time.monotonic() + 15
    for _ in range(150):
        if time.monotonic() > deadline:
            break
        sender.sendto(frame, (input_ip, PORT))
        try:
            while True:
                datagram, source = receiver.recvfrom(2048)
                if carries_levels(datagram):
                    print(f"forwarded: {len(datagram)} bytes from {source[0]}")
                    return 0
        except socket.timeout:
            pass
    print("no forwarded ArtDmx with the levels sent", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
