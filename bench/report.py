"""Tables, target checks, JSON and the chart of a suite run.

A result row is a dict: workload, query, matches, peer, seconds (median), vs_lc (the
list comprehension's median over this one, same process), vs_best (the fastest other
conventional peer's median over this one; above 1 means this row is ahead of all of
them). Targets are read off the rows and reported, never asserted.
"""

from __future__ import annotations

import json
from typing import Any

from peers import QUARRYDEX, Sqlite
from timing import fmt_ratio, fmt_seconds

LC = "list comprehension"
QGET, QQUERY = QUARRYDEX
PANDAS = ("pandas masks", "pandas category")


def add_ratios(rows: list[dict]) -> None:
    groups: dict[tuple, list[dict]] = {}
    for r in rows:
        groups.setdefault((r["workload"], r["query"]), []).append(r)
    for group in groups.values():
        base = next((r["seconds"] for r in group if r["peer"].startswith(LC)), None)
        for r in group:
            r["vs_lc"] = base / r["seconds"] if base and r["seconds"] else None
            others = [o["seconds"] for o in group if o is not r and _rivals(r["workload"], o["peer"])]
            r["vs_best"] = min(others) / r["seconds"] if others and r["seconds"] else None


def _rivals(workload: str, peer: str) -> bool:
    """Whether `peer` competes in the "best other" column of `workload`. A build has
    no list-comprehension rival (its row, a copy of the dicts, only scales); a write
    competes with the tools that keep an index; thread scaling has no rival."""
    if peer.startswith("Quarrydex") or workload == "threads":
        return False
    if workload == "build":
        return not peer.startswith(LC)
    if workload == "updates":
        return "(index kept)" in peer
    return True


def table(rows: list[dict]) -> str:
    head = f"{'workload':<9} {'query':<24} {'matches':>9}  {'peer':<34} {'median':>10} {'x list comp':>12} {'x best other':>13}"
    lines = [head, "-" * len(head)]
    last = None
    for r in rows:
        key = (r["workload"], r["query"])
        if last is not None and key != last:
            lines.append("")
        last = key
        matches = "" if r.get("matches") is None else f"{r['matches']:,}"
        flag = "  MISMATCH" if r.get("mismatch") else ""
        lines.append(
            f"{r['workload']:<9} {r['query']:<24} {matches:>9}  {r['peer']:<34} {fmt_seconds(r['seconds']):>10}"
            f" {fmt_ratio(r.get('vs_lc')):>12} {fmt_ratio(r.get('vs_best')):>13}{flag}"
        )
    return "\n".join(lines)


def memory_table(memory: list[dict]) -> str:
    head = (f"{'workload':<8} {'peer':<34} {'held (RSS)':>12} {'B/record':>9} {'peak B/rec':>10}"
            f" {'after trim':>12} {'build':>10}  note")
    lines = [head, "-" * (len(head) + 30)]
    for m in memory:
        n = m.get("size") or 1
        note = ""
        if "database_bytes" in m:
            note = f"SQLite's own page count: {m['database_bytes'] / 2**20:,.1f} MiB"
        build = fmt_seconds(m.get("build_s")) if "build_s" in m else "-"
        trimmed = f"{m['held_trimmed_bytes'] / 2**20:>8,.1f} MiB" if "held_trimmed_bytes" in m else "-"
        peak = f"{m['peak_bytes'] / n:>10,.0f}" if "peak_bytes" in m else f"{'-':>10}"
        lines.append(
            f"{m.get('workload', 'fruits'):<8} {m['peer']:<34} {m['held_bytes'] / 2**20:>8,.1f} MiB"
            f" {m['held_bytes'] / n:>9,.0f} {peak} {trimmed:>12} {build:>10}  {note}"
        )
    return "\n".join(lines)


def rw_table(rows: list[dict]) -> str:
    kinds = ("plain object", "no index", "one index")
    head = "attrs " + " ".join(f"{'read ' + k:>17}" for k in kinds) + " " + " ".join(f"{'write ' + k:>17}" for k in kinds)
    lines = [head, "-" * len(head)]
    for r in rows:
        cells = [fmt_seconds(r[f"read {k}"]) for k in kinds] + [fmt_seconds(r[f"write {k}"]) for k in kinds]
        lines.append(f"{r['attributes']:>5} " + " ".join(f"{c:>17}" for c in cells))
    return "\n".join(lines)


# ---------------------------------------------------------------- targets


def _find(rows: list[dict], workload: str, query: str, peer: str) -> dict | None:
    return next((r for r in rows if r["workload"] == workload and r["query"] == query and r["peer"] == peer), None)


def _queries(rows: list[dict], workload: str) -> list[str]:
    return list(dict.fromkeys(r["query"] for r in rows if r["workload"] == workload))


def _ahead(rows: list[dict], workload: str, query: str, rivals: tuple[str, ...]) -> tuple[bool, str]:
    q = _find(rows, workload, query, QQUERY)
    worst = None
    for name in rivals:
        other = _find(rows, workload, query, name)
        if q and other:
            ratio = other["seconds"] / q["seconds"]
            if worst is None or ratio < worst[0]:
                worst = (ratio, name)
    if worst is None:
        return False, "not run"
    return worst[0] > 1, f"{query}: {fmt_ratio(worst[0])} of {worst[1]}"


def targets(rows: list[dict], memory: list[dict], extra: dict) -> list[tuple[str, str, bool | None]]:
    """(target, what was measured, met) for each target; met is None when not run."""
    out: list[tuple[str, str, bool | None]] = []

    def check(name: str, pieces: list[tuple[bool, str]]) -> None:
        if not pieces or all(text == "not run" for _, text in pieces):
            out.append((name, "not run", None))
            return
        failed = [text for ok, text in pieces if not ok]
        shown = failed if failed else [text for _, text in pieces]
        out.append((name, "; ".join(shown), not failed))

    def ratio_at_least(workload: str, query: str, peer: str, floor: float) -> tuple[bool, str]:
        r = _find(rows, workload, query, peer)
        if r is None or r.get("vs_lc") is None:
            return False, "not run"
        return r["vs_lc"] >= floor, f"{query}: {fmt_ratio(r['vs_lc'])}"

    def within(workload: str, query: str, rival: str, factor: float) -> tuple[bool, str]:
        q, h = _find(rows, workload, query, QQUERY), _find(rows, workload, query, rival)
        if not q or not h:
            return False, "not run"
        return q["seconds"] <= factor * h["seconds"], f"{query}: {q['seconds'] / h['seconds']:.2f}x the time of {rival}"

    peers_all = ("filter()", "hand-written index", "sqlite3", "pandas masks", "pandas category", "pandas set_index")
    check("fruits >= 500x through get_by_attribute", [ratio_at_least("fruits", "fruits", QGET, 500)])
    check("fruits >= 500x through reduced_query", [ratio_at_least("fruits", "fruits", QQUERY, 500)])
    fr = _find(rows, "fruits", "fruits", QGET)
    pieces = [_ahead(rows, "fruits", "fruits", peers_all)]
    if fr and fr.get("vs_best") is not None:
        pieces.append((fr["vs_best"] > 1, f"get_by_attribute {fmt_ratio(fr['vs_best'])} of the best peer"))
    check("fruits ahead of every peer (both calls)", pieces)
    mixes = [q for q in _queries(rows, "fruits") if q.startswith("mix")]
    check("every boolean mix ahead of every peer", [_ahead(rows, "fruits", q, peers_all) for q in mixes])

    sel = [q for q in _queries(rows, "ranges") if q.endswith("0.1%")]
    check("ranges >= 200x at 0.1%", [ratio_at_least("ranges", q, QQUERY, 200) for q in sel])
    check("ranges ahead of sqlite3 and pandas at every selectivity",
          [_ahead(rows, "ranges", q, ("sqlite3", "pandas masks")) for q in _queries(rows, "ranges")])
    check("ranges within 2x of the sorted list at 0.1%", [within("ranges", q, "hand-written index", 2.0) for q in sel])

    sq = _queries(rows, "strings")
    check("strings: selective starts/ends/contains >= 100x",
          [ratio_at_least("strings", q, QQUERY, 100) for q in sq
           if q.endswith("selective") and q.split()[0] in ("starts_with", "ends_with", "contains")])
    check("strings: every query ahead of sqlite3 and pandas", [_ahead(rows, "strings", q, ("sqlite3",) + PANDAS) for q in sq])
    check("strings: selective eq/starts/ends within 2x of the hand-written index",
          [within("strings", q, "hand-written index", 2.0) for q in sq
           if q.endswith("selective") and q.split()[0] in ("eq", "starts_with", "ends_with")])

    add = next((r for r in rows if r["workload"] == "build" and r["query"] == "fruits" and r["peer"] == "Quarrydex add_object_many"), None)
    sql = _find(rows, "build", "fruits", Sqlite.name)
    if add and sql:
        check("build: add_object_many faster than sqlite3 insert + indexes",
              [(add["seconds"] < sql["seconds"], f"{fmt_seconds(add['seconds'])} vs {fmt_seconds(sql['seconds'])}")])
    else:
        check("build: add_object_many faster than sqlite3 insert + indexes", [])
    mem = {(m.get("workload", "fruits"), m["peer"]): m for m in memory}
    judged = []
    for workload in ("fruits", "ranges", "strings"):
        if (workload, QQUERY) in mem and (workload, Sqlite.name) in mem:
            q, s = mem[workload, QQUERY]["held_bytes"], mem[workload, Sqlite.name]["held_bytes"]
            judged.append((q <= s, f"{workload} {q / 2**20:,.0f} MiB vs {s / 2**20:,.0f} MiB"))
    check("memory: index <= sqlite3's whole in-memory database", judged)
    peaks = []
    for (workload, peer), m in mem.items():
        if peer == QQUERY and "peak_bytes" in m:
            peaks.append((m["peak_bytes"] <= 1.5 * m["held_bytes"],
                          f"{workload} peak {m['peak_bytes'] / 2**20:,.0f} MiB vs held {m['held_bytes'] / 2**20:,.0f} MiB"))
    check("memory: peak during add_object_many <= 1.5x held", peaks)

    up = extra.get("updates", {})
    held = up.get("Quarrydex, held by one index")
    if held is not None:
        check("updates: numeric write on an indexed object < 2 µs", [(held < 2e-6, fmt_seconds(held))])
        rivals = {k: v for k, v in up.items() if "(index kept)" in k}
        check("updates: faster than every peer that keeps an index",
              [(held < v, f"{fmt_seconds(held)} vs {k} {fmt_seconds(v)}") for k, v in rivals.items()])
    else:
        check("updates: numeric write on an indexed object < 2 µs", [])
    th = extra.get("threads", {})
    ref = extra.get("threads reference")
    name = "threads: two threads >= 1.8x the throughput of one"
    if th and ref is not None and ref < 1.6:
        # The machine could not run two threads at once: the figure says nothing of the code.
        measured = ", ".join(f"{k}: {v:.2f}x" for k, v in th.items())
        out.append((name, f"not judged, GIL-free reference work scaled only {ref:.2f}x ({measured})", None))
    elif th:
        note = f" (GIL-free reference work: {ref:.2f}x)" if ref else ""
        check(name, [(v >= 1.8, f"{k}: {v:.2f}x{note}") for k, v in th.items()])
    else:
        check("threads: two threads >= 1.8x the throughput of one", [])
    return out


def targets_text(results: list[tuple[str, str, bool | None]]) -> str:
    mark = {True: "met   ", False: "MISSED", None: "-     "}  # "-": not run or not judged
    return "\n".join(f"  {mark[ok]} {name}: {measured}" for name, measured, ok in results)


# ---------------------------------------------------------------- JSON and chart


def write_json(path: str, payload: dict[str, Any]) -> None:
    with open(path, "w") as f:
        json.dump(payload, f, indent=1, default=str)


def write_chart(rows: list[dict], path: str) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    panels = [w for w in ("fruits", "ranges", "strings", "build", "updates") if any(r["workload"] == w for r in rows)]
    if not panels:  # e.g. --only memory
        return False
    everyone = [p for p in dict.fromkeys(r["peer"] for r in rows if r["workload"] in panels) if not p.startswith(LC)]
    palette = plt.get_cmap("tab20").colors
    color = {p: palette[i % len(palette)] for i, p in enumerate(everyone)}  # one colour per peer throughout
    fig, axes = plt.subplots(len(panels), 1, figsize=(14, 4.2 * len(panels)), squeeze=False)
    for ax, workload in zip(axes[:, 0], panels):
        sub = [r for r in rows if r["workload"] == workload and r.get("vs_lc")]
        queries = list(dict.fromkeys(r["query"] for r in sub))
        peers = [p for p in everyone if any(r["peer"] == p for r in sub)]
        width = 0.85 / max(len(peers), 1)
        for j, peer in enumerate(peers):
            xs, ys = [], []
            for i, q in enumerate(queries):
                r = next((r for r in sub if r["query"] == q and r["peer"] == peer), None)
                if r:
                    xs.append(i + j * width)
                    ys.append(r["vs_lc"])
            ax.bar(xs, ys, width, label=peer, color=color[peer])
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_xticks([i + 0.425 - width / 2 for i in range(len(queries))])
        ax.set_xticklabels(queries, fontsize=7, rotation=20, ha="right")
        ax.set_yscale("log")
        ax.set_ylabel("x list comprehension (log)")
        ax.set_title(workload)
        ax.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.0, 1.0))
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True
