"""Bad input: every refusal raises the right exception and changes nothing.

Each test takes a picture of two overlapping indexes, a filtered view and
objects of every value kind (world.py) before the bad call, and compares it
with a picture taken afterwards.
"""

import gc
import subprocess
import sys
import textwrap
import weakref

import pytest

from Quarrydex import FilteredIndex, Index, Indexable, PyQueryExpr, sum_as_string
from Quarrydex import PyQueryExpr as Q
from world import sample_world

try:
    import numpy
except ImportError:  # numpy is optional
    numpy = None


@pytest.fixture
def world():
    return sample_world()


def unchanged(world, call, exc, message=None):
    """Runs call, which must raise exc (with message, if given), and checks
    that nothing observable changed."""
    the_world, _ = world
    before = the_world.take()
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert the_world.take() == before
    return info.value


# ------------------------------------------------------------ values the model cannot hold


class Unhashable:
    __hash__ = None


class HashRaises:
    def __hash__(self):
        raise ZeroDivisionError("no hash today")


def _bad_at_depth(bad, depth):
    value = [bad]
    for _ in range(depth):
        value = [1, value]
    return value


REFUSALS = [
    pytest.param(lambda: 2**63, OverflowError, None, id="int-2^63"),
    pytest.param(lambda: -(2**63) - 1, OverflowError, None, id="int-below-min"),
    pytest.param(lambda: 10**40, OverflowError, None, id="int-huge"),
    pytest.param(lambda: "\ud800", UnicodeEncodeError, None, id="lone-surrogate"),
    pytest.param(lambda: "x" * 40 + "\udfff", UnicodeEncodeError, None, id="long-surrogate"),
    pytest.param(
        lambda: bytearray(b"x"), TypeError, "unhashable type: 'bytearray'", id="bytearray"
    ),
    pytest.param(Unhashable, TypeError, "unhashable type: 'Unhashable'", id="hash-none"),
    pytest.param(HashRaises, ZeroDivisionError, "no hash today", id="hash-raises"),
    pytest.param(lambda: [1, "ok", 2**64], OverflowError, None, id="list-member"),
    pytest.param(lambda: (1, ("\ud800",)), UnicodeEncodeError, None, id="tuple-nested"),
    pytest.param(lambda: {1, 2**70}, OverflowError, None, id="set-member"),
    pytest.param(
        lambda: _bad_at_depth(Unhashable(), 50),
        TypeError,
        "unhashable type: 'Unhashable'",
        id="deep-member",
    ),
    pytest.param(
        lambda: numpy.str_("\ud800"),
        UnicodeEncodeError,
        None,
        id="numpy-str",
        marks=pytest.mark.skipif(numpy is None, reason="numpy not installed"),
    ),
]


def _set(obj, name, value):
    setattr(obj, name, value)


# Every entry point that converts a value, as a function of (named objects, value).
CONVERTING_ENTRIES = {
    "Indexable()": lambda n, v: Indexable(ok=1, v=v),
    "subclass()": lambda n, v: type("Sub", (Indexable,), {})(ok=1, v=v),
    "write-held": lambda n, v: _set(n["a"], "v", v),
    "write-held-container": lambda n, v: _set(n["b"], "tags", v),
    "write-held-nested": lambda n, v: _set(n["a"], "child", v),
    "write-new-name": lambda n, v: _set(n["c"], "fresh", v),
    "write-unlinked": lambda n, v: _set(n["loose"], "v", v),
    "write-child-of-held": lambda n, v: _set(n["leaf"], "code", v),
    "Index.get_by_attribute": lambda n, v: n["first"].get_by_attribute(s="alpha", v=v),
    "Index.reduced": lambda n, v: n["first"].reduced(v=v),
    "Index.reduce": lambda n, v: n["first"].reduce(v=v),
    "FilteredIndex.reduced": lambda n, v: n["view"].reduced(v=v),
    "eq": lambda n, v: Q.eq("v", v),
    "ne": lambda n, v: Q.ne("v", v),
    "gt": lambda n, v: Q.gt("v", v),
    "ge": lambda n, v: Q.ge("v", v),
    "lt": lambda n, v: Q.lt("v", v),
    "le": lambda n, v: Q.le("v", v),
    "starts_with": lambda n, v: Q.starts_with("s", v),
    "ends_with": lambda n, v: Q.ends_with("s", v),
    "contains": lambda n, v: Q.contains("s", v),
    "bt-lower": lambda n, v: Q.bt("v", v, 5),
    "bt-upper": lambda n, v: Q.bt("v", 0, v),
    "in_": lambda n, v: Q.in_("v", [1, 2, v]),
}


# The attribute each entry converts a value for, where it is not "v".
ENTRY_ATTRIBUTE = {
    "write-held-container": "tags",
    "write-held-nested": "child",
    "write-new-name": "fresh",
    "write-child-of-held": "code",
    "starts_with": "s",
    "ends_with": "s",
    "contains": "s",
}


@pytest.mark.parametrize("entry", sorted(CONVERTING_ENTRIES))
@pytest.mark.parametrize("make, exc, message", REFUSALS)
def test_refused_value_changes_nothing(world, entry, make, exc, message):
    _, named = world
    value = make()
    error = unchanged(world, lambda: CONVERTING_ENTRIES[entry](named, value), exc)
    # A refused value names its attribute; other failures pass through as they are.
    prefix = f"attribute '{ENTRY_ATTRIBUTE.get(entry, 'v')}': "
    if exc in (TypeError, OverflowError):
        assert type(error) is exc and str(error).startswith(prefix)
    if message is not None:
        assert str(error).removeprefix(prefix) == message


def test_refused_write_leaves_the_old_value_under_every_lookup(world):
    _, named = world
    a, first = named["a"], named["first"]
    with pytest.raises(OverflowError):
        a.v = [5, 2**64]
    assert a.v == 1
    assert first.get_by_attribute(v=1) == [a]
    assert first.get_by_attribute(v=5) == []


# ------------------------------------------------------------ names


@pytest.mark.parametrize(
    "call, exc, message",
    [
        pytest.param(
            lambda n: setattr(n["a"], "\ud800", 1), UnicodeEncodeError, None, id="setattr"
        ),
        pytest.param(
            lambda n: Indexable.__setattr__(n["a"], 5, 1),
            TypeError,
            "argument 'name': 'int' object cannot be converted to 'PyString'",
            id="setattr-non-str",
        ),
        pytest.param(
            lambda n: Indexable.__getattribute__(n["a"], 5),
            TypeError,
            "argument 'name': 'int' object cannot be converted to 'PyString'",
            id="getattr-non-str",
        ),
        pytest.param(
            lambda n: n["first"].get_by_attribute(**{"\ud800": 1}),
            UnicodeEncodeError,
            None,
            id="keyword-name",
        ),
        pytest.param(
            lambda n: n["view"].reduced(**{"v": 1, "\udc00": 1}),
            UnicodeEncodeError,
            None,
            id="view-keyword-name",
        ),
        pytest.param(
            lambda n: n["first"].reduce(**{"\ud800x": 1}),
            UnicodeEncodeError,
            None,
            id="reduce-keyword-name",
        ),
        pytest.param(lambda n: Q.eq("\ud800", 1), UnicodeEncodeError, None, id="query-attr"),
        pytest.param(
            lambda n: Q.in_(b"v", [1]),
            TypeError,
            "argument 'attr': 'bytes' object cannot be converted to 'PyString'",
            id="query-attr-bytes",
        ),
    ],
)
def test_refused_attribute_name_changes_nothing(world, call, exc, message):
    _, named = world
    unchanged(world, lambda: call(named), exc, message)


def test_unreadable_name_reads_as_attribute_error_naming_it(world):
    _, named = world
    name = "\ud800"
    error = unchanged(world, lambda: getattr(named["a"], name), AttributeError)
    assert error.args == (name,)


def test_constructor_skips_unencodable_keyword_names():
    obj = Indexable(**{"\ud800": 1, "ok": 2, "\udfffz": 3})
    assert repr(obj) == "<Indexable with 1 attributes>"
    assert obj.ok == 2


# ------------------------------------------------------------ argument types and counts


class Other:
    pass


def _argument_cases():
    """(label, call on named objects, exception, message) for every method."""
    cases = [
        (
            "Index(1)",
            lambda n: Index(1),
            "Index.__new__() takes 0 positional arguments but 1 was given",
        ),
        (
            "Index(a=1)",
            lambda n: Index(a=1),
            "Index.__new__() got an unexpected keyword argument 'a'",
        ),
        ("FilteredIndex()", lambda n: FilteredIndex(), "No constructor defined for FilteredIndex"),
        ("PyQueryExpr()", lambda n: PyQueryExpr(), "No constructor defined for PyQueryExpr"),
        (
            "add_object()",
            lambda n: n["first"].add_object(),
            "Index.add_object() missing 1 required positional argument: 'py_ref'",
        ),
        (
            "add_object(x, y)",
            lambda n: n["first"].add_object(n["loose"], n["loose"]),
            "Index.add_object() takes 1 positional arguments but 2 were given",
        ),
        (
            "add_object(x, py_ref=x)",
            lambda n: n["first"].add_object(n["loose"], py_ref=n["loose"]),
            "Index.add_object() got multiple values for argument 'py_ref'",
        ),
        (
            "add_object(obj=x)",
            lambda n: n["first"].add_object(obj=n["loose"]),
            "Index.add_object() got an unexpected keyword argument 'obj'",
        ),
        (
            "add_object(5)",
            lambda n: n["first"].add_object(5),
            "argument 'py_ref': 'int' object cannot be converted to 'Indexable'",
        ),
        (
            "add_object(Index)",
            lambda n: n["first"].add_object(n["second"]),
            "argument 'py_ref': 'Index' object cannot be converted to 'Indexable'",
        ),
        (
            "add_object_many(str)",
            lambda n: n["first"].add_object_many("ab"),
            "argument 'objs': Can't extract `str` to `Vec`",
        ),
        (
            "add_object_many(set)",
            lambda n: n["first"].add_object_many({n["loose"]}),
            "argument 'objs': 'set' object cannot be converted to 'Sequence'",
        ),
        (
            "add_object_many(gen)",
            lambda n: n["first"].add_object_many(o for o in [n["loose"]]),
            "argument 'objs': 'generator' object cannot be converted to 'Sequence'",
        ),
        (
            "add_object_many(mixed)",
            lambda n: n["first"].add_object_many([n["loose"], n["leaf"], Other()]),
            "argument 'objs': 'Other' object cannot be converted to 'Indexable'",
        ),
        (
            "add_object_many()",
            lambda n: n["first"].add_object_many(),
            "Index.add_object_many() missing 1 required positional argument: 'objs'",
        ),
        (
            "get_by_attribute(1)",
            lambda n: n["first"].get_by_attribute(1),
            "Index.get_by_attribute() takes 0 positional arguments but 1 was given",
        ),
        (
            "reduce(1, 2)",
            lambda n: n["first"].reduce(1, 2),
            "Index.reduce() takes 0 positional arguments but 2 were given",
        ),
        (
            "reduced(1)",
            lambda n: n["first"].reduced(1),
            "Index.reduced() takes 0 positional arguments but 1 was given",
        ),
        (
            "reduced_query(5)",
            lambda n: n["first"].reduced_query(5),
            "argument 'query': 'int' object cannot be converted to 'PyQueryExpr'",
        ),
        (
            "reduced_query()",
            lambda n: n["first"].reduced_query(),
            "Index.reduced_query() missing 1 required positional argument: 'query'",
        ),
        (
            "reduced_query(q, query=q)",
            lambda n: n["first"].reduced_query(Q.eq("v", 1), query=Q.eq("v", 1)),
            "Index.reduced_query() got multiple values for argument 'query'",
        ),
        (
            "collect(1)",
            lambda n: n["first"].collect(1),
            "Index.collect() takes 0 positional arguments but 1 was given",
        ),
        (
            "collect(x=1)",
            lambda n: n["first"].collect(x=1),
            "Index.collect() got an unexpected keyword argument 'x'",
        ),
        (
            "union_with(view)",
            lambda n: n["first"].union_with(n["view"]),
            "argument 'other': 'FilteredIndex' object cannot be converted to 'Index'",
        ),
        (
            "union_with()",
            lambda n: n["first"].union_with(),
            "Index.union_with() missing 1 required positional argument: 'other'",
        ),
        (
            "union_with(a, b)",
            lambda n: n["first"].union_with(n["second"], n["second"]),
            "Index.union_with() takes 1 positional arguments but 2 were given",
        ),
        (
            "view.reduced(1)",
            lambda n: n["view"].reduced(1),
            "FilteredIndex.reduced() takes 0 positional arguments but 1 was given",
        ),
        (
            "view.reduced_query(None)",
            lambda n: n["view"].reduced_query(None),
            "argument 'query': 'NoneType' object cannot be converted to 'PyQueryExpr'",
        ),
        (
            "view.collect(1)",
            lambda n: n["view"].collect(1),
            "FilteredIndex.collect() takes 0 positional arguments but 1 was given",
        ),
        (
            "view.rebase(1)",
            lambda n: n["view"].rebase(1),
            "FilteredIndex.rebase() takes 0 positional arguments but 1 was given",
        ),
        (
            "view.rebase(x=1)",
            lambda n: n["view"].rebase(x=1),
            "FilteredIndex.rebase() got an unexpected keyword argument 'x'",
        ),
        (
            "eq()",
            lambda n: Q.eq(),
            "PyQueryExpr.eq() missing 2 required positional arguments: 'attr' and 'value'",
        ),
        (
            "eq(a)",
            lambda n: Q.eq("v"),
            "PyQueryExpr.eq() missing 1 required positional argument: 'value'",
        ),
        (
            "gt(a, 1, 2)",
            lambda n: Q.gt("v", 1, 2),
            "PyQueryExpr.gt() takes 2 positional arguments but 3 were given",
        ),
        (
            "lt(a, 1, value=2)",
            lambda n: Q.lt("v", 1, value=2),
            "PyQueryExpr.lt() got multiple values for argument 'value'",
        ),
        (
            "contains(x=1)",
            lambda n: Q.contains(attr="s", value="a", x=1),
            "PyQueryExpr.contains() got an unexpected keyword argument 'x'",
        ),
        (
            "bt()",
            lambda n: Q.bt(),
            "PyQueryExpr.bt() missing 3 required positional arguments:"
            " 'attr', 'lower', and 'upper'",
        ),
        (
            "in_(a, str)",
            lambda n: Q.in_("v", "abc"),
            "argument 'values': Can't extract `str` to `Vec`",
        ),
        (
            "in_(a, dict)",
            lambda n: Q.in_("v", {1: 2}),
            "argument 'values': 'dict' object cannot be converted to 'Sequence'",
        ),
        (
            "not_(1)",
            lambda n: Q.not_(1),
            "argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'",
        ),
        (
            "and_(q, 1)",
            lambda n: Q.and_(Q.eq("v", 1), 1),
            "argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'",
        ),
        (
            "or_(x=q)",
            lambda n: Q.or_(x=Q.eq("v", 1)),
            "PyQueryExpr.or_() got an unexpected keyword argument 'x'",
        ),
        (
            "sum_as_string(1)",
            lambda n: sum_as_string(1),
            "sum_as_string() missing 1 required positional argument: 'b'",
        ),
        (
            "sum_as_string('1', 2)",
            lambda n: sum_as_string("1", 2),
            None,
        ),
    ]
    return [pytest.param(call, message, id=label) for label, call, message in cases]


@pytest.mark.parametrize("call, message", _argument_cases())
def test_argument_errors_change_nothing(world, call, message):
    _, named = world
    error = unchanged(world, lambda: call(named), TypeError, message)
    if message is None:
        assert str(error).startswith("argument 'a': ")


class FailingSequence:
    """A sequence whose iteration fails after yielding some objects."""

    def __init__(self, items, error):
        self.items, self.error = items, error

    def __len__(self):
        raise RuntimeError("length is only a hint and must not matter")

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        yield from self.items
        raise self.error


@pytest.mark.parametrize(
    "error, exc, message",
    [
        (KeyError("gone"), KeyError, None),
        (TypeError("bad item"), TypeError, "argument 'objs': bad item"),
    ],
)
def test_add_object_many_adds_nothing_unless_all_convert(world, error, exc, message):
    _, named = world
    fresh = [Indexable(v=100 + i, s="fresh") for i in range(3)]
    sequence = FailingSequence(fresh, error)
    unchanged(world, lambda: named["first"].add_object_many(sequence), exc, message)
    # Not linked either: writes to the refused objects reach no index.
    for obj in fresh:
        obj.s = "written"
    for index in (named["first"], named["second"]):
        assert index.get_by_attribute(s="written") == []
        assert index.get_by_attribute(s="fresh") == []


def test_add_object_many_accepts_a_sequence_whose_length_fails():
    fresh = [Indexable(v=1), Indexable(v=2)]

    class NoLength(FailingSequence):
        def __iter__(self):
            return iter(self.items)

    idx = Index()
    idx.add_object_many(NoLength(fresh, None))
    assert sorted(o.v for o in idx.collect()) == [1, 2]


# ------------------------------------------------------------ huge and deeply nested values


def _run_isolated(code, timeout=120):
    """Runs code in a fresh interpreter (a crash or hang fails one test only)."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def test_deeply_nested_value_is_refused_not_a_crash():
    # Far deeper than any stack: the refusal must come from a depth check.
    result = _run_isolated(
        """
        from Quarrydex import Index, Indexable, PyQueryExpr as Q
        deep = []
        for _ in range(200_000):
            deep = [deep]
        held = Indexable(v=1)
        idx = Index()
        idx.add_object(held)
        calls = [
            lambda: Indexable(v=deep),
            lambda: setattr(held, "v", deep),
            lambda: idx.get_by_attribute(v=deep),
            lambda: idx.reduce(v=deep),
            lambda: Q.eq("v", deep),
            lambda: Q.in_("v", [deep]),
        ]
        for call in calls:
            try:
                call()
            except RecursionError:
                pass
            else:
                raise SystemExit("accepted")
        assert held.v == 1 and idx.get_by_attribute(v=1) == [held] and idx.collect() == [held]
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "ok"


def test_moderately_nested_value_is_indexed_by_its_innermost_members():
    value = [7]
    for level in range(300):
        value = [value, f"s{level}"] if level % 2 else (value,)
    obj = Indexable(v=value)
    idx = Index()
    idx.add_object(obj)
    assert idx.get_by_attribute(v=7) == [obj]
    assert idx.get_by_attribute(v="s299") == [obj]
    assert obj.v is value
    obj.v = 0
    assert idx.get_by_attribute(v=7) == []
    assert idx.get_by_attribute(v=0) == [obj]


def test_self_containing_containers_are_walked_once():
    loop = [1, "x"]
    loop.append(loop)
    pair = [loop, (loop, 2)]
    obj = Indexable(v=pair)
    idx = Index()
    idx.add_object(obj)
    for member in (1, "x", 2):
        assert idx.get_by_attribute(v=member) == [obj]


def test_huge_container_value_is_indexed_and_fully_replaced():
    big = list(range(200_000))
    obj, other = Indexable(v=big), Indexable(v=[5])
    idx = Index()
    idx.add_object_many([obj, other])
    assert idx.get_by_attribute(v=199_999) == [obj]
    assert len(idx.reduced_query(Q.bt("v", 1000, 1999)).collect()) == 1
    obj.v = ["small"]
    assert idx.get_by_attribute(v=199_999) == []
    assert idx.reduced_query(Q.ge("v", 6)).collect() == []
    assert idx.get_by_attribute(v=5) == [other]
    assert idx.get_by_attribute(v="small") == [obj]


def test_huge_membership_query_and_many_keywords():
    objs = [Indexable(v=i, w=i % 7) for i in range(500)]
    idx = Index()
    idx.add_object_many(objs)
    hits = idx.reduced_query(Q.in_("v", list(range(-100_000, 100_000, 2)))).collect()
    assert sorted(o.v for o in hits) == list(range(0, 500, 2))
    keywords = {f"k{i}": i for i in range(3000)}
    assert idx.get_by_attribute(**keywords) == []
    wide = Indexable(**keywords)
    idx.add_object(wide)
    assert idx.get_by_attribute(**keywords) == [wide]
    assert repr(wide) == "<Indexable with 3000 attributes>"


def test_wide_query_groups():
    objs = [Indexable(v=i) for i in range(50)]
    idx = Index()
    idx.add_object_many(objs)
    wide = Q.or_(*[Q.eq("v", i) for i in range(0, 20_000, 5)])
    assert sorted(o.v for o in idx.reduced_query(wide).collect()) == list(range(0, 50, 5))
    narrow = Q.and_(*[Q.ne("v", i) for i in range(1, 50)])
    assert [o.v for o in idx.reduced_query(narrow).collect()] == [0]


def test_query_depth_is_bounded_where_trees_are_made():
    # Evaluation, copying and printing recurse per level with the interpreter
    # lock released; a tree deep enough to exhaust a thread's stack is refused
    # when built.
    objs = [Indexable(v=1), Indexable(v=2)]
    idx = Index()
    idx.add_object_many(objs)
    query = Q.eq("v", 1)
    depth = 1
    while True:
        try:
            deeper = Q.not_(query)
        except RecursionError:
            break
        query, depth = deeper, depth + 1
        assert depth <= 5000, "no depth bound"
    assert depth >= 500, "realistic queries must not be refused"
    expected = [1] if depth % 2 else [2]
    assert [o.v for o in idx.reduced_query(query).collect()] == expected
    with pytest.raises(RecursionError):
        Q.and_(Q.eq("v", 1), query, Q.eq("v", 2))
    with pytest.raises(RecursionError):
        Q.or_(query)
    assert len(repr(query)) > depth


# ------------------------------------------------------------ __hash__ and __eq__ that misbehave


class EqRaises:
    def __hash__(self):
        return 42

    def __eq__(self, other):
        raise AssertionError("Python equality must never be called")


def test_equality_is_identity_and_never_calls_eq():
    first, twin = EqRaises(), EqRaises()
    obj, other = Indexable(u=first), Indexable(u=twin)
    idx = Index()
    idx.add_object_many([obj, other])
    assert idx.get_by_attribute(u=first) == [obj]
    assert idx.get_by_attribute(u=twin) == [other]
    obj.u = twin
    assert idx.get_by_attribute(u=first) == []
    assert sorted(map(id, idx.get_by_attribute(u=twin))) == sorted([id(obj), id(other)])


class SettableHash:
    def __init__(self, value):
        self.value = value

    def __hash__(self):
        return self.value


def test_stored_hash_is_used_for_removal_even_if_the_object_changed_its_hash():
    key = SettableHash(1)
    obj = Indexable(u=key)
    idx = Index()
    idx.add_object(obj)
    key.value = 2  # the key now hashes elsewhere; the index keeps the hash it computed
    assert idx.get_by_attribute(u=key) == []
    key.value = 1
    assert idx.get_by_attribute(u=key) == [obj]
    key.value = 3
    obj.u = "replaced"  # removal must not ask the old value for its hash again
    key.value = 1
    assert idx.get_by_attribute(u=key) == []
    assert idx.get_by_attribute(u="replaced") == [obj]


class HashOnce:
    """Hashes once, then refuses: the module must hash a value only at conversion."""

    def __init__(self):
        self.calls = 0

    def __hash__(self):
        self.calls += 1
        if self.calls > 1:
            raise RuntimeError("hashed twice")
        return 99


def test_values_are_hashed_once_at_conversion():
    key = HashOnce()
    obj = Indexable(u=key, v=1)
    first, second = Index(), Index()
    first.add_object(obj)
    second.add_object_many([obj])
    first.union_with(second)
    assert first.reduced(v=1).rebase().collect() == [obj]
    obj.u = 5
    assert key.calls == 1
    assert first.get_by_attribute(u=5) == [obj] and second.get_by_attribute(u=5) == [obj]


def test_hash_that_writes_to_the_object_being_written():
    obj = Indexable(v=0, w=0)
    idx = Index()
    idx.add_object(obj)

    class Sneaky:
        def __hash__(self):
            obj.w = 9  # a nested write on the same object, during conversion
            return 7

    sneaky = Sneaky()
    obj.v = sneaky
    assert obj.w == 9 and obj.v is sneaky
    assert idx.get_by_attribute(w=9) == [obj]
    assert idx.get_by_attribute(w=0) == []
    assert idx.reduced_query(Q.ne("v", 0)).collect() == [obj]


def test_hash_that_changes_the_index_during_a_lookup():
    objs = [Indexable(v=i) for i in range(4)]
    idx = Index()
    idx.add_object_many(objs[:2])

    class Meddler:
        def __hash__(self):
            idx.add_object(objs[2])
            idx.reduce(v=2)
            return 1

    assert idx.get_by_attribute(v=Meddler()) == []
    assert idx.collect() == [objs[2]]


def test_hash_that_shrinks_the_list_being_converted():
    victim = [1, 2, 3, 4]

    class Shrinker:
        def __hash__(self):
            victim.clear()
            return 5

    victim.insert(1, Shrinker())
    obj = Indexable(v=victim)
    idx = Index()
    idx.add_object(obj)
    assert obj.v is victim
    assert idx.get_by_attribute(v=1) == [obj]
    assert idx.get_by_attribute(v=4) == []


def test_hash_that_grows_the_set_being_converted(world):
    _, named = world

    class Grower:
        armed = False

        def __hash__(self):
            if self.armed:
                grows.update(range(10, 20))
            return 3

    grower = Grower()
    grows = {1, grower}
    grower.armed = True
    unchanged(world, lambda: setattr(named["a"], "tags", grows), RuntimeError)


# ------------------------------------------------------------ subclasses


class Slotted(Indexable):
    __slots__ = ("a", "b")


class WithProperty(Indexable):
    setter_calls = 0

    @property
    def full(self):
        return f"{self.first}-{self.last}"

    @full.setter
    def full(self, value):
        type(self).setter_calls += 1

    @property
    def broken(self):
        raise ValueError("getter failed")

    @property
    def missing(self):
        raise AttributeError("something else")


class WithGetattr(Indexable):
    calls = []

    def __getattr__(self, name):
        type(self).calls.append(name)
        if name == "virtual":
            return 42
        raise AttributeError(name)


class WithSetattr(Indexable):
    def __setattr__(self, name, value):
        super().__setattr__(name, value.upper() if isinstance(value, str) else value)


class WithDict(Indexable):
    def method(self):
        return "method"


def test_slots_are_never_used_for_tracked_attributes():
    obj = Slotted(a=1)
    obj.b = "two"
    idx = Index()
    idx.add_object(obj)
    assert (obj.a, obj.b) == (1, "two")
    assert idx.get_by_attribute(a=1, b="two") == [obj]
    for slot in (Slotted.a, Slotted.b):
        with pytest.raises(AttributeError):
            slot.__get__(obj)  # the slot itself was never written
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del obj.a
    obj.a = 3
    assert idx.get_by_attribute(a=1) == [] and idx.get_by_attribute(a=3) == [obj]


def test_property_is_shadowed_and_its_setter_never_called():
    obj = WithProperty(first="ada", last="lovelace")
    idx = Index()
    idx.add_object(obj)
    assert obj.full == "ada-lovelace"  # not tracked: the property answers
    assert idx.get_by_attribute(full="ada-lovelace") == []
    obj.full = "written"
    assert WithProperty.setter_calls == 0
    assert obj.full == "written"
    assert idx.get_by_attribute(full="written") == [obj]
    with pytest.raises(ValueError, match="getter failed"):
        obj.broken
    with pytest.raises(AttributeError) as info:
        obj.missing
    assert info.value.args == ("missing",)
    obj.broken = 1
    assert obj.broken == 1


def test_getattr_is_asked_only_for_untracked_names():
    obj = WithGetattr(real=1)
    idx = Index()
    idx.add_object(obj)
    WithGetattr.calls.clear()
    assert obj.real == 1
    assert obj.virtual == 42
    assert not hasattr(obj, "absent")
    assert WithGetattr.calls == ["virtual", "absent"]
    assert idx.get_by_attribute(virtual=42) == []
    obj.virtual = 43
    assert obj.virtual == 43 and idx.get_by_attribute(virtual=43) == [obj]


def test_overridden_setattr_reaches_the_index_through_the_base():
    obj = WithSetattr(name="low")  # construction does not go through __setattr__
    idx = Index()
    idx.add_object(obj)
    obj.name = "quiet"
    assert obj.name == "QUIET"
    assert idx.get_by_attribute(name="QUIET") == [obj]
    with pytest.raises(OverflowError):
        obj.name = 2**64
    assert idx.get_by_attribute(name="QUIET") == [obj]


def test_subclass_instance_dict_is_not_used_for_tracked_attributes():
    obj = WithDict(v=1)
    obj.__dict__["v"] = "shadow"  # written behind the map's back
    obj.__dict__["only_in_dict"] = 5
    assert obj.v == 1  # the map answers first
    assert obj.only_in_dict == 5  # ordinary lookup answers the rest
    assert obj.method() == "method"
    idx = Index()
    idx.add_object(obj)
    assert idx.get_by_attribute(only_in_dict=5) == []


def test_failing_init_leaves_no_trace(world):
    created = []

    class Failing(Indexable):
        def __init__(self, **kwargs):
            created.append(weakref.ref(self))
            self.v = 1
            self.s = "alpha"
            raise ValueError("init failed")

    unchanged(world, lambda: Failing(s="x"), ValueError)
    gc.collect()
    assert len(created) == 1 and created[0]() is None


def test_indexable_with_raising_eq_and_hash_is_a_nested_object_by_identity():
    class Proud(Indexable):
        def __eq__(self, other):
            raise AssertionError("never compared")

        def __hash__(self):
            raise AssertionError("never hashed")

    child, twin = Proud(k=1), Proud(k=1)
    holder = Indexable(child=child)
    idx = Index()
    idx.add_object(holder)
    assert idx.get_by_attribute(child=child) == [holder]
    assert idx.get_by_attribute(child=twin) == []
    assert idx.reduced_query(Q.eq("child.k", 1)).collect() == [holder]


# ------------------------------------------------------------ writes from __del__ during index work


class WritesOnDel:
    """Writes attributes of tracked objects when it is freed."""

    def __init__(self, *writes):
        self.writes = writes

    def __del__(self):
        for obj, name, value in self.writes:
            setattr(obj, name, value)


def test_write_from_del_of_the_replaced_value_of_the_same_object():
    obj = Indexable(v=0)
    idx = Index()
    idx.add_object(obj)
    obj.u = WritesOnDel((obj, "v", 5))
    obj.u = "next"  # frees the old value, whose __del__ writes obj.v
    assert obj.v == 5 and obj.u == "next"
    assert idx.get_by_attribute(v=5) == [obj] and idx.get_by_attribute(v=0) == []
    assert idx.get_by_attribute(u="next") == [obj]


def test_write_from_del_of_the_replaced_value_of_an_unlinked_object():
    obj = Indexable(v=0)
    obj.u = WritesOnDel((obj, "v", 5))
    obj.u = "next"
    assert (obj.v, obj.u) == (5, "next")
    idx = Index()
    idx.add_object(obj)
    assert idx.get_by_attribute(v=5, u="next") == [obj]


def test_writes_from_del_when_reduce_drops_the_last_reference():
    keep, watched = Indexable(k=1, v=0), Indexable(v=0)
    idx, other = Index(), Index()
    idx.add_object_many([keep, watched])
    other.add_object(watched)
    doomed = Indexable(k=0, u=WritesOnDel((watched, "v", 7), (keep, "v", 8)))
    idx.add_object(doomed)
    gone = weakref.ref(doomed)
    del doomed
    idx.reduce(k=1)  # the store held the last reference
    assert gone() is None
    assert watched.v == 7 and keep.v == 8
    assert idx.get_by_attribute(v=8) == [keep]
    assert other.get_by_attribute(v=7) == [watched]
    assert idx.collect() == [keep]


def test_index_changed_from_del_while_collect_builds_its_list():
    # Building the result list can run the garbage collector, whose finalizers
    # may change the very index being listed.
    result = _run_isolated(
        """
        import gc
        from Quarrydex import Index, Indexable
        idx = Index()
        objs = [Indexable(v=i) for i in range(50)]
        idx.add_object_many(objs)
        extra = Indexable(v=-1)
        seen = []

        class Cycle:
            def __del__(self):
                idx.add_object(extra)
                objs[0].v = 1000
                idx.reduce()
                seen.append(len(idx.collect()))

        def garbage():
            c = Cycle()
            c.me = c

        gc.disable()
        garbage()
        spare = [[] for _ in range(500)]  # empties the list free list: the next list is new
        gc.set_threshold(1)
        gc.enable()
        first = idx.collect()
        gc.collect()
        assert seen == [51], seen
        assert idx.get_by_attribute(v=1000) == [objs[0]]
        print("ok")
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "ok"


def test_writes_from_del_when_an_index_is_dropped():
    watched = Indexable(v=0)
    survivor = Index()
    survivor.add_object(watched)
    doomed_index = Index()
    doomed_index.add_object(Indexable(u=WritesOnDel((watched, "v", 3))))
    doomed_index.add_object(watched)
    del doomed_index
    gc.collect()
    assert watched.v == 3
    assert survivor.get_by_attribute(v=3) == [watched]
