"""Tiny benchmark runner: every figure is measured side by side with its
baseline in the same run and reported as a ratio.

Usage from a benchmark script::

    from runner import Bench
    bench = Bench("frame")
    bench.compare("get('P') vs P.copy()", ours=lambda: f.get("P"), baseline=lambda: P.copy())
    bench.report()
"""

from __future__ import annotations

import gc
import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def best_time(fn, number=None, repeat=7):
    """Best-of-`repeat` time of one call of fn, in seconds."""
    timer = timeit.Timer(fn)
    if number is None:
        number, _ = timer.autorange()
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        return min(timer.repeat(repeat=repeat, number=number)) / number
    finally:
        if gc_was_enabled:
            gc.enable()


def best_times(fns, number=1, rounds=15):
    """Best time of one call of each of fns, timed in alternation round after
    round: on a shared machine a burst of load then hits every figure alike
    instead of whichever happened to be measured during it."""
    timers = [timeit.Timer(fn) for fn in fns]
    best = [float("inf")] * len(fns)
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(rounds):
            for i, timer in enumerate(timers):
                best[i] = min(best[i], timer.timeit(number) / number)
    finally:
        if gc_was_enabled:
            gc.enable()
    return best


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:8.3f} {unit}"
    return f"{seconds / 1e-9:8.3f} ns"


class Bench:
    def __init__(self, title):
        self.title = title
        self.rows = []

    def compare(self, label, ours, baseline, number=None, repeat=7, target=None):
        """Time `ours` and `baseline`; ratio = baseline time / our time."""
        t_base = best_time(baseline, number, repeat)
        t_ours = best_time(ours, number, repeat)
        self.rows.append((label, t_ours, t_base, t_base / t_ours, target))
        return t_ours, t_base

    def add(self, label, t_ours, t_base, target=None):
        self.rows.append((label, t_ours, t_base, t_base / t_ours, target))

    def report(self):
        print(f"== {self.title} ==")
        print(f"{'figure':58s} {'ours':>12s} {'baseline':>12s} {'ratio':>9s}  target")
        for label, t_ours, t_base, ratio, target in self.rows:
            tgt = "" if target is None else target
            print(f"{label:58s} {fmt_time(t_ours):>12s} {fmt_time(t_base):>12s} {ratio:8.2f}x  {tgt}")
