"""What one object costs: resident memory, creation, attribute read, indexed write.

    python bench/objects.py [--count 200000]

Every object has four attributes (three short str, one int), the shape of a fruits
record. Peers: a plain class with __dict__, a dict, a __slots__ class, and Indexable.
Each memory figure comes from a fresh process (RSS growth over `count` objects,
divided by `count`). The numeric and the string write are measured on objects held by one index,
against a hand-written dict of sets kept in step by hand and a plain attribute store.
Prints one JSON object; `run.py --only objects` prints it as a table.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import statistics
import subprocess
import sys
import time
import timeit

PAGE = os.sysconf("SC_PAGE_SIZE")
KINDS = ("plain class", "dict", "__slots__ class", "Indexable")
TYPES = ("apple", "pear", "banana", "kiwi", "plum")
COLORS = ("red", "green", "yellow", "blue")
SHAPES = ("round", "cube", "long")


def rss() -> int:
    gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def _classes():
    from Quarrydex import Indexable

    class Plain:
        def __init__(self, type, color, shape, size):
            self.type, self.color, self.shape, self.size = type, color, shape, size

    class Slotted:
        __slots__ = ("type", "color", "shape", "size")

        def __init__(self, type, color, shape, size):
            self.type, self.color, self.shape, self.size = type, color, shape, size

    makers = {
        "plain class": lambda t, c, s, n: Plain(t, c, s, n),
        "dict": lambda t, c, s, n: {"type": t, "color": c, "shape": s, "size": n},
        "__slots__ class": lambda t, c, s, n: Slotted(t, c, s, n),
        "Indexable": lambda t, c, s, n: Indexable(type=t, color=c, shape=s, size=n),
    }
    return makers


def _fields(count: int, seed: int = 36) -> list[tuple]:
    rng = random.Random(seed)
    # The strings are shared (as in real records read through an interning
    # parser), so the figure is the object's own cost, not its strings'.
    return [(rng.choice(TYPES), rng.choice(COLORS), rng.choice(SHAPES), rng.randint(1, 100)) for _ in range(count)]


def memory_child(kind: str, count: int) -> float:
    make = _classes()[kind]
    fields = _fields(count)
    before = rss()
    objects = [make(*f) for f in fields]
    grown = rss() - before
    assert len(objects) == count
    return grown / count


def _per_op(stmt: str, namespace: dict, ops: int = 1) -> float:
    timer = timeit.Timer(stmt, globals=namespace, timer=time.thread_time)
    probe = max(timer.timeit(number=100), 1e-7)
    number = max(100, int(100 * 0.02 / probe))
    return statistics.median(timer.repeat(repeat=7, number=number)) / number / ops


def timings(count: int) -> dict:
    from Quarrydex import Index

    makers = _classes()
    out: dict = {}
    for kind, make in makers.items():
        out[f"create {kind}"] = _per_op("make('apple', 'red', 'round', 7)", {"make": make})
        obj = make("apple", "red", "round", 7)
        stmt = "o['size']" if kind == "dict" else "o.size"
        out[f"read {kind}"] = _per_op(stmt, {"o": obj})
    fields = _fields(count)
    objects = [makers["Indexable"](*f) for f in fields]
    index = Index()
    index.add_object_many(objects)
    rng = random.Random(5)
    # Distinct objects, each given a value other than its current one and then
    # its old value back, run after run: a run that wrote the values already
    # stored would time writes that any tool may skip.
    picks = rng.sample(range(count), min(20_000, count))
    letters = "abcdefghijklmnopqrstuvwxyz"
    names = ["".join(rng.choices(letters, k=rng.randint(3, 20))) for _ in range(500)]
    # The numeric write, and a string write whose new value is a name of 3 to
    # 20 letters (substring and suffix structures kept in step).
    writes = {
        "size": ("", [fields[p][3] % 100 + 1 for p in picks], [fields[p][3] for p in picks]),
        "type": ("str ", [rng.choice(names) for _ in picks], [fields[p][0] for p in picks]),
    }
    plain = [makers["plain class"](*f) for f in fields]
    for attr, (label, new, old) in writes.items():
        column = 3 if attr == "size" else 0
        records = [{attr: f[column]} for f in fields]
        by_value: dict = {}
        for i, r in enumerate(records):
            by_value.setdefault(r[attr], set()).add(i)
        namespace = {"objects": objects, "plain": plain, "picks": picks, "values": new,
                     "records": records, "by_value": by_value}
        exec(
            f"def indexed():\n    for p, v in zip(picks, values):\n        objects[p].{attr} = v\n"
            f"def hand():\n    for p, v in zip(picks, values):\n        r = records[p]\n"
            f"        by_value[r[{attr!r}]].discard(p)\n        r[{attr!r}] = v\n"
            f"        by_value.setdefault(v, set()).add(p)\n"
            f"def attribute():\n    for p, v in zip(picks, values):\n        plain[p].{attr} = v\n",
            namespace,
        )
        for name, fn in (("Indexable in one index", "indexed"), ("dict of sets", "hand"),
                         ("plain attribute", "attribute")):
            write = namespace[fn]

            def run_once(write=write, namespace=namespace, new=new, old=old):
                write()
                namespace["values"] = old if namespace["values"] is new else new

            run_once()  # warm-up
            run_once()
            seconds = statistics.median(timeit.repeat(run_once, repeat=8, number=1, timer=time.thread_time))
            out[f"write {label}{name}"] = seconds / len(picks)
    del index
    return out


def run(count: int) -> dict:
    result: dict = {"count": count}
    for kind in KINDS:
        cmd = [sys.executable, os.path.abspath(__file__), "--child", kind, "--count", str(count)]
        done = subprocess.run(cmd, capture_output=True, text=True, check=True)
        result[f"rss per object {kind}"] = float(done.stdout.strip().splitlines()[-1])
    result.update(timings(count))
    return result


def table(result: dict) -> str:
    lines = [f"{'measure':<38} {'value':>12}", "-" * 51]
    for key, value in result.items():
        if key == "count":
            continue
        text = f"{value:,.0f} B" if key.startswith("rss") else f"{value * 1e9:,.0f} ns"
        lines.append(f"{key:<38} {text:>12}")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=200_000)
    parser.add_argument("--child", default="")
    args = parser.parse_args()
    if args.child:
        print(memory_child(args.child, args.count))
        return
    result = run(args.count)
    print(table(result))
    print(json.dumps(result))


if __name__ == "__main__":
    main()
