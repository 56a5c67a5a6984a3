"""Timing helpers: medians over adaptive repetitions, thread throughput, unit formatting.

Single-threaded timings read the calling thread's CPU clock by default, not the wall
clock: on a shared machine a process is preempted at random, and wall time then
measures the neighbours. The thread clock still counts the kernel's work for us (page
faults, allocation) and the parts a call runs with the interpreter lock released. It
misses only time spent waiting, and none of the timed calls waits for anything but
its own thread. `use_wall_clock()` switches back. Medians rather than means or
minima: they ignore the occasional stall without rewarding one lucky run.
"""

from __future__ import annotations

import statistics
import threading
import time
from typing import Any, Callable

perf = time.perf_counter  # wall clock: budgets, throughput
clock = time.thread_time  # what timed calls are measured with


def use_wall_clock() -> None:
    global clock
    clock = time.perf_counter


def now() -> float:
    return clock()


def measure(fn: Callable[[], Any], budget: float = 0.3, max_samples: int = 200) -> tuple[float, Any, int]:
    """Median seconds per call of `fn()` after one warm-up call. Fast calls are timed
    in batches of about 2 ms so the clock's own cost (a system call for the thread
    clock) stays negligible; sampling goes on for `budget` wall seconds, with at
    least 5 samples (3 when one call takes over 0.1 s). Returns (median, the warm-up
    call's result, number of timed calls)."""
    result = fn()
    t0 = clock()
    fn()
    single = clock() - t0
    batch = max(1, int(0.002 / max(single, 1e-7)))
    min_samples = 3 if single > 0.1 else 5
    samples: list[float] = []
    start = perf()
    while len(samples) < min_samples or (len(samples) < max_samples and perf() - start < budget):
        t0 = clock()
        for _ in range(batch):
            fn()
        samples.append((clock() - t0) / batch)
    return statistics.median(samples), result, len(samples) * batch


def time_once(fn: Callable[[], Any]) -> tuple[float, Any]:
    t0 = clock()
    result = fn()
    return clock() - t0, result


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
        if s >= scale * 0.9995:  # what would print as 1e+03 of the smaller unit
            return f"{s / scale:.3g} {unit}"
    return f"{s / 1e-9:.3g} ns"


def fmt_ratio(r: float | None) -> str:
    if r is None:
        return "-"
    if r >= 100:
        return f"{r:,.0f}x"
    return f"{r:.3g}x"
