"""Quarrydex demo: find objects by attribute values, beside the usual tools.

Builds the "fruits" workload (records of size, type, color and shape), indexes
it with Quarrydex, then answers the same queries with a list comprehension,
SQLite and pandas, checks that every tool returns the same records, prints a
comparison table and writes a chart.

    python demo/demo.py                 # 2,000,000 records
    python demo/demo.py --size 200000   # a quick run (well under a minute)
"""

from __future__ import annotations

import argparse
import random
import sqlite3
import statistics
import sys
import time
from typing import Callable

from Quarrydex import Index, Indexable, PyQueryExpr as Q

TYPES = ["apple", "grape", "mango", "banana", "watermelon"]
COLORS = ["red", "orange", "yellow", "green", "blue"]
SHAPES = ["cube", "sphere", "pyramid", "dodecahedron"]


class Fruit(Indexable):
    """A record as an object: its attributes are tracked by Quarrydex."""


def make_records(size: int) -> list[dict]:
    random.seed(36)
    records = []
    for _ in range(size):
        records.append(
            {
                "size": random.randint(1, 100),
                "type": random.choice(TYPES),
                "color": random.choice(COLORS),
                "shape": random.choice(SHAPES),
            }
        )
    return records


def progress(label: str, done: int, total: int) -> None:
    width = 30
    filled = width * done // max(total, 1)
    sys.stdout.write(f"\r  {label:<28} [{'#' * filled}{'.' * (width - filled)}] {done:>9,}/{total:,}")
    if done >= total:
        sys.stdout.write("\n")
    sys.stdout.flush()


def build_objects(records: list[dict]) -> list[Fruit]:
    objects = []
    step = max(len(records) // 20, 1)
    for i, record in enumerate(records):
        objects.append(Fruit(**record))
        if i % step == 0:
            progress("creating objects", i, len(records))
    progress("creating objects", len(records), len(records))
    return objects


def timed(f: Callable[[], object], repeat: int) -> tuple[float, object]:
    times = []
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = f()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=2_000_000, help="number of records (default 2,000,000)")
    parser.add_argument("--chart", default="demo_results.png", help="where to write the chart (PNG)")
    parser.add_argument("--repeat", type=int, default=5, help="timing repetitions per query")
    args = parser.parse_args()

    print(f"Quarrydex demo with {args.size:,} records")
    records = make_records(args.size)
    objects = build_objects(records)

    start = time.perf_counter()
    index = Index()
    index.add_object_many(objects)
    print(f"  Index.add_object_many: {time.perf_counter() - start:.2f} s")

    start = time.perf_counter()
    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE fruit (id INTEGER PRIMARY KEY, size INT, type TEXT, color TEXT, shape TEXT)")
    db.executemany(
        "INSERT INTO fruit VALUES (?, ?, ?, ?, ?)",
        ((i, r["size"], r["type"], r["color"], r["shape"]) for i, r in enumerate(records)),
    )
    db.execute("CREATE INDEX fruit_all ON fruit(type, size, color, shape)")
    db.execute("CREATE INDEX fruit_size ON fruit(size)")
    db.execute("CREATE INDEX fruit_color ON fruit(color)")
    print(f"  SQLite insert + indexes: {time.perf_counter() - start:.2f} s")

    try:
        import pandas as pd
    except ImportError:  # pandas is optional for the demo
        pd = None
    if pd is not None:
        start = time.perf_counter()
        frame = pd.DataFrame.from_records(records)
        for column in ("type", "color", "shape"):
            frame[column] = frame[column].astype("category")
        print(f"  pandas DataFrame (category columns): {time.perf_counter() - start:.2f} s")

    position = {id(o): i for i, o in enumerate(objects)}

    def ids_of(found: list) -> list[int]:
        # Quarrydex hands back the objects themselves; map them to record
        # positions only to check them against the other tools (not timed).
        return sorted(position[id(o)] for o in found)

    # Each query once per tool: the condition of the list comprehension (compiled
    # inline, as a user would write it), a Quarrydex tree, a SQL condition and a
    # pandas mask.
    specs = [
        (
            "watermelon, size 50, green, cube",
            'r["type"] == "watermelon" and r["size"] == 50 and r["color"] == "green" and r["shape"] == "cube"',
            Q.and_(Q.eq("type", "watermelon"), Q.eq("size", 50), Q.eq("color", "green"), Q.eq("shape", "cube")),
            "type='watermelon' AND size=50 AND color='green' AND shape='cube'",
            lambda f: (f["type"] == "watermelon") & (f["size"] == 50) & (f["color"] == "green") & (f["shape"] == "cube"),
        ),
        (
            "apple|grape, size 10..20, sphere",
            'r["type"] in ("apple", "grape") and 10 <= r["size"] <= 20 and r["shape"] == "sphere"',
            Q.and_(Q.in_("type", ["apple", "grape"]), Q.bt("size", 10, 20), Q.eq("shape", "sphere")),
            "type IN ('apple','grape') AND size BETWEEN 10 AND 20 AND shape='sphere'",
            lambda f: f["type"].isin(["apple", "grape"]) & f["size"].between(10, 20) & (f["shape"] == "sphere"),
        ),
        (
            "watermelon, green, cube, size >= 95",
            'r["type"] == "watermelon" and r["color"] == "green" and r["shape"] == "cube" and r["size"] >= 95',
            Q.and_(Q.eq("type", "watermelon"), Q.eq("color", "green"), Q.eq("shape", "cube"), Q.ge("size", 95)),
            "type='watermelon' AND color='green' AND shape='cube' AND size >= 95",
            lambda f: (f["type"] == "watermelon") & (f["color"] == "green") & (f["shape"] == "cube") & (f["size"] >= 95),
        ),
    ]
    queries: list[tuple[str, dict[str, Callable[[], list]]]] = []
    for title, condition, tree, where, mask in specs:
        tools: dict[str, Callable[[], list]] = {
            "list comprehension": eval(f"lambda: [i for i, r in enumerate(records) if {condition}]",
                                       {"records": records}),
            "Quarrydex reduced_query": lambda t=tree: index.reduced_query(t).collect(),
            "SQLite": lambda w=where: [row[0] for row in db.execute(f"SELECT id FROM fruit WHERE {w} ORDER BY id")],
        }
        if pd is not None:
            tools["pandas"] = lambda m=mask: frame.index[m(frame)].tolist()
        queries.append((title, tools))
    # The fruits query through the keyword form as well.
    queries[0][1]["Quarrydex get_by_attribute"] = lambda: index.get_by_attribute(
        type="watermelon", size=50, color="green", shape="cube"
    )

    rows = []
    for title, tools in queries:
        base_time, expected = timed(tools["list comprehension"], max(1, args.repeat // 2))
        print(f"\n{title}: {len(expected):,} matches")
        for name, f in tools.items():
            t, got = (base_time, expected) if name == "list comprehension" else timed(f, args.repeat)
            if name.startswith("Quarrydex"):
                got = ids_of(got)
            if sorted(got) != sorted(expected):
                raise SystemExit(f"{name} returned a different result for {title!r}")
            rows.append((title, name, t, base_time / t))
            print(f"  {name:<28} {t * 1000:10.3f} ms   {base_time / t:9.1f}x")

    write_chart(rows, args.chart)


def write_chart(rows: list[tuple[str, str, float, float]], path: str) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\n(matplotlib is not installed: no chart)")
        return
    titles = list(dict.fromkeys(r[0] for r in rows))
    tools = list(dict.fromkeys(r[1] for r in rows))
    fig, ax = plt.subplots(figsize=(10, 5))
    width = 0.8 / len(tools)
    for j, tool in enumerate(tools):
        values = [next((r[3] for r in rows if r[0] == t and r[1] == tool), 0.0) for t in titles]
        ax.bar([i + j * width for i in range(len(titles))], values, width, label=tool)
    ax.set_xticks([i + 0.4 - width / 2 for i in range(len(titles))])
    ax.set_xticklabels(titles, fontsize=8)
    ax.set_yscale("log")
    ax.set_ylabel("speed-up over the list comprehension (log)")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path)
    print(f"\nchart written to {path}")


if __name__ == "__main__":
    main()
