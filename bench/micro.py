"""The per-operation workloads: attribute writes against the peers' equivalents, the
fruits query in two threads against one, and attribute read/write on an Indexable.
"""

from __future__ import annotations

import random
import statistics
import timeit
from typing import Any, Callable

from peers import Peer
import timing
from timing import perf, throughput
from workloads import Workload

Writer = Callable[[list[int], list[Any]], None]


def write_plan(wl: Workload, attr: str, count: int, seed: int = 5) -> tuple[list[int], list[Any], list[Any]]:
    """`count` distinct positions, a new value for each (always different from the
    current one, so no tool can skip the write) and the current values to restore."""
    rng = random.Random(seed)
    ps = rng.sample(range(len(wl.records)), min(count, len(wl.records)))
    old = [wl.records[p][attr] for p in ps]
    new = [v % 100 + 1 for v in old]
    return ps, new, old


def time_writes(write: Writer, ps: list[int], new: list[Any], old: list[Any], budget: float) -> float:
    """Median seconds per write. Batches alternate new and old values so that every
    tool ends where it started and all peers still agree afterwards."""
    per_op: list[float] = []
    start = perf()
    while len(per_op) < 4 or (perf() - start < budget and len(per_op) < 60) or len(per_op) % 2:
        values = old if len(per_op) % 2 else new
        t0 = timing.now()
        write(ps, values)
        per_op.append((timing.now() - t0) / len(ps))
    return statistics.median(per_op)


def unindexed_writer(wl: Workload, ps: list[int], attr: str) -> tuple[Writer, list[int]]:
    """Writes on copies of the objects at `ps` that no index holds."""
    from Quarrydex import Indexable

    class Loose(Indexable):
        pass

    loose = [Loose(**wl.records[p]) for p in ps]
    namespace = {"objects": loose}
    exec(f"def write(ps, vs):\n    for p, v in zip(ps, vs):\n        objects[p].{attr} = v\n", namespace)
    return namespace["write"], list(range(len(ps)))


def updates(wl: Workload, peers: list[Peer], attr: str, budget: float) -> list[tuple[str, float]]:
    """(peer label, median seconds per write) for each peer that has a writer."""
    ps, new, old = write_plan(wl, attr, 1000)
    out = []
    for peer in peers:
        write = peer.writer(attr)
        if write is None:
            continue
        label = peer.name + (" (index kept)" if peer.keeps_index else " (no index)")
        if peer.name.startswith("Quarrydex"):
            label = "Quarrydex, held by one index"
        slow = peer.keeps_index and not peer.name.startswith("Quarrydex") and peer.name != "sqlite3"
        sample = ps[:50] if slow else ps  # sorted-list writes move O(n) memory each
        k = len(sample)
        out.append((label, time_writes(write, sample, new[:k], old[:k], budget)))
    write, local = unindexed_writer(wl, ps, attr)
    out.append(("Quarrydex, held by no index", time_writes(write, local, new, old, budget)))
    return out


def thread_scaling(fn: Callable[[], Any], duration: float, rounds: int = 3) -> tuple[float, float]:
    """Median calls per second with one thread and with two, alternating rounds."""
    one, two = [], []
    for _ in range(rounds):
        one.append(throughput(fn, 1, duration))
        two.append(throughput(fn, 2, duration))
    return statistics.median(one), statistics.median(two)


def reference_scaling(duration: float) -> float:
    """Two threads against one for work that needs no interpreter lock and shares
    nothing (hashing a 1 MiB buffer): what this machine can give two threads right
    now. Near 2 on an idle two-core machine, near 1 when other work holds a core."""
    import hashlib

    block = bytes(1 << 20)
    one, two = thread_scaling(lambda: hashlib.sha256(block).digest(), duration, rounds=2)
    return two / one


def _per_op(stmt: str, namespace: dict, ops_per_stmt: int, target: float = 0.02) -> float:
    """Median over 7 timeit repeats of about `target` seconds each."""
    timer = timeit.Timer(stmt, globals=namespace)
    probe = max(timer.timeit(number=200), 1e-7)
    number = max(200, int(200 * target / probe))
    return statistics.median(timer.repeat(repeat=7, number=number)) / number / ops_per_stmt


def indexable_rw(max_attrs: int = 8, neighbours: int = 10_000) -> list[dict]:
    """Read and write of the last attribute of an object with 1..max_attrs
    attributes: a plain Python object, an Indexable held by no index, and an
    Indexable held by one index (of `neighbours` objects of the same shape)."""
    from Quarrydex import Index, Indexable

    class Plain:
        pass

    class Item(Indexable):
        pass

    rows = []
    for n in range(1, max_attrs + 1):
        attrs = {f"a{i}": i for i in range(n)}
        plain = Plain()
        plain.__dict__.update(attrs)
        loose = Item(**attrs)
        held = [Item(**{k: v + j for k, v in attrs.items()}) for j in range(neighbours)]
        index = Index()
        index.add_object_many(held)
        last = f"a{n - 1}"
        row: dict[str, Any] = {"attributes": n}
        for kind, obj in (("plain object", plain), ("no index", loose), ("one index", held[neighbours // 2])):
            namespace = {"o": obj}
            row[f"read {kind}"] = _per_op(f"o.{last}", namespace, 1)
            row[f"write {kind}"] = _per_op(f"o.{last} = 1000001; o.{last} = 1000002", namespace, 2)
        rows.append(row)
        del index, held
    return rows
