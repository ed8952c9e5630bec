"""Checks of the performance run's own arithmetic: the figures it reports are
only as good as these."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True

import perf  # noqa: E402
import perfstats  # noqa: E402

MS = 1_000_000


def frames(universes, count, period_ms=75.0, skip=(), start_ms=1000.0):
    """Sink records of `count` ticks for each universe, leaving out the ticks in `skip`."""
    return [(int((start_ms + k * period_ms) * MS) + u * 1000, u, k, 530)
            for k in range(count) if k not in skip for u in universes]


class TransmitClock(unittest.TestCase):
    def test_steady_ticks_have_no_drift(self):
        clock = perfstats.transmit_clock(frames([0, 1], 400), 0, 10**15)
        self.assertEqual(clock["universes"], 2)
        self.assertAlmostEqual(clock["p99_ms"], 75.0, places=6)
        self.assertAlmostEqual(clock["drift_ms"], 0.0, places=6)
        self.assertAlmostEqual(clock["frames_per_min"], 800.0, places=6)

    def test_a_lost_tick_shows_as_drift_and_a_long_interval(self):
        clock = perfstats.transmit_clock(frames([0], 400, skip={200}), 0, 10**15)
        self.assertAlmostEqual(clock["drift_worst_ms"], 75.0, places=6)
        self.assertAlmostEqual(clock["max_ms"], 150.0, places=6)

    def test_a_slow_clock_shows_as_drift(self):
        clock = perfstats.transmit_clock(frames([0], 801, period_ms=75.01), 0, 10**15)
        self.assertAlmostEqual(clock["drift_ms"], 8.0, places=3)

    def test_only_the_window_counts(self):
        clock = perfstats.transmit_clock(frames([0], 100), int(1000 * MS), int(1000 * MS + 750 * MS))
        self.assertEqual(clock["intervals"], 10)


class ForwardingLatency(unittest.TestCase):
    def test_first_datagram_carrying_the_value_or_a_newer_one(self):
        records = [(10 * MS, 3, 1, 530), (85 * MS, 3, 2, 530), (160 * MS, 3, 4, 530)]
        changes = [(3, 2, 40 * MS), (3, 3, 100 * MS), (3, 5, 150 * MS)]
        result = perfstats.forwarding_latency(changes, records)
        self.assertEqual(result["latency_ms"], [45.0, 60.0])
        self.assertEqual(result["overtaken"], 1)  # value 3 was replaced by 4 before a tick
        self.assertEqual(result["unseen"], 1)     # value 5 never went out

    def test_a_datagram_before_the_change_does_not_count(self):
        records = [(10 * MS, 0, 7, 530), (80 * MS, 0, 7, 530)]
        result = perfstats.forwarding_latency([(0, 7, 50 * MS)], records)
        self.assertEqual(result["latency_ms"], [30.0])


class Uniformity(unittest.TestCase):
    def test_distance_to_uniform(self):
        even = [75.0 * (i + 0.5) / 1000 for i in range(1000)]
        self.assertLess(perfstats.uniformity(even, 0, 75), 0.01)
        self.assertGreater(perfstats.uniformity([1.0] * 100, 0, 75), 0.9)


class CapacitySearch(unittest.TestCase):
    def run_search(self, capacity, sender_max):
        search = perf.Search(trial_s=1.0)
        while not search.done:
            rate = search.next_rate
            offered = sender_max if rate == 0 else min(rate, sender_max)
            handled = min(offered, capacity)
            search.record({"rate": rate, "offered": offered, "handled": handled,
                           "loss": 1 - handled / offered})
        return search

    def test_brackets_the_capacity_within_eight_percent(self):
        for capacity in (40_000, 125_000, 300_000):
            with self.subTest(capacity=capacity):
                search = self.run_search(capacity, 650_000)
                self.assertLessEqual(search.lo, capacity)
                self.assertGreater(search.lo, capacity / 1.09)
                self.assertLessEqual(len(search.trials), perf.Search.MAX_TRIALS)

    def test_a_receiver_that_keeps_up_with_the_sender_is_marked_so(self):
        search = self.run_search(10**9, 650_000)
        self.assertTrue(search.sender_limited)
        self.assertEqual(search.lo, 650_000)


if __name__ == "__main__":
    unittest.main()
