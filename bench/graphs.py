"""Object graphs: a long chain of nested objects and a tree with back-links.

    .venv/bin/python bench/graphs.py [--chain 10000] [--tree 100000]

Chain: objects c0 -> c1 -> ... linked through attribute `next`, built first; the
time is that of `add_object(c0)` (which indexes every object reachable from c0),
then the median time of one write at the tail (`c[-1].k = i`) and of one dotted
query four steps deep. Targets: the add under 1 s at 10,000 objects, a tail write
under 100 microseconds.

Tree: objects with four children each (`children` lists), given to
`add_object_many` whole. Three shapes, each measured in a fresh process: no links
between the objects, parent -> children lists only, and lists plus a `parent`
back-link in every child. Memory is the growth of the resident set across the add
(the objects exist before the first reading). Target: the tree with back-links at
most 2x the memory of the same tree without them.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def chain(length: int) -> dict:
    from Quarrydex import Index, Indexable
    from Quarrydex import PyQueryExpr as Q

    nodes = [Indexable(k=i, name=f"n{i}") for i in range(length)]
    for a, b in zip(nodes, nodes[1:]):
        a.next = b
    index = Index()
    start = time.perf_counter()
    index.add_object(nodes[0])
    add_seconds = time.perf_counter() - start
    tail = nodes[-1]
    writes = []
    for i in range(2000):
        start = time.perf_counter()
        tail.k = -i
        writes.append(time.perf_counter() - start)
    query = Q.eq("next.next.next.next.name", "n4")
    start = time.perf_counter()
    found = index.reduced_query(query).collect()
    query_seconds = time.perf_counter() - start
    assert found == [nodes[0]], found
    return {
        "length": length,
        "add_s": add_seconds,
        "tail_write_us": statistics.median(writes) * 1e6,
        "query_4_steps_ms": query_seconds * 1e3,
    }


def tree_probe(size: int, shape: str) -> dict:
    from Quarrydex import Index, Indexable

    nodes = [Indexable(k=i % 97, name=f"t{i}") for i in range(size)]
    if shape != "none":
        for i, node in enumerate(nodes):
            node.children = nodes[4 * i + 1 : 4 * i + 5]
            if shape == "back-links" and i > 0:
                node.parent = nodes[(i - 1) // 4]
    before = rss_bytes()
    start = time.perf_counter()
    index = Index()
    index.add_object_many(nodes)
    seconds = time.perf_counter() - start
    grown = rss_bytes() - before
    return {"shape": shape, "size": size, "add_s": seconds, "index_mb": grown / 2**20}


def tree(size: int) -> list:
    rows = []
    for shape in ("none", "lists", "back-links"):
        out = subprocess.run(
            [sys.executable, __file__, "--tree-probe", shape, "--tree", str(size)],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        rows.append(json.loads(out))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--chain", type=int, default=10_000)
    parser.add_argument("--tree", type=int, default=100_000)
    parser.add_argument("--tree-probe", choices=["none", "lists", "back-links"])
    args = parser.parse_args()
    if args.tree_probe:
        print(json.dumps(tree_probe(args.tree, args.tree_probe)))
        return
    c = chain(args.chain)
    print(
        f"chain of {c['length']}: add {c['add_s']:.3f} s "
        f"({'met' if c['add_s'] < 1 else 'MISSED'} < 1 s), tail write "
        f"{c['tail_write_us']:.1f} us ({'met' if c['tail_write_us'] < 100 else 'MISSED'} < 100 us), "
        f"4-step query {c['query_4_steps_ms']:.2f} ms"
    )
    rows = tree(args.tree)
    for r in rows:
        print(f"tree of {r['size']}, {r['shape']:>10}: add {r['add_s']:.2f} s, index {r['index_mb']:.1f} MB")
    ratio = rows[2]["index_mb"] / rows[1]["index_mb"]
    print(f"back-links / lists only: {ratio:.2f}x ({'met' if ratio <= 2 else 'MISSED'} <= 2x)")


if __name__ == "__main__":
    main()
