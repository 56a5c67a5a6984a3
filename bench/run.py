"""Quarrydex benchmark suite: Quarrydex against what users pick instead.

    python bench/run.py                  # a quarter of the full sizes: a few minutes
    python bench/run.py --full           # 2,000,000 fruits, 1,000,000 ranges, 500,000 strings
    python bench/run.py --json out.json --chart out.png --only fruits,rw

Every time is a median, and every figure a ratio to the list comprehension over the
same records measured in the same process. Every peer must return the same records
as the list comprehension; if one does not, the row is marked and the run exits with
status 1 after printing everything. Targets are reported, never asserted.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pandas  # noqa: E402,F401  (imported before any build is timed)
import Quarrydex  # noqa: E402,F401

import answers  # noqa: E402
import micro  # noqa: E402
import objects  # noqa: E402
import peers as peer_mod  # noqa: E402
import report  # noqa: E402
import timing  # noqa: E402
from query_model import describe  # noqa: E402
from timing import fmt_seconds, measure, time_once  # noqa: E402
from workloads import BUILDERS, FRUITS_QUERY, FULL_SIZES, MIX_QUERIES, Workload  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
STEPS = ("fruits", "ranges", "strings", "memory", "rw", "objects", "answers")
MEMORY_PEERS = [
    "records",
    "Quarrydex objects",
    peer_mod.QuarrydexQuery.name,
    peer_mod.HandIndex.name,
    peer_mod.Sqlite.name,
    peer_mod.PandasMask.name,
    peer_mod.PandasCategory.name,
    peer_mod.PandasSetIndex.name,
]
# The other data sets: the index against SQLite's (the memory target) and pandas.
MEMORY_PEERS_OTHER = [
    "Quarrydex objects",
    peer_mod.QuarrydexQuery.name,
    peer_mod.Sqlite.name,
    peer_mod.PandasCategory.name,
]


def say(text: str) -> None:
    print(text, flush=True)


class Suite:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.rows: list[dict] = []
        self.mismatches: list[str] = []
        self.extra: dict = {"updates": {}, "threads": {}, "answers": {}}
        self.memory: list[dict] = []
        self.rw: list[dict] = []

    def row(self, workload: str, query: str, peer: str, seconds: float, **more) -> dict:
        r = {"workload": workload, "query": query, "peer": peer, "seconds": seconds, **more}
        self.rows.append(r)
        return r

    # ------------------------------------------------------------ building

    def build_peers(self, wl: Workload) -> list[peer_mod.Peer]:
        n = len(wl.records)
        t, _ = time_once(lambda: [dict(r) for r in wl.records])
        self.row("build", wl.name, f"{report.LC} (copy of the dicts)", t, matches=n)
        built = []
        for cls in peer_mod.peers_for(wl):
            peer = cls()
            if issubclass(cls, peer_mod.QuarrydexQuery) and not hasattr(wl, "objects"):
                t, _ = time_once(lambda: peer_mod.QuarrydexQuery.make_objects(wl))
                self.row("build", wl.name, "Quarrydex objects (construction)", t, matches=n)
                say(f"  built Quarrydex objects in {fmt_seconds(t)}")
            t, _ = time_once(lambda: peer.build(wl))
            if cls is peer_mod.QuarrydexGet:
                self.row("build", wl.name, "Quarrydex add_object_many", t, matches=n)
            elif cls not in (peer_mod.QuarrydexQuery, peer_mod.ListComprehension, peer_mod.Filter):
                self.row("build", wl.name, cls.name, t, matches=n)
            say(f"  built {cls.name} in {fmt_seconds(t)}")
            built.append(peer)
        return built

    # ------------------------------------------------------------ queries

    def verify(self, where: str, peer: peer_mod.Peer, handle, expected: set[int]) -> bool:
        got = peer.positions(handle)
        if got == expected and len(handle) == len(expected):
            return True
        self.mismatches.append(
            f"{where}: {peer.name} returned {len(handle):,} rows ({len(got):,} distinct), expected {len(expected):,};"
            f" missing {sorted(expected - got)[:5]}, extra {sorted(got - expected)[:5]}"
        )
        say(f"  !!! MISMATCH {self.mismatches[-1]}")
        return False

    def run_queries(self, wl: Workload, built: list[peer_mod.Peer]) -> None:
        budget = self.args.budget
        lc = built[0]
        for q in wl.queries:
            base, result, runs = measure(lc.compile(q.expr), budget)
            expected = lc.positions(result)
            line = [f"  {q.label}: {len(expected):,} matches, list comprehension {fmt_seconds(base)}"]
            self.row(wl.name, q.label, lc.name, base, matches=len(expected), runs=runs, expr=describe(q.expr))
            for peer in built[1:]:
                if not peer.supports(q.expr):
                    continue
                t, result, runs = measure(peer.compile(q.expr), budget)
                ok = self.verify(f"{wl.name}/{q.label}", peer, result, expected)
                self.row(wl.name, q.label, peer.name, t, matches=len(expected), runs=runs, mismatch=not ok)
                if peer.name.startswith("Quarrydex"):
                    line.append(f"{peer.name.split()[1]} {fmt_seconds(t)} ({base / t:,.0f}x)")
            say(", ".join(line))

    def recheck(self, wl: Workload, built: list[peer_mod.Peer], label: str) -> None:
        """Every peer must still agree after the writes (they restore the values)."""
        lc = built[0]
        for expr in (FRUITS_QUERY, MIX_QUERIES[1], MIX_QUERIES[6]):
            expected = lc.positions(lc.compile(expr)())
            for peer in built[1:]:
                if peer.supports(expr):
                    self.verify(f"{label}/{describe(expr)}", peer, peer.compile(expr)(), expected)

    # ------------------------------------------------------------ per-operation workloads

    def run_threads(self, wl: Workload, built: list[peer_mod.Peer]) -> None:
        lc_time = next(r["seconds"] for r in self.rows if r["workload"] == "fruits" and r["query"] == "fruits")
        self.row("threads", "fruits", f"{report.LC}, 1 thread", lc_time)
        reference = micro.reference_scaling(self.args.thread_seconds)
        self.extra["threads reference"] = reference
        say(f"  threads: the machine gives two GIL-free threads {reference:.2f}x the throughput of one")
        for peer in built:
            if not peer.name.startswith("Quarrydex"):
                continue
            one, two = micro.thread_scaling(peer.compile(FRUITS_QUERY), self.args.thread_seconds)
            self.row("threads", "fruits", f"{peer.name}, 1 thread", 1 / one)
            self.row("threads", "fruits", f"{peer.name}, 2 threads", 1 / two)
            self.extra["threads"][peer.name] = two / one
            say(f"  threads {peer.name}: {one:,.0f}/s with one, {two:,.0f}/s with two ({two / one:.2f}x)")

    def run_updates(self, wl: Workload, built: list[peer_mod.Peer]) -> None:
        for label, t in micro.updates(wl, built, "size", self.args.budget * 3):
            self.row("updates", "size = v", label, t)
            self.extra["updates"][label] = t
            say(f"  write size: {label} {fmt_seconds(t)}")
        self.recheck(wl, built, "after updates")

    # ------------------------------------------------------------ steps

    def run_workload(self, name: str) -> None:
        n = self.sizes[name]
        say(f"\n== {name}: {n:,} records")
        t, wl = time_once(lambda: BUILDERS[name](n))
        say(f"  records made in {fmt_seconds(t)}")
        built = self.build_peers(wl)
        gc.collect()
        gc.freeze()  # the data is long-lived: keep collections from rescanning it mid-timing
        try:
            self.run_queries(wl, built)
            if name == "fruits":
                self.run_threads(wl, built)
                self.run_updates(wl, built)
        finally:
            del built, wl
            gc.unfreeze()
            gc.collect()

    def run_memory(self) -> None:
        for workload in ("fruits", "ranges", "strings"):
            self.run_memory_of(workload)

    def run_memory_of(self, workload: str) -> None:
        n = self.sizes[workload]
        say(f"\n== memory held after building, {workload} {n:,} records, a fresh process per peer")
        peers = MEMORY_PEERS if workload == "fruits" else MEMORY_PEERS_OTHER
        for peer in peers:
            cmd = [sys.executable, os.path.join(HERE, "memory_probe.py"), "--workload", workload,
                   "--size", str(n), "--peer", peer]
            done = subprocess.run(cmd, capture_output=True, text=True)
            if done.returncode != 0:
                self.mismatches.append(f"memory probe for {peer} failed: {done.stderr.strip()[-400:]}")
                say(f"  !!! {self.mismatches[-1]}")
                continue
            m = json.loads(done.stdout.strip().splitlines()[-1])
            self.memory.append(m)
            peak = f", peak {m['peak_bytes'] / n:,.0f} B/record" if "peak_bytes" in m else ""
            say(f"  {peer}: {m['held_bytes'] / 2**20:,.1f} MiB, {m['held_bytes'] / n:,.0f} B/record{peak}")

    def run_rw(self) -> None:
        say("\n== indexable_rw: read and write of the last attribute")
        self.rw = micro.indexable_rw()
        for r in self.rw:
            say(f"  {r['attributes']} attrs: write held by one index {fmt_seconds(r['write one index'])}")

    def run(self) -> int:
        if self.args.wall_clock:
            timing.use_wall_clock()
        scale = 1.0 if self.args.full else self.args.scale
        self.sizes = {k: max(1000, int(v * scale)) for k, v in FULL_SIZES.items()}
        steps = self.args.only.split(",") if self.args.only else list(STEPS)
        started = time.perf_counter()
        for step in steps:
            if step in BUILDERS:
                self.run_workload(step)
            elif step == "memory":
                self.run_memory()
            elif step == "rw":
                self.run_rw()
            elif step == "objects":
                self.extra["objects"] = objects.run(self.sizes["fruits"] // 4)
                say("\n== one object: memory, creation, read, indexed write\n" + objects.table(self.extra["objects"]))
            elif step == "answers":
                # order_by over the ranges size, len over half the fruits size
                self.extra["answers"] = answers.run(
                    self.sizes["ranges"], self.sizes["fruits"] // 2, self.args.budget, say)
                self.mismatches += self.extra["answers"]["mismatches"]
            else:
                raise SystemExit(f"unknown step {step!r}; choose from {', '.join(STEPS)}")
        report.add_ratios(self.rows)
        return self.finish(time.perf_counter() - started)

    def finish(self, elapsed: float) -> int:
        results = report.targets(self.rows, self.memory, self.extra)
        say("\n" + report.table(self.rows))
        if self.memory:
            say("\nMemory held beyond the records (RSS, fresh process per peer)\n" + report.memory_table(self.memory))
        if self.rw:
            say("\nindexable_rw (median per operation)\n" + report.rw_table(self.rw))
        sizes = ", ".join(f"{k} {v:,}" for k, v in self.sizes.items())
        say(f"\nTargets (stated for the full sizes; this run: {sizes}):\n" + report.targets_text(results))
        if self.args.json:
            report.write_json(self.args.json, {
                "sizes": self.sizes, "python": sys.version, "machine": platform.platform(),
                "cpus": os.cpu_count(), "elapsed_s": elapsed, "rows": self.rows, "memory": self.memory,
                "indexable_rw": self.rw, "extra": self.extra, "mismatches": self.mismatches,
                "targets": [{"target": t, "measured": m, "met": ok} for t, m, ok in results],
            })
            say(f"JSON written to {self.args.json}")
        if self.args.chart and report.write_chart(self.rows, self.args.chart):
            say(f"chart written to {self.args.chart}")
        say(f"suite time {elapsed:,.0f} s")
        if self.mismatches:
            say("\n" + "!" * 72 + "\nPEERS DISAGREE -- the figures above are not valid:")
            for m in self.mismatches:
                say("  " + m)
            return 1
        return 0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--full", action="store_true", help="full sizes: 2M fruits, 1M ranges, 500K strings")
    parser.add_argument("--scale", type=float, default=0.25, help="fraction of the full sizes without --full")
    parser.add_argument("--only", default="", help=f"comma-separated steps out of {','.join(STEPS)}")
    parser.add_argument("--budget", type=float, default=0.3, help="seconds of repetitions per measurement")
    parser.add_argument("--thread-seconds", type=float, default=1.5, help="seconds per throughput round")
    parser.add_argument("--wall-clock", action="store_true", help="time with the wall clock, not the thread's CPU clock")
    parser.add_argument("--json", default="", help="also write the results as JSON here")
    parser.add_argument("--chart", default="bench_results.png", help="PNG chart path ('' for none)")
    sys.exit(Suite(parser.parse_args()).run())


if __name__ == "__main__":
    main()
