"""order_by and len beside the tools people use for the same answers.

    python bench/answers.py --ranges 1000000 --fruits 1000000

Ordering (over the `ranges` records: a float `price` with two decimals, an int `qty`):

- the ten cheapest: `order_by("price", limit=10)` against SQLite `ORDER BY price, id
  LIMIT 10` on an indexed column, `heapq.nsmallest` over the dicts, pandas `nsmallest`;
- the ten cheapest within `qty < 1000` (10 %): the same, each with its own filter;
- every object of a 1 % price range, in order: against pandas `sort_values` of the
  masked frame, `sorted` of the filtered dicts and SQLite;
- every object in order: against `sorted(objs, key=attrgetter("price"))` on the same
  objects, pandas `sort_values` and SQLite.

Counting (over the `fruits` records, string columns as pandas categories and SQLite
indexes per column plus the composite one): `len(idx.reduced_query(q))` against SQLite
`SELECT count(*)` and pandas `mask.sum()`, for a narrow, a middle and a broad query.

Every peer's answer is checked against the others (the sequence of prices, or the
count) before its time counts; times are medians of the thread's CPU clock, all peers
in the same process run. Nothing is asserted: targets are printed as met or MISSED.
"""

from __future__ import annotations

import argparse
import heapq
import os
import sqlite3
import sys
from operator import attrgetter, itemgetter
from typing import Any, Callable

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pandas  # noqa: E402

import query_model as qm  # noqa: E402
from timing import fmt_seconds, measure  # noqa: E402
from workloads import FRUITS_QUERY, MIX_QUERIES, fruits_records, ranges_records  # noqa: E402

from Quarrydex import Index, Indexable, PyQueryExpr as Q  # noqa: E402

QDX = "Quarrydex"


class Record(Indexable):
    pass


def _sqlite(records: list[dict], indexes: list[tuple[str, ...]]) -> sqlite3.Connection:
    cols = list(records[0])
    db = sqlite3.connect(":memory:")
    decl = ", ".join(f'"{c}" {"REAL" if isinstance(records[0][c], float) else ("INTEGER" if isinstance(records[0][c], int) else "TEXT")}' for c in cols)
    db.execute(f"CREATE TABLE t (id INTEGER PRIMARY KEY, {decl})")
    db.executemany(f"INSERT INTO t VALUES (?{', ?' * len(cols)})", ((i, *r.values()) for i, r in enumerate(records)))
    for k, index in enumerate(indexes):
        db.execute(f"CREATE INDEX t_{k} ON t ({', '.join(chr(34) + c + chr(34) for c in index)})")
    db.commit()
    return db


def _objects_index(records: list[dict]) -> tuple[list[Record], Index]:
    objs = [Record(**r) for r in records]
    idx = Index()
    idx.add_object_many(objs)
    return objs, idx


Case = tuple[str, dict[str, tuple[Callable[[], Any], Callable[[Any], Any]]]]


def ordering_cases(records: list[dict]) -> list[Case]:
    objs, idx = _objects_index(records)
    db = _sqlite(records, [("price",), ("qty",)])
    frame = pandas.DataFrame.from_records(records)
    price = itemgetter("price")
    by_objects = attrgetter("price")

    def qdx(found: list) -> list[float]:
        return [o.price for o in found]

    def rows(found: list) -> list[float]:
        return [r[1] for r in found]

    def dicts(found: list) -> list[float]:
        return [r["price"] for r in found]

    def framed(found: pandas.DataFrame) -> list[float]:
        return found["price"].tolist()

    lo, hi = 500.0, 509.99  # 1 % of [0, 1000)
    cheap_qty = 1000  # qty < 1000: 10 %
    sql = "SELECT id, price FROM t"
    return [
        ("ten cheapest", {
            QDX: (lambda: idx.order_by("price", limit=10), qdx),
            "sqlite3 ORDER BY price, id LIMIT 10": (
                lambda: db.execute(f"{sql} ORDER BY price, id LIMIT 10").fetchall(), rows),
            "heapq.nsmallest": (lambda: heapq.nsmallest(10, records, key=price), dicts),
            "pandas nsmallest": (lambda: frame.nsmallest(10, "price"), framed),
        }),
        ("ten cheapest with qty < 1000 (10 %)", {
            QDX: (lambda: idx.reduced_query(Q.lt("qty", cheap_qty)).order_by("price", limit=10), qdx),
            "sqlite3 WHERE ... ORDER BY price, id LIMIT 10": (
                lambda: db.execute(f"{sql} WHERE qty < ? ORDER BY price, id LIMIT 10", (cheap_qty,)).fetchall(),
                rows),
            "heapq.nsmallest": (
                lambda: heapq.nsmallest(10, (r for r in records if r["qty"] < cheap_qty), key=price), dicts),
            "pandas nsmallest": (lambda: frame[frame["qty"] < cheap_qty].nsmallest(10, "price"), framed),
        }),
        ("1 % price range, all in order", {
            QDX: (lambda: idx.reduced_query(Q.bt("price", lo, hi)).order_by("price"), qdx),
            "pandas sort_values": (
                lambda: frame[(frame["price"] >= lo) & (frame["price"] <= hi)].sort_values("price", kind="stable"),
                framed),
            "sorted": (lambda: sorted((r for r in records if lo <= r["price"] <= hi), key=price), dicts),
            "sqlite3 ORDER BY price, id": (
                lambda: db.execute(f"{sql} WHERE price BETWEEN ? AND ? ORDER BY price, id", (lo, hi)).fetchall(),
                rows),
        }),
        ("everything in order", {
            QDX: (lambda: idx.order_by("price"), qdx),
            "sorted(objs, key=attrgetter)": (lambda: sorted(objs, key=by_objects), qdx),
            "pandas sort_values": (lambda: frame.sort_values("price", kind="stable"), framed),
            "sqlite3 ORDER BY price, id": (lambda: db.execute(f"{sql} ORDER BY price, id").fetchall(), rows),
        }),
    ]


def counting_cases(records: list[dict]) -> list[Case]:
    _, idx = _objects_index(records)
    db = _sqlite(records, [("size",), ("type",), ("color",), ("shape",), ("type", "size", "color", "shape")])
    f = pandas.DataFrame.from_records(records)
    for column in ("type", "color", "shape"):
        f[column] = f[column].astype("category")
    cases: list[Case] = []
    for label, expr in [("narrow (fruits query)", FRUITS_QUERY), ("middle (mix1)", MIX_QUERIES[0]),
                        ("broad (color == green)", qm.eq("color", "green"))]:
        query = eval(qm.to_quarrydex(expr, "Q"), {"Q": Q})
        where, params = qm.to_sql(expr)
        mask = compile(qm.to_pandas(expr, "f"), "<mask>", "eval")
        count_sql = f"SELECT count(*) FROM t WHERE {where}"
        cases.append((f"count, {label}", {
            QDX: (lambda q=query: len(idx.reduced_query(q)), int),
            "sqlite3 SELECT count(*)": (lambda s=count_sql, p=params: db.execute(s, p).fetchone()[0], int),
            "pandas mask.sum() (category)": (lambda m=mask: int(eval(m, {"f": f}).sum()), int),
        }))
    return cases


def run_cases(cases: list[Case], budget: float, say: Callable[[str], None]) -> tuple[list[dict], list[str]]:
    rows, mismatches = [], []
    for label, peers in cases:
        answers = {}
        for peer, (call, normalise) in peers.items():
            seconds, result, runs = measure(call, budget)
            answers[peer] = normalise(result)
            rows.append({"case": label, "peer": peer, "seconds": seconds, "runs": runs})
        reference = answers[QDX]
        for peer, answer in answers.items():
            if answer != reference:
                mismatches.append(f"{label}: {peer} disagrees with {QDX}")
        mine = next(r["seconds"] for r in rows if r["case"] == label and r["peer"] == QDX)
        parts = [f"{QDX} {fmt_seconds(mine)}"]
        parts += [f"{r['peer']} {fmt_seconds(r['seconds'])} ({r['seconds'] / mine:,.1f}x)"
                  for r in rows if r["case"] == label and r["peer"] != QDX]
        say(f"  {label}: " + "; ".join(parts))
    return rows, mismatches


# (case, peer Quarrydex must beat, or None for "every peer"; "no slower" allows a tie)
TARGETS = [
    ("ten cheapest", "sqlite3 ORDER BY price, id LIMIT 10", "ahead"),
    ("ten cheapest with qty < 1000 (10 %)", "sqlite3 WHERE ... ORDER BY price, id LIMIT 10", "ahead"),
    ("1 % price range, all in order", "pandas sort_values", "ahead"),
    ("everything in order", "sorted(objs, key=attrgetter)", "no slower"),
    ("count, narrow (fruits query)", None, "ahead"),
    ("count, middle (mix1)", None, "ahead"),
    ("count, broad (color == green)", None, "ahead"),
]


def targets(rows: list[dict]) -> list[tuple[str, str, bool]]:
    out = []
    for case, rival, kind in TARGETS:
        times = {r["peer"]: r["seconds"] for r in rows if r["case"] == case}
        if QDX not in times:
            continue
        rivals = [rival] if rival else [p for p in times if p != QDX and not p.startswith("heapq")]
        for peer in rivals:
            ratio = times[peer] / times[QDX]
            met = ratio > 1.0 if kind == "ahead" else ratio >= 0.95
            out.append((f"{case}: {kind} of {peer}", f"{ratio:,.2f}x", met))
    return out


def run(ranges_size: int, fruits_size: int, budget: float, say: Callable[[str], None] = print) -> dict:
    say(f"\n== answers: order_by over {ranges_size:,} ranges records, len over {fruits_size:,} fruits records")
    rows, mismatches = run_cases(ordering_cases(ranges_records(ranges_size)), budget, say)
    more, bad = run_cases(counting_cases(fruits_records(fruits_size)), budget, say)
    rows += more
    mismatches += bad
    results = targets(rows)
    for text, measured, met in results:
        say(f"  {'met   ' if met else 'MISSED'} {text} ({measured})")
    for m in mismatches:
        say(f"  !!! MISMATCH {m}")
    return {"rows": rows, "targets": results, "mismatches": mismatches}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ranges", type=int, default=1_000_000)
    parser.add_argument("--fruits", type=int, default=1_000_000)
    parser.add_argument("--budget", type=float, default=0.5)
    args = parser.parse_args()
    result = run(args.ranges, args.fruits, args.budget)
    sys.exit(1 if result["mismatches"] else 0)


if __name__ == "__main__":
    main()
