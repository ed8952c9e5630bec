"""Reading the captures: UDP datagrams from a pcap file, and period statistics."""

import statistics
import struct

ETHERTYPE_IPV4 = 0x0800
ARTNET_PORT = 6454
ARTDMX_HEADER = 18


class Datagram:
    __slots__ = ("time", "src", "dst", "sport", "dport", "payload")

    def __init__(self, time, src, dst, sport, dport, payload):
        self.time, self.src, self.dst = time, src, dst
        self.sport, self.dport, self.payload = sport, dport, payload

    def artdmx_universe(self):
        """The Port-Address of an ArtDmx, or None for anything else."""
        p = self.payload
        if len(p) >= ARTDMX_HEADER and p[:8] == b"Art-Net\0" and p[8:10] == b"\x00\x50":
            return p[14] | (p[15] << 8)
        return None

    def dmx(self):
        return self.payload[ARTDMX_HEADER:]


def _ip(raw):
    return ".".join(str(b) for b in raw)


def read_pcap(path):
    """Every IPv4 packet of a classic pcap file (Ethernet); UDP ones as Datagram."""
    packets, datagrams = [], []
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        return packets, datagrams
    magic = struct.unpack("<I", data[:4])[0]
    endian = "<" if magic in (0xA1B2C3D4, 0xA1B23C4D) else ">"
    nano = magic in (0xA1B23C4D, 0x4D3CB2A1)
    offset = 24
    while offset + 16 <= len(data):
        sec, frac, caplen, _ = struct.unpack(endian + "IIII", data[offset:offset + 16])
        frame = data[offset + 16:offset + 16 + caplen]
        offset += 16 + caplen
        time = sec + frac / (1e9 if nano else 1e6)
        if len(frame) < 34 or struct.unpack(">H", frame[12:14])[0] != ETHERTYPE_IPV4:
            continue
        ip = frame[14:]
        header = (ip[0] & 0x0F) * 4
        src, dst = _ip(ip[12:16]), _ip(ip[16:20])
        packets.append((time, src, dst, ip[9]))
        if ip[9] == 17 and len(ip) >= header + 8:
            sport, dport, length = struct.unpack(">HHH", ip[header:header + 6])
            datagrams.append(Datagram(time, src, dst, sport, dport,
                                      bytes(ip[header + 8:header + length])))
    return packets, datagrams


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def period_stats(times, period_s):
    """Intervals between consecutive frames of one stream, and the drift of the
    stream against an ideal clock started at its first frame.

    A frame's lateness is its time minus the ideal grid; the grid index follows
    the frames, so a skipped tick counts as one and back-to-back catch-up frames
    each take the next index. Drift compares the median lateness of the last
    third of the run with that of the first third, which a single late tick
    cannot move.
    """
    intervals = [b - a for a, b in zip(times, times[1:])]
    index, lateness = 0, [0.0]
    for interval, t in zip(intervals, times[1:]):
        index += max(1, int(round(interval / period_s)))
        lateness.append(t - times[0] - index * period_s)
    third = max(1, len(lateness) // 3)
    drift = statistics.median(lateness[-third:]) - statistics.median(lateness[:third])
    span = times[-1] - times[0]
    return {
        "frames": len(times),
        "span_s": span,
        "mean_ms": 1000.0 * span / len(intervals),
        "p50_ms": 1000.0 * percentile(intervals, 0.50),
        "p99_ms": 1000.0 * percentile(intervals, 0.99),
        "min_ms": 1000.0 * min(intervals),
        "max_ms": 1000.0 * max(intervals),
        "missed_ticks": index - len(intervals),
        "drift_ms": 1000.0 * drift,
        "drift_ms_per_min": 1000.0 * drift / (span * 2.0 / 3.0) * 60.0 if span > 0 else 0.0,
    }
