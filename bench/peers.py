"""The tools Quarrydex is measured against, and Quarrydex itself, behind one interface.

Every peer builds its own structure from the workload's records (`build`, timed by the
caller), turns a query into a zero-argument callable that does what a user of that
tool would type (`compile`; the source is generated once and compiled, so no
interpreter of our own runs inside the timed call), and maps whatever the callable
returns back to record positions (`positions`) so the suite can check that everyone
found the same records. Each callable stops at the tool's natural handle on the
matches in that tool's own form: dicts for the scans and the hand-written index, row
tuples for SQLite (`SELECT *`), a DataFrame for pandas (`frame[mask]`), the
Indexable objects for Quarrydex.
"""

from __future__ import annotations

import sqlite3
from bisect import bisect_left, bisect_right
from collections import defaultdict
from typing import Any, Callable

import query_model as qm
from query_model import Expr, Node
from workloads import Workload


class Peer:
    name = ""
    keeps_index = False  # whether a write must also update an index (updates workload)

    def build(self, wl: Workload) -> None:
        self.wl = wl

    def supports(self, expr: Expr) -> bool:
        return True

    def compile(self, expr: Expr) -> Callable[[], Any]:
        raise NotImplementedError

    def positions(self, handle: Any) -> set[int]:
        pos_of = getattr(self.wl, "pos_of", None)
        if pos_of is None:
            pos_of = self.wl.pos_of = {id(r): i for i, r in enumerate(self.wl.records)}
        return {pos_of[id(r)] for r in handle}

    def writer(self, attr: str) -> Callable[[list[int], list[Any]], None] | None:
        """A function applying `records[p][attr] = v` for each pair, the tool's way."""
        return None


def _compile(source: str, namespace: dict) -> Callable[[], Any]:
    return eval(compile(source, "<query>", "eval"), namespace)


# ---------------------------------------------------------------- scans


class ListComprehension(Peer):
    name = "list comprehension"

    def compile(self, expr: Expr) -> Callable[[], Any]:
        cond = qm.to_python(expr, "r")
        return _compile(f"lambda: [r for r in records if {cond}]", {"records": self.wl.records})

    def writer(self, attr: str):
        records = self.wl.records

        def write(ps: list[int], vs: list[Any]) -> None:
            for p, v in zip(ps, vs):
                records[p][attr] = v

        return write


class Filter(ListComprehension):
    name = "filter()"

    def compile(self, expr: Expr) -> Callable[[], Any]:
        cond = qm.to_python(expr, "r")
        return _compile(f"lambda: list(filter(lambda r: {cond}, records))", {"records": self.wl.records})

    def writer(self, attr: str):
        return None  # the same dict write as the list comprehension


# ---------------------------------------------------------------- hand-written index


def _and(*parts):
    """Intersection, smallest part first; never mutates a stored set."""
    parts = sorted(parts, key=len)
    out = parts[0] if isinstance(parts[0], (set, frozenset)) else set(parts[0])
    for p in parts[1:]:
        out = out.intersection(p)
    return out


def _or(*parts):
    out = set()
    out.update(*parts)
    return out


def _successor(prefix: str) -> str:
    """The smallest string greater than every string that starts with `prefix`."""
    return prefix[:-1] + chr(ord(prefix[-1]) + 1)


def hand_source(e: Expr) -> str:
    """An expression over the hand-written structures giving the matching positions."""
    if isinstance(e, Node):
        kids = [hand_source(c) for c in e.children]
        if e.op == "not_":
            return f"ALL.difference({kids[0]})"
        return f"{'_and' if e.op == 'and_' else '_or'}({', '.join(kids)})"
    a, args = e.attr, e.args
    keys, pos = f"KEYS[{a!r}]", f"POS[{a!r}]"
    match e.op:
        case "eq":
            return f"EQ[{a!r}].get({args[0]!r}, EMPTY)"
        case "ne":
            return f"ALL.difference(EQ[{a!r}].get({args[0]!r}, EMPTY))"
        case "in_":
            return f"_or({', '.join(f'EQ[{a!r}].get({v!r}, EMPTY)' for v in args[0])})"
        case "gt":
            return f"{pos}[bisect_right({keys}, {args[0]!r}):]"
        case "ge":
            return f"{pos}[bisect_left({keys}, {args[0]!r}):]"
        case "lt":
            return f"{pos}[:bisect_left({keys}, {args[0]!r})]"
        case "le":
            return f"{pos}[:bisect_right({keys}, {args[0]!r})]"
        case "bt":
            return f"{pos}[bisect_left({keys}, {args[0]!r}):bisect_right({keys}, {args[1]!r})]"
        case "starts_with":
            p = args[0]
            return f"{pos}[bisect_left({keys}, {p!r}):bisect_left({keys}, {_successor(p)!r})]"
        case "ends_with":
            r = args[0][::-1]
            rkeys, rpos = f"RKEYS[{a!r}]", f"RPOS[{a!r}]"
            return f"{rpos}[bisect_left({rkeys}, {r!r}):bisect_left({rkeys}, {_successor(r)!r})]"
        case "contains":
            return f"_or(*[s for v, s in EQ[{a!r}].items() if {args[0]!r} in v])"
    raise ValueError(f"unknown operator {e.op}")


class HandIndex(Peer):
    """What a user writes by hand: a dict of sets per attribute for equality, and for
    ranges and prefixes a list of positions sorted by value beside the sorted values
    (positions ascend within equal values, so one position is found by bisection)."""

    name = "hand-written index"
    keeps_index = True

    def build(self, wl: Workload) -> None:
        super().build(wl)
        records = wl.records
        self.eq: dict[str, dict] = {}
        for a in wl.eq_attrs:
            d = defaultdict(set)
            for i, r in enumerate(records):
                d[r[a]].add(i)
            self.eq[a] = dict(d)
        self.keys, self.pos, self.rkeys, self.rpos = {}, {}, {}, {}
        for a in wl.sorted_attrs:
            values = [r[a] for r in records]
            self.pos[a] = sorted(range(len(values)), key=values.__getitem__)
            self.keys[a] = [values[i] for i in self.pos[a]]
        for a in wl.suffix_attrs:
            values = [r[a][::-1] for r in records]
            self.rpos[a] = sorted(range(len(values)), key=values.__getitem__)
            self.rkeys[a] = [values[i] for i in self.rpos[a]]
        self.all = frozenset(range(len(records)))

    def compile(self, expr: Expr) -> Callable[[], Any]:
        namespace = {
            "records": self.wl.records,
            "EQ": self.eq,
            "KEYS": self.keys,
            "POS": self.pos,
            "RKEYS": self.rkeys,
            "RPOS": self.rpos,
            "ALL": self.all,
            "EMPTY": frozenset(),
            "_and": _and,
            "_or": _or,
            "bisect_left": bisect_left,
            "bisect_right": bisect_right,
        }
        return _compile(f"lambda: [records[i] for i in {hand_source(expr)}]", namespace)

    def writer(self, attr: str):
        records, eq = self.wl.records, self.eq.get(attr)
        keys, pos = self.keys.get(attr), self.pos.get(attr)

        def write(ps: list[int], vs: list[Any]) -> None:
            for p, v in zip(ps, vs):
                r = records[p]
                old = r[attr]
                r[attr] = v
                if eq is not None:
                    eq[old].discard(p)
                    eq.setdefault(v, set()).add(p)
                if keys is not None:
                    k = bisect_left(pos, p, bisect_left(keys, old), bisect_right(keys, old))
                    del keys[k], pos[k]
                    k = bisect_left(pos, p, bisect_left(keys, v), bisect_right(keys, v))
                    keys.insert(k, v)
                    pos.insert(k, p)

        return write


# ---------------------------------------------------------------- SQLite


def _sql_type(v: Any) -> str:
    if isinstance(v, bool) or isinstance(v, int):
        return "INTEGER"
    return "REAL" if isinstance(v, float) else "TEXT"


class Sqlite(Peer):
    """An in-memory database with one index per queried column (and the composite
    index of the workload); LIKE is case-sensitive so prefix patterns use the index."""

    name = "sqlite3"
    keeps_index = True

    def build(self, wl: Workload) -> None:
        super().build(wl)
        cols = list(wl.records[0])
        self.db = db = sqlite3.connect(":memory:")
        db.execute("PRAGMA case_sensitive_like = ON")
        decl = ", ".join(f'"{c}" {_sql_type(wl.records[0][c])}' for c in cols)
        db.execute(f"CREATE TABLE t (id INTEGER PRIMARY KEY, {decl})")
        db.executemany(
            f"INSERT INTO t VALUES (?{', ?' * len(cols)})",
            ((i, *[r[c] for c in cols]) for i, r in enumerate(wl.records)),
        )
        for k, index in enumerate(wl.sql_indexes):
            columns = ", ".join('"' + c + '"' for c in index)
            db.execute(f"CREATE INDEX t_{k} ON t ({columns})")
        db.commit()

    def compile(self, expr: Expr) -> Callable[[], Any]:
        where, params = qm.to_sql(expr)
        sql = f"SELECT * FROM t WHERE {where}"
        return _compile("lambda: db.execute(sql, params).fetchall()", {"db": self.db, "sql": sql, "params": params})

    def positions(self, handle: Any) -> set[int]:
        return {row[0] for row in handle}

    def writer(self, attr: str):
        db, sql = self.db, f'UPDATE t SET "{attr}" = ? WHERE id = ?'

        def write(ps: list[int], vs: list[Any]) -> None:
            for p, v in zip(ps, vs):
                db.execute(sql, (v, p))

        return write

    def database_bytes(self) -> int:
        pages = self.db.execute("PRAGMA page_count").fetchone()[0]
        return pages * self.db.execute("PRAGMA page_size").fetchone()[0]


# ---------------------------------------------------------------- pandas


class PandasMask(Peer):
    name = "pandas masks"

    def build(self, wl: Workload) -> None:
        import pandas as pd

        super().build(wl)
        self.frame = pd.DataFrame(wl.records)

    def compile(self, expr: Expr) -> Callable[[], Any]:
        return _compile(f"lambda: f[{qm.to_pandas(expr, 'f')}]", {"f": self.frame})

    def positions(self, handle: Any) -> set[int]:
        return set(handle.index.tolist())

    def writer(self, attr: str):
        frame = self.frame

        def write(ps: list[int], vs: list[Any]) -> None:
            for p, v in zip(ps, vs):
                frame.at[p, attr] = v

        return write


class PandasCategory(PandasMask):
    name = "pandas category"

    def build(self, wl: Workload) -> None:
        super().build(wl)
        for c in wl.category_columns:
            self.frame[c] = self.frame[c].astype("category")

    def writer(self, attr: str):
        return None  # same as the mask frame for numeric columns


class PandasSetIndex(Peer):
    """A sorted MultiIndex over the equality columns, looked up with `.loc`."""

    name = "pandas set_index"

    def build(self, wl: Workload) -> None:
        import numpy as np
        import pandas as pd

        super().build(wl)
        frame = pd.DataFrame(wl.records)
        frame["pos"] = np.arange(len(frame))
        self.frame = frame.set_index(wl.set_index_levels).sort_index()

    def supports(self, expr: Expr) -> bool:
        return qm.is_equality_conjunction(expr) and set(qm.equality_kwargs(expr)) == set(self.wl.set_index_levels)

    def compile(self, expr: Expr) -> Callable[[], Any]:
        kw = qm.equality_kwargs(expr)
        key = tuple(kw[a] for a in self.wl.set_index_levels)
        frame = self.frame

        def lookup():
            try:
                return frame.loc[[key]]  # a list key: always a frame, even for one row
            except KeyError:  # an absent key raises rather than giving no rows
                return frame.iloc[:0]

        return lookup

    def positions(self, handle: Any) -> set[int]:
        return set(handle["pos"].tolist())


# ---------------------------------------------------------------- Quarrydex


class QuarrydexQuery(Peer):
    """`reduced_query(...).collect()` over one Index of Indexable objects built from
    the records; the objects are made before `build` (see `make_objects`)."""

    name = "Quarrydex reduced_query"
    keeps_index = True

    @staticmethod
    def make_objects(wl: Workload) -> None:
        from Quarrydex import Indexable

        class Record(Indexable):
            pass

        wl.objects = [Record(**r) for r in wl.records]

    def build(self, wl: Workload) -> None:
        from Quarrydex import Index

        super().build(wl)
        if getattr(wl, "index", None) is None:
            wl.index = Index()
            wl.index.add_object_many(wl.objects)

    def compile(self, expr: Expr) -> Callable[[], Any]:
        from Quarrydex import PyQueryExpr

        source = f"lambda: idx.reduced_query({qm.to_quarrydex(expr, 'Q')}).collect()"
        return _compile(source, {"idx": self.wl.index, "Q": PyQueryExpr})

    def positions(self, handle: Any) -> set[int]:
        pos_of = getattr(self.wl, "pos_of_object", None)
        if pos_of is None:
            pos_of = self.wl.pos_of_object = {id(o): i for i, o in enumerate(self.wl.objects)}
        return {pos_of[id(o)] for o in handle}

    def writer(self, attr: str):
        # Written out as `obj.attr = v`, the way a program writes it (not setattr).
        namespace = {"objects": self.wl.objects}
        exec(f"def write(ps, vs):\n    for p, v in zip(ps, vs):\n        objects[p].{attr} = v\n", namespace)
        return namespace["write"]


class QuarrydexGet(QuarrydexQuery):
    name = "Quarrydex get_by_attribute"

    def supports(self, expr: Expr) -> bool:
        return qm.is_equality_conjunction(expr)

    def compile(self, expr: Expr) -> Callable[[], Any]:
        kwargs = ", ".join(f"{k}={v!r}" for k, v in qm.equality_kwargs(expr).items())
        return _compile(f"lambda: idx.get_by_attribute({kwargs})", {"idx": self.wl.index})

    def writer(self, attr: str):
        return None  # the same write as reduced_query's


QUARRYDEX = (QuarrydexGet.name, QuarrydexQuery.name)

ALL_PEERS: list[type[Peer]] = [
    ListComprehension,
    Filter,
    HandIndex,
    Sqlite,
    PandasMask,
    PandasCategory,
    PandasSetIndex,
    QuarrydexGet,
    QuarrydexQuery,
]


def peers_for(wl: Workload) -> list[type[Peer]]:
    """The peers that apply to a workload: category columns and set_index only where
    the workload declares them."""
    out = []
    for cls in ALL_PEERS:
        if cls is PandasCategory and not wl.category_columns:
            continue
        if cls is PandasSetIndex and not wl.set_index_levels:
            continue
        out.append(cls)
    return out
