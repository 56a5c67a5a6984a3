"""Index: construction, argument handling, adding objects, equality lookups
and the propagation of attribute writes."""

import gc
import subprocess
import sys
import textwrap

import pytest

from conftest import Population
from Quarrydex import FilteredIndex, Index, Indexable
from Quarrydex import PyQueryExpr as Q


class Token:
    pass


class IntSub(int):
    pass


# ------------------------------------------------------------ class surface


def test_new_index_is_empty():
    idx = Index()
    assert idx.collect() == []
    assert idx.get_by_attribute() == []
    assert idx.reduced().collect() == []


@pytest.mark.parametrize(
    "cls, signatures",
    [
        (
            Index,
            {
                "add_object": "($self, py_ref)",
                "add_object_many": "($self, objs)",
                "get_by_attribute": "($self, **kwargs)",
                "reduce": "($self, **kwargs)",
                "reduced": "($self, **kwargs)",
                "reduced_query": "($self, query)",
                "collect": "($self)",
                "union_with": "($self, other)",
                "remove_object": "($self, obj)",
                "order_by": "($self, attr, *, descending=False, limit=None)",
            },
        ),
        (
            FilteredIndex,
            {
                "reduced": "($self, **kwargs)",
                "reduced_query": "($self, query)",
                "collect": "($self)",
                "rebase": "($self)",
                "order_by": "($self, attr, *, descending=False, limit=None)",
            },
        ),
    ],
)
def test_method_text_signatures(cls, signatures):
    public = {n for n in dir(cls) if not n.startswith("__")}
    assert public == set(signatures)
    for name, signature in signatures.items():
        assert getattr(cls, name).__text_signature__ == signature


def test_class_signature():
    assert Index.__text_signature__ == "()"


def test_instances_have_no_dict_or_weakrefs():
    idx = Index()
    with pytest.raises(AttributeError):
        idx.anything = 1
    with pytest.raises(TypeError):
        __import__("weakref").ref(idx)


OBJ = Indexable(a=1)

ARGUMENT_ERRORS = [
    (lambda i: Index(1), "Index.__new__() takes 0 positional arguments but 1 was given"),
    (lambda i: Index(1, 2), "Index.__new__() takes 0 positional arguments but 2 were given"),
    (lambda i: Index(a=1), "Index.__new__() got an unexpected keyword argument 'a'"),
    (
        lambda i: i.add_object(5),
        "argument 'py_ref': 'int' object cannot be converted to 'Indexable'",
    ),
    (
        lambda i: i.add_object(Index()),
        "argument 'py_ref': 'Index' object cannot be converted to 'Indexable'",
    ),
    (
        lambda i: i.add_object(py_ref=None),
        "argument 'py_ref': 'NoneType' object cannot be converted to 'Indexable'",
    ),
    (
        lambda i: i.add_object(),
        "Index.add_object() missing 1 required positional argument: 'py_ref'",
    ),
    (
        lambda i: i.add_object(OBJ, OBJ),
        "Index.add_object() takes 1 positional arguments but 2 were given",
    ),
    (
        lambda i: i.add_object(OBJ, py_ref=OBJ),
        "Index.add_object() got multiple values for argument 'py_ref'",
    ),
    (
        lambda i: i.add_object(obj=OBJ),
        "Index.add_object() got an unexpected keyword argument 'obj'",
    ),
    (lambda i: i.add_object_many("ab"), "argument 'objs': Can't extract `str` to `Vec`"),
    (lambda i: i.add_object_many(""), "argument 'objs': Can't extract `str` to `Vec`"),
    (
        lambda i: i.add_object_many({OBJ}),
        "argument 'objs': 'set' object cannot be converted to 'Sequence'",
    ),
    (
        lambda i: i.add_object_many({"k": OBJ}),
        "argument 'objs': 'dict' object cannot be converted to 'Sequence'",
    ),
    (
        lambda i: i.add_object_many(o for o in [OBJ]),
        "argument 'objs': 'generator' object cannot be converted to 'Sequence'",
    ),
    (
        lambda i: i.add_object_many(5),
        "argument 'objs': 'int' object cannot be converted to 'Sequence'",
    ),
    (
        lambda i: i.add_object_many([OBJ, 5]),
        "argument 'objs': 'int' object cannot be converted to 'Indexable'",
    ),
    (
        lambda i: i.add_object_many(range(3)),
        "argument 'objs': 'int' object cannot be converted to 'Indexable'",
    ),
    (
        lambda i: i.add_object_many(),
        "Index.add_object_many() missing 1 required positional argument: 'objs'",
    ),
    (
        lambda i: i.get_by_attribute(1),
        "Index.get_by_attribute() takes 0 positional arguments but 1 was given",
    ),
    (lambda i: i.reduced(1), "Index.reduced() takes 0 positional arguments but 1 was given"),
    (lambda i: i.reduce(1, 2), "Index.reduce() takes 0 positional arguments but 2 were given"),
    (
        lambda i: i.reduced_query(5),
        "argument 'query': 'int' object cannot be converted to 'PyQueryExpr'",
    ),
    (
        lambda i: i.reduced_query(),
        "Index.reduced_query() missing 1 required positional argument: 'query'",
    ),
    (
        lambda i: i.reduced_query(Q.and_(), extra=1),
        "Index.reduced_query() got an unexpected keyword argument 'extra'",
    ),
    (lambda i: i.collect(1), "Index.collect() takes 0 positional arguments but 1 was given"),
    (
        lambda i: i.union_with(5),
        "argument 'other': 'int' object cannot be converted to 'Index'",
    ),
    (
        lambda i: i.union_with(i.reduced()),
        "argument 'other': 'FilteredIndex' object cannot be converted to 'Index'",
    ),
    (
        lambda i: i.union_with(),
        "Index.union_with() missing 1 required positional argument: 'other'",
    ),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS)
def test_argument_errors(call, message):
    idx = Index()
    keep = Indexable(a=1)
    idx.add_object(keep)
    with pytest.raises(TypeError) as info:
        call(idx)
    assert str(info.value) == message
    assert idx.collect() == [keep]


def test_add_object_by_keyword():
    idx = Index()
    obj = Indexable(a=1)
    assert idx.add_object(py_ref=obj) is None
    assert idx.add_object_many(objs=[obj]) is None
    assert idx.collect() == [obj]


# ------------------------------------------------------------ add_object_many conversion


class GetItemSequence:
    """A sequence known only through __getitem__ and __len__."""

    def __init__(self, items, length_error=None, item_error=None):
        self.items = items
        self.length_error = length_error
        self.item_error = item_error

    def __len__(self):
        if self.length_error:
            raise self.length_error
        return len(self.items)

    def __getitem__(self, i):
        if self.item_error and i == 1:
            raise self.item_error
        return self.items[i]


def test_add_many_accepts_tuples_and_custom_sequences():
    a, b, c = Indexable(k=1), Indexable(k=2), Indexable(k=3)
    pop = Population({"a": a, "b": b, "c": c})
    idx = Index()
    assert idx.add_object_many((a, b)) is None
    assert idx.add_object_many(GetItemSequence([c], length_error=ValueError("no len"))) is None
    pop.check(idx.collect(), ["a", "b", "c"])


def test_add_many_of_nothing_changes_nothing():
    idx = Index()
    obj = Indexable(k=1)
    idx.add_object(obj)
    idx.add_object_many([])
    idx.add_object_many(())
    assert idx.collect() == [obj]


@pytest.mark.parametrize(
    "error, expected_type, expected_message",
    [
        (TypeError("bad item"), TypeError, "argument 'objs': bad item"),
        (ValueError("bad item"), ValueError, "bad item"),
    ],
)
def test_add_many_iteration_errors(error, expected_type, expected_message):
    first = Indexable(k=1)
    seq = GetItemSequence([first, Indexable(k=2)], item_error=error)
    idx = Index()
    with pytest.raises(expected_type) as info:
        idx.add_object_many(seq)
    assert type(info.value) is expected_type
    assert str(info.value) == expected_message
    assert idx.collect() == []


def test_add_many_refuses_the_whole_batch():
    obj = Indexable(k=1)
    idx = Index()
    with pytest.raises(TypeError):
        idx.add_object_many([obj, 5])
    assert idx.collect() == []
    assert idx.get_by_attribute(k=1) == []
    # The refused batch left no link behind: a write does not reach this index.
    obj.k = 2
    assert idx.get_by_attribute(k=2) == []


# ------------------------------------------------------------ equality lookups

TOKEN = Token()
SUB = IntSub(1)
NESTED = Indexable(inner=1)
LISTED = ["a", "b"]


@pytest.fixture(scope="module")
def equality_population():
    values = {
        "i1": 1,
        "f1": 1.0,
        "true": True,
        "false": False,
        "i0": 0,
        "fneg0": -0.0,
        "f0": 0.0,
        "s1": "1",
        "sa": "a",
        "sA": "A",
        "list": LISTED,
        "tuple": ("a", 2),
        "set": {"a", 3.5},
        "nestedlist": [["deep"], ("deeper", [9])],
        "none": None,
        "token": TOKEN,
        "sub": SUB,
        "dict": {"a": 1, "k": "v"},
        "ind": NESTED,
        "big": 2**62,
        "above53": 2**53 + 1,
        "nan": float("nan"),
        "bytes": bytes(bytearray(b"ab")),
    }
    labelled = {label: Indexable(x=v) for label, v in values.items()}
    labelled["missing"] = Indexable(y=1)
    pop = Population(labelled)
    idx = Index()
    for obj in pop.objects():
        idx.add_object(obj)
    return pop, idx


@pytest.mark.parametrize(
    "value, labels",
    [
        (1, ["i1", "f1"]),
        (1.0, ["i1", "f1"]),
        (True, ["true"]),
        (False, ["false"]),
        (0, ["i0", "fneg0", "f0"]),
        (-0.0, ["i0", "fneg0", "f0"]),
        ("1", ["s1"]),
        ("a", ["sa", "list", "tuple", "set"]),
        ("A", ["sA"]),
        (2, ["tuple"]),
        (3.5, ["set"]),
        ("deep", ["nestedlist"]),
        ("deeper", ["nestedlist"]),
        (9, ["nestedlist"]),
        (None, ["none"]),
        (TOKEN, ["token"]),
        (Token(), []),
        (SUB, ["sub"]),
        (IntSub(1), []),
        (NESTED, ["ind"]),
        (LISTED, []),
        (["a", "b"], []),
        (("a", 2), []),
        ("k", []),
        ("v", []),
        (2**62, ["big"]),
        (float(2**62), ["big"]),
        (2**62 + 1, []),
        (2**53 + 1, ["above53"]),
        (float(2**53), []),
        (float("nan"), []),
        (bytes(bytearray(b"ab")), []),  # equal bytes, another object
        ("", []),
    ],
)
def test_equality_semantics(equality_population, value, labels):
    pop, idx = equality_population
    pop.check(idx.get_by_attribute(x=value), labels)
    pop.check(idx.reduced(x=value).collect(), labels)
    pop.check(idx.reduced_query(Q.eq("x", value)).collect(), labels)


def test_keyword_lookups_combine_by_and():
    first, second = Indexable(x=1, y=2), Indexable(x=1, y=3)
    pop = Population({"first": first, "second": second})
    idx = Index()
    idx.add_object_many([second, first])
    pop.check(idx.get_by_attribute(x=1), ["first", "second"])
    pop.check(idx.get_by_attribute(x=1, y=3), ["second"])
    pop.check(idx.get_by_attribute(x=1, y=4), [])
    pop.check(idx.get_by_attribute(x=1, never=1), [])
    pop.check(idx.get_by_attribute(), ["first", "second"])


def test_results_are_fresh_lists():
    obj = Indexable(a=1)
    idx = Index()
    idx.add_object(obj)
    first = idx.collect()
    first.append("junk")
    assert idx.collect() == [obj]
    assert idx.collect() is not idx.collect()
    found = idx.get_by_attribute(a=1)
    found.clear()
    assert idx.get_by_attribute(a=1) == [obj]


def test_adding_twice_lists_once():
    obj = Indexable(a=1)
    idx = Index()
    assert idx.add_object(obj) is None
    assert idx.add_object(obj) is None
    idx.add_object_many([obj, obj])
    assert idx.collect() == [obj]
    assert idx.get_by_attribute(a=1) == [obj]
    obj.a = 2
    assert idx.get_by_attribute(a=1) == []
    assert idx.get_by_attribute(a=2) == [obj]


def test_dict_values_record_nothing():
    obj = Indexable(d={"a": 1})
    idx = Index()
    idx.add_object(obj)
    for q in (Q.eq("d", "a"), Q.eq("d", 1), Q.in_("d", ["a", 1]), Q.starts_with("d", "")):
        assert idx.reduced_query(q).collect() == []
    assert idx.reduced_query(Q.ne("d", "a")).collect() == [obj]


@pytest.mark.parametrize(
    "value, exc",
    [
        (2**63, OverflowError),
        ("\ud800", UnicodeEncodeError),
        (bytearray(), TypeError),
        ([1, 2**64], OverflowError),
        ([bytearray()], TypeError),
    ],
)
def test_lookup_keywords_refuse_unrepresentable_values(value, exc):
    kept = Indexable(a=1)
    idx = Index()
    idx.add_object(kept)
    for call in (idx.get_by_attribute, idx.reduced, idx.reduce, idx.reduced().reduced):
        with pytest.raises(exc):
            call(a=value)
    assert idx.collect() == [kept]
    assert idx.get_by_attribute(a=1) == [kept]


# ------------------------------------------------------------ underscore names


def test_add_object_skips_underscore_names_but_not_the_empty_name():
    obj = Indexable(_a=1, b=2, **{"": 3})
    idx = Index()
    idx.add_object(obj)
    assert idx.get_by_attribute(_a=1) == []
    assert idx.get_by_attribute(b=2) == [obj]
    assert idx.get_by_attribute(**{"": 3}) == [obj]


def test_add_object_many_indexes_underscore_names():
    obj = Indexable(_a=1, b=2)
    idx = Index()
    idx.add_object_many([obj])
    assert idx.get_by_attribute(_a=1) == [obj]
    assert idx.reduced_query(Q.gt("_a", 0)).collect() == [obj]


def test_underscore_writes_reach_no_index():
    obj = Indexable(_a=1)
    many, single = Index(), Index()
    many.add_object_many([obj])
    single.add_object(obj)
    obj._a = 2
    obj._b = 5
    assert obj._a == 2
    assert many.get_by_attribute(_a=1) == [obj]
    assert many.get_by_attribute(_a=2) == []
    assert many.get_by_attribute(_b=5) == []
    assert single.get_by_attribute(_a=2) == []


def test_empty_name_writes_reach_indexes():
    obj = Indexable()
    idx = Index()
    idx.add_object(obj)
    setattr(obj, "", "v")
    assert idx.get_by_attribute(**{"": "v"}) == [obj]


# ------------------------------------------------------------ attribute writes


def test_write_updates_every_index_holding_the_object():
    obj = Indexable(x=1)
    first, second = Index(), Index()
    first.add_object(obj)
    second.add_object_many([obj])
    obj.x = 2
    for idx in (first, second):
        assert idx.get_by_attribute(x=1) == []
        assert idx.get_by_attribute(x=2) == [obj]
    obj.x = "two"
    for idx in (first, second):
        assert idx.get_by_attribute(x=2) == []
        assert idx.reduced_query(Q.starts_with("x", "tw")).collect() == [obj]


def test_write_of_a_new_attribute_is_indexed():
    obj = Indexable()
    idx = Index()
    idx.add_object(obj)
    obj.fresh = True
    assert idx.get_by_attribute(fresh=True) == [obj]
    assert idx.get_by_attribute(fresh=1) == []


def test_list_writes_replace_members():
    obj = Indexable(tags=["a", "b"])
    idx = Index()
    idx.add_object(obj)
    obj.tags = ("c", ["d"])
    for gone in ("a", "b"):
        assert idx.get_by_attribute(tags=gone) == []
    assert idx.get_by_attribute(tags="c") == [obj]
    assert idx.get_by_attribute(tags="d") == [obj]
    obj.tags = 4
    assert idx.get_by_attribute(tags="c") == []
    assert idx.get_by_attribute(tags="d") == []
    assert idx.get_by_attribute(tags=4) == [obj]


def test_writes_on_nested_objects_reach_dotted_queries():
    inner = Indexable(y=5)
    other = Indexable(y=7)
    holder = Indexable(child=inner)
    idx = Index()
    idx.add_object(holder)
    eq = lambda v: idx.reduced_query(Q.eq("child.y", v)).collect()  # noqa: E731
    assert eq(5) == [holder]
    inner.y = 6
    assert eq(5) == []
    assert eq(6) == [holder]
    holder.child = other
    assert eq(6) == []
    assert eq(7) == [holder]
    holder.child = None
    assert eq(7) == []
    assert idx.get_by_attribute(child=None) == [holder]


def test_write_after_the_index_is_gone():
    obj = Indexable(x=1)
    idx = Index()
    idx.add_object(obj)
    del idx
    gc.collect()
    obj.x = 3
    assert obj.x == 3
    again = Index()
    again.add_object(obj)
    assert again.get_by_attribute(x=3) == [obj]
    assert again.get_by_attribute(x=1) == []


# ------------------------------------------------------------ id order


def test_results_follow_creation_order_in_a_fresh_process():
    code = textwrap.dedent(
        """
        from Quarrydex import Index, Indexable, PyQueryExpr as Q
        objs = [Indexable(n=i, even=(i % 2 == 0)) for i in range(300)]
        idx = Index()
        idx.add_object_many(list(reversed(objs[:150])))
        for o in reversed(objs[150:]):
            idx.add_object(o)
        assert [o.n for o in idx.collect()] == list(range(300))
        assert [o.n for o in idx.get_by_attribute(even=True)] == list(range(0, 300, 2))
        got = [o.n for o in idx.reduced_query(Q.lt("n", 100)).collect()]
        assert got == list(range(100)), got
        print("ok")
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_freed_id_goes_to_the_next_new_object():
    gc.disable()
    try:
        a, b, c = Indexable(k="a"), Indexable(k="b"), Indexable(k="c")
        before = [o.k for o in _collect_all([a, b, c])]
        del a
        d = Indexable(k="d")
        after = [o.k for o in _collect_all([d, b, c])]
    finally:
        gc.enable()
    assert after == [("d" if k == "a" else k) for k in before]


def _collect_all(objs):
    idx = Index()
    idx.add_object_many(objs)
    return idx.collect()
