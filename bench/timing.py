"""Timing helpers: medians over adaptive repetitions, thread throughput, unit formatting.

Medians rather than means or minima: the machine is shared, and a median ignores the
occasional stall without rewarding one lucky run.
"""

from __future__ import annotations

import statistics
import threading
import time
from typing import Any, Callable

perf = time.perf_counter


def measure(fn: Callable[[], Any], budget: float = 0.3, min_runs: int = 3, max_runs: int = 200) -> tuple[float, Any, int]:
    """Median seconds of `fn()` after one warm-up call, repeating until `budget`
    seconds are spent (at least `min_runs`, at most `max_runs` timed calls).
    Returns (median, the warm-up call's result, number of timed calls)."""
    result = fn()
    times: list[float] = []
    start = perf()
    while len(times) < min_runs or (len(times) < max_runs and perf() - start < budget):
        t0 = perf()
        fn()
        times.append(perf() - t0)
    return statistics.median(times), result, len(times)


def time_once(fn: Callable[[], Any]) -> tuple[float, Any]:
    t0 = perf()
    result = fn()
    return perf() - t0, result


def throughput(fn: Callable[[], Any], threads: int, duration: float) -> float:
    """Calls per second of `fn` run in a loop by `threads` threads for `duration`."""
    counts = [0] * threads
    stop = threading.Event()
    ready = threading.Barrier(threads + 1)

    def work(slot: int) -> None:
        ready.wait()
        done = 0
        while not stop.is_set():
            fn()
            done += 1
        counts[slot] = done

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    ready.wait()
    t0 = perf()
    time.sleep(duration)
    stop.set()
    for w in workers:
        w.join()
    return sum(counts) / (perf() - t0)


def fmt_seconds(s: float | None) -> str:
    if s is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}"
    return f"{s / 1e-9:.3g} ns"


def fmt_ratio(r: float | None) -> str:
    if r is None:
        return "-"
    if r >= 100:
        return f"{r:,.0f}x"
    return f"{r:.3g}x"
