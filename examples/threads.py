"""Threads sharing one index.

Adding objects, queries and attribute writes release the interpreter lock
while they work on index data, and each index guards itself with its own
locks, so several threads may use one index at once without a lock of yours.

    python examples/threads.py
"""

from __future__ import annotations

import threading
from concurrent.futures import ThreadPoolExecutor

from Quarrydex import Index, Indexable, PyQueryExpr as Q

WRITERS = 4
BATCHES = 20
BATCH = 500


class Reading(Indexable):
    sensor: int
    value: float
    state: str


def add_batches(index: Index, writer: int) -> list[Reading]:
    """One producer: adds its readings in batches."""
    mine: list[Reading] = []
    for batch in range(BATCHES):
        readings = [
            Reading(sensor=writer, value=float(batch * BATCH + n), state="raw") for n in range(BATCH)
        ]
        index.add_object_many(readings)
        mine.extend(readings)
    return mine


def watch(index: Index, stop: threading.Event) -> int:
    """One consumer: queries while the producers add. Objects are only ever
    added in this phase, so a count can only grow and every object found
    must match the query."""
    seen = 0
    rounds = 0
    while not stop.is_set() or rounds == 0:
        found = index.reduced_query(Q.and_(Q.eq("sensor", 0), Q.lt("value", 1000))).collect()
        assert len(found) >= seen
        assert all(isinstance(r, Reading) and r.sensor == 0 and r.value < 1000 for r in found)
        seen = len(found)
        rounds += 1
    return rounds


def mark(readings: list[Reading], state: str) -> None:
    for reading in readings:
        reading.state = state


def main() -> None:
    index = Index()
    stop = threading.Event()
    with ThreadPoolExecutor(max_workers=WRITERS + 2) as pool:
        watchers = [pool.submit(watch, index, stop) for _ in range(2)]
        producers = [pool.submit(add_batches, index, w) for w in range(WRITERS)]
        per_writer = [p.result() for p in producers]
        stop.set()
        rounds = sum(w.result() for w in watchers)

    total = WRITERS * BATCHES * BATCH
    assert len(index.collect()) == total
    assert len(index.get_by_attribute(sensor=0)) == BATCHES * BATCH
    print(f"{WRITERS} threads added {total:,} readings while 2 threads ran {rounds:,} queries")

    # Attribute writes from several threads at once, each on its own objects:
    # every write lands in the shared index.
    with ThreadPoolExecutor(max_workers=WRITERS) as pool:
        list(pool.map(lambda rs: mark(rs[::2], "checked"), per_writer))
    checked = index.reduced(state="checked")
    assert len(checked.collect()) == total // 2
    assert len(checked.reduced(sensor=3).collect()) == BATCHES * BATCH // 2
    assert len(index.reduced_query(Q.ne("state", "checked")).collect()) == total // 2

    # Queries in parallel read the same index without waiting for each other.
    with ThreadPoolExecutor(max_workers=WRITERS) as pool:
        counts = list(pool.map(lambda s: len(index.get_by_attribute(sensor=s, state="raw")), range(WRITERS)))
    assert counts == [BATCHES * BATCH // 2] * WRITERS
    print("per-sensor readings still raw:", counts)


if __name__ == "__main__":
    main()
