"""The data sets and queries of the suite.

Each workload is a list of plain dicts (the records every tool starts from), the
queries to run over them, and what each tool should index: which attributes the
hand-written index keeps sorted lists for, which columns SQLite indexes, which
columns pandas turns into categories. Record generation is seeded, so every run and
every fresh memory-probe process sees the same data.
"""

from __future__ import annotations

import random
import string
from collections import Counter
from dataclasses import dataclass, field

from query_model import Expr, and_, bt, contains, ends_with, eq, ge, gt, in_, lt, ne, not_, or_, starts_with

FULL_SIZES = {"fruits": 2_000_000, "ranges": 1_000_000, "strings": 500_000}

TYPES = ["apple", "grape", "mango", "banana", "watermelon"]
COLORS = ["red", "orange", "yellow", "green", "blue"]
SHAPES = ["cube", "sphere", "pyramid", "dodecahedron"]


@dataclass
class Query:
    label: str
    expr: Expr
    tags: frozenset = frozenset()  # e.g. {"selective", "0.1%"}: what the targets look up


@dataclass
class Workload:
    name: str
    records: list[dict]
    queries: list[Query]
    eq_attrs: list[str]  # hand-written index: value -> set of positions
    sorted_attrs: list[str]  # hand-written index: sorted keys for ranges and prefixes
    suffix_attrs: list[str] = field(default_factory=list)  # sorted reversed keys
    sql_indexes: list[tuple[str, ...]] = field(default_factory=list)
    category_columns: list[str] = field(default_factory=list)
    set_index_levels: list[str] = field(default_factory=list)


# ---------------------------------------------------------------- fruits


def fruits_records(n: int) -> list[dict]:
    random.seed(36)
    randint, choice = random.randint, random.choice
    return [
        {"size": randint(1, 100), "type": choice(TYPES), "color": choice(COLORS), "shape": choice(SHAPES)}
        for _ in range(n)
    ]


FRUITS_QUERY = and_(eq("type", "watermelon"), eq("size", 50), eq("color", "green"), eq("shape", "cube"))

MIX_QUERIES = [
    and_(or_(eq("type", "watermelon"), eq("type", "mango")), eq("color", "green")),
    and_(in_("type", ["apple", "grape"]), bt("size", 10, 20), eq("shape", "sphere")),
    and_(eq("shape", "cube"), not_(eq("color", "red"))),
    or_(and_(eq("type", "banana"), eq("size", 7)), and_(eq("color", "blue"), eq("shape", "pyramid"), lt("size", 5))),
    and_(eq("type", "watermelon"), eq("color", "green"), eq("shape", "cube"), ge("size", 95)),
    and_(eq("color", "yellow"), ne("type", "apple"), ne("shape", "cube")),
    not_(or_(eq("color", "red"), eq("color", "blue"), gt("size", 10))),
    not_(eq("type", "apple")),
]


def fruits_workload(n: int) -> Workload:
    queries = [Query("fruits", FRUITS_QUERY, frozenset({"fruits"}))]
    queries += [Query(f"mix{i + 1}", q, frozenset({"mix"})) for i, q in enumerate(MIX_QUERIES)]
    return Workload(
        name="fruits",
        records=fruits_records(n),
        queries=queries,
        eq_attrs=["size", "type", "color", "shape"],
        sorted_attrs=["size"],
        sql_indexes=[("size",), ("type",), ("color",), ("shape",), ("type", "size", "color", "shape")],
        category_columns=["type", "color", "shape"],
        set_index_levels=["type", "size", "color", "shape"],
    )


# ---------------------------------------------------------------- ranges

PRICE_MAX = 1000.0  # price: uniform in [0, 1000) with two decimals
QTY_MAX = 10_000  # qty: uniform integer in [0, 10000)


def ranges_records(n: int) -> list[dict]:
    random.seed(37)
    rnd, randrange = random.random, random.randrange
    return [{"price": round(rnd() * PRICE_MAX, 2), "qty": randrange(QTY_MAX)} for _ in range(n)]


def range_queries() -> list[Query]:
    out = []
    for share, label in ((0.001, "0.1%"), (0.01, "1%"), (0.1, "10%")):
        width = round(PRICE_MAX * share, 2)
        out.append(Query(f"bt price {label}", bt("price", 500.0, 500.0 + width), frozenset({label, "bt"})))
        out.append(Query(f"ge qty {label}", ge("qty", round(QTY_MAX * (1 - share))), frozenset({label, "ge"})))
        out.append(Query(f"lt price {label}", lt("price", width), frozenset({label, "lt"})))
    return out


def ranges_workload(n: int) -> Workload:
    return Workload(
        name="ranges",
        records=ranges_records(n),
        queries=range_queries(),
        eq_attrs=[],
        sorted_attrs=["price", "qty"],
        sql_indexes=[("price",), ("qty",)],
    )


# ---------------------------------------------------------------- strings

LETTERS = string.ascii_lowercase
COMMON_NAMES = 500  # half the records take one of these, Zipf-weighted, so eq has broad answers


def _random_name(rng: random.Random) -> str:
    return "".join(rng.choices(LETTERS, k=rng.randint(3, 20)))


def strings_records(n: int) -> list[dict]:
    rng = random.Random(38)
    pool = [_random_name(rng) for _ in range(COMMON_NAMES)]
    weights = [1.0 / (k + 1) for k in range(COMMON_NAMES)]
    common = rng.choices(pool, weights=weights, k=n)
    return [{"name": common[i] if rng.random() < 0.5 else _random_name(rng)} for i in range(n)]


def _closest(counts: Counter, target: float) -> str:
    """The pattern whose match count is closest to `target` (ties: smallest pattern)."""
    return min(sorted(counts), key=lambda p: abs(counts[p] - target))


def string_queries(records: list[dict]) -> list[Query]:
    """Patterns are picked from the data so the selectivities hold at any size:
    selective ~0.1 % of the records, broad a few percent (prefix, suffix, equality)
    or about a third (a one-letter substring)."""
    n = len(records)
    names = Counter(r["name"] for r in records)
    pre1, pre2, suf1, suf2, sub1, sub3 = (Counter() for _ in range(6))
    for name, k in names.items():
        pre1[name[:1]] += k
        pre2[name[:2]] += k
        suf1[name[-1:]] += k
        suf2[name[-2:]] += k
        for ch in set(name):
            sub1[ch] += k
        for tri in {name[i : i + 3] for i in range(len(name) - 2)}:
            sub3[tri] += k
    selective, broad = frozenset({"selective"}), frozenset({"broad"})
    return [
        Query("starts_with selective", starts_with("name", _closest(pre2, n * 0.001)), selective),
        Query("starts_with broad", starts_with("name", _closest(pre1, n * 0.05)), broad),
        Query("ends_with selective", ends_with("name", _closest(suf2, n * 0.001)), selective),
        Query("ends_with broad", ends_with("name", _closest(suf1, n * 0.05)), broad),
        Query("contains selective", contains("name", _closest(sub3, n * 0.001)), selective),
        Query("contains broad", contains("name", _closest(sub1, n * 0.3)), broad),
        Query("eq selective", eq("name", _closest(names, n * 0.001)), selective),
        Query("eq broad", eq("name", names.most_common(1)[0][0]), broad),
    ]


def strings_workload(n: int) -> Workload:
    records = strings_records(n)
    return Workload(
        name="strings",
        records=records,
        queries=string_queries(records),
        eq_attrs=["name"],
        sorted_attrs=["name"],
        suffix_attrs=["name"],
        sql_indexes=[("name",)],
        category_columns=["name"],
    )


BUILDERS = {"fruits": fruits_workload, "ranges": ranges_workload, "strings": strings_workload}
