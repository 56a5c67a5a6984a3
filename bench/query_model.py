"""One description of a query, rendered for every tool in the suite.

A query is written once as a small tree (`Leaf` and `Node` tuples built by the helpers
below, named like the module's query constructors) and then rendered as a Python
condition for the scans, a WHERE clause for SQLite, a boolean mask for pandas and a
`PyQueryExpr` construction for Quarrydex, each as the source text a user would type,
compiled once so that no interpretation layer sits inside the timed calls. The hand-written index evaluates the tree itself (see
peers.py). Keeping one source of truth is what lets the suite insist that every tool
returns the same records.
"""

from __future__ import annotations

from typing import Any, NamedTuple


class Leaf(NamedTuple):
    op: str  # eq ne gt ge lt le bt in_ starts_with ends_with contains
    attr: str
    args: tuple


class Node(NamedTuple):
    op: str  # and_ or_ not_
    children: tuple


Expr = Leaf | Node


def eq(attr: str, v: Any) -> Leaf:
    return Leaf("eq", attr, (v,))


def ne(attr: str, v: Any) -> Leaf:
    return Leaf("ne", attr, (v,))


def gt(attr: str, v: Any) -> Leaf:
    return Leaf("gt", attr, (v,))


def ge(attr: str, v: Any) -> Leaf:
    return Leaf("ge", attr, (v,))


def lt(attr: str, v: Any) -> Leaf:
    return Leaf("lt", attr, (v,))


def le(attr: str, v: Any) -> Leaf:
    return Leaf("le", attr, (v,))


def bt(attr: str, lo: Any, hi: Any) -> Leaf:
    """Between, both bounds included."""
    return Leaf("bt", attr, (lo, hi))


def in_(attr: str, values: list) -> Leaf:
    return Leaf("in_", attr, (tuple(values),))


def starts_with(attr: str, s: str) -> Leaf:
    return Leaf("starts_with", attr, (s,))


def ends_with(attr: str, s: str) -> Leaf:
    return Leaf("ends_with", attr, (s,))


def contains(attr: str, s: str) -> Leaf:
    return Leaf("contains", attr, (s,))


def and_(*children: Expr) -> Node:
    return Node("and_", children)


def or_(*children: Expr) -> Node:
    return Node("or_", children)


def not_(child: Expr) -> Node:
    return Node("not_", (child,))


def is_equality_conjunction(e: Expr) -> bool:
    """True when the query is a plain `get_by_attribute(**kw)` lookup."""
    if isinstance(e, Leaf):
        return e.op == "eq"
    return e.op == "and_" and all(isinstance(c, Leaf) and c.op == "eq" for c in e.children)


def equality_kwargs(e: Expr) -> dict:
    leaves = (e,) if isinstance(e, Leaf) else e.children
    return {c.attr: c.args[0] for c in leaves}


def describe(e: Expr) -> str:
    """Short human-readable form, e.g. `and(eq(type,'mango'), lt(size,5))`."""
    if isinstance(e, Node):
        return f"{e.op.rstrip('_')}({', '.join(describe(c) for c in e.children)})"
    args = ",".join(repr(list(a)) if isinstance(a, tuple) else repr(a) for a in e.args)
    return f"{e.op.rstrip('_')}({e.attr},{args})"


# ---------------------------------------------------------------- Python source

_PY_COMPARE = {"eq": "==", "ne": "!=", "gt": ">", "ge": ">=", "lt": "<", "le": "<="}


def to_python(e: Expr, var: str = "r") -> str:
    """The condition a user writes in a comprehension over dicts named `var`."""
    if isinstance(e, Node):
        if e.op == "not_":
            return f"not ({to_python(e.children[0], var)})"
        joiner = " and " if e.op == "and_" else " or "
        return joiner.join(f"({to_python(c, var)})" for c in e.children)
    field = f"{var}[{e.attr!r}]"
    if e.op in _PY_COMPARE:
        return f"{field} {_PY_COMPARE[e.op]} {e.args[0]!r}"
    if e.op == "bt":
        return f"{e.args[0]!r} <= {field} <= {e.args[1]!r}"
    if e.op == "in_":
        return f"{field} in {e.args[0]!r}"
    if e.op == "starts_with":
        return f"{field}.startswith({e.args[0]!r})"
    if e.op == "ends_with":
        return f"{field}.endswith({e.args[0]!r})"
    if e.op == "contains":
        return f"{e.args[0]!r} in {field}"
    raise ValueError(f"unknown operator {e.op}")


# ---------------------------------------------------------------- SQL

_SQL_COMPARE = {"eq": "=", "ne": "!=", "gt": ">", "ge": ">=", "lt": "<", "le": "<="}


def _like_escape(s: str) -> str:
    if any(ch in s for ch in "%_\\'"):
        raise ValueError(f"pattern {s!r} needs escaping; the workloads use letters only")
    return s


def to_sql(e: Expr) -> tuple[str, list]:
    """WHERE clause and its parameters. LIKE is made case-sensitive by the SQLite
    peer (PRAGMA case_sensitive_like) so prefix patterns can use the column index."""
    if isinstance(e, Node):
        if e.op == "not_":
            inner, params = to_sql(e.children[0])
            return f"NOT ({inner})", params
        parts = [to_sql(c) for c in e.children]
        joiner = " AND " if e.op == "and_" else " OR "
        return joiner.join(f"({p[0]})" for p in parts), [x for p in parts for x in p[1]]
    col = f'"{e.attr}"'
    if e.op in _SQL_COMPARE:
        return f"{col} {_SQL_COMPARE[e.op]} ?", [e.args[0]]
    if e.op == "bt":
        return f"{col} BETWEEN ? AND ?", [e.args[0], e.args[1]]
    if e.op == "in_":
        values = list(e.args[0])
        return f"{col} IN ({','.join('?' * len(values))})", values
    pattern = _like_escape(e.args[0])
    if e.op == "starts_with":
        return f"{col} LIKE '{pattern}%'", []
    if e.op == "ends_with":
        return f"{col} LIKE '%{pattern}'", []
    if e.op == "contains":
        return f"{col} LIKE '%{pattern}%'", []
    raise ValueError(f"unknown operator {e.op}")


# ---------------------------------------------------------------- pandas

_PD_COMPARE = {"eq": "==", "ne": "!=", "gt": ">", "ge": ">=", "lt": "<", "le": "<="}


def to_pandas(e: Expr, frame: str = "f") -> str:
    """Boolean-mask expression over the DataFrame named `frame`."""
    if isinstance(e, Node):
        if e.op == "not_":
            return f"~({to_pandas(e.children[0], frame)})"
        joiner = " & " if e.op == "and_" else " | "
        return joiner.join(f"({to_pandas(c, frame)})" for c in e.children)
    col = f"{frame}[{e.attr!r}]"
    a = e.args
    if e.op in _PD_COMPARE:
        return f"{col} {_PD_COMPARE[e.op]} {a[0]!r}"
    if e.op == "bt":
        return f"{col}.between({a[0]!r}, {a[1]!r})"
    if e.op == "in_":
        return f"{col}.isin({list(a[0])!r})"
    if e.op == "starts_with":
        return f"{col}.str.startswith({a[0]!r})"
    if e.op == "ends_with":
        return f"{col}.str.endswith({a[0]!r})"
    if e.op == "contains":
        return f"{col}.str.contains({a[0]!r}, regex=False)"
    raise ValueError(f"unknown operator {e.op}")


# ---------------------------------------------------------------- Quarrydex


def to_quarrydex(e: Expr, q: str = "Q") -> str:
    """The `PyQueryExpr` construction a user writes inline, `Q` being the class."""
    if isinstance(e, Node):
        return f"{q}.{e.op}({', '.join(to_quarrydex(c, q) for c in e.children)})"
    if e.op == "in_":
        return f"{q}.in_({e.attr!r}, {list(e.args[0])!r})"
    return f"{q}.{e.op}({e.attr!r}, {', '.join(repr(a) for a in e.args)})"
