"""Query operators evaluated on indexes and filtered indexes.

Expected results for the range and pattern operators are derived from
Python's own comparisons (exact between int and float) and from bytes
prefix/suffix/containment on UTF-8; the documented edge cases are also
spelled out literally.
"""

import math
import operator
import random

import pytest

import Quarrydex
from conftest import Population
from Quarrydex import Index, Indexable
from Quarrydex import PyQueryExpr as Q

INF = float("inf")
NAN = float("nan")
MIN_SUB = 5e-324
MAX_SUB = 2.225073858507201e-308
MIN_NORMAL = 2.2250738585072014e-308


def is_number(v):
    return type(v) in (int, float) and not (type(v) is float and math.isnan(v))


def members(v):
    """Scalar values a stored value offers to queries, containers flattened."""
    if type(v) in (list, tuple, set):
        for m in v:
            yield from members(m)
    elif type(v) is not dict:
        yield v


def label(v):
    return f"{type(v).__name__}:{v!r}"


# ------------------------------------------------------------ numeric ranges

NUMBERS = [
    -(2**63), -(2**63) + 1, -(2**62), -10, -5, -1, 0, 1, 2, 3, 5,
    2**53, 2**53 + 1, 2**60, 2**60 + 1, 2**62, 2**63 - 1,
    -INF, -1e300, -2.0**63, -1.5, -1.0, -0.5, -MIN_SUB, -0.0, 0.0, MIN_SUB, 1e-310,
    MAX_SUB, MIN_NORMAL, 1e-300, 0.5, 1.0, 1.49, 1.5, 2.0, 2.5, 2.0**53, 2.0**60,
    2.0**63, 1e300, INF,
]  # fmt: skip

CONTAINERS = {
    "scores": [95, 80],
    "mixed": (-3, "x", None),
    "deep": [[1e6], (["-7"],)],
    "negset": {-2.5},
}
NON_NUMBERS = {
    "str": "12",
    "true": True,
    "false": False,
    "none": None,
    "nan": NAN,
    "dict": {5: 5},
}


@pytest.fixture(scope="module")
def numeric():
    stored = {label(v): v for v in NUMBERS}
    stored.update(CONTAINERS)
    stored.update(NON_NUMBERS)
    objs = {lb: Indexable(x=v) for lb, v in stored.items()}
    objs["missing"] = Indexable(y=0)
    pop = Population(objs)
    idx = Index()
    idx.add_object_many(pop.objects())
    return pop, idx, stored


def matching(stored, pred):
    return [lb for lb, v in stored.items() if any(is_number(m) and pred(m) for m in members(v))]


RANGE_OPS = [("gt", operator.gt), ("ge", operator.ge), ("lt", operator.lt), ("le", operator.le)]
OPERANDS = [
    -(2**63), -(2**62), -10, -1, -0.5, 0, -0.0, 0.0, MIN_SUB, MAX_SUB, MIN_NORMAL,
    1, 1.5, 2, 2.0, 90, 2**53, 2**53 + 1, float(2**53 + 2), 2**60, 2**62 - 1,
    2**63 - 1, 2.0**63, -INF, INF,
]  # fmt: skip


@pytest.mark.parametrize("op, pred", RANGE_OPS, ids=[n for n, _ in RANGE_OPS])
@pytest.mark.parametrize("operand", OPERANDS, ids=label)
def test_single_comparisons(numeric, op, pred, operand):
    pop, idx, stored = numeric
    expected = matching(stored, lambda m: pred(m, operand))
    pop.check(idx.reduced_query(getattr(Q, op)("x", operand)).collect(), expected)


BETWEEN = [
    (-10, -5),
    (-1, 1),
    (1, 1),
    (1.0, 1),
    (5, 1),
    (0, 0),
    (-0.0, -0.0),
    (-1.5, 2),
    (-INF, INF),
    (INF, -INF),
    (MIN_SUB, MIN_NORMAL),
    (-MIN_SUB, MIN_SUB),
    (2**53, 2**53 + 1),
    (2**60 + 1, 2.0**63),
    (-(2**63), -(2**62)),
    (80, 100),
]


@pytest.mark.parametrize("lower, upper", BETWEEN, ids=lambda v: label(v))
def test_between(numeric, lower, upper):
    pop, idx, stored = numeric
    expected = matching(stored, lambda m: lower <= m <= upper)
    pop.check(idx.reduced_query(Q.bt("x", lower, upper)).collect(), expected)


def test_documented_range_cases(numeric):
    pop, idx, _ = numeric
    run = lambda q: set(pop.labels(idx.reduced_query(q).collect()))  # noqa: E731
    assert run(Q.bt("x", 5, 1)) == set()
    assert {"int:-1", "float:-0.5", "int:0", "float:0.5", "int:1"} <= run(Q.bt("x", -1, 1))
    assert {"int:2", "float:2.0"} <= run(Q.ge("x", 2))
    assert "float:-0.0" not in run(Q.lt("x", 0))
    assert "float:-0.0" in run(Q.le("x", 0))
    above = run(Q.gt("x", 2**60))
    assert f"int:{2**60 + 1}" in above and f"int:{2**60}" not in above
    assert "scores" in run(Q.gt("x", 90)) and "scores" in run(Q.lt("x", 81))
    assert "scores" not in run(Q.bt("x", 81, 94))
    assert "deep" in run(Q.gt("x", 1e5))
    assert "deep" not in run(Q.lt("x", -6))  # "-7" is a string


@pytest.mark.parametrize(
    "query",
    [
        Q.eq("x", NAN),
        Q.gt("x", NAN),
        Q.ge("x", NAN),
        Q.lt("x", NAN),
        Q.le("x", NAN),
        Q.bt("x", NAN, 5),
        Q.bt("x", 0, NAN),
        Q.bt("x", -NAN, NAN),
        Q.in_("x", [NAN]),
        Q.gt("x", "a"),
        Q.lt("x", True),
        Q.ge("x", False),
        Q.le("x", None),
        Q.gt("x", [1]),
        Q.gt("y", 5),
        Q.gt("never_used_attribute", 0),
    ],
    ids=repr,
)
def test_operands_that_select_nothing(numeric, query):
    _, idx, _ = numeric
    assert idx.reduced_query(query).collect() == []


def test_negated_nan_selects_everything(numeric):
    pop, idx, _ = numeric
    pop.check(idx.reduced_query(Q.ne("x", NAN)).collect(), pop.by_label)


@pytest.mark.parametrize(
    "lower, upper",
    [("a", "z"), (1, "z"), ("a", 1), (True, 5), (1, False), (None, 1), ([1], 2)],
    ids=repr,
)
def test_between_needs_numeric_bounds(numeric, lower, upper):
    pop, idx, stored = numeric
    with pytest.raises(Quarrydex.PanicException) as info:
        idx.reduced_query(Q.bt("x", lower, upper))
    assert str(info.value) == "not yet implemented"
    # Nothing was left locked or broken.
    pop.check(idx.reduced_query(Q.ge("x", 1e300)).collect(), matching(stored, lambda m: m >= 1e300))
    with pytest.raises(Quarrydex.PanicException):
        idx.reduced().reduced_query(Q.bt("x", lower, upper))


def test_range_candidates_are_the_running_conjunction():
    objs = {f"o{i}": Indexable(x=i, y=i % 2) for i in range(10)}
    pop = Population(objs)
    idx = Index()
    idx.add_object_many(pop.objects())
    q = Q.and_(Q.gt("x", 3), Q.eq("y", 1))
    pop.check(idx.reduced_query(q).collect(), ["o5", "o7", "o9"])
    q = Q.and_(Q.not_(Q.eq("y", 1)), Q.bt("x", 2, 6), Q.ne("x", 4))
    pop.check(idx.reduced_query(q).collect(), ["o2", "o6"])


# ------------------------------------------------------------ string patterns

STRINGS = [
    "", "a", "ab", "abc", "abcd", "bc", "A", "aaa", "ünïcödé", "\u00e9", "e\u0301",
    "日本語", "😀x", "x😀", "a\x00b", "the quick brown fox jumps over the lazy dog",
    "x" * 23, "x" * 24,
]  # fmt: skip
STRING_OTHERS = {
    "int": 1,
    "none": None,
    "true": True,
    "list": ["ab", "zz"],
    "nested": [("deep string",)],
    "bytes": b"abc",
}


@pytest.fixture(scope="module")
def strings():
    stored = {label(s): s for s in STRINGS}
    stored.update(STRING_OTHERS)
    objs = {lb: Indexable(s=v) for lb, v in stored.items()}
    objs["missing"] = Indexable(t="abc")
    pop = Population(objs)
    idx = Index()
    for obj in pop.objects():
        idx.add_object(obj)
    return pop, idx, stored


PATTERN_OPS = [
    ("starts_with", bytes.startswith),
    ("ends_with", bytes.endswith),
    ("contains", lambda s, p: p in s),
    ("eq", operator.eq),
]
PATTERNS = [
    "", "a", "ab", "abc", "abcde", "b", "c", "A", "aa", "\u00e9", "\u0301", "e", "日",
    "本語", "😀", "x", "\x00", "quick", "dog", "zz", "deep", "x" * 23, "x" * 24,
    "ünïcödé",
]  # fmt: skip


@pytest.mark.parametrize("op, pred", PATTERN_OPS, ids=[n for n, _ in PATTERN_OPS])
@pytest.mark.parametrize("pattern", PATTERNS, ids=ascii)
def test_string_patterns_are_utf8_byte_operations(strings, op, pred, pattern):
    pop, idx, stored = strings
    expected = [
        lb
        for lb, v in stored.items()
        if any(type(m) is str and pred(m.encode(), pattern.encode()) for m in members(v))
    ]
    pop.check(idx.reduced_query(getattr(Q, op)("s", pattern)).collect(), expected)


@pytest.mark.parametrize("copies", [1, 70], ids=["rare", "shared"])
def test_bulk_built_patterns_match_brute_force(copies):
    # A batch builds the string structures from grouped input (a string held
    # by many objects goes in as one union per cell); writes afterwards must
    # take single ids back out of those cells.
    texts = [s for s in STRINGS if type(s) is str] + ["abcab", "abcxbca"]
    objects = [Indexable(s=t) for t in texts for _ in range(copies)]
    random.Random(5).shuffle(objects)
    idx = Index()
    idx.add_object_many(objects)
    for round_ in range(2):
        for op, pred in PATTERN_OPS:
            for pattern in PATTERNS + ["bca", "abca", "cab"]:
                got = {id(o) for o in idx.reduced_query(getattr(Q, op)("s", pattern)).collect()}
                want = {id(o) for o in objects if pred(o.s.encode(), pattern.encode())}
                assert got == want, (op, pattern, round_)
        for o in objects[::3]:
            o.s = o.s[::-1] + "q"


def test_empty_pattern_selects_every_string_holder(strings):
    pop, idx, stored = strings
    expected = [lb for lb, v in stored.items() if type(v) is str] + ["list", "nested"]
    for op in ("starts_with", "ends_with", "contains"):
        pop.check(idx.reduced_query(getattr(Q, op)("s", "")).collect(), expected)
    pop.check(idx.reduced_query(Q.eq("s", "")).collect(), ["str:''"])


@pytest.mark.parametrize("op", ["starts_with", "ends_with", "contains"])
@pytest.mark.parametrize("operand", [5, None, True, b"abc", ["a"], 1.5])
def test_patterns_need_string_operands(strings, op, operand):
    _, idx, _ = strings
    assert idx.reduced_query(getattr(Q, op)("s", operand)).collect() == []


def test_exact_string_equality(strings):
    pop, idx, _ = strings
    pop.check(idx.reduced_query(Q.eq("s", "abc")).collect(), ["str:'abc'"])
    pop.check(idx.reduced_query(Q.eq("s", "\u00e9")).collect(), ["str:'é'"])
    pop.check(idx.reduced_query(Q.eq("s", "a")).collect(), ["str:'a'"])
    pop.check(idx.reduced_query(Q.eq("s", "zz")).collect(), ["list"])


# ------------------------------------------------------------ boolean combinators


@pytest.fixture(scope="module")
def mixed():
    objs = {
        "a1b2": Indexable(a=1, b=2),
        "a1b3": Indexable(a=1, b=3),
        "a2b2": Indexable(a=2, b=2),
        "astr": Indexable(a="1", b=2),
        "nob": Indexable(a=1),
        "none": Indexable(),
        "tags": Indexable(a=[1, 2], b=[2]),
    }
    pop = Population(objs)
    idx = Index()
    idx.add_object_many(pop.objects())
    return pop, idx


ALL = ["a1b2", "a1b3", "a2b2", "astr", "nob", "none", "tags"]


@pytest.mark.parametrize(
    "query, labels",
    [
        (Q.and_(), ALL),
        (Q.or_(), []),
        (Q.not_(Q.or_()), ALL),
        (Q.not_(Q.and_()), []),
        (Q.eq("zzz_unknown", 1), []),
        (Q.not_(Q.eq("zzz_unknown", 1)), ALL),
        (Q.ne("a", 1), ["a2b2", "astr", "none"]),
        (Q.ne("a", "1"), ["a1b2", "a1b3", "a2b2", "nob", "none", "tags"]),
        (Q.not_(Q.eq("a", 1)), ["a2b2", "astr", "none"]),
        (Q.in_("a", []), []),
        (Q.in_("a", [1, 1]), ["a1b2", "a1b3", "nob", "tags"]),
        (Q.in_("a", [2, "1"]), ["a2b2", "astr", "tags"]),
        (Q.in_("a", range(2, 4)), ["a2b2", "tags"]),
        (Q.in_("a", (None, True, "x")), []),
        (Q.and_(Q.eq("a", 1), Q.eq("b", 2)), ["a1b2", "tags"]),
        (Q.and_(Q.not_(Q.eq("a", 1)), Q.eq("b", 2)), ["a2b2", "astr"]),
        (Q.and_(Q.eq("b", 2), Q.ne("a", 2)), ["a1b2", "astr"]),
        (Q.and_(Q.in_("a", [1, 2]), Q.not_(Q.eq("b", 2))), ["a1b3", "nob"]),
        (Q.or_(Q.eq("a", 2), Q.eq("b", 3)), ["a1b3", "a2b2", "tags"]),
        (Q.or_(Q.eq("a", 2)), ["a2b2", "tags"]),
        (Q.or_(Q.not_(Q.eq("a", 1)), Q.eq("b", 3)), ["a1b3", "a2b2", "astr", "none"]),
        (Q.not_(Q.and_(Q.eq("a", 1), Q.or_(Q.eq("b", 2), Q.eq("b", 3)))), ["a2b2", "astr", "nob", "none"]),
        (Q.and_(Q.and_(Q.ge("b", 2)), Q.or_(Q.lt("a", 2), Q.starts_with("a", "1"))), ["a1b2", "a1b3", "astr", "tags"]),
    ],
    ids=repr,
)
def test_combinators(mixed, query, labels):
    pop, idx = mixed
    pop.check(idx.reduced_query(query).collect(), labels)
    # The same query on a view of everything answers the same.
    pop.check(idx.reduced().reduced_query(query).collect(), labels)


@pytest.mark.parametrize(
    "narrow, query, labels",
    [
        ({"b": 2}, Q.not_(Q.eq("a", 1)), ["a2b2", "astr"]),
        ({"b": 2}, Q.ne("a", 2), ["a1b2", "astr"]),
        ({"b": 2}, Q.or_(Q.eq("a", 1), Q.eq("b", 3)), ["a1b2", "tags"]),
        ({"b": 2}, Q.in_("a", [1, 2, "1"]), ["a1b2", "a2b2", "astr", "tags"]),
        ({"b": 2}, Q.and_(), ["a1b2", "a2b2", "astr", "tags"]),
        ({"b": 2}, Q.not_(Q.or_()), ["a1b2", "a2b2", "astr", "tags"]),
        ({"a": 1}, Q.not_(Q.gt("b", 2)), ["a1b2", "nob", "tags"]),
        ({"a": 1}, Q.eq("b", 3), ["a1b3"]),
    ],
    ids=repr,
)
def test_filtered_queries_stay_within_the_view(mixed, narrow, query, labels):
    pop, idx = mixed
    pop.check(idx.reduced(**narrow).reduced_query(query).collect(), labels)


def _plain_value(i):
    # Heavy keys (n: a hundred ids each), column keys (f), dense and rare
    # strings (s), booleans on some objects only (b), and no containers, so
    # that equalities and negations read the posting lists directly.
    values = {"n": i % 3, "f": 1.0 if i % 7 == 0 else i, "s": "x" if i % 2 else ("y" if i % 50 else f"r{i}")}
    if i % 4:
        values["b"] = i % 5 == 0
    return values


def _eq(obj, attr, value):
    if not hasattr(obj, attr) or value != value:
        return False
    stored = getattr(obj, attr)
    return isinstance(stored, bool) == isinstance(value, bool) and isinstance(stored, str) == isinstance(value, str) and stored == value


@pytest.fixture(scope="module")
def plain():
    pop = Population({f"o{i}": Indexable(**_plain_value(i)) for i in range(300)})
    return pop, pop.objects()


@pytest.mark.parametrize(
    "query, pred",
    [
        (Q.and_(Q.eq("n", 1), Q.ne("s", "x")), lambda o: _eq(o, "n", 1) and not _eq(o, "s", "x")),
        (Q.and_(Q.eq("n", 1.0), Q.not_(Q.eq("f", 1))), lambda o: _eq(o, "n", 1) and not _eq(o, "f", 1)),
        (Q.and_(Q.eq("n", 7), Q.not_(Q.eq("s", "x"))), lambda o: False),
        (Q.and_(Q.eq("s", "y"), Q.eq("n", 2), Q.ne("b", False)), lambda o: _eq(o, "s", "y") and _eq(o, "n", 2) and not _eq(o, "b", False)),
        (Q.and_(Q.not_(Q.eq("n", 0)), Q.ne("n", 1), Q.ne("f", 3)), lambda o: _eq(o, "n", 2) and not _eq(o, "f", 3)),
        (Q.and_(Q.eq("s", "r50"), Q.ne("b", True)), lambda o: _eq(o, "s", "r50") and not _eq(o, "b", True)),
        (Q.ne("zz", 1), lambda o: True),
        (Q.ne("n", math.nan), lambda o: True),
        (Q.ne("b", 1), lambda o: True),
        (Q.not_(Q.eq("zz", 1)), lambda o: True),
        (Q.not_(Q.eq("n", 5)), lambda o: True),
        (Q.not_(Q.not_(Q.eq("n", 2))), lambda o: _eq(o, "n", 2)),
        (Q.not_(Q.ne("f", 1.0)), lambda o: _eq(o, "f", 1)),
        (Q.eq("f", 1), lambda o: _eq(o, "f", 1)),
        (Q.or_(Q.eq("n", 0), Q.eq("s", "y")), lambda o: _eq(o, "n", 0) or _eq(o, "s", "y")),
        (Q.not_(Q.or_(Q.eq("n", 0), Q.eq("b", True), Q.gt("f", 200), Q.not_(Q.eq("s", "x")))),
         lambda o: not (_eq(o, "n", 0) or _eq(o, "b", True) or o.f > 200 or not _eq(o, "s", "x"))),
        (Q.and_(Q.eq("n", 1), Q.not_(Q.and_(Q.eq("s", "x"), Q.lt("f", 100)))), lambda o: _eq(o, "n", 1) and not (_eq(o, "s", "x") and o.f < 100)),
    ],
)
def test_negations_and_equalities_on_plain_attributes(plain, query, pred):
    pop, objs = plain
    idx = Index()
    idx.add_object_many(objs)
    everything = [pop.label_of[id(o)] for o in objs if pred(o)]
    pop.check(idx.reduced_query(query).collect(), everything)
    assert len(idx.reduced_query(query)) == len(everything)
    # Within a view, and after the index was narrowed, only what is left counts.
    view = idx.reduced(n=2)
    pop.check(view.reduced_query(query).collect(), [lb for lb in everything if _eq(pop.by_label[lb], "n", 2)])
    idx.reduce(s="x")
    pop.check(idx.reduced_query(query).collect(), [lb for lb in everything if _eq(pop.by_label[lb], "s", "x")])


def _dense_value(i, rng):
    # Posting lists large enough to be roaring bitmaps, dense (thousands of
    # ids a chunk) and sparse (n == 3), beside an attribute whose list
    # values give its ids members (m) and one held by a few objects (r).
    values = {"n": 3 if i % 97 == 0 else rng.randrange(3), "c": rng.choice("pq"), "b": rng.random() < 0.5}
    if i % 5 == 0:
        values["m"] = [i % 3] if i % 2 else i % 3
    if i % 1000 == 0:
        values["r"] = "p"
    return values


@pytest.mark.parametrize("seed", range(2))
def test_conjunctions_of_large_posting_lists(seed):
    rng = random.Random(seed)
    objs = [Indexable(**_dense_value(i, rng)) for i in range(12000)]
    idx = Index()
    idx.add_object_many(objs)
    operands = {"n": [0, 1, 2.0, 3, 7, NAN, "p", True], "c": ["p", "q", "z", 1], "b": [True, False, 1],
                "m": [0, 1], "r": ["p"], "zz": [1]}
    matching = {}
    for attr, values in operands.items():
        for v in values:
            matching[attr, label(v)] = {id(o) for o in objs if _eq(o, attr, v) or (attr == "m" and _member(o, v))}
    view = idx.reduced(c="p")
    in_view = {id(o) for o in objs if o.c == "p"}
    for _ in range(30):
        leaves = [(a, rng.choice(operands[a])) for a in rng.sample(sorted(operands), rng.randint(2, 4))]
        if rng.random() < 0.3:
            leaves.append(leaves[0])  # the same posting list twice
        query = Q.and_(*[Q.eq(a, v) for a, v in leaves])
        expected = set.intersection(*[matching[a, label(v)] for a, v in leaves])
        found = idx.reduced_query(query)
        assert len(found) == len(expected) and set(map(id, found.collect())) == expected, leaves
        assert set(map(id, view.reduced_query(query).collect())) == expected & in_view, leaves


# Values an object takes in the test below: every kind its attributes can
# move between (a write across kinds touches two structures).
_SWAPS = {"n": [0, 1, 1.0, 2, "p", None, True], "c": ["p", "q", 0, False], "b": [True, False, 1, "q"]}


@pytest.mark.parametrize("seed", range(2))
def test_repeated_conjunctions_stay_exact_across_changes(seed):
    # Conjunctions asked often enough get a combined index over their
    # attributes; after every kind of change the answers must still be the
    # ones a scan gives, whether the combined index was in use or not.
    rng = random.Random(seed)
    objs = [Indexable(n=rng.randrange(2), c=rng.choice("pq"), b=rng.random() < 0.5) for _ in range(24000)]
    idx = Index()
    idx.add_object_many(objs)
    queries = [[("n", 1), ("c", "p"), ("b", True)], [("n", 1.0), ("c", "q")], [("b", False), ("n", 0)],
               [("c", "p"), ("n", "p")]]
    changes = ["write", "write", "kinds", "remove", "add", "none"]
    for step in range(24):
        change = "reduce" if step == 12 else rng.choice(changes)
        if change in ("write", "kinds"):
            for o in rng.sample(objs, 50):
                attr = rng.choice("ncb")
                values = _SWAPS[attr] if change == "kinds" else _SWAPS[attr][:2]
                setattr(o, attr, rng.choice(values))
        elif change == "remove":
            for o in rng.sample(objs, 20):
                idx.remove_object(o)
                objs.remove(o)
        elif change == "add":
            fresh = [Indexable(n=rng.randrange(2), c=rng.choice("pq"), b=True) for _ in range(200)]
            idx.add_object_many(fresh)
            objs += fresh
        elif change == "reduce":
            idx.reduce(c="p")
            objs = [o for o in objs if _eq(o, "c", "p")]
        for leaves in queries:
            query = Q.and_(*[Q.eq(a, v) for a, v in leaves])
            expected = {id(o) for o in objs if all(_eq(o, a, v) for a, v in leaves)}
            for _ in range(60):  # enough asks to pay for a combined index
                found = idx.reduced_query(query)
                assert len(found) == len(expected), (step, change, leaves)
            assert set(map(id, found.collect())) == expected, (step, change, leaves)


def _member(obj, value):
    stored = getattr(obj, "m", None)
    return isinstance(stored, list) and value in stored and not isinstance(value, bool)


# ------------------------------------------------------------ dotted paths


@pytest.fixture
def nested():
    leaf1, leaf2 = Indexable(c=1, s="alpha"), Indexable(c=2, s="beta")
    mid1, mid2 = Indexable(b=1, leaf=leaf1, s="m1"), Indexable(b=2, leaf=leaf2, s="m2")
    shared = Indexable(b=3)
    empty_name = Indexable(**{"": 7, "b": 9})
    objs = {
        "h_mid1": Indexable(a=mid1, k=1),
        "h_mid2": Indexable(a=mid2, k=2),
        "h_shared1": Indexable(a=shared),
        "h_shared2": Indexable(a=shared),
        "h_list": Indexable(a=[mid2, 5]),
        "h_deep": Indexable(a=[[("x", empty_name)]]),
        "h_scalar": Indexable(a=1),
        "h_none": Indexable(),
        "h_root_empty": Indexable(**{"": mid1}),
    }
    pop = Population(objs)
    idx = Index()
    for obj in pop.objects():
        idx.add_object(obj)
    return pop, idx, {"leaf1": leaf1, "mid1": mid1, "mid2": mid2, "shared": shared}


@pytest.mark.parametrize(
    "query, labels",
    [
        (Q.eq("a.b", 1), ["h_mid1"]),
        (Q.eq("a.b", 2), ["h_mid2", "h_list"]),
        (Q.eq("a.b", 3), ["h_shared1", "h_shared2"]),
        (Q.eq("a.b", 9), ["h_deep"]),
        (Q.eq("a.", 7), ["h_deep"]),
        (Q.eq(".b", 1), ["h_root_empty"]),
        (Q.eq("a.leaf.c", 2), ["h_mid2", "h_list"]),
        (Q.eq("a.leaf.s", "alpha"), ["h_mid1"]),
        (Q.starts_with("a.leaf.s", "be"), ["h_mid2", "h_list"]),
        (Q.contains("a.s", "m"), ["h_mid1", "h_mid2", "h_list"]),
        (Q.gt("a.b", 1), ["h_mid2", "h_shared1", "h_shared2", "h_list", "h_deep"]),
        (Q.bt("a.b", 2, 3), ["h_mid2", "h_shared1", "h_shared2", "h_list"]),
        (Q.le("a.leaf.c", 1), ["h_mid1"]),
        (Q.in_("a.b", [1, 3]), ["h_mid1", "h_shared1", "h_shared2"]),
        (Q.ne("a.b", 2), ["h_mid1", "h_shared1", "h_shared2", "h_deep", "h_scalar", "h_none", "h_root_empty"]),
        (Q.not_(Q.eq("a.leaf.c", 1)), ["h_mid2", "h_shared1", "h_shared2", "h_list", "h_deep", "h_scalar", "h_none", "h_root_empty"]),
        (Q.and_(Q.eq("a.b", 2), Q.eq("a", 5)), ["h_list"]),
        (Q.eq("a.nothing", 1), []),
        (Q.eq("k.b", 1), []),
        (Q.eq("a.b.c", 1), []),
    ],
    ids=repr,
)
def test_dotted_paths(nested, query, labels):
    pop, idx, _ = nested
    pop.check(idx.reduced_query(query).collect(), labels)


def test_dotted_paths_follow_writes_on_nested_objects(nested):
    pop, idx, inner = nested
    inner["leaf1"].c = 2
    pop.check(idx.reduced_query(Q.eq("a.leaf.c", 2)).collect(), ["h_mid1", "h_mid2", "h_list"])
    inner["mid2"].b = 1
    pop.check(idx.reduced_query(Q.eq("a.b", 1)).collect(), ["h_mid1", "h_mid2", "h_list"])
    pop.check(idx.reduced_query(Q.eq("a.b", 2)).collect(), [])
    pop.by_label["h_mid1"].a = inner["shared"]
    pop.check(idx.reduced_query(Q.eq("a.b", 1)).collect(), ["h_mid2", "h_list"])
    pop.check(idx.reduced_query(Q.eq("a.b", 3)).collect(), ["h_mid1", "h_shared1", "h_shared2"])
    pop.check(idx.reduced_query(Q.eq("a.leaf.c", 2)).collect(), ["h_mid2", "h_list"])


def test_object_values_match_by_identity(nested):
    pop, idx, inner = nested
    pop.check(idx.reduced_query(Q.eq("a", inner["shared"])).collect(), ["h_shared1", "h_shared2"])
    pop.check(idx.reduced_query(Q.eq("a", inner["mid2"])).collect(), ["h_mid2", "h_list"])
    pop.check(idx.reduced_query(Q.eq("a", Indexable(b=3))).collect(), [])


def test_mutual_references_do_not_hang(watchdog):
    first, second = Indexable(n=1), Indexable(n=2)
    idx = Index()
    idx.add_object_many([first, second])
    first.peer = second
    second.peer = first
    assert first.peer is second and second.peer is first
    assert idx.reduced_query(Q.eq("peer.n", 2)).collect() == [first]
    assert idx.get_by_attribute(n=1) == [first]
