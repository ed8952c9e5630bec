"""The performance run's table, docs/PERFORMANCE.md and its two plots."""

import os

import perfstats
from perfstats import median

MB = 1e6


def _fmt(value, digits=2, unit=""):
    if value is None:
        return "n/a"
    return ("%." + str(digits) + "f%s") % (value, unit)


def _rate(value):
    if value is None:
        return "n/a"
    return "%.0f k/s" % (value / 1000.0) if value >= 10000 else "%.0f /s" % value


CLOCK_RUNS = (("idle", "idle"), ("busy", "other core busy"),
              ("busy_user", "other core busy, no real-time priority"),
              ("steady", "704 ArtDmx/s in"))


def _row(figure, target, measured, ratio=None, met=None):
    return {"figure": figure, "target": target, "measured": measured,
            "ratio": "" if ratio is None else "%.2f" % ratio, "met": met}


def capacity_figures(results):
    reps = results.get("capacity") or []
    figures = {}
    for kind in ("bare", "app", "olad"):
        values = [r[kind]["lossless"] for r in reps if kind in r]
        figures[kind] = median(values) if values else None
    for other in ("bare", "olad"):
        ratios = [r["app"]["lossless"] / r[other]["lossless"] for r in reps
                  if other in r and r[other]["lossless"] > 0]
        figures["app/" + other] = median(ratios) if ratios else None
    figures["bare_sender_limited"] = any(r["bare"]["sender_limited"] for r in reps if "bare" in r)
    return figures


def table(results):
    rows = []
    cap = capacity_figures(results)
    if cap["app/bare"] is not None:
        rows.append(_row("Input capacity: program vs bare recvfrom loop (lossless ArtDmx/s)",
                         ">= 0.5 of the bare loop",
                         "%s vs %s%s" % (_rate(cap["app"]), _rate(cap["bare"]),
                                         " (sender's limit)" if cap["bare_sender_limited"] else ""),
                         cap["app/bare"], cap["app/bare"] >= 0.5))
    if cap["app/olad"] is not None:
        rows.append(_row("Input capacity: program vs olad (frames olad counts)",
                         ">= 1.0 of olad", "%s vs %s" % (_rate(cap["app"]), _rate(cap["olad"])),
                         cap["app/olad"], cap["app/olad"] >= 1.0))

    for key, label in CLOCK_RUNS[:3]:
        clock = (results.get(key) or {}).get("clock")
        if not clock:
            continue
        idle = key == "idle"
        rows.append(_row("Transmit clock, %s: intervals mean / p50 / p99 / max" % label,
                         "p99 <= 1 ms late" + (", max <= 3 ms late" if idle else ""),
                         "%s / %s / %s / %s ms" % (
                             _fmt(clock["mean_ms"], 3), _fmt(clock["p50_ms"], 3),
                             _fmt(clock["p99_ms"], 3), _fmt(clock["max_ms"], 3)),
                         max(clock["late_p99_ms"], clock["late_max_ms"] / 3.0 if idle else 0, 0),
                         clock["late_p99_ms"] <= 1.0 and (not idle or clock["late_max_ms"] <= 3.0)))
        rows.append(_row("Transmit clock, %s: drift against 800 frames a minute" % label,
                         "0 (within one tick's jitter, 1 ms)",
                         "%+.3f ms over %.0f s (%.2f frames/min)" % (
                             clock["drift_ms"], results[key]["seconds"], clock["frames_per_min"]),
                         clock["frames_per_min"] / perfstats.FRAMES_PER_MINUTE,
                         abs(clock["drift_worst_ms"]) <= 1.0))

    steady = results.get("steady") or {}
    latency = steady.get("latency")
    if latency and latency["latency_ms"]:
        values = latency["latency_ms"]
        worst = max(values)
        distance = perfstats.uniformity(values, 0.0, perfstats.PERIOD_MS)
        rows.append(_row("Forwarding latency: max", "<= 76 ms", "%s ms (n = %d)" % (
            _fmt(worst, 2), len(values)), worst / 76.0, worst <= 76.0 and latency["unseen"] == 0))
        rows.append(_row("Forwarding latency: distribution",
                         "about uniform over 0-75 ms (KS distance <= 0.05)",
                         "mean %s, p50 %s ms; KS distance %.3f" % (
                             _fmt(sum(values) / len(values), 1), _fmt(median(values), 1), distance),
                         None, distance <= 0.05))
    if steady:
        cpu = steady["cpu_fraction"] * 100
        rows.append(_row("CPU, 16 outputs and 704 ArtDmx/s in", "<= 2 % of one core",
                         "%.2f %%" % cpu, cpu / 2.0, cpu <= 2.0))
        peak = steady["hwm_kb"] * 1024 / MB
        rows.append(_row("Memory (peak RSS), same run", "<= 60 MB", "%.1f MB (now %.1f MB)" % (
            peak, steady["rss_kb"] * 1024 / MB), peak / 60.0, peak <= 60.0))

    window = results.get("window")
    if window:
        worst = window["worst_deviation_ms"]
        rows.append(_row("Status refresh under a flood of %s" % _rate(window["offered"]),
                         "every 1000 ms (+-100 ms)",
                         "%d refreshes, worst %s ms off" % (len(window["refresh_ms"]),
                                                            _fmt(worst, 1)),
                         None if worst is None else worst / 100.0,
                         worst is not None and worst <= 100.0 and len(window["intervals_ms"]) >= 3))
        ok = (window["reconnect_ms"] >= 0 and window["input_status"] == ""
              and window["outputs_without_error"] == 16)
        rows.append(_row("Reconnect under the same flood", "completes",
                         "%s ms; input %s, %d/16 outputs without error" % (
                             _fmt(window["reconnect_ms"], 1),
                             "open" if window["input_status"] == "" else
                             repr(window["input_status"]), window["outputs_without_error"]),
                         None, ok))

    runs = results.get("startstop") or []
    starts = [r["start_ms"] for r in runs if r["start_ms"] >= 0]
    stops = [r["stop_ms"] for r in runs if r["ended"]]
    if runs:
        start = median(starts) if len(starts) == len(runs) else None
        rows.append(_row("Start: process start to first output datagram", "<= 0.5 s",
                         "%s ms (median of %d)" % (_fmt(start, 0), len(runs)),
                         None if start is None else start / 500.0,
                         start is not None and start <= 500.0))
        stop = median(stops) if len(stops) == len(runs) else None
        clean = all(r["exit"] == 0 for r in runs)
        rows.append(_row("Stop: SIGTERM to exit", "<= 0.5 s", "%s ms (median of %d)%s" % (
            _fmt(stop, 0), len(runs), "" if clean else "; not every exit was clean"),
            None if stop is None else stop / 500.0, stop is not None and stop <= 500.0 and clean))

    micro = results.get("micro") or {}
    if micro.get("decode_ns") is not None:
        rows.append(_row("Codec: decode a 530-byte ArtDmx", "< 100 ns", _fmt(micro["decode_ns"], 1,
                                                                              " ns"),
                         micro["decode_ns"] / 100.0, micro["decode_ns"] < 100))
    if micro.get("encode_ns") is not None:
        rows.append(_row("Codec: encode a 512-channel ArtDmx", "< 100 ns",
                         _fmt(micro["encode_ns"], 1, " ns"), micro["encode_ns"] / 100.0,
                         micro["encode_ns"] < 100))
    if micro.get("input_allocs") is not None:
        rows.append(_row("Input path: allocations per datagram", "0", "%g (%s ns each)" % (
            micro["input_allocs"], _fmt(micro["input_ns"], 0)), None, micro["input_allocs"] == 0))
    if micro.get("tick_allocs") is not None:
        rows.append(_row("Transmit tick of 16 outputs: allocations", "0", "%g (%s us a tick)" % (
            micro["tick_allocs"], _fmt(micro["tick_us"], 1)), None, micro["tick_allocs"] == 0))
    if micro.get("handoff_ratio_event_loop") is not None:
        ratio = micro["handoff_ratio_event_loop"]
        rows.append(_row("Hand-off to the main thread vs bare loop, at overload (udp_bench)",
                         ">= 0.5", "%s vs %s" % (_rate(micro["handoff_per_s"]),
                                                 _rate(micro["bare_per_s"])), ratio, ratio >= 0.5))
    if micro.get("stop_server_us") is not None:
        rows.append(_row("Stopping a UDP server", "< 10 ms", _fmt(micro["stop_server_us"], 0, " us"),
                         micro["stop_server_us"] / 10000.0, micro["stop_server_us"] < 10000))
    if micro.get("sync_event_loop_us") is not None:
        rows.append(_row("Synchronize round trip, main thread in an event loop", "(measured)",
                         _fmt(micro["sync_event_loop_us"], 1, " us (median)")))
    if micro.get("timer_late_p99_ms") is not None:
        rows.append(_row("Periodic timer alone, 40 ticks: p99 lateness / drift", "(measured)",
                         "%s / %s ms" % (_fmt(micro["timer_late_p99_ms"], 3),
                                         _fmt(micro["timer_drift_ms"], 3))))
    return rows


def _met(value):
    return "" if value is None else ("yes" if value else "NO")


def text_table(rows):
    header = ("Figure", "Target", "Measured", "Ratio", "Met")
    lines = [header] + [(r["figure"], r["target"], r["measured"], r["ratio"], _met(r["met"]))
                        for r in rows]
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    out = []
    for n, line in enumerate(lines):
        out.append("  ".join(cell.ljust(widths[i]) for i, cell in enumerate(line)).rstrip())
        if n == 0:
            out.append("  ".join("-" * w for w in widths))
    return "\n".join(out)


def markdown_table(rows):
    out = ["| Figure | Target | Measured | Ratio | Met |", "|---|---|---|---|---|"]
    for r in rows:
        out.append("| %s | %s | %s | %s | %s |" % (r["figure"], r["target"], r["measured"],
                                                    r["ratio"], _met(r["met"])))
    return "\n".join(out)


# -- plots -------------------------------------------------------------------

def plot_intervals(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    runs = [(key, label) for key, label in CLOCK_RUNS if (results.get(key) or {}).get("clock")]
    fig, (hist, series) = plt.subplots(1, 2, figsize=(12, 4.5))
    for key, label in runs:
        clock = results[key]["clock"]
        values = [min(max(v, 73.0), 79.0) for v in clock["interval_ms"]]
        hist.hist(values, bins=240, range=(73, 79), histtype="step", label="%s (n = %d)" % (
            label, len(values)))
        late = clock["grid_late_ms"]
        series.plot([i * perfstats.PERIOD_MS / 1000.0 for i in range(len(late))], late,
                    linewidth=0.7, label=label)
    hist.axvline(76, color="grey", linestyle=":", linewidth=1, label="p99 limit (76 ms)")
    hist.axvline(78, color="grey", linestyle="--", linewidth=1, label="max limit, idle (78 ms)")
    hist.set_yscale("log")
    hist.set_xlabel("interval between frames of one universe at the node (ms; clipped to 73-79)")
    hist.set_ylabel("intervals")
    hist.set_title("Transmit intervals, 16 outputs")
    hist.legend(fontsize=8)
    series.set_xlabel("time (s)")
    series.set_ylabel("lateness against the 75 ms grid (ms)")
    series.set_title("Universe 0: lateness of each frame")
    series.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def plot_latency(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    values = sorted(((results.get("steady") or {}).get("latency") or {}).get("latency_ms") or [])
    fig, (hist, cdf) = plt.subplots(1, 2, figsize=(12, 4.5))
    if values:
        hist.hist(values, bins=32, range=(0, 80), color="#8b1a2b", alpha=0.8,
                  label="measured (n = %d)" % len(values))
        hist.axhline(len(values) * 2.5 / perfstats.PERIOD_MS, color="black", linestyle="--",
                     linewidth=1, label="uniform over 0-75 ms")
        hist.axvline(76, color="grey", linestyle=":", linewidth=1, label="76 ms target")
        n = len(values)
        cdf.plot(values, [(i + 1) / n for i in range(n)], color="#8b1a2b", label="measured")
        cdf.plot([0, perfstats.PERIOD_MS], [0, 1], color="black", linestyle="--",
                 linewidth=1, label="uniform over 0-75 ms")
    hist.set_xlabel("level change at the input to first output datagram carrying it (ms)")
    hist.set_ylabel("changes per 2.5 ms bin")
    hist.set_title("Forwarding latency")
    hist.legend(fontsize=8)
    cdf.set_xlabel("latency (ms)")
    cdf.set_ylabel("fraction of changes")
    cdf.set_title("Cumulative distribution")
    cdf.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


# -- the document --------------------------------------------------------------

def _clock_line(label, clock):
    return "| %s | %d | %d | %s | %s | %s | %s | %s | %+.3f | %.2f |" % (
        label, clock["universes"], clock["intervals"], _fmt(clock["mean_ms"], 3),
        _fmt(clock["p50_ms"], 3), _fmt(clock["p99_ms"], 3), _fmt(clock["max_ms"], 3),
        _fmt(clock["min_ms"], 3), clock["drift_ms"], clock["frames_per_min"])


def write_docs(results, rows, docs, command):
    plot_intervals(results, os.path.join(docs, "perf-intervals.png"))
    plot_latency(results, os.path.join(docs, "perf-latency.png"))
    m = results["machine"]
    quick = not results.get("full")
    out = []
    out.append("# Performance")
    out.append("")
    out.append("Measured with `%s` on %s (commit %s), in %.0f s." % (
        command, m["date"], m["commit"], results.get("seconds", 0)))
    out.append("")
    memory = m["memory"]
    if memory.endswith(" kB") and memory[:-3].strip().isdigit():
        memory = "%.1f GiB" % (int(memory[:-3]) / 1048576.0)
    out.append("Machine: %s, %d cores, %s memory, Linux %s, Debian %s. Load average at the start: "
               "%.2f (the machine is shared; every comparison below is between figures measured "
               "in the same run, and each capacity figure is the median of %d repetitions)." % (
                   m["cpu"], m["cores"], memory, m["kernel"], m["debian"], m["load"][0],
                   len(results.get("capacity") or [])))
    out.append("")
    out.append(markdown_table(rows))
    out.append("")
    out.append("Ratio: measured / target for the limits (at most 1 passes for an upper "
               "limit; for the intervals the larger of p99 lateness / 1 ms and, idle, max "
               "lateness / 3 ms), program / reference for the capacity rows, and frames a "
               "minute / 800 for the drift.")
    if quick:
        out.append("The clock, CPU and memory runs last %.0f s each by default, so that the whole "
                   "run takes a few minutes; `scripts/perf.sh --full` runs them for 60 s as the "
                   "targets state, with longer floods and five repetitions." % (
                       (results.get("idle") or {}).get("seconds", 20)))
    else:
        out.append("This is the `--full` run: 60 s for each clock, CPU and memory run, 2 s floods and "
                   "five repetitions of the capacity search. Without `--full` the run takes a few "
                   "minutes, with 20 s runs and three repetitions.")
    out.append("")
    out.append(METHOD)
    out.append("")
    out.append(capacity_section(results))
    out.append(clock_section(results))
    out.append(latency_section(results))
    out.append(load_section(results))
    out.append(window_section(results))
    out.append(start_section(results))
    out.append(findings(results, rows))
    with open(os.path.join(docs, "PERFORMANCE.md"), "w") as f:
        f.write("\n".join(out).rstrip() + "\n")


METHOD = """## How it is measured

`scripts/perf.sh` builds the release preset and runs `bench/perf/perf.py` as root. The driver
builds four network namespaces joined by veth pairs, like a show network, with the peer beside
the bridge:

```
console  vc0 2.0.0.1/8  <==>  vb0 2.0.0.10/8, 2.0.0.11/8   bridge
                              vb1 192.168.0.10/24  <==>  vn1 192.168.0.30/24  node
         vc1 3.0.0.1/8  <==>  vp0 3.0.0.10/8                peer (olad)
```

The real program (`build/release/app/pallador`, copied beside a settings file with the input on
2.0.0.10 and 16 outputs from 192.168.0.10 to 192.168.0.30, universes 0-15) runs in the bridge
namespace on the offscreen platform. The load tools (`bench/perf/perf_load.cpp`) run in the
console and node namespaces; no traffic leaves the namespaces, and every load is bounded in
time and count.

- **Input capacity.** `perf_load flood` sends 530-byte ArtDmx (universes 0-31 in turn) from the
  console at a fixed rate for a bounded time (`sendmmsg`, paced on the monotonic clock). Each
  receiver is flooded at rising and falling rates: first as fast as the sender goes, then around
  what the receiver handled, bracketing the highest rate with under 0.1 % loss to about 8 %.
  Handled datagrams are counted outside the product, so that nothing is added to it: for the
  program and the bare loop, the bridge namespace's UDP `InDatagrams` counter (the kernel counts
  a datagram when a process reads it; the program's listener reads the next datagram only after
  the main thread has handled the previous one, so every datagram read was handled), after the
  receiver has drained its queue. The bare loop (`perf_load bare`) is a blocking `recvfrom` loop
  with the same 1 MiB receive buffer request as the program. olad runs as user olad with its own
  configuration, Art-Net only, its four input ports patched to universes 0-3; its figure is the
  frames it counts itself (`universe-dmx-frames` on its `/debug` page) against the frames the
  flood sent to those universes. The bare loop listens on 2.0.0.11 beside the program on
  2.0.0.10, olad on 3.0.0.10; all three stay up through a repetition and their searches take
  turns, one flood each, so that load from elsewhere on the machine falls on all of them. A
  lossy flood is tried a second time before it counts. The ratios are taken per repetition and
  the median is shown.
- **Transmit clock.** 16 active outputs, no input; `perf_load sink` at the node records every
  datagram with the kernel's receive time (`SO_TIMESTAMPNS`, mapped onto the monotonic clock).
  Intervals are taken between consecutive datagrams of each universe; "late" is interval - 75 ms.
  Drift is the span of a universe's frames less (frames - 1) x 75 ms (the median over the
  universes is shown; every universe must stay within 1 ms): a lost tick shows as +75 ms, an
  extra one as -75 ms, a clock running slow or fast as a growing figure. "Other core busy" adds one process spinning for the
  run (`perf_load spin`, stopped by its PID). The driver runs as root, so the clock thread gets
  the real-time priority it asks for; a third run starts the program as user nobody without
  capabilities, where that request is refused, as on a desktop without a real-time allowance.
- **Forwarding latency, CPU, memory.** A console (`perf_load console`) sends universes 0-15 at
  44 Hz (704 ArtDmx/s), each universe on a phase of its own, each universe's level changing at a
  random moment 150-450 ms after its last change, so changes fall at many points of the 75 ms
  period; channels 1-4 carry a counter. Latency is from the first datagram carrying a new counter to the first output
  datagram carrying it. CPU is the time on CPU of all the program's threads (`schedstat`) over
  wall time; memory is the peak resident set (`VmHWM`).
- **Responsiveness.** `bench/perf/perf_window.cpp` runs the program's own main window and frame
  (the UI library of `app/`, the same settings) offscreen, records each status refresh
  (`tmrStatus`), and clicks "Connect" half-way; the input is flooded meanwhile at the program's
  lossless rate measured before.
- **Start and stop.** `perf_load startstop` forks the program into the bridge namespace and waits
  for its first datagram at the node; then sends SIGTERM and waits for its end (a `pidfd`).
  Five runs, median; the first run includes loading the libraries from a cold cache.
- **Micro-benchmarks.** `bench/*_bench` (Google Benchmark), run inside the bridge namespace so
  that their loopback sockets meet no one else's, medians of repeated runs."""


def capacity_section(results):
    reps = results.get("capacity") or []
    if not reps:
        return ""
    out = ["## Input capacity", "", "Highest lossless rate per repetition (ArtDmx/s):", "",
           "| Repetition | Bare loop | Program | olad | Program / bare | Program / olad | "
           "Handled at overload: bare / program / olad |",
           "|---|---|---|---|---|---|---|"]
    for i, r in enumerate(reps):
        bare = r.get("bare", {}).get("lossless")
        app = r.get("app", {}).get("lossless")
        olad = r.get("olad", {}).get("lossless")
        out.append("| %d | %s%s | %s | %s | %s | %s | %s |" % (
            i + 1, _rate(bare), " (sender's limit)" if r.get("bare", {}).get("sender_limited")
            else "", _rate(app), _rate(olad),
            _fmt(app / bare if bare else None), _fmt(app / olad if olad else None),
            " / ".join(_rate(overload_rate(r[k])) if k in r else "n/a"
                       for k in ("bare", "app", "olad"))))
    out.append("")
    out.append("Each search (rate asked for -> offered, loss):")
    out.append("")
    for i, r in enumerate(reps):
        for kind in ("bare", "app", "olad"):
            if kind in r:
                steps = ", ".join("%s -> %s %.2f %%" % (
                    "max" if t["rate"] == 0 else _rate(t["rate"]), _rate(t["offered"]),
                    100 * t["loss"]) for t in r[kind]["trials"])
                out.append("- %d %s: %s" % (i + 1, kind, steps))
    out.append("")
    return "\n".join(out)


def clock_section(results):
    out = ["## Transmit clock", "",
           "| Run | Universes | Intervals | Mean | p50 | p99 | Max | Min | Drift over the run | "
           "Frames/min |", "|---|---|---|---|---|---|---|---|---|---|"]
    for key, label in CLOCK_RUNS:
        clock = (results.get(key) or {}).get("clock")
        if clock:
            out.append(_clock_line(label, clock))
    out.append("")
    out.append("Times in ms. ![Transmit intervals](perf-intervals.png)")
    out.append("")
    return "\n".join(out)


def latency_section(results):
    latency = (results.get("steady") or {}).get("latency")
    if not latency:
        return ""
    values = latency["latency_ms"]
    out = ["## Forwarding latency", ""]
    if values:
        out.append("%d level changes: min %s, p50 %s, p99 %s, max %s ms; %d never seen at the "
                   "node, %d overtaken by a newer level before a tick." % (
                       len(values), _fmt(min(values)), _fmt(median(values)),
                       _fmt(perfstats.percentile(values, 0.99)), _fmt(max(values)),
                       latency["unseen"], latency["overtaken"]))
    out.append("")
    out.append("![Forwarding latency](perf-latency.png)")
    out.append("")
    return "\n".join(out)


def load_section(results):
    steady = results.get("steady")
    if not steady:
        return ""
    series = steady["rss_series_kb"]
    return "\n".join([
        "## CPU and memory", "",
        "16 outputs, 704 ArtDmx/s in, %.0f s: %.2f %% of one core; resident set %.1f MB at the "
        "end, peak %.1f MB; sampled every second from %.1f to %.1f MB." % (
            steady["seconds"], 100 * steady["cpu_fraction"], steady["rss_kb"] * 1024 / MB,
            steady["hwm_kb"] * 1024 / MB, min(series) * 1024 / MB if series else 0,
            max(series) * 1024 / MB if series else 0),
        "Idle (16 outputs, no input): %.2f %%; other core busy: %.2f %%." % (
            100 * (results.get("idle") or {}).get("cpu_fraction", 0),
            100 * (results.get("busy") or {}).get("cpu_fraction", 0)),
        ""])


def window_section(results):
    w = results.get("window")
    if not w:
        return ""
    return "\n".join([
        "## Responsiveness under flood", "",
        "Flood of %s (loss %.3f %%) for %.0f s. Status refresh intervals (ms): %s. Reconnect "
        "at %.0f ms took %s ms; input status %r, outputs without error %d/16." % (
            _rate(w["offered"]), 100 * w["loss"], (w["refresh_ms"] or [0])[-1] / 1000.0,
            ", ".join("%.0f" % i for i in w["intervals_ms"]), w["reconnect_at_ms"],
            _fmt(w["reconnect_ms"], 1), w["input_status"], w["outputs_without_error"]),
        ""])


def start_section(results):
    runs = results.get("startstop") or []
    if not runs:
        return ""
    return "\n".join([
        "## Start and stop", "",
        "Start (ms): %s. Stop (ms): %s. Exit codes: %s." % (
            ", ".join("%.0f" % r["start_ms"] for r in runs),
            ", ".join("%.0f" % r["stop_ms"] for r in runs),
            ", ".join(str(r["exit"]) for r in runs)),
        "Stopping includes the 300 ms that the program waits after stopping its transmit clock "
        "before it frees what a tick uses.", ""])


def overload_rate(search):
    """Datagrams handled per second in the search's first, saturating flood."""
    t = search["trials"][0]
    return t["offered"] * t["handled"] / t["expected"] if t["expected"] else 0.0


def findings(results, rows):
    cap = capacity_figures(results)
    micro = results.get("micro") or {}
    reps = results.get("capacity") or []
    overload = {kind: median(overload_rate(r[kind]) for r in reps if kind in r)
                for kind in ("bare", "app", "olad") if any(kind in r for r in reps)}
    missed = [r["figure"] for r in rows if r["met"] is False]
    out = ["## Findings", ""]
    out.append("Targets missed in this run: %s." % ("; ".join(missed) if missed else "none"))
    out.append("")
    out.append(FINDINGS_CAPACITY % {
        "app": _rate(cap.get("app")), "bare": _rate(cap.get("bare")),
        "times": "%.0f" % (cap["app"] / 704.0) if cap.get("app") else "n/a",
        "ratio": _fmt(cap.get("app/bare")), "olad": _rate(cap.get("olad")),
        "app_over": _rate(overload.get("app")), "bare_over": _rate(overload.get("bare")),
        "olad_over": _rate(overload.get("olad")),
        "sync": _fmt(micro.get("sync_event_loop_us"), 1),
        "handoff": _fmt(micro.get("handoff_ratio_event_loop"))})
    steady = results.get("steady") or {}
    latency = (steady.get("latency") or {}).get("latency_ms") or []
    if latency and max(latency) > 76.0:
        over = [v for v in latency if v > 76.0]
        out.append("")
        out.append(FINDINGS_LATENCY % {
            "over": len(over), "n": len(latency), "worst": _fmt(max(latency)),
            "p999": _fmt(perfstats.percentile(latency, 0.999)), "load": m_load(results)})
    if steady and steady["cpu_fraction"] > 0.02:
        out.append("")
        out.append(FINDINGS_CPU % {"cpu": "%.2f" % (100 * steady["cpu_fraction"]),
                                   "load": m_load(results)})
    user = (results.get("busy_user") or {}).get("clock")
    busy = (results.get("busy") or {}).get("clock")
    if user and busy:
        out.append("")
        out.append(FINDINGS_CLOCK % {"busy_p99": _fmt(busy["p99_ms"], 2),
                                     "user_p99": _fmt(user["p99_ms"], 2),
                                     "user_max": _fmt(user["max_ms"], 2),
                                     "user_drift": "%+.2f" % user["drift_ms"]})
    out.append("")
    out.append(FINDINGS_HANDOFF % {"handoff": _fmt(micro.get("handoff_ratio_event_loop"))})
    out.append("")
    out.append(FINDINGS_CHANGES)
    return "\n".join(out)


FINDINGS_CAPACITY = """**Input capacity against the bare loop (target 0.5; %(ratio)s here).** The program takes
%(app)s without loss, %(times)s times a console's 704 ArtDmx/s, against %(bare)s for the bare
loop. The bare loop costs about 1 us per datagram and keeps up with whatever the sender manages
while the machine is quiet; it falls only when other work on this shared machine takes its CPU
for longer than its queue lasts. The program's listener hands every datagram to the main thread
and waits until it has been handled: the design's one datagram at a time, on the main thread.
That is two thread wake-ups per datagram. On this 2-vCPU virtual machine a switch between two
threads on one CPU costs 1-2 us and a wake-up across CPUs about 10 us (the Synchronize round trip
alone is %(sync)s us here), so the hand-off, not the handling (50 ns, see the input path row),
sets the limit: about 4 us of CPU per datagram at overload, where the listener and the main
thread share a CPU, and more below it, where they wake each other across CPUs. At overload the
program handles %(app_over)s, the bare loop %(bare_over)s and olad %(olad_over)s; the core's
hand-off measured alone reaches %(handoff)s of a bare loop at overload (udp_bench row). What is left
would change the design: handing several datagrams over per wake-up, handling them on the
listener thread, or spinning, which collapses throughput on two cores
(`shared/notes/linux-sockets.md`, section 5).

**Against olad.** olad reads its socket in its own event loop without a hand-off; at overload
it handled %(olad_over)s against the program's %(app_over)s. Its lossless rate is lower
because it keeps the kernel's default receive buffer (212992 bytes, 166 datagrams of 530 bytes:
about 3 ms at 50k/s), so any pause of a few milliseconds loses datagrams; the program asks for a
1 MiB buffer (2 MiB on this kernel, 1638 datagrams). Both are counted the same way:
frames olad reports for its four patched universes against the frames sent to them."""


def m_load(results):
    return "%.2f" % results["machine"]["load"][0]


FINDINGS_LATENCY = """**Forwarding latency.** %(over)d of %(n)d level changes took longer than 76 ms (worst
%(worst)s ms; 99.9 %% within %(p999)s ms): a change that arrives just after a tick waits one full
period, and here that tick came late, the machine being busy with other work (load average
%(load)s at the start). Such late ticks are rare and come and go with the machine's load (most
runs show none). A probe put into the tick for one separate run (not kept) found that every
late tick had started late: the clock thread, at real-time priority, had not got the CPU in
time; none had waited for the lock it shares with the main thread, and the 16 sends took 0.05 ms
as a rule, 2.3 ms at worst."""


FINDINGS_CPU = """**CPU at a console's load (%(cpu)s %% here, load average %(load)s at the start).** The CPU
time per datagram grows with the machine's other load. Each datagram costs three thread wake-ups
(the listener woken by the datagram, the main thread by the hand-off, the listener again when
the handler has run), and a wake-up that preempts another process costs several times one from
an idle CPU (an address-space switch, cold caches). On this machine, the same 704 ArtDmx/s with
16 outputs measured 0.6-1.5 %% of one core while the load average was below 1.3, and 2.8-4.7 %%
while other engineers were compiling (load average 1.4-1.8); in alternating 12 s runs under that
load the program before this issue's changes measured 3.1, 3.2 and 4.7 %%, after them 2.8, 3.0
and 3.5 %%. Fewer wake-ups would need a change of the design (see the capacity above)."""


FINDINGS_CLOCK = """**The transmit clock without real-time priority.** The clock thread asks for `SCHED_FIFO`
and keeps normal priority when refused. Run as root it gets it: with the other core busy, p99
%(busy_p99)s ms. Started as an unprivileged user, with one process spinning and this shared
machine's own load on the other core, the clock thread competes with other runnable tasks and
can lose the CPU between its 16 sends for up to one scheduler tick (4 ms at this kernel's HZ
250). The first send wakes the sink that records the frames, which here shares the two cores (on
a show network the receivers are other machines), so universe 0, sent first, stays within about
1 ms of its grid (right plot) while the rest of a tick can come out late: p99 %(user_p99)s ms,
max %(user_max)s ms in this run (other runs on this machine, under more load, reached p99
79.9 ms, 4.9 ms late); drift %(user_drift)s ms over the run, as late ticks are caught
up and none is lost. Where the 1 ms must hold on a busy machine, give the program the real-time
allowance it already asks for: an `rtprio` limit for its user (`/etc/security/limits.conf`, as
audio software uses) or `CAP_SYS_NICE` on the executable. Tried and dropped: a short time slice
for the clock thread at normal priority (`sched_setattr` with a 0.1 ms runtime, honoured since
Linux 6.12 without rights), which did not move the p99 in three alternating runs."""


FINDINGS_HANDOFF = """**The hand-off benchmark (udp_bench).** Its ratio at overload (%(handoff)s here) moves
with the machine's other load between about 0.4 and 0.6 from run to run: it floods from a
thread of the same process, so the sender, the listener and the main thread share the two
cores with whatever else runs."""


FINDINGS_CHANGES = """**What the profile showed and what changed.** Counting `malloc` calls in the running program
(a `perf probe` on libc's malloc, 10,000 ArtDmx/s) found about five allocations per received
datagram, none of them in the handling: three in every listener cycle (the socket stack's wait
built its descriptor list and its readable list anew each time) and two in waking Qt's event loop
(a queued call allocates its event and functor). The wait now works on the stack and compacts the
readable list in place, and the event loop is woken through an eventfd watched by a socket
notifier; the program now makes no allocation per datagram. Throughput did not change measurably:
the wake-ups dominate. Also tried and dropped: a main thread that stays in the queue for up to
200 us after each datagram instead of returning to Qt's loop (no gain; lower at overload)."""
