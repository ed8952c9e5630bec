"""Figures from the raw records of the performance run: transmit intervals,
forwarding latency, and the small statistics they need."""

import bisect
import math
from collections import defaultdict

PERIOD_MS = 75.0
FRAMES_PER_MINUTE = 60000.0 / PERIOD_MS  # 800


def percentile(values, fraction):
    """Linear interpolation between closest ranks; None for no values."""
    if not values:
        return None
    ordered = sorted(values)
    position = fraction * (len(ordered) - 1)
    low = int(math.floor(position))
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


def median(values):
    return percentile(list(values), 0.5)


def read_records(path):
    """Sink lines "t_ns universe value length" -> list of tuples."""
    records = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 4:
                records.append((int(parts[0]), int(parts[1]), int(parts[2]), int(parts[3])))
    return records


def read_changes(path):
    """Console log lines "universe value t_ns" -> list of tuples."""
    changes = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3:
                changes.append((int(parts[0]), int(parts[1]), int(parts[2])))
    return changes


def transmit_clock(records, start_ns, end_ns):
    """Intervals between consecutive datagrams of each universe within the window.

    late = interval - 75 ms. Drift compares each universe's frame count with
    800 frames a minute: the span of its frames less (count - 1) x 75 ms, per
    minute; a skipped tick shows as +75 ms, a doubled one as -75 ms."""
    times = defaultdict(list)
    for t, universe, _, _ in records:
        if start_ns <= t <= end_ns:
            times[universe].append(t)
    intervals = []
    drifts = []
    spans = []
    rates = []
    series = {}
    for universe, stamps in sorted(times.items()):
        stamps.sort()
        if len(stamps) < 3:
            continue
        intervals.extend((b - a) / 1e6 for a, b in zip(stamps, stamps[1:]))
        span_ms = (stamps[-1] - stamps[0]) / 1e6
        frames = len(stamps) - 1
        spans.append(span_ms - frames * PERIOD_MS)
        drifts.append((span_ms - frames * PERIOD_MS) / (span_ms / 60000.0))
        rates.append(frames / (span_ms / 60000.0))
        series[universe] = stamps
    if not intervals:
        return None
    late = [i - PERIOD_MS for i in intervals]
    # Lateness against the ideal grid of the lowest universe: its least late
    # frame is taken as on time.
    grid_late = []
    if series:
        stamps = series[min(series)]
        offsets = [(t - stamps[0]) / 1e6 - k * PERIOD_MS for k, t in enumerate(stamps)]
        base = min(offsets)
        grid_late = [o - base for o in offsets]
    return {
        "universes": len(series),
        "intervals": len(intervals),
        "interval_ms": intervals,
        "mean_ms": sum(intervals) / len(intervals),
        "p50_ms": percentile(intervals, 0.5),
        "p99_ms": percentile(intervals, 0.99),
        "max_ms": max(intervals),
        "min_ms": min(intervals),
        "late_p99_ms": percentile(late, 0.99),
        "late_max_ms": max(late),
        "early_max_ms": -min(late),
        "drift_ms_per_min": median(drifts),
        "drift_ms": median(spans),
        "drift_worst_ms": max(spans, key=abs),
        "frames_per_min": median(rates),
        "grid_late_ms": grid_late,
        "grid_late_p99_ms": percentile(grid_late, 0.99),
        "grid_late_max_ms": max(grid_late) if grid_late else None,
    }


def forwarding_latency(changes, records):
    """For every level change at the input, the time until an output datagram of
    that universe first carries it (ms). Values only grow, so the first datagram
    with a value >= the change's is the one."""
    by_universe = defaultdict(list)
    for t, universe, value, _ in records:
        by_universe[universe].append((t, value))
    for rows in by_universe.values():
        rows.sort()
    latencies = []
    unseen = 0
    skipped = 0
    for universe, value, sent_ns in changes:
        rows = by_universe.get(universe, [])
        # first datagram at or after the change...
        index = bisect.bisect_left(rows, (sent_ns, -1))
        while index < len(rows) and rows[index][1] < value:
            index += 1
        if index == len(rows):
            unseen += 1
            continue
        if rows[index][1] != value:
            skipped += 1
        latencies.append((rows[index][0] - sent_ns) / 1e6)
    return {"latency_ms": latencies, "unseen": unseen, "overtaken": skipped}


def uniformity(values, low, high):
    """Kolmogorov-Smirnov distance between the values and a uniform
    distribution on [low, high]."""
    if not values:
        return None
    ordered = sorted(values)
    n = len(ordered)
    width = high - low
    distance = 0.0
    for i, v in enumerate(ordered):
        cdf = min(max((v - low) / width, 0.0), 1.0)
        distance = max(distance, abs((i + 1) / n - cdf), abs(i / n - cdf))
    return distance
